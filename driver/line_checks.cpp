// Lines that the first calculation can not use, reported in words.
// Frequencies in GHz.
#include "driver/line_checks.h"

#include <cmath>
#include <ostream>
#include <sstream>
#include <string>

#include "input/parameter_input.h"

namespace ruvo {

namespace {

constexpr int MAX_REPORTED = 20; // lines of each kind written out; then their count

bool levelsFound(const Transitions& tr, int k) {
  return hasBit(tr.qn[k][UP][slot::KIND], kindbit::FOUND) &&
         hasBit(tr.qn[k][LO][slot::KIND], kindbit::FOUND);
}

// The product torsional states that set B computes (the groups of the
// torsional-state section), as the user wrote them: "V 0 V 1".
int computedStates(const RunState& rs, int B, std::string& groups) {
  int nvv = 0;
  while (nvv < DIMVV && rs.use(nvv + 1, 1, B) != -1) ++nvv;
  groups.clear();
  for (int i = 1; i <= nvv; ++i) {
    groups += i > 1 ? " V" : "V";
    for (int t = 1; t <= rs.ctl.ntop && t <= DIMTOP; ++t)
      groups += " " + std::to_string(rs.use(i, t, B) - 1);
  }
  return std::max(nvv, 1);
}

// A level as the line names it, and why no block has it.
std::string missingLevel(const RunState& rs, const Slots& q, const char* which) {
  std::ostringstream os;
  os << which << " level J " << q[slot::J];
  if (hasBit(q[slot::KIND], kindbit::BY_T))
    os << " T " << q[slot::T];
  else if (hasBit(q[slot::KIND], kindbit::BY_t))
    os << " t " << q[slot::t];
  else
    os << " K " << q[slot::K];
  const bool tops = rs.ctl.ntop > 0 && q[slot::S] > 0;
  if (tops) os << " V1 " << q[slot::V1] << " species " << q[slot::S];
  if (rs.nB > 1) os << " set " << q[slot::B];
  if (q[slot::F] >= 0) os << " 2F " << q[slot::F];
  const int B = q[slot::B];
  std::string groups;
  const int nvv = B >= 1 && B <= DIMB ? computedStates(rs, B, groups) : 1;
  if (tops && q[slot::V1] > nvv) {
    os << ": torsional state V1 " << q[slot::V1] << " is not computed; set " << B << " computes "
       << nvv << (nvv == 1 ? " state" : " states") << " (\"" << groups
       << "\"), so V1 runs from 1 to " << nvv
       << ": declare more states in the torsional-state section";
  } else if (hasBit(q[slot::KIND], kindbit::BY_T)) {
    os << ": its block has fewer than " << q[slot::T] << " levels";
  } else {
    os << ": no level of its block carries this label (see the level table that eval 1 "
          "writes to eval.out)";
  }
  return os.str();
}

} // namespace

void checkLinesAgainstFirstCalculation(RunState& rs, const FitState& fs) {
  Transitions& tr = rs.tr;
  std::ostream& err = *rs.io.err;
  const int ndata = tr.ndata;
  auto valid = [&](int m) { return m >= 1 && m <= ndata; };

  int missing = 0, leftOut = 0;
  for (int k = 1; k <= ndata; ++k) {
    const int split = tr.qn[k][UP][slot::SPLIT], avg = tr.qn[k][UP][slot::AVG];
    const bool own = levelsFound(tr, k);
    const int partner = split != k && valid(split) && !levelsFound(tr, split) ? split
                        : avg != k && valid(avg) && !levelsFound(tr, avg)     ? avg
                                                                              : 0;
    if (own && partner == 0) continue;
    // only a fit leaves a line out; a calculation lists it as it is
    const bool measured = tr.err[k] != NODATA && rs.ctl.nzyk > 1;
    if (++missing <= MAX_REPORTED) {
      err << "Error: line " << k << " (input line " << rs.trInputLine[k] << "): ";
      if (!hasBit(tr.qn[k][UP][slot::KIND], kindbit::FOUND))
        err << missingLevel(rs, tr.qn[k][UP], "the upper");
      else if (!hasBit(tr.qn[k][LO][slot::KIND], kindbit::FOUND))
        err << missingLevel(rs, tr.qn[k][LO], "the lower");
      else
        err << "its partner line " << partner << " has a level that was not found";
      err << (measured ? "; the line is left out of the fit\n" : "\n");
    }
    ++rs.problems;
    if (measured) {
      // no data point from now on: the fit and its statistics go without it
      tr.err[k] = NODATA;
      for (int L = 0; L < 2; ++L) tr.qn[k][L][slot::KIND] &= ~kindbit::MEASURED;
      ++leftOut;
    }
  }
  if (missing > MAX_REPORTED)
    err << "... and " << missing - MAX_REPORTED << " more lines whose levels were not found\n";

  // a measured frequency 1000 times the calculated one was typed in MHz
  int inMHz = 0;
  for (int k = 1; k <= ndata; ++k) {
    if (tr.err[k] == NODATA || !levelsFound(tr, k)) continue;
    const double calc = tr.calc(k), obs = tr.freq[k];
    if (!(calc > 0.0 && obs > 0.0 && std::fabs(obs / (1000.0 * calc) - 1.0) < 0.05)) continue;
    if (++inMHz <= MAX_REPORTED)
      err << "Warning: line " << k << " (input line " << rs.trInputLine[k] << "): " << obs
          << " GHz is 1000 times the calculated " << calc
          << " GHz: a frequency in MHz needs \"MHz\" on its line\n";
    ++rs.problems;
  }
  if (inMHz > MAX_REPORTED)
    err << "... and " << inMHz - MAX_REPORTED << " more lines 1000 times their calculation\n";

  if (leftOut > 0) checkDataForFit(rs, fs);
}

} // namespace ruvo
