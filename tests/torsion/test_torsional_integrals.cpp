// Torsional problems of a B set and their overlap integrals.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/stop.h"
#include "torsion/torsion.h"
#include "torsion/torsional_matrices.h"

namespace ruvo {
namespace {

// A one-top (or two-top) molecule with species A (sigma 0) and E (sigma 1).
struct TopSet {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<SweepWork> sw = std::make_unique<SweepWork>();
  ParamSets par;
  FitFlags flags;
  std::ostringstream out, err;
  explicit TopSet(int woods, int ntop = 1, int maxJ = 6) {
    sw->allocate();
    rs->io.out = &out;
    rs->io.err = &err;
    rs->maxJ = maxJ;
    rs->ctl.nfold = 3;
    rs->species.nsym = 2;
    rs->species.sigma[1] = {0, 0, 0, 0};
    rs->species.sigma[2] = {0, 1, 1, 1};
    sw->blk.ntop = ntop;
    sw->blk.woods = woods;
    for (int t = 1; t <= ntop; ++t) {
      rs->maxmTop[t] = 10;
      sw->blk.firstV[t] = 1;
      sw->blk.nV[t] = 3;
      par(par::top(t, par::F), 2) = 158.0 + 10.0 * t;
      par(par::top(t, par::V1n), 2) = 800.0 * t;
      par(par::top(t, par::V2n), 2) = -20.0;
      par(par::top(t, par::rho), 2) = 0.05 + 0.01 * t;
    }
  }
  void run(int pass = 0) {
    solveTorsionalProblems(*rs, *sw, 2, std::as_const(par).set(2), std::as_const(flags).set(2),
                           pass);
  }
  double T(int K, int Kp, int v, int vp, int sigma, int t = 1) {
    return sw->tors.T(K, Kp, v, vp, sigma, t);
  }
};

TEST(TorsionalIntegrals, TablesHoldTheOneTopSolutions) {
  TopSet s(1);
  s.run();
  std::vector<double> z(static_cast<std::size_t>(DIMTOT) * DIMTOT);
  TorsResult res;
  std::ostringstream err;
  const TorsParams p{168.0, 800.0, -20.0, 0.06};
  for (int sigma : {0, 1})
    for (int K = -6; K <= 6; ++K) {
      solveOneTopTorsion(3, sigma, z.data(), res, p, K, 10, 1, 3);
      for (int v = 1; v <= 3; ++v) {
        EXPECT_NEAR(s.sw->tors.E(v, sigma, K, 1), res.E[v - 1], 1e-9);
        EXPECT_EQ(s.sw->tors.lab(v, sigma, K, 1), res.label[v - 1]);
        for (int op = 1; op <= 8; ++op)
          for (int vp = 1; vp <= 3; ++vp)
            EXPECT_NEAR(s.sw->tors.O(op, v, vp, sigma, K, 1), res.ovv[op - 1][v - 1][vp - 1], 1e-9);
      }
    }
  EXPECT_EQ(s.sw->tors.firstV[1], 1);
  EXPECT_EQ(s.sw->tors.nV[1], 3);
}

TEST(TorsionalIntegrals, OverlapsWithUnitDiagonalBlocks) {
  TopSet s(1);
  s.run();
  for (int sigma : {0, 1})
    for (int K = -6; K <= 6; ++K)
      for (int Kp = -6; Kp <= 6; ++Kp)
        for (int v = 1; v <= 3; ++v)
          for (int vp = 1; vp <= 3; ++vp) {
            const double t = s.T(K, Kp, v, vp, sigma);
            if (K == Kp) {
              EXPECT_EQ(t, v == vp ? 1.0 : 0.0); // exactly
            } else {
              // overlaps of normalised states, symmetric under exchange
              EXPECT_LE(std::fabs(t), 1.0 + 1e-12);
              EXPECT_NEAR(t, s.T(Kp, K, vp, v, sigma), 1e-13);
            }
          }
  // neighbouring K: the states change little, the overlap of a state with
  // itself stays close to 1 and the sum of squares over the kept states of
  // the ground state is at most 1
  for (int sigma : {0, 1}) {
    EXPECT_GT(std::fabs(s.T(0, 1, 1, 1, sigma)), 0.99);
    double sum = 0.0;
    for (int vp = 1; vp <= 3; ++vp) sum += s.T(2, -3, 1, vp, sigma) * s.T(2, -3, 1, vp, sigma);
    EXPECT_LE(sum, 1.0 + 1e-12);
  }
}

TEST(TorsionalIntegrals, WithoutRhoTheStatesDoNotDependOnK) {
  // rho = 0 removes K from the torsional Hamiltonian: the states of every K
  // are the same functions with the same phase, so all overlaps are unit
  // matrices (a phase rule that depended on K would give -1 here)
  TopSet s(1);
  s.par(par::top(1, par::rho), 2) = 0.0;
  s.run();
  for (int sigma : {0, 1})
    for (int K = -6; K <= 6; ++K)
      for (int Kp = -6; Kp <= 6; ++Kp)
        for (int v = 1; v <= 3; ++v)
          for (int vp = 1; vp <= 3; ++vp)
            EXPECT_NEAR(s.T(K, Kp, v, vp, sigma), v == vp ? 1.0 : 0.0, 1e-12);
}

TEST(TorsionalIntegrals, ESpeciesIntegralsAreMirrorImages) {
  // sigma = -1 at (K, K') is the mirror of sigma = +1 at (-K, -K')
  TopSet s(1);
  s.rs->species.sigma[1][1] = -1;
  s.run();
  for (int K = -6; K <= 6; ++K)
    for (int Kp = -6; Kp <= 6; ++Kp)
      for (int v = 1; v <= 3; ++v)
        for (int vp = 1; vp <= 3; ++vp)
          EXPECT_NEAR(s.T(K, Kp, v, vp, -1), s.T(-K, -Kp, v, vp, 1), 1e-9);
}

TEST(TorsionalIntegrals, WithoutOverlapOptionStatesCoupleOnlyToThemselves) {
  TopSet s(0);
  s.run();
  for (int sigma : {0, 1})
    for (int K = -6; K <= 6; ++K)
      for (int Kp = -6; Kp <= 6; ++Kp)
        for (int v = 1; v <= 3; ++v)
          for (int vp = 1; vp <= 3; ++vp) EXPECT_EQ(s.T(K, Kp, v, vp, sigma), v == vp ? 1.0 : 0.0);
  // rescaling the unit matrix leaves it unchanged
  TopSet r(2);
  r.run();
  for (int K = -6; K <= 6; ++K)
    for (int v = 1; v <= 3; ++v)
      for (int vp = 1; vp <= 3; ++vp) EXPECT_EQ(r.T(K, -K, v, vp, 1), v == vp ? 1.0 : 0.0);
}

TEST(TorsionalIntegrals, RescaledIntegralsHaveUnitSymmetricRows) {
  TopSet s(1 + 2);
  s.run();
  for (int sigma : {0, 1})
    for (int K = -6; K <= 6; ++K)
      for (int Kp = -6; Kp <= 6; ++Kp)
        for (int v = 1; v <= 3; ++v) {
          double row = 0.0;
          for (int vp = 1; vp <= 3; ++vp) {
            row += s.T(K, Kp, v, vp, sigma) * s.T(K, Kp, v, vp, sigma);
            EXPECT_EQ(s.T(K, Kp, v, vp, sigma), s.T(K, Kp, vp, v, sigma));
          }
          EXPECT_NEAR(row, 1.0, 1e-12);
        }
}

TEST(TorsionalIntegrals, RescalingARowWithoutFreePartDoesNotDivideByZero) {
  // Two kept states whose second state at K' = 1 is orthogonal to both
  // states at K = 0: the second row of T(0, 1) has nothing left to scale.
  TopSet s(1 + 2, 1, 1);
  TorsionTables& tors = s.sw->tors;
  std::fill(tors.vec.begin(), tors.vec.end(), 0.0);
  tors.C(0, 1, 0) = 1.0;
  tors.C(1, 2, 0) = 1.0;
  tors.C(0, 1, 1) = 1.0;
  tors.C(2, 2, 1) = 1.0;
  tors.C(0, 1, -1) = 1.0;
  tors.C(1, 2, -1) = 1.0;
  torsionalOverlapIntegrals(*s.rs, *s.sw, 0, 1, 0, 1, 1, 2);
  for (int v = 1; v <= 2; ++v)
    for (int vp = 1; vp <= 2; ++vp) EXPECT_TRUE(std::isfinite(s.T(0, 1, v, vp, 0)));
  EXPECT_EQ(s.T(0, 1, 1, 1, 0), 1.0);
  EXPECT_EQ(s.T(0, 1, 2, 2, 0), 0.0);
}

TEST(TorsionalIntegrals, SharedSymmetryNumberIsSolvedOnce) {
  TopSet s(1);
  s.rs->species.nsym = 3;
  s.rs->species.sigma[3] = {0, 0, 0, 0}; // a second species with sigma 0
  s.rs->ctl.aprint = 16384 + 8192;
  s.rs->detailPrint = 1;
  s.run(0);
  const std::string out = s.out.str();
  std::size_t count = 0;
  for (std::size_t at = out.find("itop,sigma,k,B,fistat"); at != std::string::npos;
       at = out.find("itop,sigma,k,B,fistat", at + 1))
    ++count;
  EXPECT_EQ(count, 2u);
  EXPECT_NE(out.find("mvec"), std::string::npos);
  EXPECT_NE(out.find("Eigenvalues of one Top.  B="), std::string::npos);
  // without the detail-print switch nothing is printed
  TopSet quiet(1);
  quiet.rs->ctl.aprint = 16384 + 8192 + 2048;
  quiet.run(0);
  EXPECT_EQ(quiet.out.str(), "");
}

TEST(TorsionalIntegrals, PrintedIntegrals) {
  TopSet s(1 + 2, 1, 1);
  s.rs->ctl.aprint = 2048;
  s.rs->detailPrint = 1;
  s.sw->blk.nV[1] = 1;
  s.run(3);
  const std::string out = s.out.str();
  EXPECT_NE(out.find("\n torsional integrals  sigma=  0   deriv.=  3   \n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("\n----- scaled torsional integrals -----\n"), std::string::npos);
  // nine integrals of one state over K, K' = -1..1 on one line of (20F8.5)
  EXPECT_NE(out.find(" 1.00000 "), std::string::npos);
}

TEST(TorsionalIntegrals, GroundStateWindowOption) {
  // woods bit 4: every top keeps its states from state 1 on, up to the
  // highest state of the first block computed this way (states 2..3 here,
  // so the window is 1..3 and still holds the block's own states)
  TopSet s(1 + 4);
  s.sw->blk.firstV[1] = 2;
  s.sw->blk.nV[1] = 2;
  s.run();
  EXPECT_EQ(s.sw->tors.firstV[1], 1);
  EXPECT_EQ(s.sw->tors.nV[1], 3);
  EXPECT_EQ(s.sw->blk.firstV[1], 1);
  s.sw->blk.firstV[1] = 3;
  s.sw->blk.nV[1] = 1;
  s.run();
  EXPECT_EQ(s.sw->tors.firstV[1], 1);
  EXPECT_EQ(s.sw->tors.nV[1], 3);
  // the kept states are the lowest ones
  std::vector<double> z(static_cast<std::size_t>(DIMTOT) * DIMTOT);
  TorsResult res;
  std::ostringstream err;
  solveOneTopTorsion(3, 1, z.data(), res, TorsParams{168.0, 800.0, -20.0, 0.06}, 2, 10, 1, 2);
  EXPECT_NEAR(s.sw->tors.E(1, 1, 2, 1), res.E[0], 1e-9);
  EXPECT_NEAR(s.sw->tors.E(2, 1, 2, 1), res.E[1], 1e-9);
}

TEST(TorsionalIntegrals, WindowOfAnExcitedState) {
  TopSet s(1);
  s.sw->blk.firstV[1] = 2;
  s.sw->blk.nV[1] = 1;
  s.run();
  std::vector<double> z(static_cast<std::size_t>(DIMTOT) * DIMTOT);
  TorsResult res;
  std::ostringstream err;
  solveOneTopTorsion(3, 0, z.data(), res, TorsParams{168.0, 800.0, -20.0, 0.06}, -1, 10, 1, 3);
  EXPECT_NEAR(s.sw->tors.E(1, 0, -1, 1), res.E[1], 1e-9);
}

TEST(TorsionalIntegrals, TwoTopsUseTheirOwnParameters) {
  TopSet s(1, 2);
  s.run();
  std::vector<double> z(static_cast<std::size_t>(DIMTOT) * DIMTOT);
  TorsResult res;
  std::ostringstream err;
  solveOneTopTorsion(3, 1, z.data(), res, TorsParams{178.0, 1600.0, -20.0, 0.07}, 3, 10, 1, 3);
  for (int v = 1; v <= 3; ++v) EXPECT_NEAR(s.sw->tors.E(v, 1, 3, 2), res.E[v - 1], 1e-9);
}

TEST(TorsionalIntegrals, MissingTorsionalStatesStopTheRun) {
  TopSet s(1);
  s.sw->blk.firstV[1] = -1;
  try {
    s.run();
    ADD_FAILURE() << "no stop";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message, "FIRST V < 0 error");
  }
  EXPECT_NE(s.out.str().find("FIRST V: spezify V lines for B=  2"), std::string::npos);
  // a symmetry number outside -1..1 has no place in the tables
  TopSet t(1);
  t.rs->species.sigma[2][1] = 2;
  try {
    t.run();
    ADD_FAILURE() << "no stop";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message, "ERROR: sigma > DIMSIG");
  }
}

} // namespace
} // namespace ruvo
