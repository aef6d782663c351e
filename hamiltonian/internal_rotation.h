// Internal-rotation operators of the tops, rotated into the principal axes.
#pragma once

#include "driver/state.h"

namespace ruvo {

// Add every term that belongs to the internal tops to sw.H (packed
// Hermitian layout; `complexBlock` selects the Hermitian variants).
void bld2vjk(const RunState& rs, SweepWork& sw, int J, int S, int F2, ConstParamView par,
             bool complexBlock);

} // namespace ruvo
