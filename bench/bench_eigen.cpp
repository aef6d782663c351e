// Speed of the eigenvalue solvers against LAPACK on the same matrices:
// diagonaliseRealSymmetric + sortEigenpairs against dsyev, and the complex chain
// reduceHermitianToTridiagonal + tridiagonalEigenpairsByQL + backTransformHermitianEigenvectors +
// sortHermitianEigenpairs against zheev, eigenvectors included.
#include "numerics/eigen.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <complex>
#include <cstddef>
#include <random>
#include <vector>

extern "C" {
void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w,
            double* work, const int* lwork, int* info, std::size_t, std::size_t);
void zheev_(const char* jobz, const char* uplo, const int* n, std::complex<double>* a,
            const int* lda, double* w, std::complex<double>* work, const int* lwork, double* rwork,
            int* info, std::size_t, std::size_t);
}

namespace {

constexpr int NM = 423; // leading dimension of the block matrices

// Random real symmetric matrix of order n, full storage, leading dimension NM.
std::vector<double> symmetricMatrix(int n) {
  std::mt19937 gen(1234 + n);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> a(static_cast<std::size_t>(NM) * NM, 0.0);
  for (int c = 0; c < n; ++c)
    for (int r = c; r < n; ++r) a[r + c * NM] = a[c + r * NM] = u(gen);
  return a;
}

// Random complex Hermitian matrix of order n: the packed real form the
// solvers read, and the full complex form for LAPACK.
void hermitianMatrix(int n, std::vector<double>& packed, std::vector<std::complex<double>>& full) {
  std::mt19937 gen(4321 + n);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  packed.assign(static_cast<std::size_t>(NM) * NM, 0.0);
  full.assign(static_cast<std::size_t>(NM) * NM, 0.0);
  for (int c = 0; c < n; ++c) {
    const double d = u(gen);
    packed[c + c * NM] = d;
    full[c + c * NM] = d;
    for (int r = c + 1; r < n; ++r) {
      const std::complex<double> h(u(gen), u(gen));
      packed[r + c * NM] = h.real();
      packed[c + r * NM] = h.imag();
      full[r + c * NM] = h;
      full[c + r * NM] = std::conj(h);
    }
  }
}

void BM_RealSymmetricSolver(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<double> matrix = symmetricMatrix(n);
  std::vector<double> a(matrix.size()), d(NM), e(NM);
  int ierr = 0;
  for (auto _ : state) {
    std::copy(matrix.begin(), matrix.end(), a.begin());
    ruvo::diagonaliseRealSymmetric(NM, n, a.data(), d.data(), e.data(), ierr);
    ruvo::sortEigenpairs(d.data(), a.data(), n, NM);
    benchmark::DoNotOptimize(d.data());
  }
  if (ierr != 0) state.SkipWithError("hdiag failed");
}

void BM_dsyev(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  const std::vector<double> matrix = symmetricMatrix(n);
  std::vector<double> a(matrix.size()), w(NM);
  int nm = NM, info = 0, lwork = -1;
  double query = 0;
  dsyev_("V", "L", &n, a.data(), &nm, w.data(), &query, &lwork, &info, 1, 1);
  lwork = static_cast<int>(query);
  std::vector<double> work(lwork);
  for (auto _ : state) {
    std::copy(matrix.begin(), matrix.end(), a.begin());
    dsyev_("V", "L", &n, a.data(), &nm, w.data(), work.data(), &lwork, &info, 1, 1);
    benchmark::DoNotOptimize(w.data());
  }
  if (info != 0) state.SkipWithError("dsyev failed");
}

void BM_hermitianChain(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<double> packed;
  std::vector<std::complex<double>> full;
  hermitianMatrix(n, packed, full);
  std::vector<double> a(packed.size()), zr(packed.size()), zi(packed.size());
  std::vector<double> d(NM), e(NM), e2(NM), tau(2 * NM);
  int ierr = 0;
  for (auto _ : state) {
    std::copy(packed.begin(), packed.end(), a.begin());
    for (int c = 0; c < n; ++c) {
      std::fill_n(zr.begin() + static_cast<std::ptrdiff_t>(c) * NM, n, 0.0);
      zr[c + static_cast<std::size_t>(c) * NM] = 1.0;
    }
    ruvo::reduceHermitianToTridiagonal(NM, n, a.data(), d.data(), e.data(), e2.data(), tau.data());
    ruvo::tridiagonalEigenpairsByQL(NM, n, d.data(), e.data(), zr.data(), ierr);
    ruvo::backTransformHermitianEigenvectors(NM, n, a.data(), tau.data(), n, zr.data(), zi.data());
    ruvo::sortHermitianEigenpairs(d.data(), zr.data(), zi.data(), n, NM);
    benchmark::DoNotOptimize(zi.data());
  }
  if (ierr != 0) state.SkipWithError("tridiagonalEigenpairsByQL failed");
}

void BM_zheev(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  std::vector<double> packed;
  std::vector<std::complex<double>> full;
  hermitianMatrix(n, packed, full);
  std::vector<std::complex<double>> a(full.size());
  std::vector<double> w(NM), rwork(3 * NM);
  int nm = NM, info = 0, lwork = -1;
  std::complex<double> query;
  zheev_("V", "L", &n, a.data(), &nm, w.data(), &query, &lwork, rwork.data(), &info, 1, 1);
  lwork = static_cast<int>(query.real());
  std::vector<std::complex<double>> work(lwork);
  for (auto _ : state) {
    std::copy(full.begin(), full.end(), a.begin());
    zheev_("V", "L", &n, a.data(), &nm, w.data(), work.data(), &lwork, rwork.data(), &info, 1, 1);
    benchmark::DoNotOptimize(w.data());
  }
  if (info != 0) state.SkipWithError("zheev failed");
}

} // namespace

BENCHMARK(BM_RealSymmetricSolver)
    ->Arg(61)
    ->Arg(121)
    ->Arg(141)
    ->Arg(423)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_dsyev)->Arg(61)->Arg(121)->Arg(141)->Arg(423)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_hermitianChain)->Arg(141)->Arg(423)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zheev)->Arg(141)->Arg(423)->Unit(benchmark::kMillisecond);
