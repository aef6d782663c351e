// Internal-rotation operators of the tops, rotated into the principal axes.
//
// Each top's torsional problem is solved in the top's own axis system, where
// its operators are diagonal in K.  Here those operators are brought into the
// principal axis system with the Wigner matrices d^J(beta_t) of the top,
// O_t = d^T A_t d, given the phase exp(i (K - K') gamma_t) of the top's second
// angle, multiplied with angular-momentum factors where needed and added into
// the block matrix sw.H (packed Hermitian layout: real parts in and below the
// diagonal, the imaginary part of element (r, c), r > c, at (c, r)).
//
// Work table of top t (sw.rotOp[t], leading dimension sw.ld):
//   O_t(K, v; K', v') = sw.rotOp[t][rotRow(K, v) + rotRow(K', v') * sw.ld]
// with rotRow(K, v) = (v - 1) * d + (K + J), d = 2J + 1, K = -J..J and v the
// number of the torsional state within the kept window of the top
// (1..sw.tors.nV[t]; one-top state sw.tors.firstV[t] + v - 1, the window the
// torsional tables of the B set hold).  A rotation clears the
// (d * nV)^2 table of every top in effect and refills it.
#pragma once

#include "core/state.h"

namespace ruvo {

// Row of (K, v) in a rotated-operator table of a block with K dimension d.
inline int rotRow(int K, int v, int J, int d) { return (v - 1) * d + (K + J); }

// Add every term that belongs to the internal tops to sw.H (packed
// Hermitian layout; `complexBlock` selects the Hermitian variants).
void addInternalRotationTerms(const RunState& rs, SweepWork& sw, int J, int S, int F2,
                              ConstParamView par, bool complexBlock);

// Rotate torsional operator `op` (1..7 of the operator tables) of every top
// in effect into the principal axes (`opFirst` for top 1, `opOther` for the
// other tops).  With `reference` the table of the top's symmetry number in
// species 1 is subtracted from that of species S.
void rotateTorsionalOperators(const RunState& rs, SweepWork& sw, int J, int S, int opFirst,
                              int opOther, bool reference);
// Rotate the torsional energies of every top in effect into the principal axes.
void rotateTorsionalEnergies(const RunState& rs, SweepWork& sw, int J, int S);

// One-top Hamiltonians (the tables of rotateTorsionalEnergies) into sw.H: real and Hermitian.
void addOneTopTermsReal(const RunState& rs, SweepWork& sw, int J, int S, double factor);
void addOneTopTermsHermitian(const RunState& rs, SweepWork& sw, int J, int S, ConstParamView par,
                             double factor);

// Top-top products of the tables of rotateTorsionalOperators, for every pair of tops.
void addTopTopCouplingReal(const RunState& rs, SweepWork& sw, int J, double factor);
void addTopTopCouplingHermitian(const RunState& rs, SweepWork& sw, int J, ConstParamView par,
                                double factor);
// Top-top product of unrotated operator tables (diagonal in K).
void addUnrotatedTopTopProduct(const RunState& rs, SweepWork& sw, int J, int S, double value,
                               int op);

// Torsion-rotation distortion operators with the parameter at `offset`
// (place 32 + 15 (t-1) + offset of top t): 2 J(J+1) D O, (K^2 + K'^2) D O and
// D {J+^2 + J-^2, O} / 2.
void addTorsionRotationDistortionJ(const RunState& rs, SweepWork& sw, int J, ConstParamView par,
                                   int offset);
void addTorsionRotationDistortionK(const RunState& rs, SweepWork& sw, int J, ConstParamView par,
                                   int offset);
void addTorsionRotationDistortionMinus(const RunState& rs, SweepWork& sw, int J, ConstParamView par,
                                       int offset);

} // namespace ruvo
