// One step of the damped (Levenberg-Marquardt) least-squares fit.
#pragma once

#include "driver/state.h"

namespace ruvo {

// What the fit sees of the spectrum: the model function of one line.
struct FitModelFunction {
  virtual ~FitModelFunction() = default;
  // residual of line i (observed - calculated), derivatives dyda[1..nfit], sigma
  virtual double value(int i, double* dyda, double& sigma, int nfit) = 0;
  virtual void savepsi(int i, double x) = 0;
};

} // namespace ruvo
