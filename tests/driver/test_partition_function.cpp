// The partition function of a molecule with a methyl top, with its excited
// torsional states, against the classical rotor times the torsional sum of
// the one-dimensional problem; the catalogue intensities it moves.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "driver/output_files.h"
#include "driver/program.h"
#include "report/catalogue.h"
#include "support/test_support.h"

extern "C" void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda,
                       double* w, double* work, const int* lwork, int* info);

namespace ruvo {
namespace {

test::RunResult catalogueRun(const std::string& input, int threads = 1) {
  OutputRequests req;
  req.catalog = "c.cat";
  std::istringstream in(input);
  std::ostringstream out, err;
  RunChannels channels;
  channels.threads = threads;
  test::RunResult r;
  r.status = runProgram(in, out, err, req, channels);
  r.out = out.str();
  r.err = err.str();
  return r;
}

double q300(const std::string& qfile) {
  std::istringstream qf(qfile);
  double T = 0, Q = 0;
  qf >> T >> Q;
  EXPECT_EQ(T, 300.0);
  return Q;
}

// Energies (GHz) of F p^2 + V3/2 (1 - cos 3a) in the free-rotor basis
// exp(i m a), m = sigma + 3k, |k| <= 40: far more functions than the
// states below 10 kT need.
std::vector<double> torsionalEnergies(double F, double V3, int sigma) {
  const int n = 81;
  std::vector<double> h(n * n, 0.0), e(n), work(8 * n);
  for (int k = 0; k < n; ++k) {
    const double m = sigma + 3.0 * (k - 40);
    h[k + k * n] = F * m * m + 0.5 * V3;
    if (k + 1 < n) h[(k + 1) + k * n] = h[k + (k + 1) * n] = -0.25 * V3;
  }
  int info = 0, lwork = 8 * n;
  dsyev_("N", "L", &n, h.data(), &n, e.data(), work.data(), &lwork, &info);
  EXPECT_EQ(info, 0);
  return e;
}

// An acetaldehyde-like molecule: A 56.6, B 10.2, C 9.1 GHz, F 228 GHz
// (7.6 cm^-1), V3 12230 GHz (408 cm^-1), rho 0.33, the top tilted by 0.15
// rad.  Classically the rotation and the torsion separate exactly (the
// kinetic form of A Pa^2 + B Pb^2 + C Pc^2 + F (p - rho.P)^2 has the
// determinant A B C F), so Q(300 K) is the classical rotor sqrt(pi)
// (kT)^1.5 / sqrt(ABC), with its first quantum correction 1 + (2(A+B+C) -
// AB/C - BC/A - CA/B) / 12kT (5e-4 here), times the torsional sum over the A
// (sigma 0) and E (sigma 1) states of the one-dimensional problem.  What
// the product leaves out: the K dependence of the torsional energies
// through rho K (a few 1e-5 for the states that matter: their tunnelling
// splittings are small against kT), the states above 10 kT (about 3e-5),
// and the next quantum correction of the rotor ((A/kT)^2, 1e-4): within
// 5e-4.  The torsional ground state alone misses a factor of two.  On three
// threads the excited states, whose sums end at different J, are summed
// side by side: the same catalogue and Q to the last byte.
TEST(PartitionFunction, MethylTopMeetsRotorTimesTorsion) {
  test::ScopedWorkDir here("partition_methyl_top");
  const std::string head = "acetaldehyde-like top\n\nnzyk 1 ntop 1\n\n"
                           "BJ 9.65 BK 46.95 B- 0.55\n"
                           "F_1 228 V1n_1 12230 rho_1 0.33 beta_1 0.15\nmu_x 1.0 mu_z 2.5\n\n\n"
                           "/A S 0\n/E S 1\n\nV 0\n\n"
                           "Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 /A\n";
  const auto r = catalogueRun(head);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find(" (torsional states of the model and 10 excited ones below 2085.1 cm-1"),
            std::string::npos)
      << r.out;
  const double Q = q300(test::readFile("c.cat.q"));

  const double kT = 300.0 / C2_CM_K * GHZ_PER_WAVENUMBER; // GHz
  const double A = 56.6, B = 10.2, C = 9.1;
  const double rotor =
      std::sqrt(M_PI) * std::pow(kT, 1.5) / std::sqrt(A * B * C) *
      (1.0 + (2.0 * (A + B + C) - A * B / C - B * C / A - C * A / B) / (12.0 * kT));
  const auto eA = torsionalEnergies(228.0, 12230.0, 0), eE = torsionalEnergies(228.0, 12230.0, 1);
  double torsion = 0.0;
  for (const auto* e : {&eA, &eE})
    for (double x : *e) torsion += std::exp(-(x - eA[0]) / kT);
  EXPECT_NEAR(Q / (rotor * torsion), 1.0, 5e-4);
  const double ground = 1.0 + std::exp(-(eE[0] - eA[0]) / kT);
  EXPECT_GT(torsion / ground, 2.0);

  const std::string cat = test::readFile("c.cat"), qfile = test::readFile("c.cat.q");
  const auto three = catalogueRun(head, 3);
  EXPECT_EQ(three.status, 0);
  EXPECT_EQ(test::readFile("c.cat"), cat);
  EXPECT_EQ(test::readFile("c.cat.q"), qfile);
  const auto at = r.out.find(" Partition function"),
             atThree = three.out.find(" Partition function");
  ASSERT_NE(at, std::string::npos);
  ASSERT_NE(atThree, std::string::npos);
  EXPECT_EQ(three.out.substr(atThree), r.out.substr(at));
}

} // namespace
} // namespace ruvo
