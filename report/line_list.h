// Line list of the measured lines in the layout of SPFIT's .lin files, and
// every computed level as a CSV table.  Frequencies in MHz, energies in
// cm^-1 and GHz above the lowest level.
#pragma once

#include <array>
#include <iosfwd>
#include <vector>

#include "core/state.h"
#include "report/catalogue.h"

namespace ruvo {

// Level index (into the level list) of each end of each transition 1..ndata;
// -1 where the level was not found.
using EndLevels = std::vector<std::array<int, 2>>;

// True for a line that carries its own measured frequency: a data point
// that is not a splitting against another line.
bool isMeasuredLine(const Transitions& tr, int i);

// One row per measured line: the NQN = q.count() quanta of the upper level
// in the first NQN of 12 fields I3, those of the lower level in the next NQN
// (SPFIT's packing; the remaining fields blank), then from column 37 the
// frequency (MHz), its uncertainty (MHz) and the weight 1.
void writeLineList(std::ostream& os, const Transitions& tr, const EndLevels& ends,
                   const std::vector<OutputLevel>& levels, const QuantaCoding& q);

// Header "index,energy_cm-1,energy_GHz,J,Ka,Kc,F,v,species,set,degeneracy",
// then one row per level in the order of the list; F is empty without
// hyperfine structure (half-integer F as 1.5), v the torsional state
// counted from 0.
void writeLevelTable(std::ostream& os, const std::vector<OutputLevel>& levels);

} // namespace ruvo
