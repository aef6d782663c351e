// Blocks computed on several threads give the same run: listing, messages
// and exit status byte for byte, for a rigid-rotor fit, one-top fits with
// numerical derivatives (whose shifted sweeps run side by side; the second
// with blocks large enough to be shared out, J 16 and 17) and predicted
// spectra with line strengths; the catalogues of rigid rotors, whose levels
// above the J range for the partition function are made meanwhile on a
// thread of their own.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "driver/program.h"
#include "support/test_support.h"

namespace ruvo {
namespace {

// The banner's clock reading is the one line allowed to differ.
std::string withoutDate(const std::string& listing) {
  const std::string tag = " Calculation date and time:";
  const auto at = listing.find(tag);
  if (at == std::string::npos) return listing;
  return listing.substr(0, at + tag.size()) + listing.substr(listing.find('\n', at));
}

// A run on `threads` threads; its listing, messages and status, and the
// catalogue, levels and JSON files it writes, appended to the listing.
test::RunResult runOn(const std::string& input, int threads) {
  std::istringstream in(input);
  std::ostringstream out, err;
  RunChannels channels;
  channels.threads = threads;
  OutputRequests files;
  files.catalog = "run.cat";
  files.levels = "run.csv";
  files.json = "run.json";
  test::RunResult r;
  r.status = runProgram(in, out, err, files, channels);
  r.out = out.str();
  r.err = err.str();
  for (const char* name : {"run.cat", "run.csv", "run.json"})
    r.out += std::string("\n==== ") + name + "\n" + test::readFile(name);
  return r;
}

// The one-top fit with rho by central differences: five shifted sweeps per
// derivative calculation, two rounds side by side and one alone on two
// threads.
std::string withCentralDifferences(std::string input) {
  const auto at = input.find("dqu 0.1 1 rho_1");
  if (at != std::string::npos) input.replace(at, 3, "dqx");
  return input;
}

TEST(Threads, RunsAreTheSameOnOneTwoAndThreeThreads) {
  for (const char* path :
       {"examples/rigid_rotor.inp", "tests/data/fit/one_top_fit.inp", "central differences",
        "tests/data/fit/one_top_high_j_fit.inp", "tests/data/intensity/one_top_ints2.inp",
        // runs of rigid-rotor blocks: a fit with analytic derivatives, blocks
        // of several 2F, and a predicted spectrum
        "tests/data/fit/rigid_distortion_fit.inp", "tests/data/rigid/quadrupole.inp",
        "tests/data/intensity/rigid_ints2.inp",
        // rigid-rotor blocks labelled on their threads and the predicted
        // lines of ranges of J made side by side: J <= 20, 0 .. 300 GHz
        "bench/data/predict_j20.inp",
        // the 2,000-line fit: J 40 blocks whose labelling reports K trouble
        // (two K weights tie by accident) from the thread that labels them
        "K trouble"}) {
    test::ScopedWorkDir here("threads");
    const bool central = std::string(path) == "central differences";
    const bool trouble = std::string(path) == "K trouble";
    std::string input =
        central ? withCentralDifferences(
                      test::readFile(test::sourcePath("tests/data/fit/one_top_fit.inp")))
        : trouble ? test::readFile(test::sourcePath("bench/data/rigid_2000_lines.inp"))
                  : test::readFile(test::sourcePath(path));
    if (trouble) {
      // a dipole (the last parameter line) for the catalogue the runs write
      const auto at = input.find("\n\nfit BJ");
      ASSERT_NE(at, std::string::npos);
      input.insert(at + 1, "mu_z 1.0\n");
    }
    ASSERT_FALSE(input.empty()) << path;
    if (central) {
      ASSERT_NE(input.find("dqx"), std::string::npos);
    }
    const auto one = runOn(input, 1);
    EXPECT_GT(one.out.size(), 1000u) << path;
    if (trouble) {
      EXPECT_NE(one.out.find("K trouble"), std::string::npos);
    }
    for (int threads : {2, 3}) {
      const auto many = runOn(input, threads);
      EXPECT_EQ(one.status, many.status) << path << ' ' << threads;
      EXPECT_EQ(one.err, many.err) << path << ' ' << threads;
      EXPECT_EQ(withoutDate(one.out), withoutDate(many.out)) << path << ' ' << threads;
    }
  }
}

} // namespace
} // namespace ruvo
