// Rigid-rotor, centrifugal-distortion, quadrupole, spin-rotation and linear
// terms of the block Hamiltonian, applied as an operator to vectors.
#pragma once

#include <vector>

#include "core/state.h"

namespace ruvo {

// y += H_rot x for the block (J, S, 2F) described by sw.blk and sw.basis.
// Reads parameter places 1..32 of `par` only.
void applyRotorHamiltonian(const RunState& rs, const SweepWork& sw, int J, int S, int F2,
                           ConstParamView par, const double* xr, const double* xi, double* yr,
                           double* yi);
// Add the rotor terms to the packed Hermitian matrix sw.H, column by column
// (uses sw.w1 .. sw.w4 as scratch vectors).
void addRotorTerms(const RunState& rs, SweepWork& sw, int J, int S, int F2, ConstParamView par);
// Every element of the rotor terms of the block (any size: sw.basis must
// hold positions 1..N), as a list.
void recordRotorElements(const RunState& rs, const SweepWork& sw, int J, int S, int F2,
                         ConstParamView par, std::vector<OperatorElement>& elements);

// Write down, once per block, the elements of dH/dp of the flagged places
// p = 1..32 (into sw.rotorOps).
void recordRotorParameterOperators(const RunState& rs, SweepWork& sw, int J, int S, int F2,
                                   ConstFlagView flags);
// Hellmann-Feynman derivatives <v|dH/dp|v> (GHz per unit of p) for the
// flagged places p = 1..32 with the elements recorded for the block, into
// result[1..32] (0 where the flag is clear; sw.w3, sw.w4 are scratch).
void rotorParameterDerivatives(SweepWork& sw, const double* vr, const double* vi,
                               ConstFlagView flags, double* result);

} // namespace ruvo
