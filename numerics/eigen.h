// Eigenvalue solvers for real symmetric and complex Hermitian matrices.
//
// Every energy level of a block is an eigenvalue of one of these matrices.
// Matrices are column-major with leading dimension nm >= n, 0-based:
// element (r, c) is a[r + c*nm].  Error codes are 0 on success, otherwise
// the 1-based index of the eigenvalue whose iteration did not converge (the
// results are then incomplete; the solvers never print and never stop).
//
// Real symmetric chain:   diagonaliseRealSymmetric (reduction + qlImplicitShift), then
// sortEigenpairs. Complex Hermitian chain (the caller sets zr to the unit matrix first):
//   reduceHermitianToTridiagonal(a, d, e, e2, tau); tridiagonalEigenpairsByQL(d, e, zr);
//   backTransformHermitianEigenvectors(a, tau, n, zr, zi); sortHermitianEigenpairs(d, zr, zi).
//
// Off-diagonal vectors of the tridiagonal matrices, two conventions:
//   * diagonaliseRealSymmetric/qlImplicitShift: e[k] couples rows k and k+1 (k = 0 .. n-2); e[n-1]
//   is
//     work space.
//   * reduceHermitianToTridiagonal/tridiagonalEigenpairsByQL: e[k] couples rows k-1 and k (k = 1 ..
//   n-1); e[0] = 0.
//     tridiagonalEigenpairsByQL reads e in exactly the form reduceHermitianToTridiagonal writes it.
#pragma once

namespace ruvo {

// Largest number of QL iterations spent on one eigenvalue (real symmetric
// and tridiagonal solvers alike); a solver that needs more reports the
// eigenvalue through ierr.
inline constexpr int QL_MAX_ITERATIONS = 30;

// Real symmetric: the lower triangle of a (diagonal included) is read; the
// strict upper triangle is used as work space.  On return a holds the
// orthonormal eigenvectors in its columns and d the eigenvalues (unsorted).
// e is work storage of length n.  Off-diagonal elements whose square is
// 1.0E-30 or less are treated as zero by the reduction.
void diagonaliseRealSymmetric(int nm, int n, double* a, double* d, double* e, int& ierr);
// Implicit-shift QL with plane rotations on the tridiagonal matrix with
// diagonal d[0..n-1] and off-diagonal e[0..n-2] (e[n-1] is set to 0),
// accumulating the rotations into the columns of z (n rows).  A coupling is
// negligible when |e[k]| <= 1.0E-15*(|d[k]|+|d[k+1]|); at most 30 iterations
// per eigenvalue.  d and e are overwritten; eigenvalues come out unsorted.
void qlImplicitShift(int nm, int n, double* z, double* d, double* e, int& ierr);
// Selection sort, ascending, permuting the columns of v (n rows) alike.
// Among equal values the last one wins, so two exactly equal eigenvalues
// exchange their eigenvectors.
void sortEigenpairs(double* d, double* v, int n, int nm);

// Complex Hermitian, packed in one real array: for r >= c, a(r, c) holds
// Re H(r, c); for r > c, a(c, r) holds Im H(r, c).  Reduces H by unitary
// similarity to the real symmetric tridiagonal matrix (d, e) with e[k] >= 0
// coupling rows k-1 and k (e[0] = 0) and e2[k] = e[k]^2.  The Householder
// vectors stay in a (the diagonal of a then marks which rows were
// reflected) and the phase factors that make the couplings real in tau
// (2 x n: tau[2k] + i tau[2k+1]); backTransformHermitianEigenvectors needs both.  d, e and tau are
// also used as work space while the reduction runs; e2 may be the same
// array as e when the squares are not needed (e then holds the couplings).
void reduceHermitianToTridiagonal(int nm, int n, double* a, double* d, double* e, double* e2,
                                  double* tau);
// QL iteration with explicit Wilkinson shifts on the symmetric tridiagonal
// matrix (d, e) with e[k] coupling rows k-1 and k (e[0] ignored), as left by
// reduceHermitianToTridiagonal.  z (n rows) must hold the unit matrix, or the transformation of a
// previous reduction; on return its columns are the orthonormal
// eigenvectors, d the eigenvalues in ascending order.  e is destroyed.
// ierr = l (1-based) when eigenvalue l needs more than 30 iterations; the
// eigenvalues 1 .. l-1 are then correct but unsorted.
void tridiagonalEigenpairsByQL(int nm, int n, double* d, double* e, double* z, int& ierr);
// Back-transformation: the eigenvectors zr + i zi of the Hermitian matrix
// from the first m real eigenvectors in zr, using what reduceHermitianToTridiagonal left in a and
// tau.  The last component of each vector comes out real; norms are kept.
void backTransformHermitianEigenvectors(int nm, int n, const double* a, const double* tau, int m,
                                        double* zr, double* zi);
// As sortEigenpairs, permuting the columns of zr and zi alike.
void sortHermitianEigenpairs(double* d, double* zr, double* zi, int n, int nm);
// Eigenvalues only, ascending, of the real symmetric band matrix of order n
// with kd bands below the diagonal, given in LAPACK's lower band storage:
// element (r, c), c <= r <= c + kd, at ab[(r - c) + c * ldab], ldab > kd.
// ab is destroyed; work holds at least max(1, 3n - 2) values.  Returns 0,
// or LAPACK's info when the iteration failed (LAPACK dsbev).
int symmetricBandEigenvalues(int n, int kd, double* ab, int ldab, double* w, double* work);
// The m lowest eigenvalues (ascending, in w) and their orthonormal
// eigenvectors (the first m columns of z, leading dimension nm) of the real
// symmetric matrix whose lower triangle is in a (destroyed), by LAPACK
// dsyevr: one reduction to tridiagonal form and only the eigenvectors
// asked for, where the full solution would rotate all n.  work holds lwork
// >= 26 n values, iwork liwork >= 10 n + 2 m integers.  Returns 0, LAPACK's
// info, -1 for too little work space or -2 when fewer than m were found.
int lowestEigenpairsRealSymmetric(int nm, int n, int m, double* a, double* w, double* z,
                                  double* work, int lwork, int* iwork, int liwork);
// sqrt(a^2 + b^2) without destructive overflow or underflow
double hypotenuse(double a, double b);

} // namespace ruvo
