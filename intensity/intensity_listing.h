// Predicted spectrum in the frequency window (ints = 2: by species,
// ints = 3: grouped by rotational quantum numbers).
#pragma once

#include "core/state.h"

namespace ruvo {

void printPredictedSpectrum(RunState& rs, SweepWork& sw, double mux, double muy, double muz,
                            double temp);
void printGroupedSpectrum(RunState& rs, SweepWork& sw, double mux, double muy, double muz,
                          double temp);

} // namespace ruvo
