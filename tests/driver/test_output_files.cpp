// Output files: the catalogue of a rigid rotor against levels and
// direction-cosine strengths computed here, read back by fixed columns;
// whole-run catalogues with hyperfine structure and with one top; the JSON
// document against its documented schema; the messages of bad options.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/version.h"
#include "driver/output_files.h"
#include "driver/program.h"
#include "report/catalogue.h"
#include "support/test_support.h"

extern "C" void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda,
                       double* w, double* work, const int* lwork, int* info);

namespace ruvo {
namespace {

test::RunResult runWith(const std::string& input, const OutputRequests& req) {
  std::istringstream in(input);
  std::ostringstream out, err;
  test::RunResult r;
  r.status = runProgram(in, out, err, req);
  r.out = out.str();
  r.err = err.str();
  return r;
}

// 3j symbol (j1 j2 j3; m1 m2 m3) of integers, Racah's formula.
double threeJ(int j1, int j2, int j3, int m1, int m2, int m3) {
  if (m1 + m2 + m3 != 0 || j3 < std::abs(j1 - j2) || j3 > j1 + j2) return 0.0;
  if (std::abs(m1) > j1 || std::abs(m2) > j2 || std::abs(m3) > j3) return 0.0;
  auto f = [](int n) { return std::lgamma(n + 1.0); };
  const double pre =
      0.5 * (f(j1 + j2 - j3) + f(j1 - j2 + j3) + f(-j1 + j2 + j3) - f(j1 + j2 + j3 + 1) +
             f(j1 + m1) + f(j1 - m1) + f(j2 + m2) + f(j2 - m2) + f(j3 + m3) + f(j3 - m3));
  double sum = 0.0;
  for (int k = 0; k <= j1 + j2 - j3; ++k) {
    const int a = j1 + j2 - j3 - k, b = j1 - m1 - k, c = j2 + m2 - k, d = j3 - j2 + m1 + k,
              e = j3 - j1 - m2 + k;
    if (a < 0 || b < 0 || c < 0 || d < 0 || e < 0) continue;
    sum += (k % 2 ? -1.0 : 1.0) * std::exp(pre - f(k) - f(a) - f(b) - f(c) - f(d) - f(e));
  }
  return ((j1 - j2 - m3) % 2 ? -1.0 : 1.0) * sum;
}

struct Level {
  int J, Ka, Kc;
  double E;              // GHz
  std::vector<double> c; // components on |J K>, K = -J..J
};

// Levels of H = Bx Jx^2 + By Jy^2 + Bz Jz^2, labelled by their order in J.
std::vector<Level> rigidLevels(int maxJ, double Bx, double By, double Bz) {
  std::vector<Level> all;
  for (int J = 0; J <= maxJ; ++J) {
    const int d = 2 * J + 1;
    std::vector<double> h(std::size_t(d) * d, 0.0), e(d);
    for (int k = 0; k < d; ++k) {
      const double K = k - J;
      h[k + k * d] = 0.5 * (Bx + By) * (J * (J + 1.0) - K * K) + Bz * K * K;
      if (k + 2 < d)
        h[(k + 2) + k * d] = h[k + (k + 2) * d] =
            0.25 * (Bx - By) * std::sqrt((J - K) * (J + K + 1.0) * (J - K - 1.0) * (J + K + 2.0));
    }
    int n = d, lwork = 64 * d + 64, info = 0;
    std::vector<double> work(lwork);
    dsyev_("V", "L", &n, h.data(), &n, e.data(), work.data(), &lwork, &info);
    for (int t = 1; t <= d; ++t)
      all.push_back({J, t / 2, (2 * J - t + 2) / 2, e[t - 1],
                     std::vector<double>(h.begin() + (t - 1) * d, h.begin() + t * d)});
  }
  return all;
}

// S mu^2 = (2J+1)(2J'+1) |sum c'_K' c_K (-1)^K' (J' 1 J; -K' q K) mu_q|^2
// with the spherical components mu_0 = mu_z, mu_(+-1) = -+(mu_x +- i mu_y)/sqrt 2.
double directionCosineStrength(const Level& u, const Level& l, double mux, double muz) {
  double amp = 0.0;
  for (int Kp = -u.J; Kp <= u.J; ++Kp)
    for (int K = -l.J; K <= l.J; ++K) {
      const int q = Kp - K;
      if (std::abs(q) > 1) continue;
      const double muq = q == 0 ? muz : -q * mux / std::sqrt(2.0);
      amp += u.c[Kp + u.J] * l.c[K + l.J] * (Kp % 2 ? -1.0 : 1.0) * threeJ(u.J, 1, l.J, -Kp, q, K) *
             muq;
    }
  return (2 * u.J + 1.0) * (2 * l.J + 1.0) * amp * amp;
}

TEST(Catalogue, RigidRotorAgreesWithAnIndependentCalculation) {
  test::ScopedWorkDir here("catalogue_rigid");
  const std::string input = "rigid rotor\n\nnzyk 1 freq_l 5 freq_h 60 limit 0.01\n\n"
                            "BJ 3.36 BK 6.10 B- 0.44\nmu_z 1.5 mu_x 0.8\n\n\n"
                            "Jup 6 K-up 0 K+up 6 Jlo 5 K-lo 0 K+lo 5\n";
  OutputRequests req;
  req.catalog = "r.cat";
  req.tag = 98001;
  req.tagGiven = true;
  const auto r = runWith(input, req);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(" Partition function of the computed levels (J <= 6)"), std::string::npos);
  EXPECT_NE(r.err.find("partition function at 300 K is not converged"), std::string::npos);

  // x = b, y = c, z = a
  const auto lv = rigidLevels(6, 3.36 + 0.44, 3.36 - 0.44, 3.36 + 6.10);
  double Q = 0.0;
  for (const Level& a : lv)
    Q += (2 * a.J + 1) * std::exp(-C2_CM_K * a.E / GHZ_PER_WAVENUMBER / 300.0);
  struct Expected {
    double freq, lgint, elo;
    int gup, qn[6];
  };
  std::vector<Expected> want;
  for (const Level& u : lv)
    for (const Level& l : lv) {
      const double nu = u.E - l.E;
      if (nu < 5.0 || nu > 60.0 || std::abs(u.J - l.J) > 1) continue;
      const double s = directionCosineStrength(u, l, 0.8, 1.5);
      if (s < 0.01) continue;
      const double elo = l.E / GHZ_PER_WAVENUMBER, eup = u.E / GHZ_PER_WAVENUMBER;
      const double I = 4.16231e-5 * nu * 1000 * s *
                       (std::exp(-C2_CM_K * elo / 300) - std::exp(-C2_CM_K * eup / 300)) / Q;
      want.push_back(
          {nu * 1000, std::log10(I), elo, 2 * u.J + 1, {u.J, u.Ka, u.Kc, l.J, l.Ka, l.Kc}});
    }
  std::sort(want.begin(), want.end(), [](auto& a, auto& b) { return a.freq < b.freq; });

  std::istringstream cat(test::readFile("r.cat"));
  std::string card;
  std::size_t n = 0;
  while (std::getline(cat, card)) {
    ASSERT_LT(n, want.size());
    ASSERT_EQ(card.size(), 80u);
    const Expected& w = want[n++];
    EXPECT_NEAR(std::stod(card.substr(0, 13)), w.freq, 1e-4) << card;
    EXPECT_EQ(card.substr(13, 8), "  0.0000") << card; // no fit: no uncertainty
    EXPECT_NEAR(std::stod(card.substr(21, 8)), w.lgint, 1.5e-4) << card;
    EXPECT_EQ(card.substr(29, 2), " 3");
    EXPECT_NEAR(std::stod(card.substr(31, 10)), w.elo, 1e-4) << card;
    EXPECT_EQ(std::stoi(card.substr(41, 3)), w.gup);
    EXPECT_EQ(card.substr(44, 7), "  98001");
    EXPECT_EQ(card.substr(51, 4), " 303");
    for (int k = 0; k < 6; ++k)
      EXPECT_EQ(std::stoi(card.substr(55 + 2 * k + (k >= 3 ? 6 : 0), 2)), w.qn[k]) << card;
    EXPECT_EQ(card.substr(61, 6), "      ");
  }
  EXPECT_EQ(n, want.size());
  // Q at the seven temperatures, comment-free
  std::istringstream qf(test::readFile("r.cat.q"));
  double T, Qf, lq;
  ASSERT_TRUE(qf >> T >> Qf >> lq);
  EXPECT_EQ(T, 300.0);
  EXPECT_NEAR(Qf / Q, 1.0, 1e-6);
}

// Whole runs: the catalogue with 14N hyperfine structure (the measured
// component carries the negative tag) and that of a one-top molecule (the A
// and E lines the predicted spectrum lists, coded N Ka Kc v species).
TEST(Catalogue, HyperfineAndOneTopRuns) {
  for (const char* name : {"hyperfine", "one_top"}) {
    test::ScopedWorkDir here(std::string("catalogue_") + name);
    OutputRequests req;
    req.catalog = "c.cat";
    req.tag = 46001;
    req.tagGiven = true;
    const auto r = runWith(
        test::readFile(test::sourcePath("tests/data/output/" + std::string(name) + ".inp")), req);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string expected =
        test::readFile(test::sourcePath("tests/data/output/" + std::string(name) + ".cat"));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(test::compareListings(expected, test::readFile("c.cat")), "") << name;
  }
}

TEST(Catalogue, LetterCodingAndHyperfineSumRule) {
  EXPECT_EQ(catalogueInteger(99, 2), "99");
  EXPECT_EQ(catalogueInteger(100, 2), "A0");
  EXPECT_EQ(catalogueInteger(359, 2), "Z9");
  EXPECT_EQ(catalogueInteger(-10, 2), "a0");
  EXPECT_EQ(catalogueInteger(-27, 2), "b7");
  EXPECT_EQ(catalogueInteger(1000, 3), "A00");
  EXPECT_EQ(catalogueInteger(1234, 3), "C34");
  // summed over F and F' the hyperfine components carry 2I+1 times the
  // rotational strength (I = 1 and I = 3/2)
  for (int I2 : {2, 3}) {
    double sum = 0.0;
    for (int Fu = std::abs(6 - I2); Fu <= 6 + I2; Fu += 2)
      for (int Fl = std::abs(4 - I2); Fl <= 4 + I2; Fl += 2)
        sum += hyperfineShare(6, Fu, 4, Fl, I2);
    EXPECT_NEAR(sum, I2 + 1.0, 1e-12);
  }
}

// The JSON document of a fit holds the keys and types the guide's schema names.
TEST(JsonOutput, FitDocumentFollowsTheSchema) {
  test::ScopedWorkDir here("json_fit");
  OutputRequests req;
  req.json = "run.json";
  req.lines = "run.lin";
  req.levels = "run.csv";
  req.inputName = "rigid_rotor.inp";
  const auto r = runWith(test::readFile(test::sourcePath("examples/rigid_rotor.inp")), req);
  ASSERT_EQ(r.status, 0) << r.err;
  const auto doc = nlohmann::json::parse(test::readFile("run.json"));
  EXPECT_EQ(doc.at("program").at("name"), "ruvo");
  EXPECT_EQ(doc.at("program").at("version"), std::string(programVersion()));
  EXPECT_EQ(doc.at("input").at("file"), "rigid_rotor.inp");
  EXPECT_EQ(doc.at("input").at("title").get<std::string>().rfind("Example: near-prolate", 0), 0u);
  const auto& fit = doc.at("fit");
  EXPECT_TRUE(fit.at("converged").get<bool>());
  EXPECT_TRUE(fit.at("cycles").is_number_integer());
  EXPECT_NEAR(fit.at("standard_deviation_MHz").get<double>(), 0.0048, 0.0002);
  EXPECT_TRUE(fit.at("rms_MHz").is_number());
  EXPECT_EQ(fit.at("n_lines"), 92);
  EXPECT_EQ(fit.at("n_fit"), 9);
  for (const auto& p : doc.at("parameters")) {
    for (const char* k : {"name", "unit"}) EXPECT_TRUE(p.at(k).is_string());
    for (const char* k : {"value", "error"}) EXPECT_TRUE(p.at(k).is_number());
    for (const char* k : {"fitted", "derived"}) EXPECT_TRUE(p.at(k).is_boolean());
    EXPECT_TRUE(p.at("set").is_number_integer());
  }
  EXPECT_EQ(doc.at("parameters").at(0).at("name"), "BJ");
  ASSERT_EQ(doc.at("lines").size(), 92u);
  const auto& l = doc.at("lines").at(0);
  EXPECT_EQ(l.at("upper"), (nlohmann::json{{"J", 1}, {"Ka", 0}, {"Kc", 1}}));
  EXPECT_DOUBLE_EQ(l.at("obs_GHz").get<double>(), 6.699994);
  EXPECT_NEAR(l.at("obs_minus_calc_MHz").get<double>(),
              1000 * (l.at("obs_GHz").get<double>() - l.at("calc_GHz").get<double>()), 1e-9);
  for (const char* k : {"index", "species", "error_MHz", "weight", "lower"})
    EXPECT_TRUE(l.contains(k));
  const auto& c = doc.at("correlation");
  ASSERT_EQ(c.at("names").size(), 9u);
  EXPECT_EQ(c.at("matrix").at(2).at(2), 1.0);
  EXPECT_EQ(c.at("matrix").at(1).at(4), c.at("matrix").at(4).at(1));
  // the line list and the level table beside it
  const std::string lin = test::readFile("run.lin");
  EXPECT_EQ(lin.substr(0, lin.find('\n')),
            "  1  0  1           0  0  0                6699.9940     0.0050 1.0000");
  EXPECT_EQ(test::readFile("run.csv").substr(0, 102),
            "index,energy_cm-1,energy_GHz,J,Ka,Kc,F,v,species,set,degeneracy\n"
            "1,0.000000,0.000000000,0,0,0,,0,0,1,1\n");
}

// Every bad option and path ends the run before anything is computed.
TEST(OutputOptions, BadOptionsAndPathsAreRefused) {
  std::vector<std::string> args = {"--catalog", "x.cat", "--tag=98001", "--json"};
  OutputRequests req;
  std::string error;
  std::size_t i = 0;
  EXPECT_TRUE(parseOutputOption(args, i, req, error));
  EXPECT_TRUE(parseOutputOption(args, i, req, error));
  EXPECT_EQ(req.catalog, "x.cat");
  EXPECT_EQ(req.tag, 98001);
  EXPECT_TRUE(parseOutputOption(args, i, req, error));
  EXPECT_EQ(error, "ERROR: option --json needs a value");
  args = {"--tag", "12x", "input.inp"};
  i = 0;
  EXPECT_TRUE(parseOutputOption(args, i, req, error));
  EXPECT_EQ(error, "ERROR: --tag needs an integer 0 .. 999999, not \"12x\"");
  EXPECT_FALSE(parseOutputOption(args, i, req, error));
  EXPECT_EQ(i, 2u);

  auto asked = [](const char* cat, const char* lines, const char* levels, const char* json,
                  bool tag) {
    OutputRequests r;
    r.catalog = cat;
    r.lines = lines;
    r.levels = levels;
    r.json = json;
    r.tagGiven = tag;
    return r;
  };
  const std::pair<OutputRequests, std::string> bad[] = {
      {asked("/nonexistent-dir/x.cat", "", "", "", false),
       "ERROR: --catalog /nonexistent-dir/x.cat: directory /nonexistent-dir does not exist\n"},
      {asked("", "/", "", "", false), "ERROR: --lines /: is a directory\n"},
      {asked("", "", "a.csv", "a.csv", false),
       "ERROR: --levels and --json name the same file a.csv\n"},
      {asked("", "", "", "", true), "ERROR: --tag is only used with --catalog\n"}};
  for (const auto& [r, message] : bad) {
    const auto run = runWith("title\n", r);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, message);
  }
}

// An output never replaces the input file, by whatever name; a FIFO or a
// device is written into and stays what it is; a device that takes nothing
// (a full one) fails the run.
TEST(OutputOptions, TheInputFileFifosAndDevicesAreNeverReplaced) {
  test::ScopedWorkDir here("output_special");
  const std::string input = test::readFile(test::sourcePath("examples/rigid_rotor.inp"));
  test::writeFile("mol.inp", input);
  struct stat st {};
  ASSERT_EQ(stat("mol.inp", &st), 0);
  OutputRequests req;
  req.json = "./mol.inp";
  req.input = {true, static_cast<unsigned long long>(st.st_dev),
               static_cast<unsigned long long>(st.st_ino)};
  auto r = runWith(input, req);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: --json ./mol.inp: is the input file; name another file\n");
  // eval.out is written by the control eval
  std::filesystem::rename("mol.inp", "eval.out");
  req.json.clear();
  r = runWith(std::string(input).replace(input.find("nzyk"), 4, "eval 1 nzyk"), req);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("STOP ERROR: eval.out is the input file"), std::string::npos) << r.err;
  EXPECT_EQ(test::readFile("eval.out"), input);

  req = OutputRequests{};
  req.lines = "/dev/full";
  r = runWith(input, req);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: --lines /dev/full could not be written: No space left on device\n");
  EXPECT_TRUE(stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode));

  ASSERT_EQ(mkfifo("run.json", 0644), 0);
  std::string got;
  std::thread reader([&] { got = test::readFile("run.json"); });
  req = OutputRequests{};
  req.json = "run.json";
  r = runWith(input, req);
  const int release = open("run.json", O_WRONLY | O_NONBLOCK); // a reader still waiting
  if (release >= 0) close(release);
  reader.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(got).at("program").at("name"), "ruvo");
  EXPECT_TRUE(stat("run.json", &st) == 0 && S_ISFIFO(st.st_mode));

  // a reader that leaves early: a message, not the end of the run by SIGPIPE
  const int early = open("run.json", O_RDONLY | O_NONBLOCK);
  ASSERT_GE(early, 0);
  fcntl(early, F_SETPIPE_SZ, 4096); // the document does not fit
  std::thread leaver([early] {
    pollfd p{early, POLLIN, 0};
    for (int k = 0; k < 300 && poll(&p, 1, 100) == 0;) ++k; // until the first bytes come
    close(early);
  });
  r = runWith(input, req);
  leaver.join();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: --json run.json could not be written: Broken pipe\n");
}

// A full disk: a listing and an eval.out that did not reach their end fail
// the run (the file size limit of the child stands in for the disk).
TEST(OutputOptions, AFullDiskFailsTheRun) {
  test::ScopedWorkDir here("output_full_disk");
  std::string input = test::readFile(test::sourcePath("examples/rigid_rotor.inp"));
  test::writeFile("mol.inp", input.replace(input.find("nzyk"), 4, "eval 1 nzyk"));
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit limit{16384, 16384}; // the listing has 25 kB, eval.out 150 kB
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, SIG_IGN);
    dup2(open("mol.out", O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
    dup2(open("mol.err", O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
    execl(RUVO_BINARY, RUVO_BINARY, "mol.inp", static_cast<char*>(nullptr));
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 1);
  EXPECT_EQ(test::readFile("mol.err"),
            "ERROR: the listing could not be written completely (standard output)\n"
            "ERROR: eval.out could not be written completely\n");
}

} // namespace
} // namespace ruvo
