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
#include <fstream>
#include <map>
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

extern "C" void dsbev_(const char* jobz, const char* uplo, const int* n, const int* kd, double* ab,
                       const int* ldab, double* w, double* z, const int* ldz, double* work,
                       int* info);
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

// Levels of H = Bx Jx^2 + By Jy^2 + Bz Jz^2 of one J, labelled by their order.
std::vector<Level> rigidLevelsOfJ(int J, double Bx, double By, double Bz, const char* jobz = "V") {
  std::vector<Level> all;
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
  dsyev_(jobz, "L", &n, h.data(), &n, e.data(), work.data(), &lwork, &info);
  for (int t = 1; t <= d; ++t)
    all.push_back({J, t / 2, (2 * J - t + 2) / 2, e[t - 1],
                   std::vector<double>(h.begin() + (t - 1) * d, h.begin() + t * d)});
  return all;
}

std::vector<Level> rigidLevels(int maxJ, double Bx, double By, double Bz) {
  std::vector<Level> all;
  for (int J = 0; J <= maxJ; ++J) {
    auto lj = rigidLevelsOfJ(J, Bx, By, Bz);
    all.insert(all.end(), lj.begin(), lj.end());
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

// Q at the catalogue temperatures as an explicit sum over J = 0, 1, ...
// until a J adds less than 1e-10 at 300 K; the energies of each J from its
// matrix in the |J K> basis as a band matrix (K couples K +- 2).
std::array<double, 7> explicitPartitionFunction(double Bx, double By, double Bz) {
  std::array<double, 7> Q{};
  for (int J = 0;; ++J) {
    int d = 2 * J + 1, kd = 2, ldab = 3, ldz = 1, info = 0;
    std::vector<double> ab(std::size_t(3) * d, 0.0), e(d), work(3 * d);
    for (int k = 0; k < d; ++k) {
      const double K = k - J;
      ab[3 * k] = 0.5 * (Bx + By) * (J * (J + 1.0) - K * K) + Bz * K * K;
      if (k + 2 < d)
        ab[2 + 3 * k] =
            0.25 * (Bx - By) * std::sqrt((J - K) * (J + K + 1.0) * (J - K - 1.0) * (J + K + 2.0));
    }
    double z = 0;
    dsbev_("N", "L", &d, &kd, ab.data(), &ldab, e.data(), &z, &ldz, work.data(), &info);
    double q300 = 0.0;
    for (int t = 0; t < 7; ++t) {
      double q = 0.0;
      for (double E : e)
        q += d * std::exp(-C2_CM_K * (E - 0.0) / GHZ_PER_WAVENUMBER / CATALOGUE_TEMPERATURES[t]);
      Q[t] += q;
      if (t == 0) q300 = q;
    }
    if (q300 < 1e-10 * Q[0]) return Q;
  }
}

// The catalogue of a rigid rotor against levels and strengths computed
// here: its own window and LGINT cut-off (the listing's freq_l, freq_h and
// limit do not apply), the partition function summed to convergence.
TEST(Catalogue, RigidRotorAgreesWithAnIndependentCalculation) {
  test::ScopedWorkDir here("catalogue_rigid");
  const std::string input = "rigid rotor\n\nnzyk 1 freq_l 5 freq_h 60 limit 0.01\n\n"
                            "BJ 3.36 BK 6.10 B- 0.44\nmu_z 1.5 mu_x 0.8\n\n\n"
                            "Jup 6 K-up 0 K+up 6 Jlo 5 K-lo 0 K+lo 5\n";
  OutputRequests req;
  req.catalog = "r.cat";
  req.tag = 98001;
  req.tagGiven = true;
  req.catFromMHz = 2000;
  req.catToMHz = 80000;
  req.catMinLgint = -6.5;
  const auto r = runWith(input, req);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.find(" Partition function of the computed levels (J <= 6)"), std::string::npos);
  EXPECT_NE(r.out.find(" (levels of J = 7 .. "), std::string::npos);

  // x = b, y = c, z = a
  const auto lv = rigidLevels(6, 3.36 + 0.44, 3.36 - 0.44, 3.36 + 6.10);
  const double Q = explicitPartitionFunction(3.36 + 0.44, 3.36 - 0.44, 3.36 + 6.10)[0];
  struct Expected {
    double freq, lgint, elo;
    int gup, qn[6];
  };
  std::vector<Expected> want;
  for (const Level& u : lv)
    for (const Level& l : lv) {
      const double nu = u.E - l.E;
      if (nu < 2.0 || nu > 80.0 || std::abs(u.J - l.J) > 1) continue;
      const double s = directionCosineStrength(u, l, 0.8, 1.5);
      const double elo = l.E / GHZ_PER_WAVENUMBER, eup = u.E / GHZ_PER_WAVENUMBER;
      const double I = 4.16231e-5 * nu * 1000 * s *
                       (std::exp(-C2_CM_K * elo / 300) - std::exp(-C2_CM_K * eup / 300)) / Q;
      if (!(std::log10(I) >= -6.5)) continue;
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
  EXPECT_NEAR(Qf / Q, 1.0, 2e-6);
}

// Whole runs: the catalogue with 14N hyperfine structure (the measured
// component carries the negative tag) and that of a one-top molecule (the A
// and E lines the predicted spectrum lists, coded N Ka Kc v species), each
// in a window of its own.  The one-top partition function (B about 2.7 GHz)
// summed to the largest J, 150, is not converged at 300 K: said on standard
// error, exit status 1.
TEST(Catalogue, HyperfineAndOneTopRuns) {
  for (const char* name : {"hyperfine", "one_top"}) {
    const bool top = std::string(name) == "one_top";
    test::ScopedWorkDir here(std::string("catalogue_") + name);
    OutputRequests req;
    req.catalog = "c.cat";
    req.tag = 46001;
    req.tagGiven = true;
    req.catFromMHz = top ? 5000 : 4000;
    req.catToMHz = 20000;
    req.catMinLgint = -12;
    const auto r = runWith(
        test::readFile(test::sourcePath("tests/data/output/" + std::string(name) + ".inp")), req);
    EXPECT_EQ(r.status, top ? 1 : 0) << r.err;
    EXPECT_EQ(r.err.find("partition function at 300 K is not converged: levels of J = 150") !=
                  std::string::npos,
              top)
        << r.err;
    const std::string expected =
        test::readFile(test::sourcePath("tests/data/output/" + std::string(name) + ".cat"));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(test::compareListings(expected, test::readFile("c.cat")), "") << name;
    if (!top) continue;
    // with its excited torsional states Q grew: every LGINT lies log10 of
    // the ratio below the cards of the torsional ground state alone (Q(300
    // K) 2.157714e5, three of its cards)
    std::istringstream qf(test::readFile("c.cat.q"));
    double T = 0, Q = 0;
    ASSERT_TRUE(qf >> T >> Q);
    const std::string cat = test::readFile("c.cat");
    for (const auto& [freq, lgint] : {std::pair{"    5380.5507", -8.7031},
                                      {"   10780.5155", -7.7921},
                                      {"   16036.8043", -7.2788}}) {
      const std::size_t at = cat.find(freq);
      ASSERT_NE(at, std::string::npos) << freq;
      EXPECT_NEAR(std::stod(cat.substr(at + 21, 8)), lgint - std::log10(Q / 2.157714e5), 1.5e-4);
    }
  }
}

// A one-top molecule of larger rotational constants: its partition function,
// summed J by J above the lines' J range, converges below J = 150 (no
// warning, exit status 0), and every level of the catalogue lies below it.
TEST(Catalogue, OneTopPartitionFunctionConvergesAboveJ70) {
  test::ScopedWorkDir here("catalogue_one_top_q");
  OutputRequests req;
  req.catalog = "t.cat";
  std::string text = test::readFile(test::sourcePath("tests/data/output/one_top.inp"));
  const std::string from = "BJ 2.70 BK 6.40 B- 0.26";
  ASSERT_NE(text.find(from), std::string::npos);
  text.replace(text.find(from), from.size(), "BJ 9.00 BK 21.0 B- 0.80");
  const auto r = runWith(text, req);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("not converged"), std::string::npos) << r.err;
  std::istringstream qf(test::readFile("t.cat.q"));
  double T = 0, Q = 0, lq = 0;
  ASSERT_TRUE(qf >> T >> Q >> lq);
  EXPECT_EQ(T, 300.0);
  // classical limit of the rotor, times the A + E species of the top: at
  // least the rigid rotor's sqrt(pi) (kT/h)^1.5 / sqrt(ABC)
  const double kT = 300.0 / C2_CM_K * GHZ_PER_WAVENUMBER; // GHz
  const double A = 9.0 + 21.0, B = 9.0 + 0.8, C = 9.0 - 0.8;
  EXPECT_GT(Q, std::sqrt(M_PI) * std::pow(kT, 1.5) / std::sqrt(A * B * C));
}

// Q(T) of a rotor A 9, B 1.6, C 1.4 GHz whose list stops at J = 10: summed
// far above J = 10, it meets the classical limit sqrt(pi) (kT/h)^1.5 /
// sqrt(ABC) at 300 K to 0.1 % (the quantum correction is below 1e-4) and
// the explicit sum at every catalogue temperature.
TEST(Catalogue, PartitionFunctionIsConvergedAboveTheJRangeOfTheLines) {
  test::ScopedWorkDir here("catalogue_q");
  OutputRequests req;
  req.catalog = "q.cat";
  const auto r = runWith("Q\n\nnzyk 1\n\nBJ 1.5 BK 7.5 B- 0.1\nmu_x 1\n\n\n"
                         "Jup 10 K-up 0 K+up 10 Jlo 9 K-lo 0 K+lo 9\n",
                         req);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::istringstream qf(test::readFile("q.cat.q"));
  const double kT300 = 300.0 / C2_CM_K * GHZ_PER_WAVENUMBER; // GHz
  const double classical = std::sqrt(M_PI) * std::pow(kT300, 1.5) / std::sqrt(9.0 * 1.6 * 1.4);
  const auto sum = explicitPartitionFunction(1.6, 1.4, 9.0);
  for (int t = 0; t < 7; ++t) {
    double T, Q, lq;
    ASSERT_TRUE(qf >> T >> Q >> lq);
    EXPECT_EQ(T, CATALOGUE_TEMPERATURES[t]);
    if (t == 0) EXPECT_NEAR(Q / classical, 1.0, 1e-3);
    EXPECT_NEAR(Q / sum[t], 1.0, 2e-6) << T;
  }
}

// The catalogue's window and LGINT cut-off, with what they left out in the
// listing; no card at 0.0000 MHz (a K doublet degenerate to the printed
// digits); without any dipole component the run stops before the fit.
TEST(Catalogue, CutOffsAreReportedAndNoDipoleStops) {
  test::ScopedWorkDir here("catalogue_cuts");
  const std::string input = "cuts\n\nnzyk 1\n\nBJ 1.5 BK 7.5 B- 0.1\nmu_x 1 mu_z 0.5\n\n\n"
                            "Jup 20 K-up 0 K+up 20 Jlo 19 K-lo 0 K+lo 19\n";
  OutputRequests req;
  req.catalog = "all.cat";
  auto r = runWith(input, req);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string all = test::readFile("all.cat");
  const auto count = [](const std::string& text) {
    return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
  };
  const long nAll = count(all);
  EXPECT_GT(nAll, 3000);
  EXPECT_EQ(all.find("       0.0000"), std::string::npos);
  const auto left = [](const std::string& out, const char* what) {
    const std::size_t at = out.find(what);
    if (at == std::string::npos) return -1L;
    const std::size_t from = out.rfind(' ', at - 2);
    return std::stol(out.substr(from, at - from));
  };
  EXPECT_GT(left(r.out, " at 0.0000 MHz;"), 0) << r.out;
  EXPECT_EQ(left(r.out, " pairs of levels outside the window"), 0) << r.out;
  const long belowAll = left(r.out, " lines below the LGINT cut-off");
  // the window and the cut-off take out what they say and nothing else
  req.catalog = "cut.cat";
  req.catFromMHz = 20000;
  req.catToMHz = 100000;
  req.catMinLgint = -6;
  r = runWith(input, req);
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream cut(test::readFile("cut.cat"));
  std::string card;
  long nCut = 0;
  while (std::getline(cut, card)) {
    ++nCut;
    const double f = std::stod(card.substr(0, 13)), lgint = std::stod(card.substr(21, 8));
    EXPECT_TRUE(f >= 20000 && f <= 100000 && lgint >= -6) << card;
    EXPECT_NE(all.find(card.substr(0, 13)), std::string::npos) << card;
  }
  // the cards are those of the full catalogue in the window and above the
  // cut-off; the others in the window are counted as below it
  long inWindow = 0, kept = 0;
  for (std::istringstream a(all); std::getline(a, card);) {
    const double f = std::stod(card.substr(0, 13));
    if (f < 20000 || f > 100000) continue;
    ++inWindow;
    if (std::stod(card.substr(21, 8)) >= -6) ++kept;
  }
  EXPECT_EQ(nCut, kept);
  EXPECT_GE(left(r.out, " lines below the LGINT cut-off"), inWindow - kept) << r.out;
  EXPECT_GT(left(r.out, " pairs of levels outside the window"), nAll - inWindow) << r.out;
  // no dipole at all
  req.catalog = "none.cat";
  std::string noDipole = input;
  noDipole.replace(noDipole.find("mu_x 1 mu_z 0.5"), 15, "");
  r = runWith(noDipole, req);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("STOP ERROR: --catalog needs a dipole moment: mu_x, mu_y and mu_z are 0 in "
                       "every parameter set"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(std::ifstream("none.cat").good());
}

// With one dipole component alone every card must have that component's
// selection rule, also where the two levels of a K doublet are degenerate
// to rounding: a type (mu along a) dKa even, dKc odd; b type both odd; c type
// dKa odd, dKc even.  A near-prolate and a near-oblate rotor to J = 40 (axes
// z = a, x = b, y = c).
TEST(Catalogue, EveryCardHasTheTypeOfItsDipoleComponent) {
  test::ScopedWorkDir here("catalogue_types");
  const char* const rotors[] = {"BJ 1.5 BK 7.5 B- 0.1", "BJ 3.4 BK 1.6 B- 1.4"};
  const char* const components[] = {"mu_z", "mu_x", "mu_y"};
  const int wantDKa[] = {0, 1, 1}, wantDKc[] = {1, 1, 0};
  for (const char* rotor : rotors)
    for (int c = 0; c < 3; ++c) {
      const std::string input =
          std::string("types\n\nnzyk 1 freq_l 0.001 freq_h 2000 limit 1e-6\n\n") + rotor + "\n" +
          components[c] + " 1.0\n\n\nJup 40 K-up 0 K+up 40 Jlo 39 K-lo 0 K+lo 39\n";
      OutputRequests req;
      req.catalog = "t.cat";
      const auto r = runWith(input, req);
      ASSERT_NE(r.status, 1) << r.err;
      std::istringstream cat(test::readFile("t.cat"));
      std::string card;
      int cards = 0, wrong = 0, doublets = 0;
      while (std::getline(cat, card)) {
        ++cards;
        auto qn = [&](int k) { return std::stoi(card.substr(55 + 2 * k + (k >= 3 ? 6 : 0), 2)); };
        const int dKa = std::abs(qn(1) - qn(4)) % 2, dKc = std::abs(qn(2) - qn(5)) % 2;
        if (dKa != wantDKa[c] || dKc != wantDKc[c]) ++wrong;
        // both ends at K near J: the doublets the solver cannot order by energy
        if (std::max(qn(1), qn(2)) >= qn(0) - 1 && std::max(qn(4), qn(5)) >= qn(3) - 1) ++doublets;
      }
      EXPECT_GT(cards, 1000) << rotor << ' ' << components[c];
      EXPECT_GT(doublets, 20) << rotor << ' ' << components[c];
      EXPECT_EQ(wrong, 0) << rotor << ' ' << components[c];
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
  EXPECT_EQ(catalogueInteger(3599, 3), "Z99");
  EXPECT_EQ(catalogueInteger(360, 2), "**");
  EXPECT_EQ(catalogueInteger(-270, 2), "**");
  EXPECT_EQ(catalogueInteger(-9, 2), "-9");
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

// ERR of the catalogue against the fit's covariance propagated here: the
// frequency derivative by each fitted constant from central differences of
// two more runs without a fit (levels file, 1e-9 GHz digits), the errors and
// correlations from the JSON document, sigma^2 = g^T C g for five cards.
TEST(Catalogue, UncertaintiesFollowTheCovarianceOfTheFit) {
  test::ScopedWorkDir here("catalogue_err");
  std::string input = test::readFile(test::sourcePath("examples/rigid_rotor.inp"));
  input.replace(input.find("H_K 1e-9"), 8, "H_K 1e-9\nmu_z 1.5 mu_x 0.8");
  OutputRequests req;
  req.catalog = "fit.cat";
  req.json = "fit.json";
  ASSERT_EQ(runWith(input, req).status, 0);
  const auto doc = nlohmann::json::parse(test::readFile("fit.json"));
  std::vector<std::string> cards;
  {
    std::istringstream cat(test::readFile("fit.cat"));
    for (std::string c; std::getline(cat, c);) cards.push_back(c);
  }
  ASSERT_GT(cards.size(), 100u);
  std::vector<std::string> picked;
  for (std::size_t k = 0; k < 5; ++k) picked.push_back(cards[k * (cards.size() - 1) / 4]);
  // frequency (MHz) of a card's line from a levels file
  auto frequencies = [&](const std::string& csv) {
    std::map<std::array<int, 3>, double> E;
    std::istringstream in(csv);
    std::string row;
    std::getline(in, row);
    while (std::getline(in, row)) {
      std::replace(row.begin(), row.end(), ',', ' ');
      std::istringstream f(row);
      int index, J, Ka, Kc;
      double cm, ghz;
      f >> index >> cm >> ghz >> J >> Ka >> Kc;
      E[{J, Ka, Kc}] = ghz;
    }
    std::vector<double> nu;
    for (const std::string& c : picked) {
      auto q = [&](int k) { return std::stoi(c.substr(55 + 2 * k + (k >= 3 ? 6 : 0), 2)); };
      nu.push_back(1000 * (E.at({q(0), q(1), q(2)}) - E.at({q(3), q(4), q(5)})));
    }
    return nu;
  };
  // the fitted constants, each shifted by +-30 errors in a run without fit
  const auto& pars = doc.at("parameters");
  std::vector<std::vector<double>> g; // error_j * dnu/dp_j, MHz
  for (std::size_t j = 0; j < pars.size(); ++j) {
    if (!pars[j].at("fitted").get<bool>()) continue;
    const double e = pars[j].at("error").get<double>();
    std::vector<double> nu[2];
    for (int side = 0; side < 2; ++side) {
      std::ostringstream run;
      run.precision(17);
      run << "shifted\n\nnzyk 1\n\n";
      for (std::size_t k = 0; k < pars.size(); ++k)
        run << pars[k].at("name").get<std::string>() << ' '
            << pars[k].at("value").get<double>() + (k == j ? (side ? -30 : 30) * e : 0.0) << '\n';
      run << "\n\nJup 15 K-up 0 K+up 15 Jlo 14 K-lo 0 K+lo 14\n";
      OutputRequests lv;
      lv.levels = "shifted.csv";
      ASSERT_EQ(runWith(run.str(), lv).status, 0);
      nu[side] = frequencies(test::readFile("shifted.csv"));
    }
    g.emplace_back();
    for (std::size_t i = 0; i < picked.size(); ++i) g.back().push_back((nu[0][i] - nu[1][i]) / 60);
  }
  const auto& corr = doc.at("correlation").at("matrix");
  ASSERT_EQ(corr.size(), g.size());
  for (std::size_t i = 0; i < picked.size(); ++i) {
    double var = 0.0;
    for (std::size_t j = 0; j < g.size(); ++j)
      for (std::size_t k = 0; k < g.size(); ++k)
        var += g[j][i] * corr[j][k].get<double>() * g[k][i];
    const double err = std::stod(picked[i].substr(13, 8));
    EXPECT_NEAR(err, std::sqrt(var), 1.5e-4 + 0.01 * std::sqrt(var)) << picked[i];
  }
}

// The JSON document of a fit holds the keys and types the guide's schema names.
// A symmetric top (B- 0): the predicted line between the two levels of the
// K = 1 doublet of J = 2 is exactly 0 GHz.  It and every line after it are
// listed and counted in the deviation summary, as they are in the JSON
// document and the line list; a line from a level to itself is a divider.
TEST(WholeRunListing, ZeroFrequencyLineEndsNothing) {
  test::ScopedWorkDir here("zero_frequency");
  OutputRequests req;
  req.json = "run.json";
  req.lines = "run.lin";
  const auto r = runWith("Symmetric top\n\nnzyk 1 defer 1e-5\n\nBJ 3.0 BK 5.0 B- 0.0\n\n"
                         "fit BJ\nfit BK\n\n"
                         "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 = 6.0001\n"
                         "Jup 2 K-up 1 K+up 1 Jlo 2 K-lo 1 K+lo 2\n"
                         "Jup 2 K-up 0 K+up 2 Jlo 1 K-lo 0 K+lo 1 = 12.0002\n"
                         "Jup 2 K-up 1 K+up 1 Jlo 1 K-lo 1 K+lo 0 = 12.0\n"
                         "Jup 2 K-up 1 K+up 1 Jlo 2 K-lo 1 K+lo 1\n"
                         "Jup 3 K-up 0 K+up 3 Jlo 2 K-lo 0 K+lo 2 = 17.9997\n",
                         req);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("   2:  2  1  1  2  1  2         0.0000000      ---       ---   "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("   4:  2  1  1  1  1  0        12.0000000    0.0000  12.0000000"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\n - - - - -\n   6:  3  0  3  2  0  2        18.0000000   -0.3000"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" Maximum (obs-calc)/err in line   6   0.0003000\n"), std::string::npos);
  // all four measured lines in the deviation summary: rms sqrt((0.01+0.04+0+0.09)/4) MHz
  EXPECT_NE(
      r.out.find("  B  V   n abs. freq. MHz\n  1  1   4          0.187083          0.280624\n"),
      std::string::npos)
      << r.out;
  const auto doc = nlohmann::json::parse(test::readFile("run.json"));
  ASSERT_EQ(doc.at("lines").size(), 6u);
  EXPECT_EQ(doc.at("lines").at(1).at("calc_GHz"), 0.0);
  EXPECT_EQ(doc.at("fit").at("n_lines"), 4);
  const std::string lin = test::readFile("run.lin");
  EXPECT_EQ(std::count(lin.begin(), lin.end(), '\n'), 4);
  EXPECT_NE(lin.find("17999.7000"), std::string::npos) << lin;
}

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
  EXPECT_EQ(fit.at("end"), "converged");
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
            "  1  0  1  0  0  0                         6699.9940     0.0050 1.0000");
  EXPECT_EQ(test::readFile("run.csv").substr(0, 102),
            "index,energy_cm-1,energy_GHz,J,Ka,Kc,F,v,species,set,degeneracy\n"
            "1,0.000000,0.000000000,0,0,0,,0,0,1,1\n");
  // two cycles: finished, not converged, and the document says why
  std::string twoCycles = test::readFile(test::sourcePath("examples/rigid_rotor.inp"));
  twoCycles.replace(twoCycles.find("nzyk 20"), 7, "nzyk 2");
  const auto n = runWith(twoCycles, req);
  EXPECT_EQ(n.status, 2) << n.err;
  const auto notConverged = nlohmann::json::parse(test::readFile("run.json")).at("fit");
  EXPECT_FALSE(notConverged.at("converged").get<bool>());
  EXPECT_EQ(notConverged.at("end"), "cycle limit");
}

// The line list read back as SPFIT reads it: NQN quanta per level, the
// upper level in fields 1..NQN, the lower in NQN+1..2 NQN, the rest blank,
// frequency and error from column 37; each row against the measured line
// of the input, taken from the input text (N Ka Kc, F, v S).
TEST(LineList, ReadsBackWithTheLinePackingOfSpfit) {
  const std::pair<const char*, int> runs[] = {{"examples/rigid_rotor.inp", 3},
                                              {"examples/hyperfine_14n.inp", 4},
                                              {"examples/one_top.inp", 5}};
  for (const auto& [name, nqn] : runs) {
    test::ScopedWorkDir here("line_list");
    const std::string input = test::readFile(test::sourcePath(name));
    OutputRequests req;
    req.lines = "run.lin";
    const auto r = runWith(input, req);
    ASSERT_EQ(r.status, 0) << r.err;
    // expected rows from the measured lines of the input
    std::vector<std::vector<int>> want;
    std::vector<double> freq;
    std::istringstream in(input);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("Jup", 0) != 0 || line.find('=') == std::string::npos) continue;
      std::istringstream ws(line.substr(0, line.find('=')));
      std::map<std::string, int> v;
      std::string key, species;
      int value;
      while (ws >> key)
        if (key[0] == '/')
          species = key;
        else if (ws >> value)
          v[key] = value;
      std::vector<int> q;
      for (const char* end : {"up", "lo"}) {
        for (const char* k : {"J", "K-", "K+"}) q.push_back(v[k + std::string(end)]);
        if (nqn == 5) q.insert(q.end(), {0, species == "/A" ? 1 : 2});
        if (nqn == 4) q.push_back(v["F" + std::string(end)] / 2);
      }
      want.push_back(q);
      freq.push_back(1000 * std::stod(line.substr(line.find('=') + 1)));
    }
    std::istringstream lin(test::readFile("run.lin"));
    std::size_t n = 0;
    while (std::getline(lin, line)) {
      ASSERT_LT(n, want.size()) << name;
      ASSERT_GT(line.size(), 36u);
      std::vector<int> q;
      for (int f = 0; f < 12; ++f) {
        const std::string field = line.substr(3 * f, 3);
        if (f < 2 * nqn)
          q.push_back(std::stoi(field));
        else
          EXPECT_EQ(field, "   ") << name << ": " << line;
      }
      EXPECT_EQ(q, want[n]) << name << ": " << line;
      EXPECT_NEAR(std::stod(line.substr(36)), freq[n], 1e-4) << line;
      ++n;
    }
    EXPECT_EQ(n, want.size()) << name;
  }
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
  // the catalogue's cut-offs
  const std::pair<std::string, std::string> cuts[] = {
      {"--cat-from=abc", "ERROR: --cat-from needs a number, not \"abc\""},
      {"--cat-to=-5", "ERROR: --cat-to needs a frequency 0 .. 99999999.9999 MHz, not \"-5\""},
      {"--cat-lgint=nan", "ERROR: --cat-lgint needs a number, not \"nan\""}};
  for (const auto& [arg, message] : cuts) {
    args = {arg};
    i = 0;
    EXPECT_TRUE(parseOutputOption(args, i, req, error));
    EXPECT_EQ(error, message);
  }
  args = {"--cat-lgint", "-8"};
  i = 0;
  EXPECT_TRUE(parseOutputOption(args, i, req, error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(req.catMinLgint, -8.0);
  OutputRequests window;
  window.catalog = "w.cat";
  window.catFromMHz = 5000;
  window.catToMHz = 4000;
  EXPECT_FALSE(checkOutputRequests(window, error));
  EXPECT_EQ(error, "ERROR: the catalogue window --cat-from .. --cat-to is empty");
  window.catalog.clear();
  window.catCutGiven = true;
  window.catToMHz = 6000;
  EXPECT_FALSE(checkOutputRequests(window, error));
  EXPECT_EQ(error, "ERROR: --cat-from, --cat-to and --cat-lgint are only used with --catalog");

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

namespace ruvo {
namespace {

// The catalogue, levels and line list of a predicted spectrum are made from
// the blocks its sweep wrote (the same parameters); they are those of the
// same run without line strengths, whose blocks are all solved again, byte
// for byte: a rigid rotor and a one-top molecule (A and E).
TEST(Catalogue, BlocksOfTheFinalSweepGiveTheSameFiles) {
  for (const char* name : {"rigid_ints2", "one_top_ints2"}) {
    const std::string input =
        test::readFile(test::sourcePath("tests/data/intensity/" + std::string(name) + ".inp"));
    const auto at = input.find("ints 2");
    ASSERT_NE(at, std::string::npos) << name;
    std::string files[2];
    for (int k = 0; k < 2; ++k) {
      test::ScopedWorkDir here(std::string("final_blocks_") + name + std::to_string(k));
      OutputRequests req;
      req.catalog = "c.cat";
      req.levels = "c.csv";
      req.lines = "c.lin";
      std::string text = input;
      if (k == 1) text.replace(at, 6, "ints 0");
      const auto r = runWith(text, req);
      files[k] = test::readFile("c.cat") + test::readFile("c.cat.q") + test::readFile("c.csv") +
                 test::readFile("c.lin");
      EXPECT_NE(r.out.find(" Catalogue: "), std::string::npos) << name << r.err;
    }
    EXPECT_GT(files[0].size(), 1000u) << name;
    EXPECT_EQ(files[0], files[1]) << name;
  }
}

} // namespace
} // namespace ruvo
