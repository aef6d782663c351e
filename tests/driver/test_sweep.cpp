// The calculation sweep: energies of the lines, analytic against numerical
// derivatives, step signs, restored state, assignment errors, B sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>

#include "core/state.h"
#include "core/stop.h"
#include "driver/sweep.h"

namespace ruvo {
namespace {

// A rigid asymmetric rotor with quartic distortion; lines matched by the
// energy rank T of their levels within each block.
struct Sweep {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<SweepWork> sw = std::make_unique<SweepWork>();
  ParamSets ps;
  FitFlags flags;
  FitModel fm;
  std::ostringstream out, err;
  Sweep(int nB = 1) {
    rs->allocate();
    sw->allocate();
    rs->io.out = &out;
    rs->io.err = &err;
    rs->nB = nB;
    for (int b = 1; b <= nB; ++b) {
      ps(par::BJ, b) = 3.5 + 0.1 * (b - 1);
      ps(par::BK, b) = 6.0;
      ps(par::Bm, b) = 0.3;
      ps(par::DJ, b) = 2e-6;
      ps(par::DK, b) = 4e-5;
      for (int J = 0; J <= 3; ++J) {
        TodoEntry& e = rs->todo.e[++rs->todo.n];
        e.J = J, e.Sym = 0, e.B = b, e.F = -1, e.Stat = TODO_DERIV;
      }
    }
    rs->maxJ = 3;
  }
  // line i from (Jup, Tup) to (Jlo, Tlo) of set b
  void line(int i, int Jup, int Tup, int Jlo, int Tlo, double err = 0.001, int b = 1) {
    rs->tr.ndata = std::max(rs->tr.ndata, i);
    for (int end : {UP, LO}) {
      Slots& q = rs->tr.qn[i][end];
      q[slot::J] = end == UP ? Jup : Jlo;
      q[slot::T] = end == UP ? Tup : Tlo;
      q[slot::B] = b, q[slot::S] = 0, q[slot::F] = -1, q[slot::V1] = 1;
      q[slot::KIND] = kindbit::BY_T | (err != NODATA ? kindbit::MEASURED : 0);
    }
    rs->tr.qn[i][UP][slot::AVG] = rs->tr.qn[i][UP][slot::SPLIT] = i;
    rs->tr.err[i] = err;
    rs->tr.freq[i] = err != NODATA ? 10.0 : 0.0;
  }
  void fitVar(int n, int kind, int place, double step = 0.1, int b = 1) {
    fm.nfit = std::max(fm.nfit, n);
    FitVar& v = fm.var[n];
    v.kind = kind, v.step = step, v.nterm = 1;
    v.par[1] = place, v.set[1] = b, v.coef[1] = 1.0;
    if (kind > 0) flags(place, b) = 1;
  }
  double freq(int i) const { return rs->tr.calc(i); }
};

} // namespace

TEST(Sweep, EnergiesOfTheLinesAreTheRotorLevels) {
  Sweep s;
  s.ps(par::DJ, 1) = s.ps(par::DK, 1) = 0.0;
  s.line(1, 1, 1, 0, 1);
  s.line(2, 1, 2, 0, 1);
  s.line(3, 1, 3, 0, 1);
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 0);
  // J = 1 levels: B + C, A + C, A + B with A = BK + BJ, B = BJ + B-, C = BJ - B-
  const double A = 9.5, B = 3.8, C = 3.2;
  std::vector<double> e = {B + C, A + C, A + B};
  std::sort(e.begin(), e.end());
  for (int i = 1; i <= 3; ++i) {
    EXPECT_NEAR(s.freq(i), e[i - 1], 1e-12);
    EXPECT_TRUE(hasBit(s.rs->tr.qn[i][UP][slot::KIND], kindbit::FOUND));
    EXPECT_EQ(s.sw->baseUp[i], s.rs->tr.eUp[i][0]);
  }
  EXPECT_EQ(s.out.str(), "");
  EXPECT_EQ(s.sw->blk.ntop, 0);
}

TEST(Sweep, AnalyticAndNumericalDerivativesAgree) {
  Sweep s;
  s.line(1, 2, 5, 1, 2);
  s.line(2, 3, 4, 2, 3);
  s.line(3, 3, 7, 3, 1);
  s.fitVar(1, +1, par::BK);      // analytic
  s.fitVar(2, -2, par::BK);      // central difference
  s.fitVar(3, -1, par::BK);      // one-sided
  s.fitVar(4, -2, par::DK, 1.0); // a distortion constant, central
  s.fitVar(5, +1, par::DK);
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 0);
  std::vector<double> base;
  for (int i = 1; i <= 3; ++i) base.push_back(s.freq(i));
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 1);
  for (int i = 1; i <= 3; ++i) {
    const auto& U = s.rs->tr.eUp[i];
    const auto& L = s.rs->tr.eLo[i];
    // dE/dBK = <K^2> is at most 9 here; the central quotient is good to ~1e-8
    EXPECT_NEAR(U[2], U[1], 1e-7) << "line " << i;
    EXPECT_NEAR(L[2], L[1], 1e-7) << "line " << i;
    // the one-sided quotient is off by about h/2 times the curvature
    EXPECT_NEAR(U[3], U[1], 1e-3) << "line " << i;
    EXPECT_NEAR(U[4], U[5], 1e-6 * std::fabs(U[5]) + 1e-9) << "line " << i;
    // the energies of the given parameters are back in column 0
    EXPECT_EQ(s.freq(i), base[i - 1]);
  }
}

TEST(Sweep, OneSidedStepsAlternateAndModeTwoMakesThemCentral) {
  Sweep s;
  s.line(1, 3, 7, 3, 1);
  s.fitVar(1, -1, par::Bm, 1.0);
  s.fitVar(2, -2, par::Bm, 1.0);
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 0);
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 1);
  EXPECT_EQ(s.sw->stepSign[1], -1.0);
  const double backward = s.rs->tr.eUp[1][1];
  const double central = s.rs->tr.eUp[1][2];
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 1);
  EXPECT_EQ(s.sw->stepSign[1], 1.0);
  const double forward = s.rs->tr.eUp[1][1];
  EXPECT_NE(backward, forward);
  // backward and forward quotients straddle the derivative
  EXPECT_NEAR(0.5 * (backward + forward), central, 1e-6 * std::fabs(central));
  EXPECT_GT(std::fabs(backward - forward), 1e-6 * std::fabs(central));
  // mode 2: every numerical derivative central
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 2);
  EXPECT_NEAR(s.rs->tr.eUp[1][1], central, 1e-9 * std::fabs(central));
}

TEST(Sweep, PrintBitsAreClearedDuringDerivativeSweepsOnly) {
  Sweep s;
  s.line(1, 1, 1, 0, 1);
  s.fitVar(1, -1, par::BJ);
  s.rs->ctl.aprint = 65536 | 32768 | 8;
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 0);
  const std::size_t valueOut = s.out.str().size();
  EXPECT_GT(valueOut, 0u); // matrices and eigenvectors printed in the value sweep
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 1);
  EXPECT_EQ(s.out.str().size(), valueOut);
  EXPECT_EQ(s.rs->ctl.aprint, 65536 | 32768 | 8);
  // a derivative sweep that stops (a step that is not a number) gives the
  // bits back as well
  s.fitVar(1, -1, par::BJ, std::nan(""));
  EXPECT_THROW(sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 1), RunEnd);
  EXPECT_EQ(s.rs->ctl.aprint, 65536 | 32768 | 8);
}

TEST(Sweep, LevelsNotFoundAreReported) {
  Sweep s;
  s.line(1, 1, 1, 0, 1);
  s.line(2, 1, 4, 0, 1);         // J = 1 has three levels only
  s.line(3, 1, 5, 0, 1, NODATA); // not measured
  s.line(4, 9, 1, 0, 1);         // a J without a block
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 0);
  const std::string k = std::to_string(kindbit::BY_T | kindbit::MEASURED);
  const std::string found = std::to_string(kindbit::BY_T | kindbit::MEASURED | kindbit::FOUND);
  EXPECT_EQ(s.out.str(), " Assign error at line   2 reason  " + k + "  " + found + "\n" +
                             " Assign error at line   3 reason   4   5\n" +
                             " Assign error at line   4 reason  " + k + "  " + found + "\n");
  // in a derivative sweep only measured lines are checked
  s.out.str("");
  s.fitVar(1, -1, par::BJ);
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 1);
  EXPECT_EQ(s.out.str(), " Assign error at line   2 reason  " + k + "  " + found + "\n" +
                             " Assign error at line   4 reason  " + k + "  " + found + "\n");
}

TEST(Sweep, BSetsAreComputedInOrderWithTheirOwnParameters) {
  Sweep s(2);
  s.line(1, 1, 1, 0, 1, 0.001, 1);
  s.line(2, 1, 1, 0, 1, 0.001, 2);
  s.rs->ctl.aprint = 64;
  s.rs->cyclePrint = 1;
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 0);
  // lowest J = 1 level: B + C = 2 BJ
  EXPECT_NEAR(s.freq(1), 7.0, 1e-4);
  EXPECT_NEAR(s.freq(2), 7.2, 1e-4);
  const std::string out = s.out.str();
  const auto p1 = out.find("Parameter for B=  1   deriv.=  0\n");
  const auto p2 = out.find("Parameter for B=  2   deriv.=  0\n");
  ASSERT_NE(p1, std::string::npos) << out;
  ASSERT_NE(p2, std::string::npos) << out;
  EXPECT_LT(p1, p2);
  EXPECT_NE(out.find(std::string("BJ  BK    B-  ") + "       3.600000000" + "       6.000000000" +
                     "       0.300000000\n"),
            std::string::npos)
      << out;
}

TEST(Sweep, OnlyDerivativeBlocksInDerivativeSweeps) {
  Sweep s;
  s.line(1, 1, 1, 0, 1);
  s.line(2, 3, 1, 2, 1, NODATA);
  for (int e = 1; e <= s.rs->todo.n; ++e)
    if (s.rs->todo.e[e].J >= 2) s.rs->todo.e[e].Stat = 0; // blocks of predicted lines only
  s.fitVar(1, -2, par::BJ);
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 0);
  sweepWithDerivatives(*s.rs, *s.sw, s.ps, s.flags, s.fm, 1);
  EXPECT_NEAR(s.rs->tr.eUp[1][1], 2.0, 1e-6); // d E(J=1) / d BJ = J(J+1)
  EXPECT_EQ(s.rs->tr.eUp[2][1], 0.0);         // not recomputed: no derivative
}

} // namespace ruvo

// Whole runs (nzyk 1) of rigid-rotor inputs against listings checked in
// under tests/data/rigid.  The observed frequencies of those inputs were
// computed independently from angular-momentum operator algebra
// (tests/data/rigid/make_rigid_data.cpp), so every deviation in the expected
// listings is zero within the 0.1 kHz rounding, except for a few lines given
// a deliberate offset.
#include "support/test_support.h"

namespace ruvo {
namespace {

// The listing with the date of the banner masked.
std::string withoutDate(const std::string& listing) {
  std::istringstream is(listing);
  std::string line, out;
  while (std::getline(is, line)) {
    if (line.rfind(" Calculation date and time:", 0) == 0) line = " Calculation date and time:";
    out += line + "\n";
  }
  return out;
}

test::RunResult wholeRun(const std::string& name, int status = 0) {
  test::ScopedWorkDir here("rigid_" + name);
  const std::string input = test::readFile(test::sourcePath("tests/data/rigid/" + name + ".inp"));
  const std::string expected =
      test::readFile(test::sourcePath("tests/data/rigid/" + name + ".out"));
  EXPECT_FALSE(input.empty());
  EXPECT_FALSE(expected.empty());
  const auto r = test::runText(input);
  EXPECT_EQ(r.status, status) << r.err;
  EXPECT_EQ(test::compareListings(withoutDate(expected), withoutDate(r.out)), "") << name;
  return r;
}

} // namespace

TEST(RigidWholeRuns, WatsonAReductionWithSexticTerms) { wholeRun("watson_a"); }
TEST(RigidWholeRuns, WatsonSReductionWithSexticTerms) { wholeRun("watson_s"); }
TEST(RigidWholeRuns, VanEijckTypkeReduction) { wholeRun("eijck_typke"); }
TEST(RigidWholeRuns, QuadrupoleAndSpinRotationWithDoubledF) { wholeRun("quadrupole"); }
// Line 6 (input line 15) averages line 5 with "&" but has no "=": the
// frequency measured on line 5 is not used, and the run says so on standard
// error and ends with status 1.  Written on the line with "&", the same
// blend is one data point and the run is clean.
TEST(RigidWholeRuns, LinearTermsBSetsAndPartners) {
  const auto r = wholeRun("linear_terms", 1);
  EXPECT_EQ(r.err, "Warning: the frequency of line 5 (input line 14) is not used: line 6 (input"
                   " line 15) averages it with \"&\" but has no frequency of its own, so the"
                   " blend is no data point; write the blend's frequency with \"=\" on the line"
                   " with \"&\"\n");

  test::ScopedWorkDir here("rigid_blend");
  std::string input = test::readFile(test::sourcePath("tests/data/rigid/linear_terms.inp"));
  const std::string measured = " Bup 1 Blo 1 = 25.3900016\n", blended = " Bup 1 Blo 1 & -1\n";
  ASSERT_NE(input.find(measured), std::string::npos);
  input.replace(input.find(measured), measured.size(), " Bup 1 Blo 1\n");
  input.replace(input.find(blended), blended.size(), " Bup 1 Blo 1 = 25.6373375 & -1\n");
  const auto b = test::runText(input);
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(b.err, "");
  EXPECT_EQ(b.out.find("average freq."), std::string::npos);
  EXPECT_NE(b.out.find("   ndata    9   Data Points   7   Splittings   2\n"), std::string::npos)
      << b.out;
  // the blend: the mean of both calculated frequencies against its frequency
  EXPECT_NE(b.out.find("   6:  3  1  2  2  1  2 B 1        25.6373275    0.010&  25.6373375   Err"),
            std::string::npos)
      << b.out;
}

} // namespace ruvo

namespace ruvo {
namespace {

// Calculated frequency of listing line `line` (the first number after the
// quantum numbers and the species label).
double listedFrequency(const std::string& listing, int line) {
  std::istringstream is(listing);
  std::string text;
  const std::string tag = std::to_string(line) + ":";
  while (std::getline(is, text)) {
    const std::size_t p = text.find(tag);
    if (p == std::string::npos || p > 4) continue;
    std::istringstream fields(text.substr(p + tag.size() + 18));
    std::string tok;
    while (fields >> tok) {
      char* end = nullptr;
      const double v = std::strtod(tok.c_str(), &end);
      if (end != tok.c_str() && *end == '\0') return v;
    }
  }
  return std::nan("");
}

std::string oneTopExcitedState(const std::string& lines) {
  return "excited torsional state kept from the ground state on\n\n"
         "ntop 1 woods 37\n\n"
         "BJ 2.7 BK 6.4 B- 0.26\nF_1 158 V1n_1 1200 rho_1 0.05 beta_1 0.35\n\n\n"
         "/A S 0\n/E S 1\n\nV 1\n\n" +
         lines;
}

} // namespace

// With woods bit 4 the torsional tables of a B set keep every top's states
// from the ground state on; a block whose product states start higher must
// index into that window, in its first block and in every later one.
TEST(Sweep, WindowFromTheGroundStateServesEveryBlockOfTheSet) {
  const std::string qLine = "Jup 1 K-up 1 K+up 0 Jlo 1 K-lo 0 K+lo 1 V1up 1 V1lo 1 /E\n";
  const std::string rLine = "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 V1up 1 V1lo 1 /E\n";
  const auto alone = test::runText(oneTopExcitedState(qLine));
  const auto after = test::runText(oneTopExcitedState(rLine + qLine));
  ASSERT_EQ(alone.status, 0) << alone.err;
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(alone.out.find("Assign error"), std::string::npos);
  const double first = listedFrequency(alone.out, 1);  // the J = 1 block comes first
  const double second = listedFrequency(after.out, 2); // the J = 1 block comes second
  ASSERT_TRUE(std::isfinite(first)) << alone.out;
  EXPECT_NEAR(first, second, 1e-9);
}

} // namespace ruvo
