// Derived quantities: principal constants with correlated errors and Ray's
// kappa, barriers in energy units with the reduced barrier, the geometry of
// a top, rho and Q vectors with effective constants, the derivative table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

#include "core/state.h"
#include "input/tables.h"
#include "report/derived_constants.h"
#include "support/test_support.h"

namespace ruvo {
namespace {

ConstParamView cp(const ParamSets& s, int b) { return s.set(b); }

struct Reports {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::ostringstream out;
  ParamSets p, e;
  FitModel fm;
  std::vector<double> corr = std::vector<double>(DIMFIT * DIMFIT, 0.0);
  Reports() {
    rs->allocate();
    rs->io.out = &out;
    rs->io.err = &out;
    for (int k = 0; k <= NPAR; ++k) rs->parName[k] = kParamNames[k];
  }
  void variable(int j, int place, int set = 1) {
    fm.nfit = std::max(fm.nfit, j);
    FitVar& v = fm.var[j];
    v.nterm = 1;
    v.par[1] = place;
    v.set[1] = set;
    v.coef[1] = 1.0;
  }
  std::string rrp(int b = 1) {
    out.str("");
    printRotationalConstants(*rs, cp(p, b), cp(e, b), corr.data(), fm, fm.nfit, b);
    return out.str();
  }
};

double kappaOf(const std::string& s) {
  const auto k = s.find(" Ray's kappa ");
  return std::stod(s.substr(k + 13, 10));
}

TEST(DerivedConstants, RotationalConstantsWithCorrelatedErrorsAndKappa) {
  Reports r;
  // A = Bz = 9, B = Bx = 3, C = By = 2.5 GHz
  r.p(par::BJ, 1) = 2.75;
  r.p(par::BK, 1) = 6.25;
  r.p(par::Bm, 1) = 0.25;
  r.e(par::BJ, 1) = 3e-6;
  r.e(par::BK, 1) = 4e-6;
  r.e(par::Bm, 1) = 1e-6;
  r.variable(1, par::BJ);
  r.variable(2, par::BK);
  r.variable(3, par::Bm);
  r.corr[0 + 1 * DIMFIT] = 0.5;  // BJ-BK
  r.corr[0 + 2 * DIMFIT] = -0.5; // BJ-B-
  const std::string s = r.rrp();
  // sigma_z^2 = 9 + 16 + 2*3*4*0.5 = 37; sigma_y^2 = 9 + 1 + 3 = 13; sigma_x^2 = 9 + 1 - 3 = 7
  const std::string expected = " Rotational Constants and Errors (in GHz)\n"
                               "      B_z       9.000000000       0.000006083\n"
                               "      B_x       3.000000000       0.000002646\n"
                               "      B_y       2.500000000       0.000003606\n"
                               " Ray's kappa   -0.84615\n";
  EXPECT_EQ(s, expected);
  // without a fitted B- the errors are approximate and uncorrelated in B-
  r.fm.nfit = 2;
  const std::string a = r.rrp();
  EXPECT_EQ(a.rfind(" Rotational Constants and approx. Errors (in GHz)\n", 0), 0u);
  EXPECT_NE(a.find("      B_x       3.000000000       0.000003162\n"), std::string::npos);
  // B- carried by two variables: no correlation used either
  r.fm.nfit = 3;
  r.variable(4, par::Bm);
  EXPECT_EQ(r.rrp().rfind(" Rotational Constants and approx. Errors", 0), 0u);
  // prolate symmetric top (B = C) gives -1, oblate (A = B) +1
  r.p(par::Bm, 1) = 0.0;
  EXPECT_DOUBLE_EQ(kappaOf(r.rrp()), -1.0);
  r.p(par::BK, 1) = -1.0; // Bz = 1.75 below Bx = By = 2.75
  EXPECT_DOUBLE_EQ(kappaOf(r.rrp()), 1.0);
  // a spherical top has no asymmetry to measure: a word, never NaN
  r.p(par::BK, 1) = 0.0;
  EXPECT_NE(r.rrp().find(" Ray's kappa  spherical\n"), std::string::npos) << r.rrp();
  r.p(par::BK, 1) = -1.0;
  // the constants of set 2 are read from set 2 and its variables
  r.p(par::BJ, 2) = 1.0;
  r.p(par::BK, 2) = 1.0;
  r.p(par::Bm, 2) = 0.5;
  const std::string s2 = r.rrp(2);
  EXPECT_NE(s2.find("      B_z       2.000000000       0.000000000\n"), std::string::npos);
  EXPECT_EQ(s2.rfind(" Rotational Constants and approx. Errors", 0), 0u);
}

TEST(DerivedConstants, BarriersInEnergyUnitsAndReducedBarrier) {
  Reports r;
  r.rs->ctl.ntop = 1;
  r.p(par::top(1, par::V1n), 1) = 1000.0;
  r.e(par::top(1, par::V1n), 1) = 10.0;
  r.p(par::top(1, par::F), 1) = 160.0;
  printPotentialConstants(*r.rs, cp(r.p, 1), cp(r.e, 1), GHZ_TO_KJ, GHZ_TO_KCAL, GHZ_TO_CM);
  // s = 4 V3 / (9 F) = 4000 / 1440
  EXPECT_EQ(r.out.str(),
            " V1n_1      0.399031 kj +/- 0.003990 kj         0.095305 kcal +/- 0.000953 kcal\n"
            "           33.356405 cm +/-   0.3336 cm    s=   2.777778\n"
            "\n");
  // V2n lines for every top, decided by the last top; Vss and Vcc
  r.out.str("");
  r.rs->ctl.ntop = 2;
  r.p(par::top(2, par::V1n), 1) = 500.0;
  r.p(par::top(2, par::F), 1) = 100.0;
  r.p(par::top(2, par::V2n), 1) = 20.0;
  r.p(par::Vcc, 1) = 3.0;
  printPotentialConstants(*r.rs, cp(r.p, 1), cp(r.e, 1), GHZ_TO_KJ, GHZ_TO_KCAL, GHZ_TO_CM);
  const std::string s = r.out.str();
  EXPECT_NE(s.find(" V2n_1      0.000000 kj +/- 0.000000 kj "), std::string::npos);
  EXPECT_NE(s.find(" V2n_2      0.007981 kj"), std::string::npos);
  EXPECT_NE(s.find(" Vcc        0.001197 kj"), std::string::npos);
  EXPECT_EQ(s.find(" Vss "), std::string::npos);
  EXPECT_NE(s.find("s=   2.222222\n"), std::string::npos); // 2000 / 900
  r.out.str("");
  r.p(par::top(2, par::V2n), 1) = 0.0;
  printPotentialConstants(*r.rs, cp(r.p, 1), cp(r.e, 1), GHZ_TO_KJ, GHZ_TO_KCAL, GHZ_TO_CM);
  EXPECT_EQ(r.out.str().find("V2n"), std::string::npos);
}

TEST(DerivedConstants, TopGeometryAlongAnAxis) {
  Reports r;
  r.rs->ctl.ntop = 1;
  r.p(par::BJ, 1) = 2.75;
  r.p(par::BK, 1) = 6.25;
  r.p(par::Bm, 1) = 0.25;
  // rho along z: F0 = Bz / rho, the axis is z
  r.p(par::top(1, par::rho), 1) = 0.05;
  printTopGeometry(*r.rs, cp(r.p, 1), cp(r.e, 1), DEG_PER_RAD, 0);
  const std::string s = r.out.str();
  EXPECT_EQ(s, " Following values are derived from rho, beta, gamma\n"
               " F0(calc)     180.000000000       0.000000000\n"
               " I_alpha        2.807661500       0.000000000\n"
               " <(i,x)  <(i,y)  <(i,z)       90.0000       90.0000        0.0000\n"
               "d<(i,x) d<(i,y) d<(i,z)        0.0000        0.0000        0.0000\n"
               "\n");
  // with adjf bit 1 the F0 error follows from the variation of rho:
  // dF0 = Bz |1/(rho+d) - 1/rho|
  r.out.str("");
  r.e(par::top(1, par::rho), 1) = 0.001;
  printTopGeometry(*r.rs, cp(r.p, 1), cp(r.e, 1), DEG_PER_RAD, 1);
  const double dF0 = 9.0 / 0.05 - 9.0 / 0.051;
  std::ostringstream want;
  char buf[80];
  std::snprintf(buf, sizeof buf, " F0(calc)     180.000000000%18.9f\n", dF0);
  EXPECT_NE(r.out.str().find(buf), std::string::npos) << r.out.str();
  // with bit 8 the fitted F0 error is used, without the derivation note
  r.out.str("");
  r.e(par::top(1, par::F0), 1) = 0.25;
  printTopGeometry(*r.rs, cp(r.p, 1), cp(r.e, 1), DEG_PER_RAD, 8);
  EXPECT_EQ(r.out.str().find("Following"), std::string::npos);
  EXPECT_NE(r.out.str().find(" F0(calc)     180.000000000       0.250000000\n"), std::string::npos);
  // axis from epsil and delta (bit 16): delta = 30 deg in the xz plane
  r.out.str("");
  r.p(par::top(1, par::delta), 1) = M_PI / 6;
  r.p(par::top(1, par::beta), 1) = 0.3;
  printTopGeometry(*r.rs, cp(r.p, 1), cp(r.e, 1), DEG_PER_RAD, 8 + 16);
  EXPECT_NE(r.out.str().find(" <(i,x)  <(i,y)  <(i,z)       60.0000       90.0000       30.0000\n"),
            std::string::npos)
      << r.out.str();
}

TEST(DerivedConstants, RhoAndQVectorsWithEffectiveConstants) {
  Reports r;
  r.rs->ctl.ntop = 1;
  r.rs->nB = 1;
  r.p(par::BJ, 1) = 2.75;
  r.p(par::BK, 1) = 6.25;
  r.p(par::Bm, 1) = 0.25;
  r.p(par::top(1, par::F), 1) = 160.0;
  r.p(par::top(1, par::rho), 1) = 0.05;
  r.p(par::top(1, par::beta), 1) = M_PI / 2; // rho along x
  printRhoAndEffectiveConstants(*r.rs, r.p);
  // Q = -F rho, Bx_eff = Bx + F rho^2
  std::istringstream lines(r.out.str());
  std::string l;
  std::getline(lines, l);
  EXPECT_EQ(l, " B: 1");
  std::getline(lines, l);
  EXPECT_EQ(l, " Bx By Bz                 3.000000000       2.500000000       9.000000000");
  std::getline(lines, l);
  EXPECT_EQ(l, " rho_x rho_y rho_z        0.050000000       0.000000000       0.000000000");
  std::getline(lines, l);
  EXPECT_EQ(l.substr(0, 37), " Qx Qy Qz effektiv       -8.000000000");
  std::getline(lines, l);
  EXPECT_EQ(l, " Bx By Bz effektiv        3.400000000       2.500000000       9.000000000");
}

TEST(DerivedConstants, DerivativeTableOfTheLines) {
  Reports r;
  const std::string path = "/tmp/ruvo_prderiv_" + std::to_string(getpid()) + ".out";
  r.rs->io.dfreqFile.open(path);
  Transitions& tr = r.rs->tr;
  tr.ndata = 2;
  for (int i = 1; i <= 2; ++i) {
    tr.qn[i][UP][slot::SPLIT] = i;
    tr.qn[i][UP][slot::AVG] = i;
  }
  tr.eUp[1] = {};
  tr.eUp[1][0] = 10.0;
  tr.eUp[1][1] = 2.0;
  tr.eUp[1][3] = 0.5;
  tr.freq[1] = 10.001;
  tr.eUp[2][0] = 12.0;
  tr.eUp[2][1] = 3.0;
  tr.freq[2] = 12.0;
  tr.qn[2][UP][slot::SPLIT] = 1; // line 2 is a splitting against line 1
  r.fm.nfit = 3;
  r.fm.var[1].kind = 1;
  r.fm.var[2].kind = 0;
  r.fm.var[3].kind = -2;
  writeFrequencyDerivatives(*r.rs, r.fm, 3);
  r.rs->io.dfreqFile.close();
  const std::string s = test::readFile(path);
  std::remove(path.c_str());
  EXPECT_EQ(s, "            No.   calc  obs-calc                -   diff-quotient\n"
               "  1     10.0000000      0.0010000      2.00000000      0.50000000\n"
               "  2      2.0000000     -0.0010000      1.00000000     -0.50000000\n");
}

} // namespace
} // namespace ruvo
