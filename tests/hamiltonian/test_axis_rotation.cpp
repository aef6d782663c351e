// Wigner d^J(beta) by recursion in J: orthogonality, limits, the direct
// (Wigner) formula, the recursion bookkeeping, the table of all J and the
// beta derivatives.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "core/stop.h"
#include "hamiltonian/axis_rotation.h"

namespace ruvo {
namespace {

// d^J_{m,m'}(beta) from Wigner's sum, in long double with log-factorials.
long double wignerDirect(int J, int m, int mp, long double beta) {
  auto lf = [](int n) { return std::lgamma(static_cast<long double>(n) + 1.0L); };
  const long double c = std::cos(beta / 2), s = std::sin(beta / 2);
  long double sum = 0.0L;
  for (int k = 0; k <= 2 * J; ++k) {
    const int a = J + mp - k, b = k, cc = m - mp + k, dd = J - m - k;
    if (a < 0 || cc < 0 || dd < 0) continue;
    const long double logMag =
        0.5L * (lf(J + m) + lf(J - m) + lf(J + mp) + lf(J - mp)) - lf(a) - lf(b) - lf(cc) - lf(dd);
    const int pc = 2 * J + mp - m - 2 * k, ps = m - mp + 2 * k;
    long double term = std::exp(logMag) * std::pow(c, pc) * std::pow(s, ps);
    if ((m - mp + k) % 2 != 0) term = -term;
    sum += term;
  }
  return sum;
}

std::unique_ptr<RotationStore> makeStore() {
  auto s = std::make_unique<RotationStore>();
  s->allocate();
  return s;
}

TEST(AxisRotation, RankOneMatrixAndItsDerivative) {
  auto st = makeStore();
  const double b = 0.7, r = 0.7071067811865476;
  rotateTopAxes(*st, b, 1);
  EXPECT_EQ(st->mark, 1);
  const double expected[3][3] = {{(1 + std::cos(b)) / 2, -std::sin(b) * r, (1 - std::cos(b)) / 2},
                                 {std::sin(b) * r, std::cos(b), -std::sin(b) * r},
                                 {(1 - std::cos(b)) / 2, std::sin(b) * r, (1 + std::cos(b)) / 2}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      EXPECT_DOUBLE_EQ(st->D(1 - i, 1 - j), expected[i][j]);
      EXPECT_NEAR(st->D(1 - i, 1 - j), static_cast<double>(wignerDirect(1, 1 - i, 1 - j, b)),
                  1e-15);
    }
  // beta = 0: the identity exactly, and the derivative of d^1
  rotateTopAxes(*st, 0.0, 1);
  const double deriv0[3][3] = {{0, -r, 0}, {r, 0, -r}, {0, r, 0}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(st->D(1 - i, 1 - j), i == j ? 1.0 : 0.0);
      EXPECT_DOUBLE_EQ(st->dD(1 - i, 1 - j), deriv0[i][j]);
    }
  rotateTopAxes(*st, 0.3, 0);
  EXPECT_EQ(st->D(0, 0), 1.0);
  EXPECT_EQ(st->dD(0, 0), 0.0);
  EXPECT_EQ(st->mark, 0);
}

TEST(AxisRotation, OrthogonalUpToTheLargestJ) {
  auto st = makeStore();
  for (double beta : {0.37, 2.1, -1.3}) {
    st->mark = 0;
    for (int J = 1; J <= DIMJ; ++J) {
      rotateTopAxes(*st, beta, J);
      if (J % 7 != 0 && J != DIMJ && J > 3) continue;
      double worst = 0.0;
      for (int a = -J; a <= J; ++a)
        for (int b = -J; b <= J; ++b) {
          double dot = 0.0;
          for (int k = -J; k <= J; ++k) dot += st->D(a, k) * st->D(b, k);
          worst = std::fmax(worst, std::fabs(dot - (a == b ? 1.0 : 0.0)));
        }
      EXPECT_LT(worst, 1e-12) << "J = " << J << " beta = " << beta;
    }
  }
}

TEST(AxisRotation, IdentityAtZeroAndAntidiagonalAtPi) {
  auto st = makeStore();
  // beta = 0: off-diagonal elements vanish exactly, the diagonal is 1 up
  // to the rounding of the sums of squared coupling coefficients
  rotateTopAxes(*st, 0.0, 25);
  for (int a = -25; a <= 25; ++a)
    for (int b = -25; b <= 25; ++b) {
      if (a == b)
        EXPECT_NEAR(st->D(a, b), 1.0, 1e-14);
      else
        EXPECT_EQ(st->D(a, b), 0.0);
    }
  auto pi = makeStore();
  rotateTopAxes(*pi, M_PI, 1);
  EXPECT_NEAR(pi->D(1, -1), 1.0, 1e-15);
  EXPECT_NEAR(pi->D(-1, 1), 1.0, 1e-15);
  rotateTopAxes(*pi, M_PI, 20);
  for (int a = -20; a <= 20; ++a)
    for (int b = -20; b <= 20; ++b) {
      if (b == -a)
        EXPECT_NEAR(std::fabs(pi->D(a, b)), 1.0, 1e-12); // (-1)^(J+a)
      else
        EXPECT_NEAR(pi->D(a, b), 0.0, 1e-12);
    }
}

TEST(AxisRotation, RecursionEqualsWignerFormula) {
  auto st = makeStore();
  for (double beta : {0.41, 1.9, 3.0}) {
    st->mark = 0;
    for (int J = 2; J <= 16; ++J) {
      rotateTopAxes(*st, beta, J);
      for (int a = -J; a <= J; ++a)
        for (int b = -J; b <= J; ++b)
          EXPECT_NEAR(st->D(a, b), static_cast<double>(wignerDirect(J, a, b, beta)), 1e-12)
              << J << " " << a << " " << b;
    }
  }
}

TEST(AxisRotation, RotationMarkBookkeeping) {
  auto st = makeStore();
  const double beta = 0.9;
  rotateTopAxes(*st, beta, 5);
  EXPECT_EQ(st->mark, 5);
  rotateTopAxes(*st, beta, 3); // lower: recomputed from J = 1
  EXPECT_EQ(st->mark, 3);
  for (int a = -3; a <= 3; ++a)
    for (int b = -3; b <= 3; ++b)
      EXPECT_NEAR(st->D(a, b), static_cast<double>(wignerDirect(3, a, b, beta)), 1e-14);
  // places beyond |K| = 3 no longer hold the J = 5 matrix
  EXPECT_EQ(st->D(5, 5), 0.0);
  EXPECT_EQ(st->D(4, -2), 0.0);
  // equal mark: nothing is recomputed even with another beta
  rotateTopAxes(*st, 2.0, 3);
  EXPECT_NEAR(st->D(3, 3), static_cast<double>(wignerDirect(3, 3, 3, beta)), 1e-14);
  // higher: continued from the mark
  rotateTopAxes(*st, beta, 7);
  EXPECT_EQ(st->mark, 7);
  EXPECT_NEAR(st->D(-6, 2), static_cast<double>(wignerDirect(7, -6, 2, beta)), 1e-13);
  // a mark reset to 0 recomputes from J = 1 with the new beta
  st->mark = 0;
  rotateTopAxes(*st, 2.0, 4);
  EXPECT_NEAR(st->D(1, -2), static_cast<double>(wignerDirect(4, 1, -2, 2.0)), 1e-13);
  try {
    rotateTopAxes(*st, 2.0, DIMJ + 1);
    ADD_FAILURE() << "no stop";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message, " ERROR: DIM 2J1 exceeded");
  }
}

// A table made once per beta hands every block the very matrices the
// recursion of a store stepping through the blocks makes, and is made anew
// only for another beta or a larger J.
TEST(AxisRotation, TableGivesTheRecursionsMatricesBitForBit) {
  auto scratch = makeStore(), stepped = makeStore(), loaded = makeStore();
  RotationTable table;
  tabulateTopRotations(table, *scratch, 0.7, 12);
  rotateTopAxes(*loaded, 0.7, 12); // leaves larger-J values behind the loaded ones
  for (int J : {0, 1, 2, 7, 12, 3}) {
    rotateTopAxes(*stepped, 0.7, J);
    loadTopRotation(*loaded, table, J);
    for (int a = -J; a <= J; ++a)
      for (int b = -J; b <= J; ++b) {
        ASSERT_EQ(loaded->D(a, b), stepped->D(a, b)) << J << ' ' << a << ' ' << b;
        ASSERT_EQ(loaded->dD(a, b), stepped->dD(a, b)) << J << ' ' << a << ' ' << b;
      }
    EXPECT_EQ(loaded->mark, -1); // no J - 1 to go on from
  }
  const double kept = table.d[RotationTable::offset(5) + 3];
  tabulateTopRotations(table, *scratch, 0.7, 10); // held already
  EXPECT_EQ(table.maxJ, 12);
  tabulateTopRotations(table, *scratch, 1.1, 5);
  EXPECT_EQ(table.maxJ, 5);
  EXPECT_NEAR(table.d[RotationTable::offset(5) + 3],
              static_cast<double>(wignerDirect(5, -2, -5, 1.1)), 1e-14);
  EXPECT_NE(table.d[RotationTable::offset(5) + 3], kept);
  try {
    loadTopRotation(*loaded, table, 6);
    ADD_FAILURE() << "no stop";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message, " ERROR: DIM 2J1 exceeded");
  }
}

TEST(AxisRotation, DerivativeAgainstFiniteDifferences) {
  auto st = makeStore(), plus = makeStore(), minus = makeStore();
  const double h = 1e-6;
  for (double beta : {0.0, 0.63, 2.4}) {
    for (int J : {1, 2, 9, 30}) {
      st->mark = plus->mark = minus->mark = 0;
      rotateTopAxes(*st, beta, J);
      rotateTopAxes(*plus, beta + h, J);
      rotateTopAxes(*minus, beta - h, J);
      double worst = 0.0;
      for (int a = -J; a <= J; ++a)
        for (int b = -J; b <= J; ++b) {
          const double numeric = (plus->D(a, b) - minus->D(a, b)) / (2 * h);
          worst = std::fmax(worst, std::fabs(st->dD(a, b) - numeric));
        }
      EXPECT_LT(worst, 1e-7) << "J = " << J << " beta = " << beta;
    }
  }
}

} // namespace
} // namespace ruvo
