// Quantum-number labels of the levels of a block and their hand-over to the
// transitions.
#pragma once

#include "driver/state.h"

namespace ruvo {

void assgn(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, int pass);
void esave(RunState& rs, SweepWork& sw, int J, int S, int F2, int B);
void devsave(RunState& rs, const SweepWork& sw, int J, int S, int F2, int B, int T,
             const FitModel& fm, const double* dEdp);

} // namespace ruvo
