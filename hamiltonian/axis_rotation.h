// Wigner rotation matrices d^J(beta) of the top axis systems, by recursion in J.
#pragma once

#include "core/state.h"

namespace ruvo {

// Make the matrices of J current in `store` (updating store.mark).
void rotateTopAxes(RotationStore& store, double beta, int J);
// Compute the matrices of Jp from those of Jp-1 (directly for Jp <= 1).
void rotationMatricesNextJ(RotationStore& store, double beta, int Jp);

} // namespace ruvo
