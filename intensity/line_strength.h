// Line strengths of electric-dipole transitions from stored eigenvectors.
#pragma once

#include "driver/state.h"

namespace ruvo {

// Line strength of transition `line`; -99 for different species, -98 for
// |Delta J| >= 2.
double intens(RunState& rs, SweepWork& sw, int line, double mux, double muy, double muz);

} // namespace ruvo
