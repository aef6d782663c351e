// How many torsional states the top keeps when the run asks for converged
// levels (vkeep = -1).
#pragma once

#include "core/state.h"

namespace ruvo {

// Raises the states that the top keeps, coupled completely, from 3 in steps
// of 2 until no calculated frequency of the transition list changes by more
// than vtol (kHz) from one count to the next, with the starting parameters;
// lists each count and its largest change and leaves the count in
// rs.ctl.vkeep.  Frequencies still changing at the largest count the basis
// allows (2 maxm) are reported on standard error and counted as a problem.
void convergeKeptStates(RunState& rs, const FitState& fs, SweepWork& sw);

} // namespace ruvo
