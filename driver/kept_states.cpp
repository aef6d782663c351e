// Converged torsional states: the count of kept states of the top at which
// the frequencies of the transition list no longer change (vkeep = -1).
// Frequencies in GHz inside, changes listed in kHz.
#include "driver/kept_states.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <sstream>
#include <vector>

#include "core/fortran_format.h"
#include "core/stop.h"
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

void chooseKeptProducts(RunState& rs, TorsionTables& tors, int states, int ntop, int B,
                        KeptProducts& kept) {
  ntop = std::clamp(ntop, 1, DIMTOP);
  if (states < 1 || states > tors.nvs || rs.species.nsym < 1)
    stop("ERROR: vkeep: the product torsional states of the tops do not fit the kept states");
  // excitation energies of each top's kept states at K = 0, GHz
  std::array<std::vector<double>, DIMTOP + 1> excitation;
  double cut = 0.0;
  for (int t = 1; t <= ntop; ++t) {
    const int sigma = rs.species.sigma[1][t];
    excitation[t].assign(static_cast<std::size_t>(states) + 1, 0.0);
    for (int v = 1; v <= states; ++v)
      excitation[t][v] = tors.E(v, sigma, 0, t) - tors.E(1, sigma, 0, t);
    cut = t == 1 ? excitation[t][states] : std::min(cut, excitation[t][states]);
  }
  const double within = cut + 1e-9 * std::max(1.0, std::fabs(cut)); // ties count as inside
  struct Product {
    double energy;
    std::array<int, DIMTOP + 1> v;
  };
  std::vector<Product> all;
  std::array<int, DIMTOP + 1> v{};
  for (int t = 1; t <= ntop; ++t) v[t] = 1;
  for (;;) {
    double e = 0.0;
    for (int t = 1; t <= ntop; ++t) e += excitation[t][v[t]];
    if (e <= within) all.push_back({e, v});
    int t = ntop; // the next tuple, the last top fastest
    while (t >= 1 && v[t] == states) v[t--] = 1;
    if (t < 1) break;
    ++v[t];
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const Product& a, const Product& b) { return a.energy < b.energy; });
  kept = KeptProducts{};
  kept.states = states;
  kept.truncated = static_cast<int>(all.size()) > DIMVKEEP;
  kept.n = std::min(static_cast<int>(all.size()), DIMVKEEP);
  for (int i = 1; i <= kept.n; ++i) kept.v[i] = all[static_cast<std::size_t>(i - 1)].v;
  if (kept.truncated) {
    *rs.io.err << "vkeep " << states << ": set " << B << " keeps the lowest " << DIMVKEEP
               << " of the " << all.size()
               << " product torsional states within the cut-off (the most a block holds)\n";
    ++rs.problems;
  }
}

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
    // two or three tops: a block holds no more product states
    bool full = false;
    for (int b = 1; b <= rs.nB && b <= DIMB; ++b) full = full || rs.kept[b].truncated;
    if (n >= largest || full) break;
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
