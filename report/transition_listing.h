// The observed-minus-calculated table of the transitions.
#pragma once

#include "driver/state.h"

namespace ruvo {

// Print the listing and fill the fit statistics.
void funpr(RunState& rs, FitStats& stats);

} // namespace ruvo
