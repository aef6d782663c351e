// The four Wang symmetry blocks of a rigid-rotor J block.
//
// Without internal rotation, without the off-diagonal quadrupole terms
// chi_xy, chi_xz, chi_yz and without the linear terms P_x, P_y, P_z, the
// Hamiltonian of a J block (energies in GHz) has the symmetry of the rotation
// group D2: it couples K only with K +- 2, +- 4, +- 6, and <K|H|K'> equals
// <-K|H|-K'>.  In the Wang functions |K,s> = (|K> + s|-K>)/sqrt 2 (K > 0,
// s = +-1) and |0> it falls apart into four blocks: K even s = +1 (with K = 0),
// K even s = -1, K odd s = +1 and K odd s = -1, each about a quarter of the
// size, so that diagonalising them costs about a sixteenth of the whole block.
#pragma once

#include "core/state.h"

namespace ruvo {

// Whether a block of set parameters `par` may be solved by its Wang blocks:
// no tops in effect, one product torsional state, and none of the terms
// that break the D2 symmetry.
bool hasWangSymmetry(const SweepWork& sw, ConstParamView par);

// Diagonalise the real block of J (basis K = -J..J, lower triangle of sw.H,
// leading dimension sw.ld) through its four Wang blocks.  On return E holds
// the 2J+1 energies ascending and the columns of sw.H the orthonormal
// eigenvectors in the |K> basis, as the whole-block solver leaves them; sw.V
// and sw.w1, sw.w2 are used as work storage.  ierr is nonzero when the
// iteration of one block did not converge.
void diagonaliseByWangBlocks(SweepWork& sw, int J, double* E, int& ierr);

} // namespace ruvo
