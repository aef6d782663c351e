// The one-top torsional problem: a methyl-like top of n-fold symmetry in the
// free-rotor basis exp(i m alpha), m = sigma + n*j, for one symmetry number
// sigma and one K of the internal-axis frame.
//
//   H = F (m - rho K)^2 + V1n/2 (1 - cos n alpha) + V2n/2 (1 - cos 2n alpha)
//
// Energies in GHz.  Matrices are column-major with leading dimension DIMTOT.
#pragma once

#include <array>
#include <iosfwd>

#include "core/state.h"

namespace ruvo {

// F, V1n, V2n, rho of one top.
struct TorsParams {
  double F = 0.0, V1n = 0.0, V2n = 0.0, rho = 0.0;
};

// Selects the operator applied by applyTorsionalOperator: the sum of c[i] times operator i,
//   c0 (m - rho K)^2                       c1 (1 - cos n alpha)/2
//   c2 (1 - cos 2n alpha)/2                c3 2 F K (rho K - m)   (d/d rho of F (m - rho K)^2)
//   c4 (m - rho K)                         c5 cos n alpha
//   c6 sin n alpha as a real antisymmetric matrix (-1/2 above, +1/2 below)
// c7 is not used by any operator.
struct OpCoef {
  std::array<double, 8> c{};
};

// Number of operators whose kept-state elements are formed: the seven of
// c0..c6 and, as operator 8, the square of the element of operator 5.
inline constexpr int NTOROP = 8;

// Results of one torsional problem for the kept window of nV states (at
// most DIMVKEEP).
struct TorsResult {
  std::array<double, DIMVKEEP> E{};            // energies, GHz
  double ovv[NTOROP][DIMVKEEP][DIMVKEEP] = {}; // ovv[op-1][i][j]
  double vec[DIMVKEEP][DIMM] = {};             // vec[v][k]
  std::array<int, DIMVKEEP> label{};           // free-rotor label m
  int size = 0;                                // 2M+1
};

// Solve the problem of (sigma, K) with basis half-width M and keep the nV
// states from state firstV on (states numbered from 1 by energy).  z is a
// DIMTOT x DIMTOT work matrix.  A diagonalisation that does not converge
// stops the run.
void solveOneTopTorsion(int nfold, int sigma, double* z, TorsResult& res, const TorsParams& p,
                        int K, int M, int firstV, int nV);

// Hamiltonian matrix (c0 = F, c1 = V1n, c2 = V2n as given in `c`; c3..c7 are
// cleared) of size `size` into h, column by column; the basis labels into m.
void buildTorsionalMatrix(int nfold, int sigma, double* h, const TorsParams& p, OpCoef& c, int* m,
                          int size, int K);

// y += O x for the operator selected by c (basis labels m, size entries).
void applyTorsionalOperator(const double* x, int size, const TorsParams& p, const OpCoef& c,
                            const int* m, double* y, int K);

// Fix the signs of the eigenvectors (columns of z, ascending energies).
void fixTorsionalPhases(int sigma, double* z, const int* m, int size, int nV, int firstV, int K);

// Free-rotor labels of the kept states firstV..firstV+nV-1 into label[0..nV-1].
void labelTorsionalStates(int sigma, const double* z, const int* m, int size, int nV, int firstV,
                          int* label, int K);

// Matrix elements ovv[op-1][i][j] = <i|O_op|j> between the kept states.
void torsionalOperatorElements(const TorsParams& p, const int* m, int size, int nV, int firstV,
                               const double* z, double (*ovv)[DIMVKEEP][DIMVKEEP], int K);

} // namespace ruvo
