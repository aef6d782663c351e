// The vocabulary: parameter names and their places, derivative kinds,
// control and transition keywords.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "input/tables.h"

namespace ruvo {
namespace {

// names that a key selects by prefix, as the reader matches them
std::set<std::string> prefixed(const std::string& key, int last = NPAR) {
  std::set<std::string> s;
  for (int p = 1; p <= last; ++p)
    if (kParamNames[p].compare(0, key.size(), key) == 0) s.insert(kParamNames[p]);
  return s;
}

TEST(Tables, ParameterNamesPlacesAndKinds) {
  std::set<std::string> all;
  for (int p = 1; p <= NPAR; ++p) {
    EXPECT_LE(kParamNames[p].size(), 7u) << p;
    EXPECT_FALSE(kParamNames[p].empty());
    all.insert(kParamNames[p]);
  }
  EXPECT_EQ(all.size(), 77u);
  EXPECT_EQ(kParamNames[1], "BJ");
  EXPECT_EQ(kParamNames[8], "dk");
  EXPECT_EQ(kParamNames[11], "chi_-");
  EXPECT_EQ(kParamNames[32], "P_z");
  EXPECT_EQ(kParamNames[33], "F_1");
  EXPECT_EQ(kParamNames[44], "Dpi2-_1");
  EXPECT_EQ(kParamNames[47], "delta_1");
  EXPECT_EQ(kParamNames[48], "F_2");
  EXPECT_EQ(kParamNames[77], "delta_3");
  EXPECT_EQ(kParamNames[par::top(3, par::F0)], "F0_3");
  for (int p = 1; p <= NPAR; ++p) {
    const int expected =
        (p == 9 || p == 15 || p == 16 || p >= 33) ? 1 : (p >= 27 && p <= 29 ? 9 : 0);
    EXPECT_EQ(kParamDerivKind[p], expected) << kParamNames[p];
  }
  // prefix matching: among the molecule-wide names D is the quartic
  // distortion (not dj, dk); Dc the torsional distortion of every top
  EXPECT_EQ(prefixed("D", 32), (std::set<std::string>{"DJ", "DJK", "DK"}));
  EXPECT_EQ(prefixed("D").size(), 3u + 18u);
  EXPECT_EQ(prefixed("Dc").size(), 9u);
  EXPECT_EQ(prefixed("F").size(), 7u); // F12, F_t, F0_t
}

TEST(Tables, ControlAndTransitionKeywords) {
  EXPECT_EQ(kControlNames[1], "nzyk");
  EXPECT_EQ(kControlNames[20], "reduct");
  EXPECT_EQ(kControlNames[21], "rofit");
  EXPECT_EQ(kControlNames[30], "temp");
  for (int k = 1; k <= 30; ++k) EXPECT_LE(kControlNames[k].size(), 6u);
  for (int k = 1; k <= NTRFIXED; ++k) EXPECT_LE(kTransitionKeys[k].size(), 5u);
  EXPECT_EQ(kTransitionKeys[7], "=");
  EXPECT_EQ(kTransitionKeys[30], "cm-1");
  // keys that fill a quantum-number slot and their level
  struct Case {
    const char* key;
    int slot, level;
  } cases[] = {{"Jup", 1, 1}, {"Jlo", 1, 2}, {"Sup", 6, 1},  {"V2lo", 4, 2}, {"Bup", 5, 1},
               {"Flo", 7, 2}, {"Tup", 8, 1}, {"tlo", 9, 2},  {"#", 13, 0},   {"&", 14, 0},
               {"Kup", 2, 1}, {"Klo", 2, 2}, {"K-up", 0, 1}, {"=", 0, 0},    {"MHz", 0, 0}};
  for (const Case& c : cases) {
    int k = 1;
    while (k <= NTRFIXED && kTransitionKeys[k] != c.key) ++k;
    ASSERT_LE(k, NTRFIXED) << c.key;
    EXPECT_EQ(kTransitionSlot[k], c.slot) << c.key;
    EXPECT_EQ(kTransitionLevel[k], c.level) << c.key;
  }
  EXPECT_EQ(kSymmetryKeys[1], "G");
  EXPECT_EQ(kSymmetryKeys[6], "S");
}

TEST(Tables, VanEijckTypkeNamesPlaceEightR6) {
  auto rs = std::make_unique<RunState>();
  initParamNames(*rs);
  EXPECT_EQ(rs->parName[8], "dk");
  rs->ctl.reduct = 2;
  initParamNames(*rs);
  EXPECT_EQ(rs->parName[8], "R6");
  EXPECT_EQ(rs->parName[7], "dj");
}

} // namespace
} // namespace ruvo
