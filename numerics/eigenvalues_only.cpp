// Eigenvalues without eigenvectors: the reduction to tridiagonal form and
// the QL iteration without accumulating the transformations cost about a
// third (real) to a fifth (Hermitian) of the whole eigenvector chain.
#include "numerics/eigenvalues_only.h"

#include <algorithm>

#include "numerics/eigen.h"

extern "C" void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda,
                       double* w, double* work, const int* lwork, int* info);
extern "C" void dsterf_(const int* n, double* d, double* e, int* info);
// complex arrays as (real, imaginary) pairs of doubles
extern "C" void zhbev_(const char* jobz, const char* uplo, const int* n, const int* kd, double* ab,
                       const int* ldab, double* w, double* z, const int* ldz, double* work,
                       double* rwork, int* info);

namespace ruvo {

int realSymmetricEigenvalues(int nm, int n, double* a, double* d, std::vector<double>& work) {
  if (n <= 0) return 0;
  const char jobz = 'N', uplo = 'L';
  int info = 0, query = -1;
  double best = 0.0;
  dsyev_(&jobz, &uplo, &n, a, &nm, d, &best, &query, &info);
  if (info != 0) return info;
  const int lwork = std::max(static_cast<int>(best), std::max(1, 3 * n - 1));
  if (work.size() < static_cast<std::size_t>(lwork)) work.resize(static_cast<std::size_t>(lwork));
  dsyev_(&jobz, &uplo, &n, a, &nm, d, work.data(), &lwork, &info);
  return info;
}

int hermitianEigenvalues(int nm, int n, double* a, double* d, double* e, double* tau) {
  if (n <= 0) return 0;
  // e[k] couples rows k-1 and k (e[0] = 0); dsterf reads e[k] coupling k, k+1
  reduceHermitianToTridiagonal(nm, n, a, d, e, e, tau);
  int info = 0;
  dsterf_(&n, d, e + 1, &info);
  return info;
}

int hermitianBandEigenvalues(int n, int kd, double* ab, int ldab, double* w, double* work,
                             double* rwork) {
  if (n <= 0) return 0;
  const char jobz = 'N', uplo = 'L';
  const int ldz = 1;
  double z[2] = {0.0, 0.0};
  int info = 0;
  zhbev_(&jobz, &uplo, &n, &kd, ab, &ldab, w, z, &ldz, work, rwork, &info);
  return info;
}

} // namespace ruvo
