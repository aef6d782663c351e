// Parameter listing: value formats by decimal exponent, entries with their
// errors, which parameters and sets get a line, labels and derived marks.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "input/parameter_print.h"
#include "input/tables.h"

namespace ruvo {
namespace {

TEST(ParameterPrint, ValueFormatFollowsTheDecimalExponent) {
  struct Case {
    double value, error;
    const char* valueText;
    const char* errorText;
  } cases[] = {
      {2999.123, 0.5, "    2999.123000", "    0.500000"},
      {1000.0, 0.0, "    1000.000000", "    0.000000"},
      {999.9, 0.01, "  999.900000000", " 0.010000000"},
      {-5000.0, 1.0, "   -5000.000000", "    1.000000"},
      {0.0012, 1e-5, "    0.001200000", " 0.000010000"},
      {0.0002, 1e-6, "    0.000200000", " 0.000001000"}, // log10 = -3.7 truncates to -3
      {0.00002, 1e-7, "   20.000000E-6", " 0.100000E-6"},
      {-3.5e-5, 2e-6, "  -35.000000E-6", " 2.000000E-6"},
      {0.0, 0.0, "    0.000000E-6", " 0.000000E-6"},
      // the error takes the layout of its value, even when it does not fit
      {0.0, 0.5, "    0.000000E-6", "*********E-6"},
  };
  for (const Case& k : cases) {
    std::string v, e;
    formatValueWithError(k.value, k.error, v, e);
    EXPECT_EQ(v, k.valueText) << k.value;
    EXPECT_EQ(e, k.errorText) << k.value;
    EXPECT_EQ(v.size(), 15u);
    EXPECT_EQ(e.size(), 12u);
  }
}

TEST(ParameterPrint, EntryWithErrorFixedOrDerived) {
  EXPECT_EQ(parameterEntry(3000.0, 0.25, 1, 1, false), "    3000.000000 {    0.250000}");
  EXPECT_EQ(parameterEntry(3000.0, 0.25, 0, 1, false), "    3000.000000 {     fixed  }");
  EXPECT_EQ(parameterEntry(3000.0, 0.25, 0, 1, true), "    3000.000000 {     derived}");
  EXPECT_EQ(parameterEntry(3000.0, 0.25, 1, 0, false), "    3000.000000" + std::string(15, ' '));
}

// A run state with a listing stream and `nB` sets.
struct Listing {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  ParamSets values{}, errors{};
  FitFlags flags{};
  std::ostringstream out;
  explicit Listing(int nB, int ntop = 0, int spin = 0) {
    rs->io.out = &out;
    rs->nB = nB;
    rs->ctl.ntop = ntop;
    rs->ctl.spin = spin;
    initParamNames(*rs);
  }
  void all(int p, double v) {
    for (int b = 1; b <= DIMB; ++b) values(p, b) = v;
  }
  std::string print(int mode, int style = 0, int set = 0) {
    out.str("");
    printParameters(*rs, values, errors, flags, mode, style, set);
    return out.str();
  }
};

const std::string blanks15(15, ' ');

TEST(ParameterPrint, SetsAndLabels) {
  Listing l(1);
  l.all(par::BJ, 3000.0);
  EXPECT_EQ(l.print(3), " BJ            3000.000000" + blanks15 + "\n");
  EXPECT_EQ(l.print(0), "");
  // set k alone carries its number
  EXPECT_EQ(l.print(3, 0, 2), " BJ(2)         3000.000000" + blanks15 + "\n");

  Listing two(2);
  two.all(par::BJ, 3000.0);
  two.values(par::BJ, 2) = 3001.0;
  two.all(par::BK, 2.0);
  EXPECT_EQ(two.print(3), " BJ(1)         3000.000000" + blanks15 + "\n BJ(2)         3001.000000" +
                              blanks15 + "\n BK            2.000000000" + blanks15 + "\n");
  // a value that differs only in a set not in use does not split the line
  two.values(par::BK, 3) = 5.0;
  EXPECT_EQ(two.print(3).find("BK("), std::string::npos);
}

TEST(ParameterPrint, ModesSelectTheLines) {
  Listing l(1, 0, 0);
  l.all(par::BJ, 3.0);
  l.all(par::Cp, 1e-3);
  l.all(par::HJK, 1e-9);
  l.flags(par::BK, 1) = 1;
  l.errors(par::BK, 1) = 5e-7;
  // mode 1: fitted only
  EXPECT_EQ(l.print(1, 1), " BK            0.000000E-6 { 0.500000E-6}\n");
  // mode 4: C only with a nuclear spin, H only when not zero, no V or F
  // without tops
  const std::string m4 = l.print(4);
  EXPECT_EQ(m4.find(" C+"), std::string::npos);
  EXPECT_NE(m4.find(" HJK           0.001000E-6"), std::string::npos) << m4;
  EXPECT_EQ(m4.find(" H_J"), std::string::npos);
  EXPECT_EQ(m4.find(" Vss"), std::string::npos);
  EXPECT_EQ(m4.find(" F12"), std::string::npos);
  EXPECT_EQ(m4.find(" mu_x"), std::string::npos);
  EXPECT_NE(m4.find(" DJ "), std::string::npos);
  Listing s(1, 0, 3);
  s.all(par::BJ, 3.0);
  EXPECT_NE(s.print(4).find(" C+ "), std::string::npos);
  // modes 5 to 7: everything
  EXPECT_EQ(s.print(5), s.print(7));
  int lines = 0;
  for (char c : s.print(5)) lines += c == '\n';
  EXPECT_EQ(lines, 32);
  EXPECT_NE(s.print(5).find(" mu_x          0.000000E-6"), std::string::npos);
}

TEST(ParameterPrint, TopParametersOneLinePerKind) {
  Listing l(1, 2);
  l.all(par::BJ, 3.0);
  l.all(par::top(1, par::F), 160.0);
  l.all(par::top(2, par::F), 150.0);
  l.all(par::top(1, par::rho), 0.02);
  l.all(par::top(2, par::Dc3J), 1e-4);
  for (int b = 1; b <= DIMB; ++b) l.rs->adjfB[b] = 1 | 2; // F and F12 computed
  const std::string m3 = l.print(3, 1);
  // F computed from rho, beta and gamma: marked, " derived" for the error
  EXPECT_NE(m3.find("\\F           160.000000000 {     derived}  150.000000000 {     derived}\n"),
            std::string::npos)
      << m3;
  EXPECT_NE(m3.find(" rho           0.020000000 {     fixed  }    0.000000E-6 {     fixed  }\n"),
            std::string::npos);
  EXPECT_NE(m3.find(" Dc3J          0.000000E-6"), std::string::npos);
  // mode 4 leaves distortion kinds out when a top has a zero
  EXPECT_EQ(l.print(4).find("Dc3J"), std::string::npos);
  EXPECT_NE(l.print(4).find("\\F12 "), std::string::npos);
  // mode 2: fitted or derived
  const std::string m2 = l.print(2);
  EXPECT_NE(m2.find("\\F  "), std::string::npos);
  EXPECT_NE(m2.find("\\F12"), std::string::npos);
  EXPECT_NE(m2.find("\\F0 "), std::string::npos); // bit 8 clear: F0 follows from rho
  EXPECT_NE(m2.find("\\delta"), std::string::npos);
  EXPECT_EQ(m2.find("rho"), std::string::npos);
  EXPECT_EQ(m2.find("BJ"), std::string::npos);
  // two sets that differ in top 1: one line per set
  Listing d(2, 1);
  d.all(par::BJ, 3.0);
  d.all(par::top(1, par::F), 160.0);
  d.values(par::top(1, par::F), 2) = 161.0;
  const std::string m = d.print(3);
  EXPECT_NE(m.find("\n F(1)        160.000000000"), std::string::npos) << m;
  EXPECT_NE(m.find("\n F(2)        161.000000000"), std::string::npos);
}

} // namespace
} // namespace ruvo
