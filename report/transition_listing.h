// The observed-minus-calculated table of the transitions.
#pragma once

#include "core/state.h"

namespace ruvo {

// Print the listing and fill the fit statistics.
void printTransitionListing(RunState& rs, FitStats& stats);

} // namespace ruvo
