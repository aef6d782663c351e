// Dependent internal-rotation parameters: closed forms, round trips between
// the two descriptions of the top axis, angle reduction and the stops.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "core/stop.h"
#include "fit/adjust.h"

namespace ruvo {
namespace {

void expectStop(const std::function<void()>& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no stop, expected \"" << message << "\"";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message, message);
  }
}

struct Molecule {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  ParamSets p;
  std::ostringstream out, err;
  // rotational constants (GHz): A = 10, B = 4, C = 3, z along a
  Molecule(int ntop) {
    rs->io.out = &out;
    rs->io.err = &err;
    rs->ctl.ntop = ntop;
    // Bx = BJ + B-, By = BJ - B-, Bz = BJ + BK
    set()(par::BJ) = 3.5;
    set()(par::Bm) = 0.5;
    set()(par::BK) = 6.5;
  }
  ParamView set() { return p.set(1); }
  double& top(int t, int off) { return p(par::top(t, off), 1); }
  void adjust(int adjf) { adjustDependentParameters(*rs, set(), 32 + 15 * rs->ctl.ntop, adjf); }
};

TEST(Adjust, TopAlongZ) {
  // rho along z: lambda = (0, 0, 1), F0 = Bz / rho, F = F0 / (1 - rho)
  Molecule m(1);
  m.top(1, par::rho) = 0.05;
  m.top(1, par::beta) = 0.0;
  m.top(1, par::gamma) = 0.4;
  m.top(1, par::epsil) = 1.0;
  m.top(1, par::delta) = 1.0;
  m.adjust(1);
  EXPECT_NEAR(m.top(1, par::F0), 10.0 / 0.05, 1e-9);
  EXPECT_NEAR(m.top(1, par::F), 200.0 / 0.95, 1e-9);
  EXPECT_EQ(m.top(1, par::delta), 0.0);
  EXPECT_EQ(m.top(1, par::epsil), 0.0);
  double F0, lx, ly, lz;
  oneTopAxisFromRho(0.05, 0.0, 0.4, 4.0, 3.0, 10.0, F0, lx, ly, lz);
  EXPECT_EQ(lx, 0.0);
  EXPECT_EQ(ly, 0.0);
  EXPECT_EQ(lz, 1.0);
}

TEST(Adjust, AxisDescriptionsAgree) {
  // A top axis lambda and F0 give rho_g = lambda_g Bg / F0.  Going from
  // (rho, beta, gamma) to (epsil, delta) and back gives the same direction,
  // and rhoFromF0 recovers rho from F0.
  const double Bx = 4.0, By = 3.0, Bz = 10.0;
  for (double beta : {0.3, 1.2, 2.5})
    for (double gamma : {-2.0, 0.0, 0.7, 3.0}) {
      double F0, lx, ly, lz;
      oneTopAxisFromRho(0.07, beta, gamma, Bx, By, Bz, F0, lx, ly, lz);
      EXPECT_NEAR(lx * lx + ly * ly + lz * lz, 1.0, 1e-14);
      // rho vector parallel to (lx Bx, ly By, lz Bz) with length lambda.B/F0 scaled
      const double rx = 0.07 * std::cos(gamma) * std::sin(beta);
      const double ry = 0.07 * std::sin(gamma) * std::sin(beta);
      const double rz = 0.07 * std::cos(beta);
      EXPECT_NEAR(rx, lx * Bx / F0, 1e-14);
      EXPECT_NEAR(ry, ly * By / F0, 1e-14);
      EXPECT_NEAR(rz, lz * Bz / F0, 1e-14);
      EXPECT_NEAR(rhoFromF0(F0, beta, gamma, Bx, By, Bz), 0.07, 1e-14);
      // back from the axis angles
      const double delta = std::acos(lz);
      const double epsil = (ly < 0 ? -1.0 : 1.0) * std::acos(lx / std::hypot(lx, ly));
      double b2, g2;
      anglesFromEpsilonDelta(epsil, delta, Bx, By, Bz, b2, g2);
      EXPECT_NEAR(b2, beta, 1e-12);
      EXPECT_NEAR(std::remainder(g2 - gamma, 2 * M_PI), 0.0, 1e-12);
    }
}

TEST(Adjust, RoundTripThroughTheAdjustmentBits) {
  // compute epsil, delta and F0 from rho, beta, gamma; then with bits 8 and
  // 16 get rho, beta, gamma back from them
  Molecule m(1);
  m.top(1, par::rho) = 0.06;
  m.top(1, par::beta) = 0.8;
  m.top(1, par::gamma) = -0.5;
  m.adjust(1);
  const double F = m.top(1, par::F);
  m.top(1, par::rho) = 1.0;
  m.top(1, par::beta) = 0.0;
  m.top(1, par::gamma) = 0.0;
  m.rs->ctl.aprint = 64;
  m.rs->detailPrint = 1;
  m.adjust(1 + 8 + 16);
  EXPECT_NEAR(m.top(1, par::rho), 0.06, 1e-13);
  EXPECT_NEAR(m.top(1, par::beta), 0.8, 1e-12);
  EXPECT_NEAR(m.top(1, par::gamma), -0.5, 1e-12);
  EXPECT_NEAR(m.top(1, par::F), F, 1e-9);
  const std::string out = m.out.str();
  EXPECT_NE(out.find(" adjusting beta  from    0.000000 to    0.800000\n"
                     " adjusting gamma from    0.000000 to   -0.500000\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(" adjusting rho from    1.000000 to    0.060000\n"), std::string::npos);
  // without the detail-print switch nothing is written
  Molecule q(1);
  q.top(1, par::rho) = 0.06;
  q.rs->ctl.aprint = 64;
  q.adjust(1 + 16);
  EXPECT_EQ(q.out.str(), "");
}

TEST(Adjust, ReducedConstantOfOneTopFromTheMomentOfInertia) {
  // F = F0 / (1 - sum_g lambda_g^2 Bg / F0) = F0 / (1 - r), r = lambda.rho
  Molecule m(1);
  m.top(1, par::rho) = 0.04;
  m.top(1, par::beta) = 0.9;
  m.top(1, par::gamma) = 0.3;
  m.adjust(1);
  double F0, lx, ly, lz;
  oneTopAxisFromRho(0.04, 0.9, 0.3, 4.0, 3.0, 10.0, F0, lx, ly, lz);
  const double r = (lx * lx * 4.0 + ly * ly * 3.0 + lz * lz * 10.0) / F0;
  EXPECT_NEAR(m.top(1, par::F), F0 / (1.0 - r), 1e-9);
  EXPECT_NEAR(m.top(1, par::F0), F0, 1e-12);
}

TEST(Adjust, TwoTopsWithAndWithoutCoupling) {
  Molecule m(2);
  for (int t = 1; t <= 2; ++t) {
    m.top(t, par::rho) = 0.03 * t;
    m.top(t, par::beta) = 0.5 * t;
    m.top(t, par::gamma) = 1.0 - t;
  }
  m.set()(par::F12) = 99.0;
  m.adjust(1 + 2);
  const double F1 = m.top(1, par::F), F2 = m.top(2, par::F), F12 = m.set()(par::F12);
  EXPECT_NE(F12, 0.0);
  // the inverse of the 2 x 2 F matrix
  TopVec rho{0, 0.03, 0.06}, beta{0, 0.5, 1.0}, gamma{0, 0.0, -1.0}, F0{};
  AxisDirs l{};
  double finv[3][3];
  topAxesFromRho(2, rho, beta, gamma, 4.0, 3.0, 10.0, false, F0, l, finv);
  const double a =
      (F0[1] - l[1][0] * l[1][0] * 4 - l[1][1] * l[1][1] * 3 - l[1][2] * l[1][2] * 10) /
      (F0[1] * F0[1]);
  const double d =
      (F0[2] - l[2][0] * l[2][0] * 4 - l[2][1] * l[2][1] * 3 - l[2][2] * l[2][2] * 10) /
      (F0[2] * F0[2]);
  const double b =
      -(l[1][0] * l[2][0] * 4 + l[1][1] * l[2][1] * 3 + l[1][2] * l[2][2] * 10) / (F0[1] * F0[2]);
  const double det = a * d - b * b;
  EXPECT_NEAR(F1, d / det, 1e-9);
  EXPECT_NEAR(F2, a / det, 1e-9);
  EXPECT_NEAR(F12, -b / det, 1e-9);
  // bit 4: no coupling, so F12 = 0 and each F is the one-top value
  m.adjust(1 + 2 + 4);
  EXPECT_EQ(m.set()(par::F12), 0.0);
  EXPECT_NEAR(m.top(1, par::F), 1.0 / a, 1e-9);
  EXPECT_NEAR(m.top(2, par::F), 1.0 / d, 1e-9);
}

TEST(Adjust, AnglesAreReducedKeepingTheirSign) {
  Molecule m(1);
  m.top(1, par::rho) = 0.05;
  m.top(1, par::beta) = 7.0;
  m.top(1, par::gamma) = -8.0;
  m.adjust(0);
  EXPECT_NEAR(m.top(1, par::beta), 7.0 - 6.283185307179586, 1e-15);
  EXPECT_NEAR(m.top(1, par::gamma), -8.0 + 6.283185307179586, 1e-15);
  m.top(1, par::beta) = -1.0;
  m.adjust(0);
  EXPECT_EQ(m.top(1, par::beta), -1.0);
  // F is untouched without bit 1, F0 and the axis angles are derived
  m.top(1, par::F) = 123.0;
  m.adjust(0);
  EXPECT_EQ(m.top(1, par::F), 123.0);
  EXPECT_GT(m.top(1, par::F0), 0.0);
}

TEST(Adjust, SingularFMatrixDropsTheZeroDirection) {
  // rho = 1 along z makes the F matrix of one top zero: F = 0, not infinite
  Molecule m(1);
  m.top(1, par::rho) = 1.0;
  m.adjust(1);
  EXPECT_EQ(m.top(1, par::F), 0.0);
  double a[3][3] = {{2, 1, 0}, {1, 2, 0}, {0, 0, 0}}, inv[3][3];
  symInverse3(3, a, inv);
  EXPECT_NEAR(inv[0][0], 2.0 / 3, 1e-14);
  EXPECT_NEAR(inv[0][1], -1.0 / 3, 1e-14);
  EXPECT_NEAR(inv[2][2], 0.0, 1e-14);
}

TEST(Adjust, Stops) {
  Molecule m(1);
  m.top(1, par::rho) = 0.0;
  expectStop([&] { m.adjust(1); }, "ERROR: rho (or F0) can not be zero");
  m.top(1, par::rho) = 0.05;
  m.top(1, par::F0) = 0.0;
  expectStop([&] { m.adjust(8); }, "ERROR in recrho: F0 = 0");
  Molecule four(4);
  expectStop([&] { four.adjust(0); }, " Dimension Error in recaff !");
  TopVec z{};
  AxisDirs l{};
  double finv[3][3];
  expectStop([&] { topAxesFromRho(4, z, z, z, 1, 1, 1, false, z, l, finv); },
             " Dimension Error in recaff !");
}

} // namespace
} // namespace ruvo
