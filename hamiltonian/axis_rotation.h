// Wigner rotation matrices d^J(beta) of the top axis systems, by recursion in J.
#pragma once

#include "core/state.h"

namespace ruvo {

// Make the matrices of J current in `store` (updating store.mark).
void rotateTopAxes(RotationStore& store, double beta, int J);
// Compute the matrices of Jp from those of Jp-1 (directly for Jp <= 1).
void rotationMatricesNextJ(RotationStore& store, double beta, int Jp);
// Tabulate the matrices of J = 0..maxJ for `beta` (nothing to do when the
// table holds them already), with `scratch` as the recursion's store.
void tabulateTopRotations(RotationTable& table, RotationStore& scratch, double beta, int maxJ);
// Make the tabulated matrices of J current in `store`.
void loadTopRotation(RotationStore& store, const RotationTable& table, int J);

} // namespace ruvo
