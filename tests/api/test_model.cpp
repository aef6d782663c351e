// Models of the library: the same listing and numbers as the program, the
// same results on several threads at once, and errors with their input line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <thread>

#include "api/model_run.h"
#include "ruvo/ruvo.h"
#include "support/test_support.h"

namespace ruvo {
namespace {

std::string example(const std::string& name) {
  return test::readFile(test::sourcePath("examples/" + name + ".inp"));
}

TEST(Model, FitGivesTheProgramsListing) {
  for (const char* name : {"rigid_rotor", "one_top", "intensity"}) {
    test::ScopedWorkDir here(std::string("api_listing_") + name);
    const Model m = Model::parse(example(name), name);
    const FitResult f = m.fit();
    const std::string expected =
        test::readFile(test::sourcePath(std::string("examples/") + name + ".out"));
    EXPECT_EQ(test::compareListings(expected, f.listing), "") << name;
    EXPECT_TRUE(f.clean) << f.messages;
  }
}

TEST(Model, ParametersByNameChangeOnlyTheCopy) {
  test::ScopedWorkDir here("api_parameters");
  const Model m = Model::parse(example("one_top"), "one_top");
  Model shifted = m;
  shifted.set("V1n_1", 12000.0);
  EXPECT_EQ(m.get("V1n_1"), 11500.0);
  EXPECT_EQ(shifted.get("V1n_1"), 12000.0);
  const Calculation a = m.calculate(), b = shifted.calculate();
  ASSERT_EQ(a.lines.size(), 96u);
  EXPECT_NE(a.lines[1].calc_GHz, b.lines[1].calc_GHz); // an E line moves with the barrier
  EXPECT_THROW(shifted.set("V1n_2", 1.0), Error);      // one top only
  EXPECT_THROW(shifted.set("BJ(2)", 1.0), Error);      // one set only
  EXPECT_THROW(shifted.setControl("ntop", 2), Error);  // shapes the input
  // the fitted model reproduces its own final calculation
  const FitResult f = m.fit();
  EXPECT_TRUE(f.converged);
  const Calculation again = m.withParameters(f).calculate();
  EXPECT_NEAR(again.lines[0].calc_GHz, f.lines[0].calc_GHz, 1e-9);
}

// Interrupted before its first cycle is done, a fit has made no step: it
// did not converge, and its errors, correlations and standard deviation are
// those computed at the input parameters, as the listing prints them.
TEST(Model, FitInterruptedInItsFirstCycleKeepsItsStatistics) {
  test::ScopedWorkDir here("api_interrupt_first_cycle");
  const Model m = Model::parse(example("rigid_rotor"), "rigid_rotor");
  requestInterrupt();
  const FitResult f = m.fit();
  clearInterrupt();
  EXPECT_TRUE(f.interrupted);
  EXPECT_FALSE(f.converged);
  EXPECT_EQ(f.cycles, 0);
  EXPECT_EQ(f.status, 2) << f.messages;
  EXPECT_NE(f.messages.find("interrupted (Ctrl-C) in cycle 1. No step was made: the results are"
                            " those of the input parameters (exit status 2)"),
            std::string::npos)
      << f.messages;
  EXPECT_NE(f.listing.find("  End at Cycle   0\n"), std::string::npos);
  EXPECT_NE(f.listing.find("No step was made: parameters, errors and deviations are those of the"
                           " input."),
            std::string::npos);
  ASSERT_FALSE(f.parameters.empty());
  EXPECT_EQ(f.parameters[0].name, "BJ");
  EXPECT_EQ(f.parameters[0].value, 3.36); // the input value
  for (const Parameter& p : f.parameters)
    if (p.fitted) {
      EXPECT_GT(p.error, 0.0) << p.name;
    }
  ASSERT_EQ(f.fit_errors.size(), 9u);
  for (double e : f.fit_errors) EXPECT_GT(e, 0.0);
  const auto sd = f.listing.find(" Standard Deviation");
  ASSERT_NE(sd, std::string::npos);
  EXPECT_NEAR(std::stod(f.listing.substr(sd + 19, 15)), f.sd_MHz, 1e-6 * f.sd_MHz + 1e-6);
  EXPECT_GT(f.sd_MHz, 1.0);
  double offDiagonal = 0.0;
  for (std::size_t k = 1; k < f.correlations.size(); ++k)
    if (k % 10 != 0) offDiagonal = std::max(offDiagonal, std::fabs(f.correlations[k]));
  EXPECT_GT(offDiagonal, 0.0);
}

TEST(Model, ConcurrentFitsEqualSerialOnes) {
  test::ScopedWorkDir here("api_threads");
  const Model a = Model::parse(example("one_top"), "one_top");
  const Model b = Model::parse(example("intensity"), "intensity");
  const FitResult sa = a.fit(), sb = b.fit();
  FitResult ta, tb;
  std::thread t1([&] { ta = a.fit(); });
  std::thread t2([&] { tb = b.fit(); });
  t1.join();
  t2.join();
  auto same = [](const FitResult& x, const FitResult& y) {
    ASSERT_EQ(x.lines.size(), y.lines.size());
    for (std::size_t i = 0; i < x.lines.size(); ++i)
      EXPECT_EQ(x.lines[i].calc_GHz, y.lines[i].calc_GHz) << i;
    EXPECT_EQ(x.sd_MHz, y.sd_MHz);
    EXPECT_EQ(x.correlations, y.correlations);
    EXPECT_EQ(test::compareListings(x.listing, y.listing), "");
  };
  same(sa, ta);
  same(sb, tb);
}

TEST(Model, ErrorsCarryTheProgramsMessageAndLine) {
  test::ScopedWorkDir here("api_errors");
  std::string text = example("rigid_rotor");
  // a level that does not exist: K- + K+ is neither J nor J + 1
  const std::size_t at = text.find("K-up 0");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 6, "K-up 3");
  const test::RunResult program = test::runText(text);
  try {
    Model::parse(text);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.messages(), program.err);
    EXPECT_EQ(e.status(), program.status);
    EXPECT_GT(e.line(), 0) << e.what();
  }
  EXPECT_THROW(Model::parse("help\n"), Error);
  EXPECT_THROW(Model::read("/nonexistent/input.inp"), Error);
}

TEST(Scan, AnyThreadCountGivesTheSameTable) {
  test::ScopedWorkDir here("api_scan");
  const Model m = Model::parse(example("rigid_rotor"), "rigid_rotor");
  const ScanGrid g = ScanGrid::product({{"DJ", {0.0, 1e-6, 2e-6}}, {"DK", {0.0, 1e-5}}});
  ASSERT_EQ(g.size(), 6u);
  EXPECT_EQ(g.points[1 * 2 + 1], 1e-5); // the last axis runs fastest
  const ScanTable one = scan(m, g, ScanMode::fit, 1), two = scan(m, g, ScanMode::fit, 2);
  EXPECT_EQ(one.columns, two.columns);
  EXPECT_EQ(one.sd_MHz, two.sd_MHz);
  EXPECT_EQ(one.values.size(), two.values.size());
  for (std::size_t i = 0; i < one.values.size(); ++i)
    EXPECT_TRUE(one.values[i] == two.values[i] ||
                (std::isnan(one.values[i]) && std::isnan(two.values[i])));
  EXPECT_EQ(one.errors, std::vector<std::string>(6));
  EXPECT_THROW(scan(m, ScanGrid::product({{"nosuch", {1.0}}}), ScanMode::fit), Error);
}

} // namespace
} // namespace ruvo

namespace ruvo {
namespace {

// The lowest levels of the blocks alone (kept states, nothing reads the
// others) give the frequencies of the whole blocks (the level table of
// eval 1 asks for them) to 1e-9 GHz, with the same levels found.
TEST(Model, LowestLevelsAloneGiveTheFrequenciesOfTheWholeBlocks) {
  std::string in = "Lowest levels\n\nnzyk 1 ntop 1 maxm 10 vkeep 11\n\n"
                   "BJ 2.70 BK 6.40 B- 0.26 DJ 1e-6 DJK -5e-6\n"
                   "F_1 158 V1n_1 1500 V2n_1 -30 rho_1 0.05 beta_1 0.4\n\n\n/A S 0\n/E S 1\n\n"
                   "V 0\n\n";
  for (int J = 9; J <= 15; ++J)
    for (const char* sp : {"/A", "/E"})
      for (int t = 1; t <= 2 * J - 1; t += 2)
        in += "Jup " + std::to_string(J) + " tup " + std::to_string(t) + " Jlo " +
              std::to_string(J - 1) + " tlo " + std::to_string(t) + " " + sp + "\n";
  in += "Jup 12 tup 2 V1up 2 Jlo 11 tlo 2 V1lo 2 /E\n\n";
  test::ScopedWorkDir here("api_lowest_levels");
  std::string full = in;
  full.replace(full.find("vkeep 11"), 8, "vkeep 11 eval 1");
  const Model lowest = Model::parse(in, "lowest"), whole = Model::parse(full, "whole");
  const Calculation a = lowest.calculate(), b = whole.calculate();
  ASSERT_EQ(a.lines.size(), b.lines.size());
  for (std::size_t i = 0; i < a.lines.size(); ++i) {
    EXPECT_EQ(a.lines[i].found, b.lines[i].found) << i;
    EXPECT_NEAR(a.lines[i].calc_GHz, b.lines[i].calc_GHz, 1e-9) << i;
    EXPECT_EQ(a.lines[i].upper.K, b.lines[i].upper.K) << i;
    EXPECT_EQ(a.lines[i].lower.K, b.lines[i].lower.K) << i;
  }
}

} // namespace
} // namespace ruvo

namespace ruvo {
namespace {

// Two and three tilted tops whose states are kept coupled (vkeep 3), with
// a dipole, in a catalogue whose Q is converged at 40 K: above the J range
// of the lines each kept product state is summed in blocks of its own, and
// the excited states are those the kept products leave out, so that Q is
// that of the same tops without vkeep (the torsional ground state and every
// other state in blocks of their own) but for the kept levels of J <= 1.
std::string keptTops(int ntop, const std::string& kept) {
  std::ostringstream in;
  in << "Tilted tops, kept\n\nnzyk 1 ntop " << ntop << " maxm 3 " << kept
     << "\n\nBJ 6.7 BK 3.5 B- 0.9 F12 -5 Vcc -20 mu_z 1.0\n";
  const char* beta[] = {"0.5", "-0.5", "1.1"};
  for (int t = 1; t <= ntop; ++t)
    in << "F_" << t << " 165 V1n_" << t << " 7500 rho_" << t << " 0.062 beta_" << t << " "
       << beta[t - 1] << "\n";
  const std::string A(static_cast<std::size_t>(ntop), 'A');
  in << "\n\n/" << A << " S" << std::string(ntop == 2 ? " 0 0" : " 0 0 0") << "\n/" << A.substr(1)
     << "E S" << std::string(ntop == 2 ? " 0 1" : " 0 0 1") << "\n\nV"
     << std::string(ntop == 2 ? " 0 0" : " 0 0 0") << "\n\nJup 1 tup 1 Jlo 0 tlo 1 /" << A
     << "\n\n";
  return in.str();
}

TEST(Model, CatalogueOfTopsKeepingProductStates) {
  for (int ntop : {2, 3}) {
    CatalogueOptions co;
    co.T = 40.0;
    co.fit = false;
    const Catalogue kept =
        modelCatalogue(Model::parse(keptTops(ntop, "vkeep 3"), "kept"), co, RunOptions{}, true);
    const Catalogue plain =
        modelCatalogue(Model::parse(keptTops(ntop, ""), "plain"), co, RunOptions{}, true);
    EXPECT_FALSE(kept.entries.empty()) << ntop;
    EXPECT_TRUE(kept.Q_converged) << ntop;
    EXPECT_TRUE(plain.Q_converged) << ntop;
    std::printf("[ measured ] %d tops, vkeep 3: Q(40 K) %.6e, without vkeep %.6e\n", ntop, kept.Q,
                plain.Q);
    EXPECT_NEAR(kept.Q / plain.Q, 1.0, 1e-4) << ntop << " tops";
  }
}

} // namespace
} // namespace ruvo
