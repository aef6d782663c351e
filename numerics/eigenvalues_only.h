// Eigenvalues without eigenvectors, for sums over levels (the partition
// function) that need the energies alone.  Matrices as in numerics/eigen.h:
// column-major, leading dimension nm, 0-based.
#pragma once

#include <vector>

namespace ruvo {

// Eigenvalues, ascending, of the real symmetric matrix whose lower triangle, diagonal
// included, is in a; a is destroyed.  work grows as LAPACK asks.  Returns 0,
// or LAPACK's info when the iteration failed (dsyev without vectors).
int realSymmetricEigenvalues(int nm, int n, double* a, double* d, std::vector<double>& work);

// Eigenvalues, ascending, of the complex Hermitian matrix packed as reduceHermitianToTridiagonal
// reads it (Re H(r, c) at a(r, c), r >= c; Im H(r, c) at a(c, r), r > c): the
// reduction reduceHermitianToTridiagonal, then the root-free QL iteration of the tridiagonal
// matrix (LAPACK dsterf).  a is destroyed; e and tau hold n and 2n values.
// Returns 0, or LAPACK's info.
int hermitianEigenvalues(int nm, int n, double* a, double* d, double* e, double* tau);

// Eigenvalues, ascending, of the complex Hermitian band matrix of order n
// with kd bands below the diagonal, in LAPACK's lower band storage with each
// complex number as its (real, imaginary) pair: element (r, c),
// c <= r <= c + kd, at ab[2 ((r - c) + c ldab)] and the next double, ldab > kd.
// ab is destroyed; work holds 2n values, rwork max(1, 3n - 2).  Returns 0,
// or LAPACK's info when the iteration failed (zhbev without vectors).
int hermitianBandEigenvalues(int n, int kd, double* ab, int ldab, double* w, double* work,
                             double* rwork);

} // namespace ruvo
