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

// Eigenvalues, ascending, of the complex Hermitian matrix packed as htrid3
// reads it (Re H(r, c) at a(r, c), r >= c; Im H(r, c) at a(c, r), r > c): the
// reduction htrid3, then the root-free QL iteration of the tridiagonal
// matrix (LAPACK dsterf).  a is destroyed; e and tau hold n and 2n values.
// Returns 0, or LAPACK's info.
int hermitianEigenvalues(int nm, int n, double* a, double* d, double* e, double* tau);

} // namespace ruvo
