// The fit model function: residual, uncertainty and derivatives of a line.
#pragma once

#include "core/state.h"

namespace ruvo {

// For line i: returns the residual y (observed minus calculated), fills
// dyda[1..nfit] and sigma.
double lineResidual(RunState& rs, int i, double* dyda, double& error, int nfit);
// Store one value per line (the fit's robust weight).
void storeRobustWeight(RunState& rs, int i, double x);

} // namespace ruvo
