// The real symmetric solver: Householder reduction + QL (diagonaliseRealSymmetric) and the
// sort with its tie rule (sortEigenpairs), checked against closed forms, against
// LAPACK and through residuals and orthonormality.
#include "numerics/eigen.h"
#include "solver_checks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace ruvo::test {
namespace {

constexpr int NM = 423; // leading dimension used by every block
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct RealSolution {
  std::vector<double> a; // eigenvectors, leading dimension nm
  std::vector<double> d;
  int ierr = -1;
};

// diagonaliseRealSymmetric + sortEigenpairs on the lower triangle of m stored with leading
// dimension nm; every place outside the n x n matrix holds NaN, so any read of it would show in the
// results and any write would show in the array.
RealSolution solveReal(const RealMatrix& m, int nm = NM, bool sort = true) {
  RealSolution s;
  s.a.assign(static_cast<std::size_t>(nm) * nm, kNaN);
  packReal(m, nm, s.a);
  s.d.assign(m.n, 0.0);
  std::vector<double> e(m.n, 0.0);
  diagonaliseRealSymmetric(nm, m.n, s.a.data(), s.d.data(), e.data(), s.ierr);
  if (sort) sortEigenpairs(s.d.data(), s.a.data(), m.n, nm);
  return s;
}

void expectOutsideUntouched(const RealSolution& s, int n, int nm) {
  for (int c = 0; c < nm; ++c)
    for (int r = 0; r < nm; ++r)
      if (r >= n || c >= n) {
        ASSERT_TRUE(std::isnan(s.a[r + static_cast<std::size_t>(c) * nm]))
            << "element (" << r << ", " << c << ") written";
      }
}

TEST(RealSymmetric, OrderOneAndTwoClosedForms) {
  RealMatrix one{1, {-3.25}};
  RealSolution s = solveReal(one);
  EXPECT_EQ(s.ierr, 0);
  EXPECT_EQ(s.d[0], -3.25);
  EXPECT_EQ(s.a[0], 1.0);

  // [[a, b], [b, c]]: (a+c)/2 -+ sqrt(((a-c)/2)^2 + b^2)
  const double a = 2.5, b = -0.75, c = -1.0;
  RealMatrix two{2, {a, b, b, c}};
  s = solveReal(two);
  EXPECT_EQ(s.ierr, 0);
  const double mean = 0.5 * (a + c), half = std::hypot(0.5 * (a - c), b);
  EXPECT_NEAR(s.d[0], mean - half, 1e-15);
  EXPECT_NEAR(s.d[1], mean + half, 1e-15);
  EXPECT_LT(residual(two, s.a, NM, s.d), 1e-15);
  EXPECT_LT(orthonormalityError(2, NM, s.a), 1e-15);
  expectOutsideUntouched(s, 2, NM);
}

TEST(RealSymmetric, DiagonalAndNoiseOnlyMatricesGiveUnitVectors) {
  // A diagonal matrix, and the same with off-diagonal elements whose
  // squares lie below 1e-30: both must come back exactly with the unit
  // vectors (the reduction treats such elements as zero).
  const std::vector<double> diag = {3.0, -1.0, 7.5, 2.0, 0.5, -4.0};
  const int n = static_cast<int>(diag.size());
  for (double noise : {0.0, 9.0e-16}) {
    RealMatrix m{n, std::vector<double>(n * n, 0.0)};
    for (int i = 0; i < n; ++i) m(i, i) = diag[i];
    for (int c = 0; c < n; ++c)
      for (int r = c + 1; r < n; ++r) m(r, c) = m(c, r) = noise * ((r + c) % 2 ? 1 : -1);
    RealSolution s = solveReal(m, NM, false);
    ASSERT_EQ(s.ierr, 0);
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(s.d[i], diag[i]) << "noise " << noise;
      for (int r = 0; r < n; ++r)
        EXPECT_EQ(std::fabs(s.a[r + static_cast<std::size_t>(i) * NM]), r == i ? 1.0 : 0.0);
    }
  }
}

TEST(RealSymmetric, EqualEigenvaluesExchangeTheirEigenvectors) {
  // diag(2, 1, 1): the unsorted result is e0, e1, e2; the sort takes the
  // last of equal minima, so the degenerate pair comes out as e2, e1.
  RealMatrix m{3, {2, 0, 0, 0, 1, 0, 0, 0, 1}};
  RealSolution s = solveReal(m);
  ASSERT_EQ(s.ierr, 0);
  EXPECT_EQ(s.d, (std::vector<double>{1, 1, 2}));
  EXPECT_EQ(s.a[2 + 0 * NM], 1.0);
  EXPECT_EQ(s.a[1 + 1 * NM], 1.0);
  EXPECT_EQ(s.a[0 + 2 * NM], 1.0);

  // sortEigenpairs alone on a sorted pair of equal values still exchanges them.
  std::vector<double> d = {5.0, 5.0, 6.0};
  std::vector<double> v = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  sortEigenpairs(d.data(), v.data(), 3, 3);
  EXPECT_EQ(v, (std::vector<double>{0, 1, 0, 1, 0, 0, 0, 0, 1}));
}

TEST(RealSymmetric, RandomMatricesAgreeWithLapack) {
  unsigned seed = 11;
  for (int n : {3, 4, 5, 17, 61, 121, 200, 423}) {
    const RealMatrix m = randomSymmetric(n, seed++);
    RealSolution s = solveReal(m);
    ASSERT_EQ(s.ierr, 0) << n;
    const std::vector<double> ref = lapackEigenvalues(m);
    const double scale = std::max(std::fabs(ref.front()), std::fabs(ref.back()));
    for (int k = 0; k < n; ++k) EXPECT_NEAR(s.d[k], ref[k], 1e-13 * scale) << n << " " << k;
    for (int k = 1; k < n; ++k) EXPECT_LE(s.d[k - 1], s.d[k]);
    EXPECT_LT(residual(m, s.a, NM, s.d), 1e-13 * scale * std::sqrt(n)) << n;
    EXPECT_LT(orthonormalityError(n, NM, s.a), 1e-13 * std::sqrt(n)) << n;
    if (n < NM) expectOutsideUntouched(s, n, NM);
  }
}

TEST(RealSymmetric, BlockDiagonalMatrixMixesReflectedAndPlainRows) {
  // Two independent blocks: the first rows of the later block get no
  // reflection and must contribute unit columns to the accumulated Q.
  const RealMatrix b1 = randomSymmetric(12, 31), b2 = randomSymmetric(9, 32);
  RealMatrix m{21, std::vector<double>(21 * 21, 0.0)};
  for (int c = 0; c < 12; ++c)
    for (int r = 0; r < 12; ++r) m(r, c) = b1(r, c);
  for (int c = 0; c < 9; ++c)
    for (int r = 0; r < 9; ++r) m(12 + r, 12 + c) = b2(r, c);
  RealSolution s = solveReal(m);
  ASSERT_EQ(s.ierr, 0);
  const std::vector<double> ref = lapackEigenvalues(m);
  for (int k = 0; k < m.n; ++k) EXPECT_NEAR(s.d[k], ref[k], 1e-13);
  EXPECT_LT(residual(m, s.a, NM, s.d), 1e-13);
  EXPECT_LT(orthonormalityError(m.n, NM, s.a), 1e-13);
}

TEST(RealSymmetric, LeadingDimensionEqualToOrder) {
  const RealMatrix m = randomSymmetric(9, 99);
  RealSolution s = solveReal(m, 9);
  ASSERT_EQ(s.ierr, 0);
  const std::vector<double> ref = lapackEigenvalues(m);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(s.d[k], ref[k], 1e-14);
  EXPECT_LT(residual(m, s.a, 9, s.d), 1e-14);
}

TEST(RealSymmetric, RigidRotorLevels) {
  // J = 1 of an asymmetric rotor: the three levels are A+B, A+C and B+C.
  const double A = 9.8, B = 3.7, C = 2.9; // GHz
  RealSolution s = solveReal(realPart(rotorMatrix(1, A, B, C)));
  ASSERT_EQ(s.ierr, 0);
  EXPECT_NEAR(s.d[0], B + C, 1e-14);
  EXPECT_NEAR(s.d[1], A + C, 1e-14);
  EXPECT_NEAR(s.d[2], A + B, 1e-14);

  // J = 60: a diagonal spread of ~3e4 GHz with couplings of ~1e3 GHz.
  // Eigenvalues against LAPACK to 1e-12 relative (a few Hz on 1e4 GHz),
  // their sum against the trace.
  const RealMatrix m = realPart(rotorMatrix(60, A, B, C));
  s = solveReal(m);
  ASSERT_EQ(s.ierr, 0);
  const std::vector<double> ref = lapackEigenvalues(m);
  double trace = 0, sum = 0;
  for (int k = 0; k < m.n; ++k) {
    EXPECT_NEAR(s.d[k], ref[k], 1e-12 * std::fabs(ref[k]));
    trace += m(k, k);
    sum += s.d[k];
  }
  EXPECT_NEAR(sum, trace, 1e-12 * trace);
  EXPECT_LT(residual(m, s.a, NM, s.d), 1e-12 * maxAbs(m));
  EXPECT_LT(orthonormalityError(m.n, NM, s.a), 1e-13);
}

TEST(RealSymmetric, SmallCouplingsInKPairsOnALargeDiagonalSpread) {
  // Levels 300 GHz apart up to ~1e4 GHz, coupled in pairs (k, k+2) by
  // 2e-2 GHz, as the K, K+2 elements of a rotor: each coupling shifts its
  // two levels by v^2/600 ~ 6.7e-7 GHz (second order; higher orders
  // ~1e-15 GHz).  The shifts must come out to about ten units in the last
  // place of the levels (5e-11 GHz = 0.05 Hz), the precision of this QL
  // variant, which carries full level values through its rotations.
  const int n = 35;
  const double gap = 300.0, v = 2.0e-2;
  RealMatrix m{n, std::vector<double>(n * n, 0.0)};
  for (int i = 0; i < n; ++i) m(i, i) = gap * i - 2.0e3;
  for (int i = 0; i + 2 < n; ++i) m(i + 2, i) = m(i, i + 2) = v;
  RealSolution s = solveReal(m);
  ASSERT_EQ(s.ierr, 0);
  for (int i = 0; i < n; ++i) {
    double shift = 0;
    if (i >= 2) shift += v * v / (2 * gap);
    if (i + 2 < n) shift -= v * v / (2 * gap);
    EXPECT_NEAR(s.d[i] - m(i, i), shift, 5e-11) << i;
  }
}

TEST(RealSymmetric, SymmetricTopLimitHasExactDegeneratePairs) {
  // B = C: K is a good quantum number, E = B J(J+1) + (A-B) K^2 for
  // K = -J..J, the +-K levels degenerate; each eigenvector is a single K.
  const double A = 5.1, B = 1.3;
  const int J = 20;
  const RealMatrix m = realPart(rotorMatrix(J, A, B, B));
  RealSolution s = solveReal(m);
  ASSERT_EQ(s.ierr, 0);
  for (int k = 0; k < m.n; ++k) {
    const int K = (k + 1) / 2; // 0, 1, 1, 2, 2, ...
    EXPECT_NEAR(s.d[k], B * J * (J + 1) + (A - B) * K * K, 1e-12);
  }
  EXPECT_LT(orthonormalityError(m.n, NM, s.a), 1e-14);
}

TEST(RealSymmetric, NonFiniteInputReportsFailureInsteadOfLooping) {
  RealMatrix m = randomSymmetric(6, 3);
  m(4, 2) = m(2, 4) = kNaN;
  RealSolution s = solveReal(m, NM, false);
  EXPECT_GE(s.ierr, 1);
  EXPECT_LE(s.ierr, 6);
}

TEST(RealSymmetric, UnderflowInTheQLSweepDoesNotPoisonTheResult) {
  // Elements from 1e-282 to 1e226: the rotation quotient underflows to 0
  // on the way up the block and the next rotation would be 0/0.  It is
  // taken as the identity instead; the iteration converges to finite,
  // orthonormal eigenvectors and the two large eigenvalues +-e(2).
  const int n = 4;
  std::vector<double> d = {-8.0129753886541995e-231, -3.1147292593885996e-232,
                           -2.2736515805720233e-77, 5.1659274053356394e-282};
  std::vector<double> e = {7.84202859793443e-245, -6.8188452554103271e-45, 5.6725234427659825e+226,
                           0.0};
  std::vector<double> z(n * n, 0.0);
  for (int i = 0; i < n; ++i) z[i + i * n] = 1.0;
  int ierr = -1;
  qlImplicitShift(n, n, z.data(), d.data(), e.data(), ierr);
  ASSERT_EQ(ierr, 0);
  for (double x : d) EXPECT_TRUE(std::isfinite(x));
  EXPECT_LT(orthonormalityError(n, n, z), 1e-15);
  sortEigenpairs(d.data(), z.data(), n, n);
  EXPECT_NEAR(d[0] / -5.6725234427659825e+226, 1.0, 1e-15);
  EXPECT_NEAR(d[3] / 5.6725234427659825e+226, 1.0, 1e-15);
}

TEST(RealSymmetric, TriagOnATridiagonalMatrix) {
  // qlImplicitShift with the unit matrix: the 1-2-1 matrix of order n has the
  // eigenvalues 2 - 2 cos(k pi/(n+1)).
  const int n = 12;
  std::vector<double> z(static_cast<std::size_t>(NM) * n, 0.0), d(n, 2.0), e(n, -1.0);
  for (int i = 0; i < n; ++i) z[i + static_cast<std::size_t>(i) * NM] = 1.0;
  int ierr = -1;
  qlImplicitShift(NM, n, z.data(), d.data(), e.data(), ierr);
  ASSERT_EQ(ierr, 0);
  sortEigenpairs(d.data(), z.data(), n, NM);
  for (int k = 0; k < n; ++k)
    EXPECT_NEAR(d[k], 2.0 - 2.0 * std::cos((k + 1) * M_PI / (n + 1)), 1e-14);
  EXPECT_LT(orthonormalityError(n, NM, z), 1e-14);
}

} // namespace
} // namespace ruvo::test
