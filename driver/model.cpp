// The fit model function: residual, uncertainty and derivatives of one line
// from the energies and derivatives the sweep stored with the lines.
#include "driver/model.h"

#include <cmath>

#include "core/fortran_format.h"

namespace ruvo {

namespace {
bool validLine(const Transitions& tr, int i) { return i >= 1 && i <= tr.ndata; }
} // namespace

double lineResidual(RunState& rs, int i, double* dyda, double& error, int nfit) {
  Transitions& tr = rs.tr;
  if (nfit > DIMFIT) nfit = DIMFIT;
  for (int n = 1; n <= nfit; ++n) dyda[n] = 0.0;
  if (!validLine(tr, i)) {
    error = NODATA;
    return 0.0;
  }
  auto& upQ = tr.qn[i][UP];

  // calculated value: the mean of the line and its average partner
  int P = upQ[slot::AVG];
  if (P == 0 || !validLine(tr, P)) P = i;
  const double nuBar = 0.5 * (tr.calc(P) + tr.calc(i));

  // reference: the splitting partner, whose observed and calculated
  // frequencies are subtracted
  const int Q = upQ[slot::SPLIT];
  const bool split = Q != 0 && Q != i && validLine(tr, Q);
  const double oQ = split ? tr.freq[Q] : 0.0;
  const double nuQ = split ? tr.calc(Q) : 0.0;

  // a line with a level not found in the last sweep is no data point
  error = tr.err[i];
  if (!hasBit(upQ[slot::KIND], kindbit::FOUND) || !hasBit(tr.qn[i][LO][slot::KIND], kindbit::FOUND))
    error = NODATA;

  const double y = (tr.freq[i] - oQ) - (nuBar - nuQ);

  // a splitting whose observed sign fits the calculation better reversed
  // hints at an exchanged assignment
  if (split && error < 1000.0 * rs.ctl.defer) {
    const double yAlt = (oQ - tr.freq[i]) - (nuBar - nuQ);
    if (std::fabs(y) > std::fabs(yAlt)) {
      if (!rs.assignWarned) {
        put(*rs.io.out, "(/,A,A,/)",
            {"   *Warning*:", " possible assignment error in line(s) marked with 'x'"});
        rs.assignWarned = true;
      }
      upQ[slot::KIND] = withBits(upQ[slot::KIND], kindbit::SUSPECT);
    }
  }

  // derivative of the calculated value (mean minus the partner's splitting reference)
  for (int n = 1; n <= nfit; ++n) {
    const double dU = 0.5 * (tr.eUp[P][n] + tr.eUp[i][n]);
    const double dL = 0.5 * (tr.eLo[P][n] + tr.eLo[i][n]);
    const double dQ = split ? -(tr.eUp[Q][n] - tr.eLo[Q][n]) : 0.0;
    dyda[n] = dQ + dU - dL;
  }
  return y;
}

void storeRobustWeight(RunState& rs, int i, double x) {
  if (validLine(rs.tr, i)) rs.tr.psi[i] = x;
}

} // namespace ruvo
