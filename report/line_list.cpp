// SPFIT line list and the CSV table of levels.
#include "report/line_list.h"

#include <cstdio>
#include <ostream>
#include <string>

#include "core/fortran_format.h"

namespace ruvo {

bool isMeasuredLine(const Transitions& tr, int i) {
  const auto& up = tr.qn[static_cast<std::size_t>(i)][UP];
  const int partner = up[slot::SPLIT];
  return tr.err[static_cast<std::size_t>(i)] != NODATA &&
         tr.freq[static_cast<std::size_t>(i)] != 0.0 && (partner == 0 || partner == i);
}

namespace {
// The quanta of a level as q.count() fields I3.
std::string linQuanta(const OutputLevel& lv, const QuantaCoding& q) {
  std::string s = fmtI(lv.J, 3) + fmtI(lv.Ka, 3) + fmtI(lv.Kc, 3);
  if (q.tops) s += fmtI(lv.V - 1, 3) + fmtI(lv.S, 3);
  if (q.hyperfine) s += fmtI((lv.F2 + 1) / 2, 3);
  return s;
}
} // namespace

void writeLineList(std::ostream& os, const Transitions& tr, const EndLevels& ends,
                   const std::vector<OutputLevel>& levels, const QuantaCoding& q) {
  char buf[96];
  for (int i = 1; i <= tr.ndata; ++i) {
    const auto& e = ends[static_cast<std::size_t>(i)];
    if (!isMeasuredLine(tr, i) || e[UP] < 0 || e[LO] < 0) continue;
    // SPFIT reads the upper level from the first NQN fields and the lower
    // level from the next NQN (NQN = quanta per level); the rest of the 12
    // fields stays blank
    std::string row = linQuanta(levels[static_cast<std::size_t>(e[UP])], q) +
                      linQuanta(levels[static_cast<std::size_t>(e[LO])], q);
    row.resize(36, ' ');
    // frequency and uncertainty in MHz, from column 37 on
    std::snprintf(buf, sizeof buf, " %15.4f %10.4f %6.4f",
                  tr.freq[static_cast<std::size_t>(i)] * 1000.0,
                  tr.err[static_cast<std::size_t>(i)] * 1000.0, 1.0);
    os << row << buf << '\n';
  }
}

void writeLevelTable(std::ostream& os, const std::vector<OutputLevel>& levels) {
  const double Emin = lowestEnergy(levels);
  os << "index,energy_cm-1,energy_GHz,J,Ka,Kc,F,v,species,set,degeneracy\n";
  char buf[160];
  int index = 0;
  for (const OutputLevel& lv : levels) {
    const double E = lv.E - Emin;
    std::string F;
    if (lv.F2 >= 0)
      F = lv.F2 % 2 == 0 ? std::to_string(lv.F2 / 2) : std::to_string(lv.F2 / 2) + ".5";
    std::snprintf(buf, sizeof buf, "%d,%.6f,%.9f,%d,%d,%d,%s,%d,%d,%d,%d\n", ++index,
                  E / GHZ_PER_WAVENUMBER, E, lv.J, lv.Ka, lv.Kc, F.c_str(), lv.V - 1, lv.S, lv.B,
                  levelDegeneracy(lv));
    os << buf;
  }
}

} // namespace ruvo
