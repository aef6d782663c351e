// Converged torsional states: the count of kept states of the top at which
// the frequencies of the transition list no longer change (vkeep = -1).
// Frequencies in GHz inside, changes listed in kHz.
#include "driver/kept_states.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

#include "core/fortran_format.h"
#include "driver/sweep.h"

namespace ruvo {

namespace {

// Calculated frequency of every line whose two levels were found (NaN
// otherwise), GHz.
void frequencies(const RunState& rs, std::vector<double>& f) {
  const int n = rs.tr.ndata;
  f.assign(static_cast<std::size_t>(std::max(n, 0)) + 1, std::nan(""));
  for (int i = 1; i <= n; ++i) {
    const bool found = hasBit(rs.tr.qn[i][UP][slot::KIND], kindbit::FOUND) &&
                       hasBit(rs.tr.qn[i][LO][slot::KIND], kindbit::FOUND);
    if (found) f[i] = rs.tr.calc(i);
  }
}

} // namespace

void convergeKeptStates(RunState& rs, const FitState& fs, SweepWork& sw) {
  std::ostream& out = *rs.io.out;
  const int largest = std::max(2 * rs.ctl.maxm, 1);
  const double tol = rs.ctl.vtol; // kHz

  // the trial sweeps print nothing: no level tables, strengths or inspection
  // prints, and their assignment reports go nowhere (the fit's first sweep
  // makes them again with the count chosen)
  Controls saved = rs.ctl;
  std::ostream* savedOut = rs.io.out;
  const int savedCycle = rs.cyclePrint;
  const auto savedPmK = rs.pmKSign;
  const bool savedWarned = rs.assignWarned;
  std::ostringstream sink;
  rs.ctl.eval = 0;
  rs.ctl.ints = 0;
  rs.ctl.aprint = 0;
  rs.ctl.dfreq = 0;
  rs.cyclePrint = 0;
  rs.io.out = &sink;

  const FitFlags noFlags{};
  std::vector<double> before, now;
  put(out, "(/,A,F10.4,A)",
      {" Torsional states kept by the top, raised until no frequency changes by", tol, " kHz"});
  int n = std::min(3, largest);
  double change = 0.0;
  bool converged = false;
  for (;;) {
    ParamSets par = fs.best;
    rs.ctl.vkeep = n;
    calculationSweep(rs, sw, par, noFlags, fs.model, 0);
    frequencies(rs, now);
    if (!before.empty()) {
      change = 0.0;
      for (std::size_t i = 1; i < now.size(); ++i)
        if (!std::isnan(now[i]) && !std::isnan(before[i]))
          change = std::max(change, std::fabs(now[i] - before[i]) * 1e6); // GHz -> kHz
      put(out, "(A,I3,A,F16.4,A)",
          {"   states", n, ": largest change of a frequency", change, " kHz"});
      if (change < tol) {
        converged = true;
        break;
      }
    } else {
      put(out, "(A,I3)", {"   states", n});
    }
    if (n >= largest) break;
    before.swap(now);
    n = std::min(n + 2, largest);
  }

  rs.io.out = savedOut;
  rs.cyclePrint = savedCycle;
  rs.pmKSign = savedPmK; // flags of the listings: the fit's sweeps set them again
  rs.assignWarned = savedWarned;
  const int problems = rs.problems;
  rs.ctl = saved;
  rs.problems = problems;
  rs.ctl.vkeep = n;
  put(out, "(A,I3)", {" kept torsional states per top:", n});
  if (!converged) {
    *rs.io.err << "vkeep -1: the frequencies still change by " << fmtF(change, 0, 4) << " kHz at "
               << n << " kept states, the most a basis of 2maxm+1 = " << 2 * rs.ctl.maxm + 1
               << " functions allows; raise maxm\n";
    ++rs.problems;
  }
}

} // namespace ruvo
