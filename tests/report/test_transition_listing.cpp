// The observed-minus-calculated table: every field and header, marks,
// statistics, the Maximum line, zero frequencies and dividers.  The expected
// lines are written piece by piece, one piece per field, from the layout rules.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "core/state.h"
#include "report/transition_listing.h"

namespace ruvo {
namespace {

struct Listing {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  FitStats stats;
  std::ostringstream out, err;
  Listing() {
    rs->allocate();
    rs->io.out = &out;
    rs->io.err = &err;
  }
  // line i between (Jup, t/K up) and (Jlo, t/K lo), both ends found
  Slots& up(int i) { return rs->tr.qn[i][UP]; }
  Slots& lo(int i) { return rs->tr.qn[i][LO]; }
  void line(int i, int Jup, int tup, int Jlo, int tlo, double eup, double elo, double obs,
            double err) {
    rs->tr.ndata = std::max(rs->tr.ndata, i);
    up(i)[slot::J] = Jup, up(i)[slot::t] = tup, lo(i)[slot::J] = Jlo, lo(i)[slot::t] = tlo;
    up(i)[slot::B] = lo(i)[slot::B] = 1;
    up(i)[slot::V1] = lo(i)[slot::V1] = 1;
    up(i)[slot::F] = lo(i)[slot::F] = -1;
    up(i)[slot::KIND] = lo(i)[slot::KIND] = kindbit::FOUND;
    up(i)[slot::AVG] = up(i)[slot::SPLIT] = i;
    rs->tr.eUp[i][0] = eup, rs->tr.eLo[i][0] = elo;
    rs->tr.freq[i] = obs, rs->tr.err[i] = err;
  }
  std::string run() {
    printTransitionListing(*rs, stats);
    return out.str();
  }
};

const std::string B2 = "  ", B4 = "    ", B5 = "     ";

} // namespace

TEST(TransitionListing, RigidRotorLinesWithPartnersAndMarks) {
  Listing L;
  L.line(1, 2, 3, 1, 1, 30.1234567, 10.0, 20.1235, 5e-5);
  L.line(2, 3, 4, 2, 2, 40.5, 25.0, 0.0, NODATA);
  L.line(3, 2, 3, 1, 1, 30.2234567, 10.0, 20.2236, 1e-4);
  L.up(3)[slot::SPLIT] = 1; // a splitting against line 1
  L.line(4, 3, 4, 2, 2, 40.6, 25.0, 0.0, NODATA);
  L.up(4)[slot::AVG] = 2; // averaged with line 2
  L.line(5, 2, 3, 1, 1, 1500.0, 100.0, 1400.005, 0.01);
  L.lo(5)[slot::KIND] = 0; // lower level not found
  const std::string q1 = ":  2  1  1  1  0  1", q2 = ":  3  2  2  2  1  2";
  const std::string tail = " rigid-rigid\n";
  const std::string expected =
      // header: mark, 3X, Q (19), F, V, Sym (4), frequencies (36), error (13), partner (5),
      // intensity (1)
      " " + std::string(3, ' ') + "  J K- K+  J K- K+ " + " " + " " + B4 +
      "   calc/GHz  diff/MHz     obs/GHz " + B2 + std::string(13, ' ') + B5 + " " + "\n" + " " +
      "  1" + q1 + " " + " " + B4 + "  20.1234567    0.0433  20.1235000" + B2 + " Err 0.5D-04 " +
      B5 + " " + tail + " " + "  2" + q2 + " " + " " + B4 + "  15.5000000      ---       ---   " +
      B2 + "      ---    " + B5 + " " + tail + " " + "  3" + q1 + " " + " " + B4 +
      "   0.1000000    0.1000   0.1001000" + B2 + " Err 0.1D-03 " + "#  -2" + " " + tail + " " +
      "  4" + q2 + " " + " " + B4 + "  15.5500000      ---       --&   " + B2 + "      ---    " +
      B5 + " " + tail + "*" + "  5" + q1 + " " + " " + B4 + "   1400.0000       5.0   1400.0050" +
      B2 + " Err 0.1D-01 " + B5 + " " + tail + " Maximum (obs-calc)/err in line   3   0.0001000\n";
  EXPECT_EQ(L.run(), expected);
  // statistics: line 3 is a splitting, lines 1 and 5 absolute frequencies
  EXPECT_EQ(L.stats.count[1][1][1], 1);
  EXPECT_EQ(L.stats.count[2][1][1], 2);
  EXPECT_NEAR(L.stats.devSum[2][1][1], 0.866 * 0.866 + 0.25, 1e-3);
  EXPECT_NEAR(L.stats.wSum[2][1][1], 1 / 25e-10 + 1 / 1e-4, 1e-3);
  EXPECT_NEAR(L.stats.devSum[1][1][1], 1.0, 1e-9);
}

TEST(TransitionListing, SpeciesHyperfineTorsionKLabelsAndIntensities) {
  Listing L;
  RunState& rs = *L.rs;
  rs.nB = 2;
  rs.ctl.spin = 2;
  rs.ctl.ntop = 1;
  rs.ctl.aprint = 32;
  rs.ctl.rofit = 1.0;
  rs.ctl.ints = 1;
  rs.use(1, 1, 1) = 1, rs.use(2, 1, 1) = 2;
  rs.todo.n = 1, rs.todo.e[1].B = 1;
  rs.species.nsym = 2;
  rs.species.label[1] = "A    ", rs.species.label[2] = "E    ";
  rs.pmKSign[2] = 1; // species 2: K- K+ from the running number
  L.line(1, 2, 0, 1, 1, 50.0, 38.0, 12.001, 0.002);
  L.up(1)[slot::S] = 1, L.up(1)[slot::K] = 2, L.up(1)[slot::K2] = -2, L.up(1)[slot::Q] = 100;
  L.lo(1)[slot::S] = 2, L.lo(1)[slot::K] = 0, L.lo(1)[slot::K2] = 1, L.lo(1)[slot::Q] = 80;
  L.up(1)[slot::B] = L.lo(1)[slot::B] = 2;
  L.lo(1)[slot::V1] = 2;
  L.up(1)[slot::F] = 5, L.lo(1)[slot::F] = 3;
  rs.tr.psi[1] = 0.85, rs.tr.inten[1] = 0.25;
  L.line(2, 1, 0, 0, 0, 7.5, 0.0, 7.4997, 0.001);
  L.up(2)[slot::S] = L.lo(2)[slot::S] = 1;
  L.up(2)[slot::K] = 1, L.up(2)[slot::K2] = -1, L.up(2)[slot::Q] = 50;
  L.up(2)[slot::F] = 3, L.lo(2)[slot::F] = 1;
  rs.tr.psi[2] = 1.0, rs.tr.inten[2] = 1.5;
  const std::string expected =
      " " + std::string(3, ' ') + "  J K- K+  J K- K+   B " + "    F  F" + std::string(6, ' ') +
      "Sym " + "   calc/GHz  diff/MHz     obs/GHz " + B2 + std::string(18, ' ') + B5 +
      " 1.K 2.K %  1.K 2.K % " + std::string(9, ' ') + "\n" + " " + "  1" +
      ":  2 K   2  1  0  1 B 2" + " F  5  3" + " V 1 2" + " A E" +
      "  12.0000000    1.0000  12.0010000" + B2 + " Err 0.2D-02 0.85 " + B5 +
      "   2 -2 100   0  1  80" + " I  0.250" + " " + "E    " + "-" + "A    " + "\n" + " " + "  2" +
      ":  1 K   1  0 K   0 B 1" + " F  3  1" + " V 1" + " A" +
      "   7.5000000   -0.3000   7.4997000" + B2 + " Err 0.1D-02 1.00 " + B5 +
      "   1 -1  50   0  0   0" + " I  1.500" + " " + "A    " + "-" + "A    " + "\n" +
      " Maximum (obs-calc)/err in line   1   0.0010000\n";
  EXPECT_EQ(L.run(), expected);
  EXPECT_EQ(L.stats.count[2][1][2], 1);
  EXPECT_EQ(L.stats.count[2][1][1], 1);
}

TEST(TransitionListing, SpeciesNumbersWithoutLabels) {
  Listing L;
  RunState& rs = *L.rs;
  rs.ctl.ntop = 1;
  rs.species.nsym = 2;
  rs.species.label[1] = rs.species.label[2] = "     ";
  rs.pmKSign[1] = rs.pmKSign[2] = 1;
  L.line(1, 1, 1, 0, 1, 5.0, 0.0, 0.0, NODATA);
  L.up(1)[slot::S] = 1, L.lo(1)[slot::S] = 2;
  L.line(2, 1, 1, 0, 1, 5.0, 0.0, 0.0, NODATA);
  L.up(2)[slot::S] = L.lo(2)[slot::S] = 2;
  L.line(3, 1, 1, 0, 1, 5.0, 0.0, 0.0, NODATA);
  L.up(3)[slot::S] = -1, L.lo(3)[slot::S] = -1;
  const std::string q = ":  1  0  1  0  0  0";
  const std::string f = "   5.0000000      ---       ---   " + B2 + "      ---    " + B5 + " ";
  const std::string expected =
      " " + std::string(3, ' ') + "  J K- K+  J K- K+ " + " " + " " + "SymSym" +
      "   calc/GHz  diff/MHz     obs/GHz " + B2 + std::string(13, ' ') + B5 + " " + "\n" + " " +
      "  1" + q + " " + " " + " S 1 2" + f + " " + "     " + "-" + "     " + "\n" + " " + "  2" +
      q + " " + " " + " S 2" + f + " " + "     " + "-" + "     " + "\n" + " " + "  3" + q + " " +
      " " + " S-1" + f + " " + "rig-1" + "-" + "rig-1" + "\n";
  EXPECT_EQ(L.run(), expected);
}

// A line of calculated frequency 0 (a degenerate K doublet, levels not
// found) is listed like any other; only a line from a level to itself
// without a frequency is a divider.  Neither ends the table.
TEST(TransitionListing, ZeroFrequencyLinesAndDividersEndNothing) {
  Listing L;
  L.line(1, 1, 1, 0, 1, 5.0, 0.0, 5.0001, 0.001);
  L.line(2, 1, 1, 1, 2, 7.0, 7.0, 0.0, NODATA); // 1(1,1) - 1(1,0), degenerate
  L.line(3, 1, 1, 0, 1, 5.0, 0.0, 5.0001, 0.001);
  L.line(4, 1, 1, 1, 1, 0.0, 0.0, 0.0, NODATA); // the same level twice
  L.up(4)[slot::KIND] = L.lo(4)[slot::KIND] = 0;
  L.line(5, 1, 2, 0, 1, 0.0, 0.0, 0.0, NODATA); // levels not found
  L.up(5)[slot::KIND] = L.lo(5)[slot::KIND] = 0;
  L.line(6, 1, 1, 0, 1, 5.0, 0.0, 5.0003, 0.001);
  const std::string out = L.run();
  EXPECT_NE(out.find("\n   2:  1  0  1  1  1  1         0.0000000      ---       ---   "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\n - - - - -\n*  5:"), std::string::npos) << out;
  EXPECT_NE(out.find("\n*  5:  1  1  1  0  0  0         0.0000000      ---"), std::string::npos)
      << out;
  EXPECT_NE(out.find("\n   6:"), std::string::npos) << out;
  EXPECT_EQ(out.find("   4:"), std::string::npos) << out;
  EXPECT_NE(out.find(" Maximum (obs-calc)/err in line   6   0.0003000\n"), std::string::npos)
      << out;
  EXPECT_EQ(L.stats.count[2][1][1], 3);
  // a measured line between the same level is no divider
  Listing M;
  M.line(1, 1, 1, 1, 1, 0.0, 0.0, 0.0001, 0.001);
  EXPECT_NE(M.run().find("   1:  1  0  1  1  0  1         0.0000000    0.1000   0.0001000"),
            std::string::npos)
      << M.out.str();
  Listing E;
  E.rs->tr.ndata = 0;
  EXPECT_EQ(E.run(), "");
}

TEST(TransitionListing, PrecisionSwitchesAbove999_99) {
  Listing L;
  L.line(1, 1, 1, 0, 1, 999.99, 0.0, 0.0, NODATA);
  L.line(2, 1, 1, 0, 1, 1000.0, 0.0, 0.0, NODATA);
  const std::string out = L.run();
  EXPECT_NE(out.find(" 999.9900000      ---"), std::string::npos) << out;
  EXPECT_NE(out.find("   1000.0000      ---"), std::string::npos) << out;
}

// From 1000 lines on the line numbers take as many columns as the largest
// needs, and a splitting partner as far back as -1000 widens its field;
// the header moves with them.
TEST(TransitionListing, LineNumbersOfLongListsWiden) {
  Listing l;
  for (int i = 1; i <= 1001; ++i) l.line(i, 1, 2, 0, 1, 5.5, 0.0, 5.5, 1e-5);
  l.up(1001)[slot::SPLIT] = 1;
  const std::string out = l.run();
  EXPECT_NE(out.find("\n    1:  1  1  1  0  0  0 "), std::string::npos);
  EXPECT_NE(out.find("\n 1000:  1  1  1  0  0  0 "), std::string::npos);
  EXPECT_EQ(out.rfind("       J K- K+  J K- K+", 0), 0u) << out.substr(0, 80);
  EXPECT_NE(out.find(" Err 0.1D-04         rigid-rigid\n"), std::string::npos); // 1 + 6 + 2
  EXPECT_NE(out.find(" Err 0.1D-04 #-1000  rigid-rigid\n"), std::string::npos);
  EXPECT_EQ(out.find('*'), std::string::npos);
}

} // namespace ruvo
