// Dependent internal-rotation parameters: F, F12, rho, F0 and the axis angles.
#pragma once

#include "driver/state.h"

namespace ruvo {

// Recompute the parameters of one set that the adjustment bits `adjf`
// declare dependent (ntop tops).
void adjusta(RunState& rs, ParamView set, int npar, int adjf);

// F0 and direction cosines (lx, ly, lz) of a top axis from rho, beta, gamma
// and the rotational constants Bx, By, Bz.
void recalf(double rho, double beta, double gamma, double Bx, double By, double Bz,
            double& F0, double& lx, double& ly, double& lz);

} // namespace ruvo
