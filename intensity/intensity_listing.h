// Predicted spectrum in the frequency window (ints = 2: by species,
// ints = 3: grouped by rotational quantum numbers).
#pragma once

#include "driver/state.h"

namespace ruvo {

void intall(RunState& rs, SweepWork& sw, double mux, double muy, double muz, double temp);
void intal2(RunState& rs, SweepWork& sw, double mux, double muy, double muz, double temp);

} // namespace ruvo
