// Level labels from eigenvector compositions, and their hand-over to the
// transitions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "core/fortran_format.h"
#include "core/state.h"
#include "core/stop.h"
#include "hamiltonian/level_assignment.h"

namespace ruvo {
namespace {

struct Labels {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<SweepWork> sw = std::make_unique<SweepWork>();
  std::ostringstream out, err;
  Labels() {
    rs->allocate();
    sw->allocate();
    rs->io.out = &out;
    rs->io.err = &err;
  }
  // A block of J with nvv product states of one top (states 1..nvv).
  void block(int J, int nvv, int ntop) {
    const int d = 2 * J + 1;
    sw->blk.d = d;
    sw->blk.nvv = nvv;
    sw->blk.N = d * nvv;
    sw->blk.ntop = ntop;
    for (int i = 1; i <= nvv; ++i) {
      rs->use(i, 1, 1) = i;
      for (int K = -J; K <= J; ++K) {
        sw->basis[(i - 1) * d + K + J + 1].K = K;
        sw->basis[(i - 1) * d + K + J + 1].v[1] = i;
      }
    }
    for (int c = 0; c < sw->blk.N; ++c)
      for (int r = 0; r < sw->blk.N; ++r) v(r + 1, c + 1) = 0.0;
    for (int l = 0; l < sw->blk.N; ++l) sw->E[l] = 1.0 + l;
  }
  double& v(int r, int l) { return sw->V[(r - 1) + (l - 1) * DIMTOT]; }
  // basis position of (K, product state i)
  int pos(int K, int i) const { return (i - 1) * sw->blk.d + K + (sw->blk.d - 1) / 2 + 1; }
  const std::array<int, NLABEL + 1>& lab(int l) const { return sw->labels[l]; }
};

// A transition between two levels of set 1, species S, no hyperfine.
void line(RunState& rs, int i, int Jup, int Kup, int Jlo, int Klo, int S, double err) {
  rs.tr.ndata = std::max(rs.tr.ndata, i);
  auto& u = rs.tr.qn[i][UP];
  auto& l = rs.tr.qn[i][LO];
  u[slot::J] = Jup, u[slot::K] = Kup, u[slot::B] = 1, u[slot::S] = S, u[slot::F] = -1;
  l[slot::J] = Jlo, l[slot::K] = Klo, l[slot::B] = 1, l[slot::S] = S, l[slot::F] = -1;
  u[slot::V1] = l[slot::V1] = 1;
  u[slot::KIND] = l[slot::KIND] = kindbit::MEASURED;
  rs.tr.err[i] = err;
}

} // namespace

TEST(LevelAssignment, JZeroHasKZeroAndQualityZero) {
  Labels t;
  t.block(0, 1, 0);
  t.v(1, 1) = 1.0;
  labelLevels(*t.rs, *t.sw, 0, 0, -1, 1, 0);
  EXPECT_EQ(t.lab(1)[1], 0);
  EXPECT_EQ(t.lab(1)[2], 0);
  EXPECT_EQ(t.lab(1)[11], 0);
  EXPECT_EQ(t.lab(1)[12], 0);
  EXPECT_EQ(t.lab(1)[8], 1);
  EXPECT_EQ(t.lab(1)[9], 1);
  EXPECT_EQ(t.lab(1)[3], 1);
  EXPECT_EQ(t.lab(1)[5], 1);
  EXPECT_EQ(t.lab(1)[7], -1);
}

TEST(LevelAssignment, PlusMinusKPairsAreLabelledBySign) {
  Labels t;
  t.block(1, 1, 1);
  const double s = std::sqrt(0.5);
  // level 1: (|-1> + |1>)/sqrt2, level 2: |0>, level 3: (|-1> - |1>)/sqrt2
  t.v(t.pos(-1, 1), 1) = s, t.v(t.pos(1, 1), 1) = s;
  t.v(t.pos(0, 1), 2) = 1.0;
  t.v(t.pos(-1, 1), 3) = s, t.v(t.pos(1, 1), 3) = -s;
  labelLevels(*t.rs, *t.sw, 1, 2, -1, 1, 0);
  EXPECT_EQ(t.lab(1)[2], 1);
  EXPECT_EQ(t.lab(1)[11], 1);
  EXPECT_EQ(t.lab(1)[12], 1000);
  EXPECT_EQ(t.lab(3)[2], -1);
  EXPECT_EQ(t.lab(3)[12], 1000);
  EXPECT_EQ(t.lab(2)[2], 0);
  EXPECT_EQ(t.lab(2)[12], 100); // second K weight 0
  EXPECT_EQ(t.lab(2)[9], 2);
  EXPECT_EQ(t.lab(3)[9], 3);
  EXPECT_EQ(t.rs->pmKSign[2], 1);
  // species 0 never raises the flag
  Labels r;
  r.block(1, 1, 0);
  r.v(r.pos(-1, 1), 1) = s, r.v(r.pos(1, 1), 1) = s;
  r.v(r.pos(0, 1), 2) = 1.0;
  r.v(r.pos(-1, 1), 3) = s, r.v(r.pos(1, 1), 3) = -s;
  labelLevels(*r.rs, *r.sw, 1, 0, -1, 1, 0);
  for (int S = 0; S <= DIMSYM; ++S) EXPECT_EQ(r.rs->pmKSign[S], 0);
}

TEST(LevelAssignment, QualityAndSecondK) {
  Labels t;
  t.block(1, 1, 0);
  // 0.8 of K = 1 and 0.2 of K = -1: quality floor(100 |1 - 0.2/0.8|) = 75
  t.v(t.pos(1, 1), 1) = std::sqrt(0.8), t.v(t.pos(-1, 1), 1) = -std::sqrt(0.2);
  t.v(t.pos(0, 1), 2) = 1.0;
  t.v(t.pos(1, 1), 3) = std::sqrt(0.2), t.v(t.pos(-1, 1), 3) = std::sqrt(0.8);
  labelLevels(*t.rs, *t.sw, 1, 0, -1, 1, 0);
  EXPECT_EQ(t.lab(1)[2], 1);
  EXPECT_EQ(t.lab(1)[11], -1);
  EXPECT_EQ(t.lab(1)[12], 75);
  EXPECT_EQ(t.lab(3)[2], -1);
  EXPECT_EQ(t.lab(3)[11], 1);
}

TEST(LevelAssignment, TorsionalRanksFollowFirstAppearance) {
  // best product states in energy order 1, 2, 1, 3: ranks 1, 2 and 2 for state 3
  Labels t;
  t.block(1, 3, 1);
  const int order[9] = {1, 2, 1, 3, 2, 3, 1, 2, 3};
  int used[4] = {0, 0, 0, 0};
  for (int l = 1; l <= 9; ++l) {
    const int i = order[l - 1];
    const int K = used[i]++ - 1; // K = -1, 0, 1 within each state
    t.v(t.pos(K, i), l) = 1.0;
  }
  labelLevels(*t.rs, *t.sw, 1, 1, -1, 1, 0);
  EXPECT_EQ(t.lab(1)[3], 1);
  EXPECT_EQ(t.lab(2)[3], 2);
  EXPECT_EQ(t.lab(3)[3], 1);
  EXPECT_EQ(t.lab(4)[3], 2);
  // running numbers per state
  EXPECT_EQ(t.lab(1)[9], 1);
  EXPECT_EQ(t.lab(3)[9], 2);
  EXPECT_EQ(t.lab(7)[9], 3);
  EXPECT_EQ(t.lab(9)[9], 3);
}

TEST(LevelAssignment, TwoEquivalentTopsUseSymmetricCombinations) {
  // product states (1,2) and (2,1) of two tops; a level that is their
  // antisymmetric combination is labelled with the second combination
  Labels t;
  t.block(0, 2, 2);
  t.rs->use(1, 1, 1) = 2, t.rs->use(1, 2, 1) = 1; // state of top 2 lower than top 1
  t.rs->use(2, 1, 1) = 1, t.rs->use(2, 2, 1) = 2;
  const double s = std::sqrt(0.5);
  t.v(1, 1) = s, t.v(2, 1) = s;  // symmetric: level 1
  t.v(1, 2) = s, t.v(2, 2) = -s; // antisymmetric: level 2
  labelLevels(*t.rs, *t.sw, 0, 1, -1, 1, 0);
  EXPECT_EQ(t.lab(1)[3], 1);
  EXPECT_EQ(t.lab(2)[3], 2);
}

TEST(LevelAssignment, KTroubleIsReportedAndLabellingGoesOn) {
  Labels t;
  t.block(1, 1, 0);
  const double s = std::sqrt(0.5);
  t.v(t.pos(-1, 1), 1) = s, t.v(t.pos(0, 1), 1) = s; // equal weights, different |K|
  t.v(t.pos(-1, 1), 2) = s, t.v(t.pos(0, 1), 2) = -s;
  t.v(t.pos(1, 1), 3) = 1.0;
  labelLevels(*t.rs, *t.sw, 1, 0, -1, 1, 0);
  EXPECT_EQ(t.out.str(), freeFmt({"ERROR in assgn: K trouble", 1, 0, 1}) +
                             freeFmt({"ERROR in assgn: K trouble", 1, 0, 2}));
  EXPECT_EQ(t.lab(1)[12], 1000);
  EXPECT_EQ(t.lab(3)[2], 1);
}

TEST(LevelAssignment, LevelTablesInTheEnergyFile) {
  Labels t;
  const std::string name = "test_level_tables.out";
  t.rs->io.evalFile.open(name);
  t.rs->ctl.eval = 1;
  t.block(1, 1, 0);
  const double s = std::sqrt(0.5);
  t.v(t.pos(-1, 1), 1) = s, t.v(t.pos(1, 1), 1) = s;
  t.v(t.pos(0, 1), 2) = 1.0;
  t.v(t.pos(-1, 1), 3) = s, t.v(t.pos(1, 1), 3) = -s;
  t.sw->E[0] = 7.5, t.sw->E[1] = 9.25, t.sw->E[2] = 10.125;
  labelLevels(*t.rs, *t.sw, 1, 0, -1, 1, 0);
  labelLevels(*t.rs, *t.sw, 1, 0, -1, 1, 2); // a derivative pass: not printed at eval = 1
  t.rs->ctl.eval = 2;
  labelLevels(*t.rs, *t.sw, 1, 0, -1, 1, 3); // printed at eval = 2, after its status line
  t.rs->io.evalFile.close();
  std::ifstream f(name);
  std::stringstream ss;
  ss << f.rdbuf();
  std::remove(name.c_str());
  const std::string header =
      "\n  J  S  B  F    T  t  K  V    Energy/GHz    best K(s)      vec   V   vec 2nd.K vec "
      "2nd.V vec\n";
  const std::string table = header + "  1  0  1 -1    1  1 1+  1     7.50000000   1 -1  0.707  "
                                     "0.707   1 1.000             1 1.000\n"
                                     "  1  0  1 -1    2  2  0  1     9.25000000      0         "
                                     "1.000   1 1.000   1 0.000   1 1.000\n"
                                     "  1  0  1 -1    3  3 1-  1    10.12500000   1 -1 -0.707  "
                                     "0.707   1 1.000             1 1.000\n";
  EXPECT_EQ(ss.str(), table + " *********** FISTAT =  3\n" + table);
}

TEST(LevelAssignment, EnergiesGoToTheMatchingTransitionEnds) {
  Labels t;
  t.block(1, 1, 0);
  t.v(t.pos(-1, 1), 1) = 1.0;
  t.v(t.pos(0, 1), 2) = 1.0;
  t.v(t.pos(1, 1), 3) = 1.0;
  t.sw->E[0] = 10.0, t.sw->E[1] = 20.0, t.sw->E[2] = 30.0;
  RunState& rs = *t.rs;
  line(rs, 1, 1, 1, 0, 0, 0, 0.001);  // by K: upper K = 1 -> level 3
  line(rs, 2, 1, 0, 0, 0, 0, NODATA); // by K, no data point
  line(rs, 3, 1, 9, 0, 0, 0, 0.001);  // by T = 1
  rs.tr.qn[3][UP][slot::KIND] |= kindbit::BY_T;
  rs.tr.qn[3][UP][slot::T] = 1;
  line(rs, 4, 1, 9, 0, 0, 0, 0.001); // by t = 2
  rs.tr.qn[4][UP][slot::KIND] |= kindbit::BY_t;
  rs.tr.qn[4][UP][slot::t] = 2;
  line(rs, 5, 1, -1, 0, 0, 0, 0.001); // already found: untouched
  rs.tr.qn[5][UP][slot::KIND] |= kindbit::FOUND;
  rs.tr.eUp[5][0] = -7.0;
  line(rs, 6, 1, 1, 0, 0, 0, 0.001); // another B set
  rs.tr.qn[6][UP][slot::B] = 2;
  labelLevels(rs, *t.sw, 1, 0, -1, 1, 0);
  storeLevelEnergies(rs, *t.sw, 1, 0, -1, 1);
  EXPECT_EQ(rs.tr.eUp[1][0], 30.0);
  EXPECT_EQ(rs.tr.eUp[2][0], 20.0);
  EXPECT_EQ(rs.tr.eUp[3][0], 10.0);
  EXPECT_EQ(rs.tr.qn[3][UP][slot::K], -1);
  EXPECT_EQ(rs.tr.eUp[4][0], 20.0);
  EXPECT_EQ(rs.tr.eUp[5][0], -7.0);
  EXPECT_EQ(rs.tr.eUp[6][0], 0.0);
  EXPECT_FALSE(hasBit(rs.tr.qn[6][UP][slot::KIND], kindbit::FOUND));
  for (int i = 1; i <= 4; ++i) EXPECT_TRUE(hasBit(rs.tr.qn[i][UP][slot::KIND], kindbit::FOUND));
  EXPECT_EQ(rs.tr.qn[1][UP][slot::T], 3);
  EXPECT_EQ(rs.tr.qn[1][UP][slot::t], 3);
  EXPECT_EQ(rs.tr.qn[1][UP][slot::Q], 100);
  EXPECT_EQ(rs.tr.levelIndex[1][UP], 3);
  // need flags: levels 1 and 3 by fitted lines; level 2 only by line 4
  EXPECT_EQ(t.sw->need[1], 1);
  EXPECT_EQ(t.sw->need[2], 1);
  EXPECT_EQ(t.sw->need[3], 1);
  // the J = 0 ends do not belong to this block
  EXPECT_FALSE(hasBit(rs.tr.qn[1][LO][slot::KIND], kindbit::FOUND));

  // with tops in effect the torsional label must agree, unless matched by T
  Labels v;
  v.block(0, 2, 1);
  v.v(1, 1) = 1.0, v.v(2, 2) = 1.0;
  line(*v.rs, 1, 0, 0, 0, 0, 1, 0.001);
  v.rs->tr.qn[1][UP][slot::V1] = 2;
  v.rs->tr.qn[1][LO][slot::V1] = 1;
  labelLevels(*v.rs, *v.sw, 0, 1, -1, 1, 0);
  storeLevelEnergies(*v.rs, *v.sw, 0, 1, -1, 1);
  EXPECT_EQ(v.rs->tr.eUp[1][0], 2.0);
  EXPECT_EQ(v.rs->tr.eLo[1][0], 1.0);
  EXPECT_EQ(v.sw->need[1], 1);
  EXPECT_EQ(v.sw->need[2], 1);
}

TEST(LevelAssignment, DerivativesGoIntoTheFittedCombinations) {
  Labels t;
  RunState& rs = *t.rs;
  line(rs, 1, 2, 1, 1, 0, 0, 0.001);
  rs.tr.qn[1][UP][slot::T] = 4;
  rs.tr.qn[1][LO][slot::T] = 4; // another J: not this level
  FitModel fm;
  fm.nfit = 3;
  fm.var[1].kind = 1, fm.var[1].nterm = 2;
  fm.var[1].par[1] = par::BJ, fm.var[1].set[1] = 1, fm.var[1].coef[1] = 2.0;
  fm.var[1].par[2] = par::BK, fm.var[1].set[2] = 1, fm.var[1].coef[2] = -1.0;
  fm.var[2].kind = -1, fm.var[2].nterm = 1; // numerical: untouched
  fm.var[2].par[1] = par::BJ, fm.var[2].set[1] = 1, fm.var[2].coef[1] = 1.0;
  fm.var[3].kind = 1, fm.var[3].nterm = 1; // a term of another set
  fm.var[3].par[1] = par::BJ, fm.var[3].set[1] = 2, fm.var[3].coef[1] = 1.0;
  std::array<double, 33> dE{};
  dE[par::BJ] = 6.0, dE[par::BK] = 1.5;
  storeLevelDerivatives(rs, *t.sw, 2, 0, -1, 1, 4, fm, dE.data());
  storeLevelDerivatives(rs, *t.sw, 2, 0, -1, 1, 4, fm, dE.data()); // accumulates
  EXPECT_DOUBLE_EQ(rs.tr.eUp[1][1], 2 * (2.0 * 6.0 - 1.5));
  EXPECT_EQ(rs.tr.eUp[1][2], 0.0);
  EXPECT_EQ(rs.tr.eUp[1][3], 0.0);
  EXPECT_EQ(rs.tr.eLo[1][1], 0.0);
}

TEST(LevelAssignment, TooManyKValuesStop) {
  Labels t;
  t.sw->blk.d = DIM2J1 + 2;
  try {
    labelLevels(*t.rs, *t.sw, 71, 0, -1, 1, 0);
    FAIL() << "no stop";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message, " ERROR: DIM 2J1 exceeded");
  }
}

} // namespace ruvo
