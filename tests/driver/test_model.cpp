// The fit model function: residuals, uncertainties and derivatives of lines
// with and without average and splitting partners.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "core/state.h"
#include "driver/model.h"

namespace ruvo {
namespace {

struct Lines {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::ostringstream out, err;
  Lines(int n) {
    rs->allocate();
    rs->io.out = &out;
    rs->io.err = &err;
    rs->tr.ndata = n;
    for (int i = 1; i <= n; ++i) {
      auto& u = rs->tr.qn[i][UP];
      u[slot::AVG] = u[slot::SPLIT] = i;
      u[slot::KIND] = rs->tr.qn[i][LO][slot::KIND] = kindbit::FOUND | kindbit::MEASURED;
      rs->tr.err[i] = 0.001;
    }
  }
  // line i: observed frequency, energies and derivatives d/dvar1, d/dvar2
  void set(int i, double obs, double eu, double el, double du1, double dl1, double du2 = 0,
           double dl2 = 0) {
    rs->tr.freq[i] = obs;
    rs->tr.eUp[i][0] = eu, rs->tr.eLo[i][0] = el;
    rs->tr.eUp[i][1] = du1, rs->tr.eLo[i][1] = dl1;
    rs->tr.eUp[i][2] = du2, rs->tr.eLo[i][2] = dl2;
  }
};

} // namespace

TEST(ModelFunction, LineWithoutPartners) {
  Lines L(1);
  L.set(1, 10.5, 30.0, 19.75, 2.0, 0.5, -1.0, 3.0);
  double dyda[DIMFIT + 1];
  double sigma = 0;
  const double y = lineResidual(*L.rs, 1, dyda, sigma, 2);
  EXPECT_DOUBLE_EQ(y, 10.5 - 10.25);
  EXPECT_DOUBLE_EQ(sigma, 0.001);
  EXPECT_DOUBLE_EQ(dyda[1], 1.5);
  EXPECT_DOUBLE_EQ(dyda[2], -4.0);
  // a line whose partners are 0 counts as a line without partners
  L.rs->tr.qn[1][UP][slot::AVG] = L.rs->tr.qn[1][UP][slot::SPLIT] = 0;
  EXPECT_DOUBLE_EQ(lineResidual(*L.rs, 1, dyda, sigma, 2), 0.25);
  EXPECT_DOUBLE_EQ(dyda[2], -4.0);
}

TEST(ModelFunction, AveragePartnerAndSplittingPartner) {
  Lines L(3);
  L.set(1, 10.0, 30.0, 20.2, 2.0, 0.5);
  L.set(2, 0.0, 30.0, 19.6, 1.0, 0.5);  // average partner of line 1
  L.set(3, 10.5, 31.0, 20.4, 4.0, 1.0); // splitting reference of line 1
  L.rs->tr.qn[1][UP][slot::AVG] = 2;
  double dyda[DIMFIT + 1];
  double sigma = 0;
  // mean of 9.8 and 10.4 = 10.1
  EXPECT_NEAR(lineResidual(*L.rs, 1, dyda, sigma, 1), 10.0 - 10.1, 1e-12);
  EXPECT_DOUBLE_EQ(dyda[1], (1.5 + 0.5) / 2);
  L.rs->tr.qn[1][UP][slot::SPLIT] = 3;
  // (10.0 - 10.5) - (10.1 - 10.6)
  EXPECT_NEAR(lineResidual(*L.rs, 1, dyda, sigma, 1), 0.0, 1e-12);
  EXPECT_DOUBLE_EQ(dyda[1], 1.0 - 3.0);
}

TEST(ModelFunction, MissingLevelTakesTheLineOutOfTheFit) {
  Lines L(1);
  L.set(1, 10.5, 30.0, 19.75, 2.0, 0.5);
  L.rs->tr.qn[1][LO][slot::KIND] = kindbit::MEASURED;
  double dyda[DIMFIT + 1];
  double sigma = 0;
  lineResidual(*L.rs, 1, dyda, sigma, 1);
  EXPECT_EQ(sigma, NODATA);
}

TEST(ModelFunction, ReversedSplittingIsFlaggedAndWarnedOnce) {
  Lines L(4);
  L.rs->ctl.defer = 1.0;
  L.set(1, 10.0, 30.0, 20.5, 0, 0); // calc 9.5
  L.set(2, 9.0, 30.0, 21.0, 0, 0);  // calc 9.0, reference of line 1
  L.set(3, 10.0, 30.0, 20.5, 0, 0);
  L.set(4, 9.0, 30.0, 21.0, 0, 0);
  L.rs->tr.qn[1][UP][slot::SPLIT] = 2;
  L.rs->tr.qn[3][UP][slot::SPLIT] = 4;
  // observed splitting +1.0, calculated +0.5: fits the observation: no flag
  double dyda[DIMFIT + 1];
  double sigma = 0;
  lineResidual(*L.rs, 1, dyda, sigma, 0);
  EXPECT_FALSE(hasBit(L.rs->tr.qn[1][UP][slot::KIND], kindbit::SUSPECT));
  // calculated splitting -0.8 fits the reversed observation better
  L.rs->tr.eLo[1][0] = 21.8;
  L.rs->tr.eLo[3][0] = 21.8;
  lineResidual(*L.rs, 1, dyda, sigma, 0);
  lineResidual(*L.rs, 3, dyda, sigma, 0);
  EXPECT_TRUE(hasBit(L.rs->tr.qn[1][UP][slot::KIND], kindbit::SUSPECT));
  EXPECT_TRUE(hasBit(L.rs->tr.qn[3][UP][slot::KIND], kindbit::SUSPECT));
  EXPECT_EQ(L.out.str(),
            "\n   *Warning*: possible assignment error in line(s) marked with 'x'\n\n");
  // a line with a large error is never flagged
  Lines M(2);
  M.rs->ctl.defer = 1e-5;
  M.set(1, 10.0, 30.0, 21.8, 0, 0);
  M.set(2, 9.0, 30.0, 21.0, 0, 0);
  M.rs->tr.qn[1][UP][slot::SPLIT] = 2;
  M.rs->tr.err[1] = 0.5;
  lineResidual(*M.rs, 1, dyda, sigma, 0);
  EXPECT_FALSE(hasBit(M.rs->tr.qn[1][UP][slot::KIND], kindbit::SUSPECT));
  EXPECT_EQ(M.out.str(), "");
}

TEST(ModelFunction, SavedValuePerLine) {
  Lines L(2);
  storeRobustWeight(*L.rs, 2, 0.75);
  storeRobustWeight(*L.rs, 3, 1.0); // no such line: ignored
  EXPECT_EQ(L.rs->tr.psi[2], 0.75);
  EXPECT_EQ(L.rs->tr.psi[3], 0.0);
}

} // namespace ruvo
