// Whole fits: spectra calculated by ruvo from known parameters with
// Gaussian noise added are fitted from start values a few percent off; the
// fit must recover the parameters within their reported errors and report
// the noise as its standard deviation.  Also the ends of a fit: the pure
// calculation, the damping limit, no cycles at all, a console interrupt.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/test_support.h"

namespace ruvo::test {
namespace {

struct Fitted {
  double value = 0, error = 0;
};

// A number of the parameter table: fixed, or fixed with the suffix E-6.
double parseValue(const std::string& s) {
  const auto e = s.find("E-6");
  const double x = std::stod(s.substr(0, e));
  return e == std::string::npos ? x : x * 1e-6;
}

// The "Parameters  and  Errors" table of the fit summary.
std::map<std::string, Fitted> fittedParameters(const std::string& listing) {
  std::map<std::string, Fitted> r;
  const auto start = listing.find("Parameters  and  Errors");
  const auto end = listing.find(" Standard Deviation", start);
  if (start == std::string::npos || end == std::string::npos) return r;
  std::istringstream in(listing.substr(start, end - start));
  std::string line;
  const std::regex row(R"(^[ \\](\S+)\s+(-?[0-9.]+(?:E-6)?)\s*\{\s*(-?[0-9.]+(?:E-6)?)\})");
  std::smatch m;
  while (std::getline(in, line))
    if (std::regex_search(line, m, row)) r[m[1]] = {parseValue(m[2]), parseValue(m[3])};
  return r;
}

double standardDeviationMHz(const std::string& listing) {
  const auto p = listing.find(" Standard Deviation");
  if (p == std::string::npos) return -1.0;
  return std::stod(listing.substr(p + 19, 15));
}

std::string fromMarker(const std::string& s, const std::string& marker) {
  const auto p = s.find(marker);
  return p == std::string::npos ? std::string() : s.substr(p);
}

std::string rigidInput() { return readFile(sourcePath("tests/data/fit/rigid_distortion_fit.inp")); }

std::string replaceLine(std::string text, const std::string& from, const std::string& to) {
  const auto p = text.find(from);
  EXPECT_NE(p, std::string::npos) << from;
  if (p != std::string::npos) text.replace(p, from.size(), to);
  return text;
}

const char* kControlLine = "nzyk 20 defer 2.0e-5";

TEST(FitCycles, RigidRotorWithDistortionRecoversTheTrueParameters) {
  const RunResult r = runText(rigidInput());
  ASSERT_NE(r.out.find("End at Cycle"), std::string::npos) << r.err;
  const std::map<std::string, double> truth = {{"BJ", 2.75},   {"BK", 6.25},     {"B-", 0.25},
                                               {"DJ", 1.0e-6}, {"DJK", -5.0e-6}, {"DK", 3.0e-5},
                                               {"dj", 2.0e-7}, {"dk", 1.0e-6}};
  const auto fitted = fittedParameters(r.out);
  ASSERT_EQ(fitted.size(), truth.size()) << r.out;
  double chi2 = 0.0;
  for (const auto& [name, value] : truth) {
    const Fitted& f = fitted.at(name);
    ASSERT_GT(f.error, 0.0) << name;
    const double z = (f.value - value) / f.error;
    EXPECT_LT(std::fabs(z), 2.5) << name << " " << f.value << " +- " << f.error;
    chi2 += z * z;
  }
  // the deviations from the truth are of the size of the reported errors
  EXPECT_LT(chi2 / truth.size(), 2.5);
  // 197 lines with 20 kHz noise: the standard deviation is 20 kHz within
  // its own statistical spread (about 5 %)
  EXPECT_NEAR(standardDeviationMHz(r.out), 0.020, 0.003);
  // Ray's kappa of A = 9, B = 3, C = 2.5 GHz
  EXPECT_NE(r.out.find(" Ray's kappa   -0.84615"), std::string::npos);
  // the summary layout, reviewed by hand
  const std::string expected = readFile(sourcePath("tests/data/fit/rigid_distortion_fit.summary"));
  EXPECT_EQ(compareListings(expected, fromMarker(r.out, " RMS deviations (MHz)")), "");
}

TEST(FitCycles, OneTopMoleculeRecoversRotorAndTorsionParameters) {
  // A and E lines of a molecule with one methyl top (F = 160 GHz, V3 = 12000
  // GHz, about 400 cm-1), noise 10 kHz; half of the variables numerical
  const RunResult r = runText(readFile(sourcePath("tests/data/fit/one_top_fit.inp")));
  ASSERT_NE(r.out.find("End at Cycle"), std::string::npos) << r.err;
  const std::map<std::string, double> truth = {{"BJ", 2.75},   {"BK", 6.25},     {"B-", 0.25},
                                               {"DJ", 1.0e-6}, {"DJK", -5.0e-6}, {"V1n", 12000},
                                               {"rho", 0.05},  {"beta", 0.3}};
  const auto fitted = fittedParameters(r.out);
  double chi2 = 0.0;
  for (const auto& [name, value] : truth) {
    ASSERT_EQ(fitted.count(name), 1u) << name << "\n" << fromMarker(r.out, "End at");
    const Fitted& f = fitted.at(name);
    ASSERT_GT(f.error, 0.0) << name;
    const double z = (f.value - value) / f.error;
    EXPECT_LT(std::fabs(z), 2.5) << name << " " << f.value << " +- " << f.error;
    chi2 += z * z;
  }
  EXPECT_LT(chi2 / truth.size(), 2.5);
  EXPECT_NEAR(standardDeviationMHz(r.out), 0.010, 0.0015);
  // barrier report: V3 in kJ/mol, kcal/mol and cm-1 with s = 4 V3 / (9 F)
  EXPECT_NE(r.out.find(" V1n_1      4.78"), std::string::npos);
  EXPECT_NE(r.out.find("   s=  33.33"), std::string::npos);
  EXPECT_NE(r.out.find(" F0(calc)     138.1"), std::string::npos);
}

TEST(FitCycles, TwoTopMoleculeRecoversBothBarriers) {
  // AA, AE and EA lines of a molecule with two inequivalent methyl tops
  // (V3 = 6000 and 4500 GHz), noise 10 kHz
  const RunResult r = runText(readFile(sourcePath("tests/data/fit/two_top_fit.inp")));
  ASSERT_NE(r.out.find("End at Cycle"), std::string::npos) << r.err;
  // the table lists the top parameters of both tops on one line
  const auto fitted = fittedParameters(r.out);
  const std::map<std::string, double> truth = {
      {"BJ", 2.75}, {"BK", 6.25}, {"B-", 0.25}, {"V1n", 6000}, {"rho", 0.05}};
  for (const auto& [name, value] : truth) {
    ASSERT_EQ(fitted.count(name), 1u) << name;
    const Fitted& f = fitted.at(name);
    EXPECT_LT(std::fabs(f.value - value), 2.5 * f.error) << name << " " << f.value;
  }
  // second top: the second entry of the V1n, rho and beta lines
  const std::regex second(R"(\n (V1n|rho|beta) .*\}\s+(-?[0-9.]+) \{\s*([0-9.]+)\})");
  std::map<std::string, Fitted> top2;
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), second), end; it != end; ++it)
    top2[(*it)[1]] = {std::stod((*it)[2]), std::stod((*it)[3])};
  const std::map<std::string, double> truth2 = {{"V1n", 4500}, {"rho", 0.04}, {"beta", 1.2}};
  for (const auto& [name, value] : truth2) {
    ASSERT_EQ(top2.count(name), 1u) << name;
    EXPECT_LT(std::fabs(top2[name].value - value), 2.5 * top2[name].error) << name;
  }
  EXPECT_NEAR(standardDeviationMHz(r.out), 0.010, 0.0015);
  // with two tops and adjf 0 the F of the input differs from the F matrix
  EXPECT_NE(r.out.find("**** Warning **** : F values not consistent \n"
                       "                    Use adjf = 1 to keep F values right.\n"
                       "F(calc)  "),
            std::string::npos);
  EXPECT_NE(r.out.find(" V1n_2      1.79"), std::string::npos);
}

// A fit of 12,000 lines (the same two lines over and over, enough to fit
// BJ): the counts of the input summary and of the deviations by set and
// state take the columns their numbers need instead of asterisks.
TEST(FitCycles, CountsOfLargeFitsWidenTheirFields) {
  std::string input = "many lines\n\nnzyk 3\n\nBJ 3.0001 BK 6.0 B- 0.2\n\nfit BJ\n\n";
  for (int i = 0; i < 6000; ++i)
    input += "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 = 6.0\n"
             "Jup 2 K-up 0 K+up 2 Jlo 1 K-lo 0 K+lo 1 = 12.0\n";
  const RunResult r = runText(input + "\n");
  EXPECT_NE(r.out.find("   ndata 12000   Data Points12000"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("   Effective Data Points12000.0\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n  1  112000"), std::string::npos);
  // no field overflows (the fit's closing warning of its cycle limit aside)
  std::string out = r.out;
  const auto w = out.find(" **** Warning **** : the fit did not converge");
  if (w != std::string::npos) out.erase(w, out.find('\n', w) - w);
  EXPECT_EQ(out.find("****"), std::string::npos);
}

TEST(FitCycles, PureCalculationPrintsListingAndDeviationsOnly) {
  const RunResult r = runText(replaceLine(rigidInput(), kControlLine, "nzyk 1 defer 2.0e-5"));
  EXPECT_EQ(r.out.find(" Sigma:"), std::string::npos);
  EXPECT_EQ(r.out.find("End at Cycle"), std::string::npos);
  EXPECT_EQ(r.out.find("Parameters  and  Errors"), std::string::npos);
  EXPECT_NE(r.out.find("calc/GHz"), std::string::npos);
  EXPECT_NE(r.out.find(" RMS deviations (MHz), B and V sorted"), std::string::npos);
  // without fit variables there is no deviation summary
  std::string noFit = replaceLine(rigidInput(), kControlLine, "nzyk 1 defer 2.0e-5");
  noFit =
      replaceLine(noFit, "fit BJ\nfit BK\nfit B-\nfit DJ\nfit DJK\nfit DK\nfit dj\nfit dk\n", "");
  const RunResult c = runText(noFit);
  EXPECT_NE(c.out.find("calc/GHz"), std::string::npos) << c.err;
  EXPECT_EQ(c.out.find(" RMS deviations"), std::string::npos);
}

TEST(FitCycles, IterationLogAndStatusRules) {
  const RunResult r = runText(rigidInput());
  // first cycle: conv = 1, since the best variance starts at 1e30
  EXPECT_NE(r.out.find("  Sigma/OldSigma:0.000000  conv: 1\n"), std::string::npos);
  EXPECT_NE(
      r.out.find(" -------------------------------------------------------\n Iteration :  1\n"),
      std::string::npos);
  EXPECT_NE(r.out.find("% Max. Change\n"), std::string::npos);
  EXPECT_NE(r.out.find(" indep.par:  8 stepw:1.0000 lambda:"), std::string::npos);
  EXPECT_NE(r.out.find(std::string(58, '#') + "\n  End at Cycle "), std::string::npos);
  EXPECT_EQ(r.out.find(" No Convergence, fit aborted "), std::string::npos);
  // errors of the fitted combinations are those of the parameters here
  EXPECT_NE(r.out.find(" Errors of fitted linear combinations\n    0.000000437"),
            std::string::npos);
}

TEST(FitCycles, DampingBeyondTheLimitEndsTheFitWithTheSummary) {
  // convg 1.5: every cycle counts as an improvement, so the fit never
  // converges; at the minimum the trial points stop improving and the
  // damping grows tenfold per cycle until it passes 1000
  const RunResult r = runText(
      replaceLine(rigidInput(), kControlLine, "nzyk 300 defer 2.0e-5 convg 1.5 lambda 1e-12"));
  std::vector<double> lambdas;
  const std::regex re(R"( lambda:(0\.\d+D[+-]\d+))");
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), re), end; it != end; ++it) {
    std::string s = (*it)[1];
    s[s.find('D')] = 'E';
    lambdas.push_back(std::stod(s));
  }
  ASSERT_GE(lambdas.size(), 3u) << r.out.substr(0, 3000);
  ASSERT_LT(lambdas.size(), 300u);
  // the last step took lambda past 1000; the next cycle finished the fit
  EXPECT_GT(lambdas[lambdas.size() - 2], 1000.0);
  EXPECT_EQ(lambdas.back(), lambdas[lambdas.size() - 2]);
  EXPECT_LE(lambdas[lambdas.size() - 3], 1000.0);
  EXPECT_NE(r.out.find(" Standard Deviation"), std::string::npos);
  EXPECT_NE(r.out.find(" Eigenvalues and Eigenvector Matrix of SVD-FIT "), std::string::npos);
  // finished, but not converged: said in the listing, on stderr and by the status
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("\n **** Warning **** : the fit did not converge: the damping factor"
                       " lambda grew beyond 1000 in cycle "),
            std::string::npos);
  EXPECT_EQ(r.err.rfind("Warning: the fit did not converge: the damping factor lambda grew", 0), 0u)
      << r.err;
}

TEST(FitCycles, DependentVariablesAreReportedAndKeepFiniteErrors) {
  for (const char* svderr : {"0", "1"}) {
    SCOPED_TRACE(svderr);
    std::string in = replaceLine(rigidInput(), kControlLine,
                                 std::string("nzyk 6 defer 2.0e-5 svderr ") + svderr);
    in = replaceLine(in, "fit dk\n", "fit dk\nfit BJ\n");
    const RunResult r = runText(in);
    EXPECT_NE(
        r.out.find("\n **** Warning **** : only  8 of  9 Parameters are linear independent!\n"),
        std::string::npos)
        << r.out.substr(r.out.find("End at") == std::string::npos ? 0 : r.out.find("End at"));
    const bool hint =
        r.out.find(" Errors may be wrong!  set 'svderr' to 0 recommended\n") != std::string::npos;
    EXPECT_EQ(hint, std::string(svderr) == "1");
    const auto fitted = fittedParameters(r.out);
    ASSERT_EQ(fitted.count("BJ"), 1u);
    EXPECT_TRUE(std::isfinite(fitted.at("BJ").error));
    EXPECT_NEAR(fitted.at("BK").value, 6.25, 1e-5);
    EXPECT_EQ(r.out.find("NaN"), std::string::npos);
    EXPECT_EQ(r.out.find("nan"), std::string::npos);
  }
}

TEST(FitCycles, ThreeWorseCyclesSwitchToTwoSidedDerivativesOnce) {
  // a negative second number turns the steps of BJ uphill: every cycle is
  // worse than the start, conv runs -1, -2, -3 and the derivatives switch
  std::string in = replaceLine(rigidInput(), kControlLine, "nzyk 8 defer 2.0e-5");
  in = replaceLine(in, "fit BJ\n", "fit 0.1 -1 BJ\n");
  const RunResult r = runText(in);
  const std::string sw = "Switching to better derivatives (takes more time)\n";
  const auto p = r.out.find(sw);
  ASSERT_NE(p, std::string::npos) << r.out.substr(0, 4000);
  EXPECT_EQ(r.out.find(sw, p + 1), std::string::npos);
  EXPECT_NE(r.out.find("  conv:-1\n"), std::string::npos);
  EXPECT_NE(r.out.find("  conv:-2\n"), std::string::npos);
  // the switch is announced before the Sigma line of the third bad cycle
  EXPECT_EQ(r.out.find(" Sigma:", p), r.out.find("  conv:-3\n", p) - 44);
  // the last step made things worse: the best set is recalculated
  EXPECT_NE(r.out.find("\n Recalculation of the spectrum\n"), std::string::npos);
}

TEST(FitCycles, NoCycleAtAllIsRefused) {
  // nzyk 0 would list the start values as the result of a fit
  const RunResult r = runText(replaceLine(rigidInput(), kControlLine, "nzyk 0 defer 2.0e-5"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "STOP ERROR: nzyk 0 at input line 3 computes nothing: nzyk 1 calculates the"
                   " spectrum, nzyk 2 or more fits\n");
  EXPECT_EQ(r.out.find("Maximal K"), std::string::npos);
}

// A blend of two rigid-rotor lines: the model is linear in BJ, so the first
// step lands on the true value when both lines of the blend give their
// derivative, also when the partner lies in blocks of its own (numerical
// derivatives).
TEST(FitCycles, BlendPartnersGiveTheirDerivatives) {
  const std::string head = "Blend\n\nnzyk 10\n\nBJ 3.36 BK 6.10 B- 0.44\n\n";
  const std::string known = "1 0 1 0 0 0 = 6.7000000\n2 0 2 1 0 1 = 13.3051556\n";
  const std::string analytic =
      head + "fit BJ\n\n" + known + "3 1 3 2 1 2\n3 1 2 2 1 1 = 20.0403908 & -1\n\n";
  const std::string numerical =
      head + "dqu BJ\n\n" + known + "5 1 5 4 1 4\n3 1 2 2 1 1 = 26.1519386 & -1\n\n";
  const std::regex firstStep(R"(\n BJ     \(1\)\s+(\S+))");
  for (const std::string& in : {analytic, numerical}) {
    const RunResult r = runText(in);
    EXPECT_EQ(r.status, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, firstStep)) << r.out;
    // 3.35 but for the damping of the step (lambda 4e-6)
    EXPECT_NEAR(std::stod(m[1]), 3.35, 1e-7) << in;
    EXPECT_NEAR(fittedParameters(r.out).at("BJ").value, 3.35, 2e-8);
    EXPECT_LT(standardDeviationMHz(r.out), 0.0001);
  }
}

// The standard deviation and the errors rest on the data points alone:
// lines without a measured frequency change nothing.
TEST(FitCycles, PredictedLinesAreNoDataPoints) {
  const std::string measured = "Four lines\n\nnzyk 10\n\nBJ 3.36 BK 6.10 B- 0.44\n\nfit BJ\n\n"
                               "1 0 1 0 0 0 = 6.7000100\n2 0 2 1 0 1 = 13.3051456\n"
                               "3 1 3 2 1 2 = 18.7236177\n3 1 2 2 1 1 = 21.3571639\n";
  const std::string predicted = "4 1 4 3 1 3\n4 0 4 3 0 3\n5 1 5 4 1 4\n5 0 5 4 0 4\n";
  const RunResult alone = runText(measured + "\n");
  const RunResult both = runText(measured + predicted + "\n");
  ASSERT_EQ(alone.status, 0) << alone.err;
  ASSERT_EQ(both.status, 0) << both.err;
  EXPECT_EQ(fromMarker(both.out, "Parameters  and  Errors"),
            fromMarker(alone.out, "Parameters  and  Errors"));
  // 1 fit variable, 4 points: 2 degrees of freedom; residuals +-10 kHz
  EXPECT_NEAR(standardDeviationMHz(alone.out), 0.010 * std::sqrt(4.0 / 2.0), 0.0005);
}

// A fit whose lines lose a level has fewer data points than it needs: it
// stops with the counts instead of reporting a standard deviation of 1e5.
TEST(FitCycles, FitLeftWithTooFewDataPointsStops) {
  const RunResult r = runText("Three lines\n\nnzyk 10\n\nBJ 3.36 BK 6.10 B- 0.44\n\nfit BJ\n\n"
                              "1 0 1 0 0 0 = 6.7\n2 0 2 1 0 1 = 13.3\n"
                              "Jup 1 Tup 5 Jlo 0 Tlo 1 = 7.5\n\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("STOP ERROR: a fit of 1 variable needs at least 3 data points (lines with"
                       " \"=\", a blend counted once); there are 2"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find(" Sigma:"), std::string::npos);
}

TEST(FitCycles, IterationLinesInTheEnergyAndDerivativeFiles) {
  const std::string dir = "/tmp/ruvo_fitfiles_" + std::to_string(getpid());
  ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
  writeFile(dir + "/in.inp",
            replaceLine(rigidInput(), kControlLine, "nzyk 3 defer 2.0e-5 eval 1 dfreq 1"));
  const RunResult r = runBinary(dir + "/in.inp", dir);
  const std::string eval = readFile(dir + "/eval.out");
  const std::string dfreq = readFile(dir + "/dfreq.out");
  std::system(("rm -rf " + dir).c_str());
  ASSERT_NE(r.out.find("End at Cycle"), std::string::npos) << r.err;
  for (int cycle = 1; cycle <= 3; ++cycle) {
    const std::string mark = "\n Iteration    " + std::to_string(cycle) + "\n";
    EXPECT_NE(eval.find(mark), std::string::npos) << cycle;
  }
  // derivatives were calculated in the two cycles that improved the fit;
  // eight analytic variables give eight "-" columns
  const std::string header = "            No.   calc  obs-calc " + std::string(15, ' ') + "-";
  EXPECT_NE(dfreq.find("\n Iteration    1\n" + header), std::string::npos) << dfreq.substr(0, 300);
  EXPECT_NE(dfreq.find("\n Iteration    2\n" + header), std::string::npos);
  EXPECT_NE(dfreq.find("\n  1      5.4"), std::string::npos);
}

// A running ruvo that receives SIGINT finishes its cycle and prints the
// whole summary.
TEST(FitCycles, ConsoleInterruptFinishesWithTheCompleteSummary) {
  // a fit that cannot converge (convg 1.5) and whose damping grows slowly
  // from 1e-300: it would run for hundreds of cycles
  std::string in =
      replaceLine(rigidInput(), kControlLine, "nzyk 3000 defer 2.0e-5 convg 1.5 lambda 1e-300");
  const std::string dir = "/tmp/ruvo_sigint_" + std::to_string(getpid());
  ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
  writeFile(dir + "/in.inp", in);
  int toParent[2];
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int fd = open((dir + "/in.inp").c_str(), O_RDONLY);
    dup2(fd, 0);
    dup2(toParent[1], 1);
    const int errFd = open((dir + "/err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(errFd, 2);
    close(toParent[0]);
    if (chdir(dir.c_str()) != 0) _exit(127);
    execl(RUVO_BINARY, RUVO_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toParent[1]);
  std::string out;
  bool signalled = false;
  char buf[4096];
  for (;;) {
    pollfd p{toParent[0], POLLIN, 0};
    if (poll(&p, 1, 60000) <= 0) break; // no output for a minute: give up
    const ssize_t n = read(toParent[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    // interrupt once the second cycle has been evaluated
    if (!signalled && out.find(" Iteration :  1\n Sigma:") != std::string::npos) {
      kill(pid, SIGINT);
      signalled = true;
    }
  }
  close(toParent[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  const std::string err = readFile(dir + "/err.txt");
  std::system(("rm -rf " + dir).c_str());
  ASSERT_TRUE(signalled) << out;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2); // finished, the fit did not converge
  EXPECT_NE(err.find("Warning: the fit did not converge: it was interrupted (Ctrl-C) in cycle "),
            std::string::npos)
      << err;
  EXPECT_NE(out.find("Control-C: premature termiation of ruvo, finishing..."), std::string::npos);
  EXPECT_NE(err.find("Control-C: premature termiation of ruvo, finishing..."), std::string::npos);
  // the fit ended early, in order, with the full summary
  const auto end = out.find("  End at Cycle ");
  ASSERT_NE(end, std::string::npos);
  // ended by the interrupt, not by the damping limit
  const auto lastLambda = out.rfind(" lambda:", end);
  ASSERT_NE(lastLambda, std::string::npos);
  std::string l = out.substr(lastLambda + 8, 9);
  l[l.find('D')] = 'E';
  EXPECT_LE(std::stod(l), 1000.0);
  for (const char* part : {" RMS deviations (MHz), B and V sorted", "Parameters  and  Errors",
                           " Standard Deviation", " Rotational Constants and Errors (in GHz)",
                           " Correlation Matrix of fitted linear combinations ",
                           " Freedom Cofreedom Matrix of linear comb.",
                           " Eigenvalues and Eigenvector Matrix of SVD-FIT "})
    EXPECT_NE(out.find(part, end), std::string::npos) << part;
}

// Ctrl-C while the input is still read: the flag is set before cycle 1,
// which is then the last.  The fit made no step: it did not converge (exit
// status 2, "interrupted" in the JSON document), and it reports the errors
// and the standard deviation it has, those at the input parameters.
TEST(FitCycles, ConsoleInterruptInTheFirstCycleReportsTheInputPointsStatistics) {
  const std::string in = rigidInput();
  const std::string dir = "/tmp/ruvo_sigint1_" + std::to_string(getpid());
  ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
  std::string out, err;
  int status = 0;
  bool handled = false;
  // the handler is installed as the program starts; a signal that comes
  // before it ends the process, and the run is tried again a little later
  for (int attempt = 1; attempt <= 4 && !handled; ++attempt) {
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(toChild[0], 0);
      dup2(toParent[1], 1);
      const int errFd = open((dir + "/err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(errFd, 2);
      close(toChild[1]);
      close(toParent[0]);
      if (chdir(dir.c_str()) != 0) _exit(127);
      execl(RUVO_BINARY, RUVO_BINARY, "--json", "run.json", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(toChild[0]);
    close(toParent[1]);
    // the whole input but its end: the program waits for more
    ASSERT_EQ(write(toChild[1], in.data(), in.size()), static_cast<ssize_t>(in.size()));
    usleep(200000u * static_cast<unsigned>(attempt));
    kill(pid, SIGINT);
    out.clear();
    char buf[4096];
    bool closed = false;
    for (;;) {
      pollfd p{toParent[0], POLLIN, 0};
      if (poll(&p, 1, 60000) <= 0) break;
      const ssize_t n = read(toParent[0], buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
      // the handler has run: now the input ends and the run goes on
      if (!closed && out.find("Control-C: premature termiation") != std::string::npos) {
        close(toChild[1]);
        closed = true;
      }
    }
    if (!closed) close(toChild[1]);
    close(toParent[0]);
    waitpid(pid, &status, 0);
    handled = WIFEXITED(status);
  }
  err = readFile(dir + "/err.txt");
  const std::string json = readFile(dir + "/run.json");
  std::system(("rm -rf " + dir).c_str());
  ASSERT_TRUE(handled) << "no attempt ended normally";
  EXPECT_EQ(WEXITSTATUS(status), 2) << err;
  EXPECT_NE(err.find("Warning: the fit did not converge: it was interrupted (Ctrl-C) in cycle 1."
                     " No step was made: the results are those of the input parameters"
                     " (exit status 2).\n"),
            std::string::npos)
      << err;
  // one evaluation, no iteration after it
  EXPECT_EQ(out.find(" Iteration :"), std::string::npos);
  const auto end = out.find("  End at Cycle   0\n");
  ASSERT_NE(end, std::string::npos) << out;
  EXPECT_NE(out.find(" **** Warning **** : the fit did not converge: it was interrupted (Ctrl-C)"
                     " in cycle 1\n                    No step was made: parameters, errors and"
                     " deviations are those of the input.\n",
                     end),
            std::string::npos)
      << out.substr(end);
  // the statistics of the input point: its standard deviation and errors
  const std::string sigma = out.substr(out.find(" Sigma:") + 7, 12);
  const double sdMHz = 1000.0 * std::stod(sigma.substr(0, sigma.find('D')) + "E" +
                                          sigma.substr(sigma.find('D') + 1));
  const auto sd = out.find(" Standard Deviation", end);
  ASSERT_NE(sd, std::string::npos);
  EXPECT_NEAR(std::stod(out.substr(sd + 19, 15)), sdMHz, 1e-5 * sdMHz);
  ASSERT_FALSE(json.empty());
  const auto doc = nlohmann::json::parse(json);
  const auto& fit = doc.at("fit");
  EXPECT_EQ(fit.at("end"), "interrupted");
  EXPECT_FALSE(fit.at("converged").get<bool>());
  EXPECT_EQ(fit.at("cycles"), 0);
  EXPECT_NEAR(fit.at("standard_deviation_MHz").get<double>(), sdMHz, 1e-5 * sdMHz);
  for (const auto& p : doc.at("parameters"))
    if (p.at("fitted").get<bool>()) EXPECT_GT(p.at("error").get<double>(), 0.0) << p;
  EXPECT_NE(doc.at("correlation").at("matrix").at(0).at(1).get<double>(), 0.0);
}

} // namespace
// A set that only the torsional-state lines bring in is adjusted like the
// first: the summary shows F, F0 and delta once, derived, not raw zeros of
// set 2.
TEST(FitCycles, DerivedParametersOfEverySetAreAdjusted) {
  const RunResult r = runText(
      "Two sets sharing parameters\n\nntop 1 nzyk 3 print 0 aprint 4\n\n"
      "BJ 4.5 BK 2.0 B- 0.2\nV1n_1 800 rho_1 0.05 beta_1 0.3\n\nfit chi_z\n\n"
      "/A S 0\n/E S 1\n\nV 0\nV 0\n\n"
      "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 /A = 9.0204742\n/E = 3.1453599\n"
      "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 /A Bup 2 Blo 2 = 9.0204742\n/E = 3.1453599\n");
  const std::string summary = fromMarker(r.out, "Parameters  and  Errors");
  EXPECT_NE(summary.find("\\F           131.656931864 {     derived}\n"), std::string::npos)
      << summary;
  EXPECT_NE(summary.find("\\F0          125.109820504 {     derived}\n"), std::string::npos);
  EXPECT_EQ(summary.find("(2)"), std::string::npos);
}

} // namespace ruvo::test
