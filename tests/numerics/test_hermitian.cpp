// The complex Hermitian chain reduceHermitianToTridiagonal -> tridiagonalEigenpairsByQL ->
// backTransformHermitianEigenvectors -> sortHermitianEigenpairs, in the order the block code calls
// it, checked against LAPACK, closed forms and the unitary invariance of the spectrum.
#include "numerics/eigen.h"
#include "solver_checks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace ruvo::test {
namespace {

constexpr int NM = 423;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct HermSolution {
  std::vector<double> zr, zi, d;
  int ierr = -1;
};

// The whole chain on the packed form of h with leading dimension nm; the
// places outside the n x n matrix hold NaN.
HermSolution solveHermitian(const HermMatrix& h, int nm = NM) {
  const int n = h.n;
  const std::size_t size = static_cast<std::size_t>(nm) * nm;
  std::vector<double> a(size, kNaN), e(n), e2(n), tau(2 * n);
  packHermitian(h, nm, a);
  HermSolution s;
  s.zr.assign(size, kNaN);
  s.zi.assign(size, kNaN);
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) s.zr[r + static_cast<std::size_t>(c) * nm] = r == c ? 1.0 : 0.0;
  s.d.assign(n, 0.0);
  reduceHermitianToTridiagonal(nm, n, a.data(), s.d.data(), e.data(), e2.data(), tau.data());
  tridiagonalEigenpairsByQL(nm, n, s.d.data(), e.data(), s.zr.data(), s.ierr);
  if (s.ierr != 0) return s;
  backTransformHermitianEigenvectors(nm, n, a.data(), tau.data(), n, s.zr.data(), s.zi.data());
  sortHermitianEigenpairs(s.d.data(), s.zr.data(), s.zi.data(), n, nm);
  return s;
}

void checkAgainstLapack(const HermMatrix& h, const HermSolution& s, double relTol) {
  const int n = h.n;
  ASSERT_EQ(s.ierr, 0);
  const std::vector<double> ref = lapackEigenvalues(h);
  const double scale = std::max(std::fabs(ref.front()), std::fabs(ref.back()));
  for (int k = 0; k < n; ++k) EXPECT_NEAR(s.d[k], ref[k], relTol * scale) << n << " " << k;
  for (int k = 1; k < n; ++k) EXPECT_LE(s.d[k - 1], s.d[k]);
  EXPECT_LT(residual(h, s.zr, s.zi, NM, s.d), relTol * scale * std::sqrt(n)) << n;
  EXPECT_LT(orthonormalityError(n, NM, s.zr, &s.zi), relTol * std::sqrt(n)) << n;
}

TEST(Hermitian, SmallOrdersClosedForms) {
  HermMatrix one{1, {cplx(4.5, 0.0)}};
  HermSolution s = solveHermitian(one);
  ASSERT_EQ(s.ierr, 0);
  EXPECT_EQ(s.d[0], 4.5);
  EXPECT_EQ(s.zr[0], 1.0);
  EXPECT_EQ(s.zi[0], 0.0);

  // [[a, b], [conj b, c]]: (a+c)/2 -+ sqrt(((a-c)/2)^2 + |b|^2)
  const double a = -1.5, c = 2.0;
  const cplx b(0.3, -1.2);
  HermMatrix two{2, {a, std::conj(b), b, c}};
  s = solveHermitian(two);
  ASSERT_EQ(s.ierr, 0);
  const double mean = 0.5 * (a + c), half = std::sqrt(0.25 * (a - c) * (a - c) + std::norm(b));
  EXPECT_NEAR(s.d[0], mean - half, 1e-15);
  EXPECT_NEAR(s.d[1], mean + half, 1e-15);
  EXPECT_LT(residual(two, s.zr, s.zi, NM, s.d), 1e-15);
  EXPECT_LT(orthonormalityError(2, NM, s.zr, &s.zi), 1e-15);
  // the last component of every eigenvector is real
  EXPECT_EQ(s.zi[1], 0.0);
  EXPECT_EQ(s.zi[1 + NM], 0.0);
}

TEST(Hermitian, DiagonalMatrixAndTieRule) {
  // No reduction and no iteration: unit vectors; the sort exchanges the
  // eigenvectors of the two equal values 1.
  HermMatrix h{4, std::vector<cplx>(16, 0.0)};
  h(0, 0) = 3.0;
  h(1, 1) = 1.0;
  h(2, 2) = -2.0;
  h(3, 3) = 1.0;
  HermSolution s = solveHermitian(h);
  ASSERT_EQ(s.ierr, 0);
  EXPECT_EQ(s.d, (std::vector<double>{-2, 1, 1, 3}));
  const int expectRow[4] = {2, 3, 1, 0};
  for (int k = 0; k < 4; ++k)
    for (int r = 0; r < 4; ++r) {
      EXPECT_EQ(std::abs(cplx(s.zr[r + k * NM], s.zi[r + k * NM])), r == expectRow[k] ? 1.0 : 0.0)
          << "column " << k << " row " << r;
    }

  std::vector<double> d = {0.5, 0.5};
  std::vector<double> zr = {1, 0, 0, 1}, zi = {0, 2, 3, 0};
  sortHermitianEigenpairs(d.data(), zr.data(), zi.data(), 2, 2);
  EXPECT_EQ(zr, (std::vector<double>{0, 1, 1, 0}));
  EXPECT_EQ(zi, (std::vector<double>{3, 0, 0, 2}));
}

TEST(Hermitian, RandomMatricesAgreeWithLapack) {
  unsigned seed = 101;
  for (int n : {3, 4, 7, 30, 61, 141, 250, 423}) {
    const HermMatrix h = randomHermitian(n, seed++);
    HermSolution s = solveHermitian(h);
    checkAgainstLapack(h, s, 1e-13);
    if (n < NM) {
      // nothing outside the n x n matrix is written
      for (int c = 0; c < NM; ++c)
        for (int r = 0; r < NM; ++r)
          if (r >= n || c >= n) {
            const std::size_t p = r + static_cast<std::size_t>(c) * NM;
            ASSERT_TRUE(std::isnan(s.zr[p]) && std::isnan(s.zi[p])) << n;
          }
    }
  }
}

TEST(Hermitian, BlockDiagonalMatrixMixesReflectedAndPlainRows) {
  // Two independent blocks (orders 12 and 9, the second placed first in
  // the reduction): the rows at the top of the later block have nothing
  // left of their subdiagonal and get no reflection, between rows that do.
  const HermMatrix b1 = randomHermitian(12, 21), b2 = randomHermitian(9, 22);
  HermMatrix h{21, std::vector<cplx>(21 * 21, 0.0)};
  for (int c = 0; c < 12; ++c)
    for (int r = 0; r < 12; ++r) h(r, c) = b1(r, c);
  for (int c = 0; c < 9; ++c)
    for (int r = 0; r < 9; ++r) h(12 + r, 12 + c) = b2(r, c);
  checkAgainstLapack(h, solveHermitian(h), 1e-13);
}

TEST(Hermitian, RealMatrixGivesRealSpectrumAndMatchesRealSolver) {
  // A real symmetric matrix through the complex chain: same eigenvalues as
  // diagonaliseRealSymmetric; after a unitary phase change D^H A D, still the same.
  const RealMatrix m = randomSymmetric(40, 7);
  std::vector<double> a(static_cast<std::size_t>(NM) * 40, 0.0), d(40), e(40);
  packReal(m, NM, a);
  int ierr = -1;
  diagonaliseRealSymmetric(NM, 40, a.data(), d.data(), e.data(), ierr);
  ASSERT_EQ(ierr, 0);
  sortEigenpairs(d.data(), a.data(), 40, NM);

  HermMatrix h{40, std::vector<cplx>(1600)};
  for (std::size_t k = 0; k < h.v.size(); ++k) h.v[k] = m.v[k];
  HermSolution s = solveHermitian(h);
  ASSERT_EQ(s.ierr, 0);
  for (int k = 0; k < 40; ++k) EXPECT_NEAR(s.d[k], d[k], 1e-13);

  std::vector<cplx> phase(40);
  for (int k = 0; k < 40; ++k) phase[k] = std::polar(1.0, 0.7 * k * k + 0.3);
  for (int c = 0; c < 40; ++c)
    for (int r = 0; r < 40; ++r) h(r, c) = std::conj(phase[r]) * m(r, c) * phase[c];
  s = solveHermitian(h);
  ASSERT_EQ(s.ierr, 0);
  for (int k = 0; k < 40; ++k) EXPECT_NEAR(s.d[k], d[k], 1e-13);
  EXPECT_LT(residual(h, s.zr, s.zi, NM, s.d), 1e-12);
}

TEST(Hermitian, RotorWithImaginaryLinearTerm) {
  // Rigid rotor plus py*Jy, J = 60 (order 121, spread ~3e4 GHz).  Against
  // LAPACK, and through the trace; with the rotor made a symmetric top
  // (B = C) and py alone the Jy term commutes with nothing simple, but for
  // A = B = C (spherical top) H = B J^2 + py Jy has the levels
  // B J(J+1) + py m, m = -J..J.
  const double A = 9.8, B = 3.7, C = 2.9, py = 0.35;
  const HermMatrix h = rotorMatrix(60, A, B, C, py);
  HermSolution s = solveHermitian(h);
  checkAgainstLapack(h, s, 1e-13);
  double trace = 0, sum = 0;
  for (int k = 0; k < h.n; ++k) {
    trace += h(k, k).real();
    sum += s.d[k];
  }
  EXPECT_NEAR(sum, trace, 1e-12 * trace);

  const int J = 12;
  const HermMatrix sph = rotorMatrix(J, B, B, B, py);
  s = solveHermitian(sph);
  ASSERT_EQ(s.ierr, 0);
  for (int k = 0; k < sph.n; ++k) EXPECT_NEAR(s.d[k], B * J * (J + 1) + py * (k - J), 1e-12);
}

TEST(Hermitian, SmallCouplingsOnALargeDiagonalSpread) {
  // Levels 400 GHz apart up to ~1e4 GHz, coupled by ~2e-2 GHz: each
  // coupling shifts its two levels by |v|^2/400 ~ 1.25e-6 GHz (second-order
  // perturbation; higher orders ~1e-14 GHz).  The shifts must come out to
  // a few units of the last place of the levels (1e-11 GHz = 0.01 Hz).
  const int n = 30;
  const double gap = 400.0;
  const cplx v(1.0e-2, -2.0e-2);
  HermMatrix h{n, std::vector<cplx>(n * n, 0.0)};
  for (int i = 0; i < n; ++i) h(i, i) = gap * i - 3.0e3;
  for (int i = 0; i + 1 < n; ++i) {
    h(i + 1, i) = v;
    h(i, i + 1) = std::conj(v);
  }
  HermSolution s = solveHermitian(h);
  ASSERT_EQ(s.ierr, 0);
  for (int i = 0; i < n; ++i) {
    double shift = 0;
    if (i > 0) shift += std::norm(v) / gap;
    if (i + 1 < n) shift -= std::norm(v) / gap;
    EXPECT_NEAR(s.d[i] - h(i, i).real(), shift, 1e-11) << i;
  }
}

TEST(Hermitian, CouplingsAndTheirSquaresMayShareOneArray) {
  // reduceHermitianToTridiagonal with e2 the same array as e gives the same tridiagonal matrix.
  const HermMatrix h = randomHermitian(37, 5);
  const int n = h.n;
  std::vector<double> a1(static_cast<std::size_t>(NM) * n, 0.0), a2, d1(n), d2(n), e1(n), e2(n),
      sq(n), tau1(2 * n), tau2(2 * n);
  packHermitian(h, NM, a1);
  a2 = a1;
  reduceHermitianToTridiagonal(NM, n, a1.data(), d1.data(), e1.data(), sq.data(), tau1.data());
  reduceHermitianToTridiagonal(NM, n, a2.data(), d2.data(), e2.data(), e2.data(), tau2.data());
  EXPECT_EQ(d1, d2);
  EXPECT_EQ(e1, e2);
  EXPECT_EQ(tau1, tau2);
  EXPECT_EQ(a1, a2);
  for (int k = 0; k < n; ++k) EXPECT_EQ(sq[k], e1[k] * e1[k]);
}

TEST(Hermitian, BackTransformationOfTheFirstVectorsOnly) {
  // backTransformHermitianEigenvectors with m < n transforms the first m columns exactly as with m
  // = n and leaves the others alone.
  const HermMatrix h = randomHermitian(25, 9);
  const int n = h.n, m = 4;
  std::vector<double> a(static_cast<std::size_t>(NM) * n, 0.0), d(n), e(n), e2(n), tau(2 * n);
  packHermitian(h, NM, a);
  std::vector<double> zr(static_cast<std::size_t>(NM) * n, 0.0);
  for (int k = 0; k < n; ++k) zr[k + static_cast<std::size_t>(k) * NM] = 1.0;
  reduceHermitianToTridiagonal(NM, n, a.data(), d.data(), e.data(), e2.data(), tau.data());
  int ierr = -1;
  tridiagonalEigenpairsByQL(NM, n, d.data(), e.data(), zr.data(), ierr);
  ASSERT_EQ(ierr, 0);
  std::vector<double> zrAll = zr, ziAll(zr.size(), 0.0), zrFew = zr, ziFew(zr.size(), -5.0);
  backTransformHermitianEigenvectors(NM, n, a.data(), tau.data(), n, zrAll.data(), ziAll.data());
  backTransformHermitianEigenvectors(NM, n, a.data(), tau.data(), m, zrFew.data(), ziFew.data());
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) {
      const std::size_t p = r + static_cast<std::size_t>(c) * NM;
      if (c < m) {
        EXPECT_EQ(zrFew[p], zrAll[p]);
        EXPECT_EQ(ziFew[p], ziAll[p]);
      } else {
        EXPECT_EQ(zrFew[p], zr[p]);
        EXPECT_EQ(ziFew[p], -5.0);
      }
    }
}

TEST(Hermitian, NonFiniteInputReportsFailure) {
  HermMatrix h = randomHermitian(5, 1);
  h(3, 1) = cplx(kNaN, 0.0);
  h(1, 3) = std::conj(h(3, 1));
  HermSolution s = solveHermitian(h);
  EXPECT_GE(s.ierr, 1);
  EXPECT_LE(s.ierr, 5);
}

TEST(Hermitian, HypotenuseWithoutOverflow) {
  EXPECT_EQ(hypotenuse(3.0, 4.0), 5.0);
  EXPECT_EQ(hypotenuse(0.0, 0.0), 0.0);
  EXPECT_EQ(hypotenuse(-2.0, 0.0), 2.0);
  EXPECT_NEAR(hypotenuse(3.0e300, 4.0e300) / 5.0e300, 1.0, 1e-15);    // no overflow
  EXPECT_NEAR(hypotenuse(3.0e-300, 4.0e-300) / 5.0e-300, 1.0, 1e-15); // no underflow
}

} // namespace
} // namespace ruvo::test
