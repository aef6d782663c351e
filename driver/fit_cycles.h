// The fit cycles and the fit summary.
#pragma once

#include "core/state.h"

namespace ruvo {

// Runs the fit (or the single calculation of nzyk = 1), the final listing,
// the deviation summary and the fit summary.
void fitCycles(RunState& rs, FitState& fs, SweepWork& sw);

} // namespace ruvo
