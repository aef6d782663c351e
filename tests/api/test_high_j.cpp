// Levels, partition function and storage above J 70: a prolate symmetric top
// up to J 150 against its closed form, a one-top catalogue whose partition
// function is summed to convergence, and tables sized to the run's J range.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/state.h"
#include "ruvo/ruvo.h"
#include "support/test_support.h"

namespace ruvo {
namespace {

std::string example(const std::string& name) {
  return test::readFile(test::sourcePath("examples/" + name + ".inp"));
}

// With B- = 0 and no distortion the rotor is a prolate symmetric top:
// E(J, K) = BJ J(J+1) + BK K^2 (GHz), K = Ka, for every J up to 150.
TEST(HighJ, ProlateTopLevelsUpToJ150) {
  test::ScopedWorkDir here("high_j_prolate");
  Model m = Model::parse(example("rigid_rotor"), "rigid_rotor");
  for (const char* p : {"B-", "DJ", "DJK", "DK", "dj", "dk", "H_K"}) m.set(p, 0.0);
  const double BJ = m.get("BJ"), BK = m.get("BK");
  const Levels lv = m.levels(150);
  EXPECT_EQ(lv.jmax, 150);
  int n100 = 0, n150 = 0;
  for (const Level& l : lv.levels) {
    if (l.J != 100 && l.J != 150) continue;
    (l.J == 100 ? n100 : n150) += 1;
    const double closed = BJ * l.J * (l.J + 1.0) + BK * l.Ka * l.Ka;
    EXPECT_NEAR(l.E_GHz, closed, 1e-9 * closed) << "J " << l.J << " Ka " << l.Ka;
    EXPECT_TRUE(l.Kc == l.J - l.Ka || l.Kc == l.J - l.Ka + 1) << l.J << ' ' << l.Ka << ' ' << l.Kc;
    EXPECT_EQ(l.degeneracy, 2 * l.J + 1);
  }
  EXPECT_EQ(n100, 201);
  EXPECT_EQ(n150, 301);
}

// The torsional tables hold the K of the run's J range: a run of J <= 10
// stores 21 K values per top and symmetry number, not those of J 150.
TEST(HighJ, TorsionalTablesAreSizedToTheRun) {
  TorsionTables small, large;
  small.allocate(DIMV, 1, 10);
  large.allocate(DIMV, 1, DIMJ);
  EXPECT_EQ(small.NK, 21);
  EXPECT_EQ(large.NK, 301);
  const std::size_t vv = DIMV * DIMV;
  EXPECT_EQ(small.tint.size(), 1u * TorsionTables::NS * 21 * 21 * vv);
  EXPECT_EQ(small.ovv.size(), 1u * TorsionTables::NS * 21 * TorsionTables::NOP * vv);
  EXPECT_EQ(large.tint.size(), 1u * TorsionTables::NS * 301 * 301 * vv);
  // the extreme K of the run lands on the last element, not beyond
  EXPECT_EQ(&small.T(10, 10, DIMV, DIMV, 1, 1), &small.tint.back());
  RotationStore rot;
  rot.allocate(10);
  EXPECT_EQ(rot.d.size(), 21u * 21u);
  EXPECT_EQ(&rot.D(10, 10), &rot.d.back());
}

// A line of J 120: the transition listing and the predicted spectrum give J
// and K four columns (and their headers move with them); no field overflows.
TEST(HighJ, ListingsOfJ120WidenTheirQuantumNumbers) {
  test::ScopedWorkDir here("high_j_listing");
  const auto r =
      test::runText("High J\n\nnzyk 1 ints 2 freq_l 808.0 freq_h 809.0 limit 0.0 aprint 32\n\n"
                    "BJ 3.36 BK 6.10 B- 0.02\nmu_x 1.0 mu_z 1.0\n\n\n"
                    "Jup 120 K-up 0 K+up 120 Jlo 119 K-lo 0 K+lo 119\n\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("***"), std::string::npos);
  EXPECT_NE(r.out.find("\n       J  K-  K+   J  K-  K+          calc/GHz"), std::string::npos);
  EXPECT_NE(r.out.find("\n   1: 120   0 120 119   0 119       802.09"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1.K  2.K %   1.K  2.K %"), std::string::npos);
  // the header of the predicted lines: Freq over the frequency column
  const std::size_t head = r.out.find("\n-- B 1");
  ASSERT_NE(head, std::string::npos);
  const std::size_t line = r.out.find('\n', head + 1) + 1;
  const std::size_t freqEnd = r.out.find("Freq", head) + 4 - (head + 1);
  EXPECT_EQ(r.out.substr(line, 32), "  25  11  15   24   4  21   S 0 ");
  EXPECT_EQ(r.out.substr(line + freqEnd - 6, 6), "332389"); // Freq ends with the number
}

} // namespace
} // namespace ruvo
