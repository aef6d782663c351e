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

#include <vector>

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

// Levels of a rigid rotor are labelled J Ka Kc by their running number t in
// the block (Ka = t/2, Kc = (2J - t + 2)/2): the levels of one J never cross.
// A K doublet that is degenerate to rounding (high K of a near-prolate or a
// near-oblate rotor) comes out of the solver in either order, and then both
// of its levels would carry the Ka or Kc parity of the other.  The parities
// are fixed by the symmetry of the eigenvectors: under the twofold rotation
// about the a axis a level has the character (-1)^Ka, about the c axis
// (-1)^Kc.  This puts the two eigenvectors (columns of sw.H, |K> basis) of
// every such doublet into the order of their labels; the energies E stay
// as they are (they agree to rounding).  The a and c axes are the axes of the
// largest and smallest rotational constant of `par` (GHz).
void orderDoubletsBySymmetry(SweepWork& sw, int J, const double* E, ConstParamView par);

// Storage of rigidRotorEnergies, grown to the largest J asked for.
struct RigidEnergyWork {
  SweepWork block; // only its block sizes and basis rows are used
  std::vector<OperatorElement> elements;
  std::vector<double> h, band, e, work;
};

// Energies (GHz, ascending, 2J+1 of them) of the rigid-rotor block of J and
// 2F of set `par` (energy only: no eigenvectors, labels or derivatives), for
// any J: the partition function needs levels far above the J range of the
// transitions.  The same rotor terms as a block of the sweep, in the four
// Wang blocks, which are band matrices (couplings Delta K <= 6).  Returns
// false when the terms break the Wang symmetry (hasWangSymmetry) or the
// iteration failed.
bool rigidRotorEnergies(const RunState& rs, int J, int F2, ConstParamView par, RigidEnergyWork& w,
                        std::vector<double>& E);

} // namespace ruvo
