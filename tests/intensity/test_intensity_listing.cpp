// Predicted-spectrum listings in whole runs: rigid rotor and one-top
// molecule with ints 1, 2 and 3 against reviewed listings, the scratch files
// afterwards, the inclusive window and strength limit, the size limit of the
// grouped listing and sets whose torsional file is missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/worker_pool.h"
#include "intensity/intensity_listing.h"
#include "rigid_blocks.h"
#include "support/test_support.h"

using namespace ruvo;
namespace fs = std::filesystem;

namespace {

// Scratch files left in the working directory.
std::string scratchFilesIn(const std::string& dir) {
  std::string names;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if ((n[0] == 'j' && n.find(".s") != std::string::npos) || n.rfind("tori.b", 0) == 0)
      names += n + " ";
  }
  return names;
}

// The text of one input case of tests/data/intensity with one control line
// replaced.
std::string input(const std::string& name) {
  return test::readFile(test::sourcePath("tests/data/intensity/" + name + ".inp"));
}

// The lines of the predicted spectrum of a listing (between the header and
// the closing lines).
std::string spectrum(const std::string& listing) {
  const auto a = listing.find("-- B");
  const auto b = listing.find(" total is the product");
  if (a == std::string::npos || b == std::string::npos) return "";
  return listing.substr(a, b - a);
}

} // namespace

class WholeIntensityRun : public ::testing::TestWithParam<const char*> {};

TEST_P(WholeIntensityRun, AgreesWithTheReviewedListingAndLeavesNoScratchFiles) {
  const std::string name = GetParam();
  test::ScopedWorkDir dir(std::string("intrun_") + name);
  const test::RunResult r = test::runText(input(name));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string expected =
      test::readFile(test::sourcePath("tests/data/intensity/" + name + ".out"));
  EXPECT_EQ(test::compareListings(expected, r.out), "");
  EXPECT_EQ(scratchFilesIn(dir.path()), "");
}

INSTANTIATE_TEST_SUITE_P(Intensity, WholeIntensityRun,
                         ::testing::Values("rigid_ints1", "rigid_ints2", "rigid_ints3",
                                           "one_top_ints1", "one_top_ints2", "one_top_ints3"));

// With ints bit 16 the block files stay for inspection.
TEST(IntensityListing, ScratchFilesKeptWithBit16) {
  test::ScopedWorkDir dir("intrun_keep");
  std::string text = input("rigid_ints1");
  text.replace(text.find("ints 1"), 6, "ints 17");
  const test::RunResult r = test::runText(text);
  EXPECT_EQ(r.err, "");
  for (const char* f : {"j00b1.s00", "j01b1.s00", "j02b1.s00", "j03b1.s00"})
    EXPECT_TRUE(fs::exists(f)) << f;
}

// The window and the strength limit include their edges.  The 1_01 - 0_00
// line of a prolate symmetric top lies at 2 BJ = 6 GHz exactly, with
// strength mu_z^2 = 1 exactly.
TEST(IntensityListing, WindowAndLimitIncludeTheirEdges) {
  auto run = [](const std::string& controls) {
    test::ScopedWorkDir dir("intrun_window");
    const std::string text = "Symmetric top\n\nnzyk 1 ints 2 " + controls +
                             "\n\nBJ 3.0 BK 2.0 mu_z 1.0\n\n\n"
                             "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0\n\n";
    return spectrum(test::runText(text).out);
  };
  const std::string line = "  1  0  1   0  0  0   S 0  V 1     6.000000   1.0000";
  EXPECT_NE(run("freq_l 6.0 freq_h 7.0 limit 1.0").find(line), std::string::npos);
  EXPECT_NE(run("freq_l 5.0 freq_h 6.0 limit 1.0").find(line), std::string::npos);
  EXPECT_EQ(run("freq_l 6.000001 freq_h 7.0 limit 0.5").find(line), std::string::npos);
  EXPECT_EQ(run("freq_l 5.0 freq_h 5.999999 limit 0.5").find(line), std::string::npos);
  EXPECT_EQ(run("freq_l 5.0 freq_h 7.0 limit 1.000001").find(line), std::string::npos);
}

// The grouped listing holds at most 1269 lines of one pair of blocks.
TEST(IntensityListing, TooManyLinesOfOneBlockPairStop) {
  test::ScopedWorkDir dir("intrun_ino");
  const std::string text = "Many lines\n\nnzyk 1 ints 3 freq_l 0.0 freq_h 1.0e6 limit 0.0\n\n"
                           "BJ 3.65 BK 6.15 B- 0.45 mu_x 0.5 mu_z 1.0\n\n\n"
                           "Jup 20 K-up 0 K+up 20 Jlo 19 K-lo 0 K+lo 19\n\n";
  const test::RunResult r = test::runText(text);
  EXPECT_EQ(r.err, "STOP INTALL:error:ino: the 1269 places for the lines of one pair of blocks "
                   "are full (J = 17 and 18, B = 1); narrow the window freq_l .. freq_h or "
                   "raise limit\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("-- B 1"), std::string::npos); // the listing so far is written
  EXPECT_EQ(scratchFilesIn(dir.path()), "");
  for (const auto& e : fs::directory_iterator(dir.path()))
    EXPECT_NE(e.path().filename().string().rfind("ruvo-scratch.", 0), 0u) << e.path();
}

// The set's torsional file holds all the states the set keeps, also when
// its first block is a rigid-rotor block with one state: the grouped
// spectrum lists the lines of V = 2 as the by-species listing does.
TEST(IntensityListing, EveryKeptStateOfASetIsListed) {
  test::ScopedWorkDir dir("intrun_v2");
  const std::string text =
      "one top ints 3\n\nntop 1 ints 3 freq_l 5 freq_h 12 limit 0.5 temp 30 maxm 6\n\n"
      "BJ 2.70 BK 6.40 B- 0.26 mu_x 0.8 mu_z 1.5\n"
      "F_1 158 V1n_1 4000 rho_1 0.050 beta_1 0.35\n\n\n/A S 0\n/E S 1\n\nV 0 V 1\n\n"
      "Jup 2 K-up 0 K+up 2 Jlo 1 K-lo 0 K+lo 1 /A\n";
  std::string two = text;
  two.replace(two.find("ints 3 "), 7, "ints 2 ");
  const std::string grouped = spectrum(test::runText(text).out);
  const std::string bySpecies = spectrum(test::runText(two).out);
  EXPECT_NE(bySpecies.find("  V 2"), std::string::npos);
  EXPECT_NE(grouped.find("  V 2  B 1"), std::string::npos) << grouped;
}

// A set whose torsional file cannot be read is left out with a message; the
// listing keeps its header and closing lines.
TEST(IntensityListing, SetWithoutTorsionalFileIsLeftOut) {
  test::ScopedWorkDir dir("intrun_notori");
  inttest::Fixture f;
  f.rs->nB = 1;
  printPredictedSpectrum(*f.rs, *f.sw, 0.0, 0.0, 1.0, 300.0);
  EXPECT_EQ(f.out.str(),
            "-- B 1                                 Freq Linestr.    total  stat.w.   popul. "
            "hv-ener.\n"
            "  total is the product of Linestr., population-factor,\n"
            "  energy factor (hv), and the statistical weight\n");
  EXPECT_EQ(f.err.str(),
            " rdtori: scratch file tori.b1 is missing, short or does not fit its block\n"
            " intensity listing: set 1 left out\n");
  f.out.str("");
  printGroupedSpectrum(*f.rs, *f.sw, 0.0, 0.0, 1.0, 300.0);
  EXPECT_EQ(f.out.str(),
            "\n-- B 1                                    Freq       Split Linestr.    total  "
            "stat.w.   popul. hv-ener.\n"
            "  total is the product of Linestr., population-factor,\n"
            "  energy factor (hv), and the statistical weight\n");
}

// Grouped listing from hand-made block files: species 0 and 1 share the
// constants (Bx, By, Bz) = (3.0, 2.5, 6.0), species 2 has Bz = 16.  In the
// window 8.8 .. 13.8 GHz the pair of blocks J = 0, 1 holds the 1 <- 0 line at
// 9 GHz (levels 3 and 1) of species 0 and 1; the pair J = 1, 1 holds only
// lines of species 2, one of them again between levels 3 and 1.  That line
// is no torsional splitting of the species-1 line of the other block pair:
// it is listed with its own quantum numbers, not as a splitting.
TEST(IntensityListing, GroupedLinesAndSplittingsOfOneBlockPairOnly) {
  test::ScopedWorkDir dir("intrun_groups");
  inttest::Fixture f;
  RunState& rs = *f.rs;
  SweepWork& sw = *f.sw;
  rs.nB = 1;
  rs.ctl.ntop = 1;
  rs.ctl.freq_l = 8.8;
  rs.ctl.freq_h = 13.8;
  rs.ctl.limit = 1e-6;
  rs.species.nsym = 2;
  rs.species.sigma[1][1] = 0;
  rs.species.sigma[2][1] = 1;
  // torsional overlaps 1 between all K: the tops do not change the strengths
  for (int sigma : {0, 1})
    for (int K = -1; K <= 1; ++K)
      for (int Kp = -1; Kp <= 1; ++Kp) sw.tors.T(K, Kp, 1, 1, sigma, 1) = 1.0;
  inttest::setBlock(sw, 0, 1, 1, 2);
  writeTorsionalIntegrals(rs, sw, 1);
  for (int S = 0; S <= 2; ++S)
    for (int J = 0; J <= 1; ++J) {
      inttest::rigidBlock(sw, J, 1, 3.0, 2.5, S == 2 ? 16.0 : 6.0, 0.0, S == 0 ? 0 : 1, 2);
      writeBlockEigenvectors(rs, sw, J, S, -1, 1);
    }
  printGroupedSpectrum(rs, sw, 0.3, 0.4, 0.5, 300.0);
  const std::string s = f.out.str();
  EXPECT_EQ(f.err.str(), "");
  // pair J = 0, 1: the rigid line is the key of its group, species 1 follows
  const auto rigid = s.find("  1  1  0   0  0  0         rigid       9.000000");
  const auto one = s.find("  1  1  0   0  0  0   S 1  V 1  B 1     9.000000");
  EXPECT_NE(rigid, std::string::npos) << s;
  EXPECT_NE(one, std::string::npos) << s;
  EXPECT_LT(rigid, one);
  // pair J = 1, 1: species 2 alone, listed in full
  EXPECT_NE(s.find("  1  1  0   1  0  1   S 2  V 1  B 1    13.500000"), std::string::npos) << s;
  EXPECT_NE(s.find("  1  1  1   1  0  1   S 2  V 1  B 1    13.000000"), std::string::npos) << s;
  EXPECT_EQ(s.find("                      S 2"), std::string::npos) << s;
  // the torsional file goes with the listing
  EXPECT_FALSE(fs::exists("tori.b1"));
}

// At zero temperature only the lowest level is populated (its factor is 1,
// never 0/0) and every absorption counts fully.
TEST(IntensityListing, ZeroTemperatureIsTheLimitOfTheBoltzmannFactors) {
  test::ScopedWorkDir dir("intrun_zero_temp");
  std::string text = input("rigid_ints2");
  text.replace(text.find("temp 10.0"), 9, "temp 0.0");
  const std::string s = spectrum(test::runText(text).out);
  EXPECT_EQ(s.find("NaN"), std::string::npos) << s;
  EXPECT_NE(s.find("     7.300000   1.0000   1.0000   1.0000   1.0000   1.0000"), std::string::npos)
      << s;
  EXPECT_NE(s.find("    14.501613   1.9921   0.0000   3.0000   0.0000   1.0000"), std::string::npos)
      << s;
}

// Bit 16 only keeps the scratch files: ints 18 lists the predicted spectrum
// like ints 2 and leaves the files in place.
TEST(IntensityListing, KeepingTheFilesDoesNotChangeTheListing) {
  test::ScopedWorkDir dir("intrun_keep_listing");
  std::string text = input("rigid_ints2");
  const test::RunResult plain = test::runText(text);
  text.replace(text.find("ints 2"), 6, "ints 18");
  const test::RunResult kept = test::runText(text);
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_FALSE(spectrum(kept.out).empty());
  EXPECT_EQ(spectrum(kept.out), spectrum(plain.out));
  EXPECT_TRUE(fs::exists("j00b1.s00"));
}

// A set that keeps two torsional states still has one rigid-rotor state:
// the species-0 blocks added for the grouped listing are computed with it.
TEST(IntensityListing, RigidRotorBlocksOfASetWithTwoTorsionalStates) {
  test::ScopedWorkDir dir("intrun_two_states");
  std::string text = input("one_top_ints3");
  text.replace(text.find("\nV 0\n"), 5, "\nV 0 V 1\n");
  const test::RunResult r = test::runText(text);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("size vv"), std::string::npos);
  EXPECT_NE(spectrum(r.out).find("rigid"), std::string::npos);
}

// The lines of ranges of J made on two threads are the lines made on one,
// also when a block cannot be read back: its pair of blocks is left out with
// one message, as on one thread.
TEST(IntensityListing, LinesMadeOnThreadsAreTheLinesOfOneThread) {
  test::ScopedWorkDir dir("intrun_threads");
  const int maxJ = 9;
  const auto listing = [&](int threads, int unreadableJ) {
    inttest::Fixture f;
    RunState& rs = *f.rs;
    SweepWork& sw = *f.sw;
    rs.nB = 1;
    rs.maxJ = maxJ;
    rs.threads = threads;
    rs.ctl.freq_l = 0.0;
    rs.ctl.freq_h = 300.0;
    rs.ctl.limit = 1e-4;
    if (threads > 1) sw.pool = std::make_shared<WorkerPool>(threads);
    inttest::setBlock(sw, 0, maxJ, 0, 0);
    writeTorsionalIntegrals(rs, sw, 1);
    for (int J = 0; J <= maxJ; ++J) {
      inttest::rigidBlock(sw, J, maxJ, 3.0, 2.5, 6.0);
      writeBlockEigenvectors(rs, sw, J, 0, -1, 1);
    }
    std::string name = blockFileName(unreadableJ, 0, -1, 1);
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
    if (unreadableJ >= 0) rs.scratch.drop(name);
    printPredictedSpectrum(rs, sw, 0.3, 0.4, 0.5, 300.0);
    return std::pair{f.out.str(), f.err.str()};
  };
  for (const int lost : {-1, 6}) {
    const auto one = listing(1, lost), two = listing(2, lost);
    EXPECT_EQ(one.first, two.first) << lost;
    EXPECT_EQ(one.second, two.second) << lost;
    EXPECT_GT(one.first.size(), 20000u) << lost;
    EXPECT_EQ(one.second.empty(), lost < 0) << one.second;
  }
}
