// The one-top torsional problem in the free-rotor basis.
//
// Basis functions exp(i m_k alpha), m_k = sigma + n (k - 1 - M), k = 1..2M+1.
// In this basis the kinetic term F (m - rho K)^2 is diagonal and the
// potential terms couple m with m +- n (cos n alpha) and m +- 2n
// (cos 2n alpha), i.e. neighbouring and second-neighbouring basis places.
// Everything is real: the Hamiltonian is a real symmetric band matrix.
#include "torsion/torsional_matrices.h"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <string>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "numerics/eigen.h"
#include "numerics/largest_components.h"

namespace ruvo {

void applyTorsionalOperator(const double* x, int size, const TorsParams& p, const OpCoef& oc,
                            const int* m, double* y, int K) {
  if (size > DIMTOT) stop("Dimension Error in MULTM");
  const auto& c = oc.c;
  const double rhoK = p.rho * K;
  // diagonal operators: kinetic (m - rho K)^2, the constant halves of the
  // potentials, the rho derivative of the kinetic term and (m - rho K)
  for (int k = 0; k < size; ++k) {
    const double pm = m[k] - rhoK; // m - rho K, the torsional angular momentum in the top
    const double diag =
        c[0] * pm * pm + 0.5 * c[1] + 0.5 * c[2] + c[3] * 2.0 * p.F * K * (-pm) + c[4] * pm;
    y[k] += diag * x[k];
  }
  // -(1/4) V between m and m +- n: the cos n alpha part of (1 - cos n alpha)/2
  if (c[1] != 0.0)
    for (int k = 0; k + 1 < size; ++k) {
      y[k] += -0.25 * c[1] * x[k + 1];
      y[k + 1] += -0.25 * c[1] * x[k];
    }
  // the same for cos 2n alpha between m and m +- 2n
  if (c[2] != 0.0)
    for (int k = 0; k + 2 < size; ++k) {
      y[k] += -0.25 * c[2] * x[k + 2];
      y[k + 2] += -0.25 * c[2] * x[k];
    }
  // sin n alpha = (e^{in alpha} - e^{-in alpha})/2i, kept as a real
  // antisymmetric matrix
  if (c[6] != 0.0)
    for (int k = 0; k + 1 < size; ++k) {
      y[k] -= 0.5 * c[6] * x[k + 1];
      y[k + 1] += 0.5 * c[6] * x[k];
    }
  // cos n alpha = (e^{in alpha} + e^{-in alpha})/2
  if (c[5] != 0.0)
    for (int k = 0; k + 1 < size; ++k) {
      y[k] += 0.5 * c[5] * x[k + 1];
      y[k + 1] += 0.5 * c[5] * x[k];
    }
}

void buildTorsionalMatrix(int nfold, int sigma, double* h, const TorsParams& p, OpCoef& c, int* m,
                          int size, int K) {
  if (size > DIMTOT) stop("Dimension Error in BUILDM");
  m[0] = sigma - nfold * (size / 2);
  for (int k = 1; k < size; ++k) m[k] = m[k - 1] + nfold;
  for (int i = 3; i < 8; ++i) c.c[i] = 0.0;
  double unit[DIMTOT];
  for (int k = 0; k < size; ++k) unit[k] = 0.0;
  for (int k = 0; k < size; ++k) {
    double* col = h + static_cast<std::size_t>(k) * DIMTOT;
    for (int r = 0; r < size; ++r) col[r] = 0.0;
    unit[k] = 1.0;
    applyTorsionalOperator(unit, size, p, c, m, col, K);
    unit[k] = 0.0;
  }
}

void fixTorsionalPhases(int sigma, double* z, const int* m, int size, int nV, int firstV, int K) {
  if (size > DIMTOT) stop(" ERROR: DIM 2M1 exceeded");
  const int nvec = nV + firstV - 1;
  if (size < 1 || nvec < 1) return;
  // The lowest state: its first coefficient of largest magnitude is made
  // positive.  For K = 0 and sigma = 0 the basis is symmetric in m <-> -m,
  // and only the half up to m = 0 is searched so that a symmetric
  // combination of m and -m is decided by its negative-m member.
  const int search = (K == 0 && sigma == 0) ? size / 2 + 1 : size;
  int best = 0;
  for (int k = 1; k < search; ++k)
    if (std::fabs(z[k]) > std::fabs(z[best])) best = k;
  if (z[best] < 0.0)
    for (int k = 0; k < size; ++k) z[k] = -z[k];
  // Each further state: the element of s*m between it and the state below
  // is made non-negative (s = -1 for negative sigma, so that the E states
  // of sigma = +1 and -1 get mirror-image phases).
  const double s = sigma < 0 ? -1.0 : 1.0;
  for (int j = 1; j < nvec && j < size; ++j) {
    const double* lower = z + static_cast<std::size_t>(j - 1) * DIMTOT;
    double* upper = z + static_cast<std::size_t>(j) * DIMTOT;
    double mElement = 0.0; // <j-1| m |j>
    for (int k = 0; k < size; ++k) mElement += lower[k] * upper[k] * m[k];
    if (s * mElement < 0.0)
      for (int k = 0; k < size; ++k) upper[k] = -upper[k];
  }
}

void labelTorsionalStates(int /*sigma*/, const double* z, const int* m, int size, int nV,
                          int firstV, int* label, int /*K*/) {
  if (size > DIMTOT) stop(" ERROR: DIM 2M1 exceeded");
  const int nvec = nV + firstV - 1;
  if (size < 1 || nvec < 1 || nV < 1) return;
  int imax[DIMTOT + 1], isec[DIMTOT + 1];
  double vmax[DIMTOT + 1], vsec[DIMTOT + 1];
  largestComponents(z, DIMTOT, DIMTOT, size, 1, nvec, imax, isec, vmax, vsec);
  // Label of a kept state: the m of its largest coefficient.  A nearly even
  // mixture of two free-rotor functions (m and -m for K = 0) is labelled
  // |m| for the in-phase and -|m| for the out-of-phase combination.
  for (int i = 0; i < nV; ++i) {
    const int j = firstV + i; // state number, 1-based column
    const int mLarge = m[imax[j] - 1];
    int lab = mLarge;
    if (size > 1 && std::fabs(vmax[j]) - std::fabs(vsec[j]) < 0.0002) {
      const bool sameSign = (vmax[j] < 0.0) == (vsec[j] < 0.0);
      lab = sameSign ? std::abs(mLarge) : -std::abs(mLarge);
    }
    label[i] = lab;
  }
}

void torsionalOperatorElements(const TorsParams& p, const int* m, int size, int nV, int firstV,
                               const double* z, double (*ovv)[DIMVKEEP][DIMVKEEP], int K) {
  if (size > DIMTOT) stop("Dimension Error in CALOVV");
  const int nClear = std::min(std::max(nV, DIMV), DIMVKEEP);
  for (int op = 0; op < NTOROP; ++op)
    for (int i = 0; i < nClear; ++i)
      for (int j = 0; j < nClear; ++j) ovv[op][i][j] = 0.0;
  double w[DIMTOT];
  // operators 1..7 are the single coefficients c0..c6
  for (int op = 0; op < 7; ++op) {
    OpCoef c;
    c.c[op] = 1.0;
    for (int j = 0; j < nV; ++j) {
      const double* zj = z + static_cast<std::size_t>(firstV - 1 + j) * DIMTOT;
      for (int k = 0; k < size; ++k) w[k] = 0.0;
      applyTorsionalOperator(zj, size, p, c, m, w, K); // w = O_op |j>
      for (int i = 0; i < nV; ++i) {
        const double* zi = z + static_cast<std::size_t>(firstV - 1 + i) * DIMTOT;
        double element = 0.0;
        for (int k = 0; k < size; ++k) element += zi[k] * w[k];
        ovv[op][i][j] = element;
      }
    }
  }
  // operator 8: the square of the cos n alpha element
  for (int i = 0; i < nV; ++i)
    for (int j = 0; j < nV; ++j) ovv[7][i][j] = ovv[4][i][j] * ovv[4][i][j];
}

void solveOneTopTorsion(int nfold, int sigma, double* z, TorsResult& res, const TorsParams& p,
                        int K, int M, int firstV, int nV) {
  const int size = 2 * M + 1;
  if (size < nV + firstV) stop("ERROR: size m < size v");
  if (nV > DIMVKEEP) stop("ERROR: sizev > DIMV in calcm");
  if (size > DIMM) stop("ERROR: sizem > DIMM in calcm");
  if (size > DIMTOT) stop("ERROR: sizem > DIMTOT in calcm");
  res.size = size;

  int m[DIMTOT];
  OpCoef c;
  c.c[0] = p.F;
  c.c[1] = p.V1n;
  c.c[2] = p.V2n;
  buildTorsionalMatrix(nfold, sigma, z, p, c, m, size, K);

  double d[DIMTOT], e[DIMTOT];
  int ierr = 0;
  diagonaliseRealSymmetric(DIMTOT, size, z, d, e, ierr);
  // Without convergence the torsional states are incomplete and every
  // block built on them would be wrong: the run stops.
  if (ierr != 0)
    stop(fmt("(A,3I3)", {"Error: HDIAG in CALCM: IERR =", ierr, K, sigma}) +
         " one-top torsional problem (K = " + std::to_string(K) +
         ", sigma = " + std::to_string(sigma) + "): eigenvalue " + std::to_string(ierr) +
         " not converged within " + std::to_string(QL_MAX_ITERATIONS) + " QL iterations");
  sortEigenpairs(d, z, size, DIMTOT);
  fixTorsionalPhases(sigma, z, m, size, nV, firstV, K);
  int label[DIMVKEEP] = {};
  labelTorsionalStates(sigma, z, m, size, nV, firstV, label, K);
  torsionalOperatorElements(p, m, size, nV, firstV, z, res.ovv, K);

  for (int v = 0; v < nV; ++v) {
    const int col = firstV - 1 + v;
    res.E[v] = d[col];
    res.label[v] = label[v];
    const double* zc = z + static_cast<std::size_t>(col) * DIMTOT;
    for (int k = 0; k < DIMM; ++k) res.vec[v][k] = k < size ? zc[k] : 0.0;
  }
}

} // namespace ruvo
