// Lines that the first calculation can not use are reported on standard
// error in words, once each, and make the run unclean; a fit left with too
// few measured lines stops.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace ruvo {
namespace {

using test::runText;

// One top, torsional ground state only; `lines` are added to three A lines.
std::string oneTopWith(const std::string& fits, const std::string& lines,
                       const std::string& nzyk = "5") {
  return "One top\n\nntop 1 nzyk " + nzyk +
         "\n\nBJ 2.70 BK 6.40 B- 0.26\n"
         "F_1 158 V1n_1 800 rho_1 0.050 beta_1 0.35\n\n" +
         fits + "\n/A S 0\n/E S 1\n\nV 0\n\n" +
         "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 /A = 5.4440\n"
         "Jup 2 K-up 0 K+up 2 Jlo 1 K-lo 0 K+lo 1 /A = 10.8530\n"
         "Jup 2 K-up 1 K+up 2 Jlo 1 K-lo 1 K+lo 1 /A = 10.3290\n" +
         lines + "\n";
}

TEST(LineChecks, ALevelOfAStateNotComputedIsReportedOnceAndLeftOut) {
  test::ScopedWorkDir here("line_checks_state");
  const std::string excited = "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 /A V1up 2 V1lo 2 = 5.96\n";
  auto r = runText(oneTopWith("fit BJ\n", excited));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: line 4 (input line 18): the upper level J 1 t 1 V1 2 species 1: "
                   "torsional state V1 2 is not computed; set 1 computes 1 state (\"V 0\"), so V1 "
                   "runs from 1 to 1: declare more states in the torsional-state section; the "
                   "line is left out of the fit\n");
  // the listing keeps its line per sweep
  EXPECT_NE(r.out.find(" Assign error at line   4 reason"), std::string::npos);

  // a calculation lists the line as it is
  r = runText(oneTopWith("", excited, "1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("left out"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("torsional state V1 2 is not computed"), std::string::npos);

  // a fit left with too few lines stops before it starts
  r = runText(oneTopWith("fit BJ\nfit BK\n", excited));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the line is left out of the fit\nSTOP ERROR: a fit of 2 variables"),
            std::string::npos)
      << r.err;

  // a screenful of lines, then their number
  std::string many;
  for (int i = 0; i < 25; ++i) many += excited;
  r = runText(oneTopWith("fit BJ\n", many));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error: line 23 (input line 37)"), std::string::npos);
  EXPECT_EQ(r.err.find("Error: line 24 "), std::string::npos);
  EXPECT_NE(r.err.find("\n... and 5 more lines whose levels were not found\n"), std::string::npos)
      << r.err;
}

TEST(LineChecks, AFrequencyInMHzWithoutTheUnitIsReported) {
  test::ScopedWorkDir here("line_checks_mhz");
  auto r = runText(oneTopWith("", "Jup 2 K-up 1 K+up 1 Jlo 1 K-lo 1 K+lo 0 /A = 11440.0\n", "1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Warning: line 4 (input line 17): 11440 GHz is 1000 times the "
                        "calculated ",
                        0),
            0u)
      << r.err;
  EXPECT_NE(r.err.find(" GHz: a frequency in MHz needs \"MHz\" on its line\n"), std::string::npos);
  r = runText(oneTopWith("", "Jup 2 K-up 1 K+up 1 Jlo 1 K-lo 1 K+lo 0 /A = 11440.0 MHz\n", "1"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

} // namespace
} // namespace ruvo
