// Eigenvalue solvers for real symmetric and complex Hermitian matrices.
//
// Matrices are column-major with leading dimension nm, 0-based:
// element (r, c) is a[r + c*nm].  Error codes are 0 on success, otherwise
// the 1-based index of the eigenvalue whose iteration did not converge.
#pragma once

namespace ruvo {

// Real symmetric: the lower triangle of a (diagonal included) is read; on
// return a holds the orthonormal eigenvectors in its columns and d the
// eigenvalues (unsorted).  e is work storage of length n.
void hdiag(int nm, int n, double* a, double* d, double* e, int& ierr);
// Implicit-shift QL on the tridiagonal (d, e(0..n-2)), accumulating into z.
void triag(int nm, int n, double* z, double* d, double* e, int& ierr);
// Selection sort, ascending; among equal values the last one wins, so two
// exactly equal eigenvalues exchange their eigenvectors.
void eigsrt(double* d, double* v, int n, int nm);

// Complex Hermitian, packed in one real array: for r >= c, a(r, c) holds
// Re H(r, c); for r > c, a(c, r) holds Im H(r, c).
void htrid3(int nm, int n, double* a, double* d, double* e, double* e2, double* tau);
// QL iteration on a symmetric tridiagonal matrix (e(1..n-1) sub-diagonal as
// produced by htrid3, i.e. e[0] unused); z must start as the unit matrix.
void tql2(int nm, int n, double* d, double* e, double* z, int& ierr);
// Back-transformation: eigenvectors zr + i zi of the Hermitian matrix from
// the m real eigenvectors in zr.
void htrib3(int nm, int n, const double* a, const double* tau, int m, double* zr, double* zi);
void heigsrt(double* d, double* zr, double* zi, int n, int nm);
// sqrt(a^2 + b^2) without destructive overflow or underflow
double pythag(double a, double b);

} // namespace ruvo
