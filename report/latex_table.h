// The transitions as the body of a LaTeX longtable.
#pragma once

#include "driver/state.h"

namespace ruvo {

void ltxpr(RunState& rs);

} // namespace ruvo
