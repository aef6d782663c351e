#include "driver/fit_cycles.h"

namespace ruvo {

void fitCycles(RunState&, FitState&, SweepWork&) {}

} // namespace ruvo
