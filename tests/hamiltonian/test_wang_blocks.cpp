// The Wang-block solver against the whole-block solver on matrices with the
// D2 symmetry of a rigid rotor (random elements, Delta K even only,
// <K|H|K'> = <-K|H|-K'>).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "core/state.h"
#include "hamiltonian/wang_blocks.h"
#include "numerics/eigen.h"

namespace ruvo {

TEST(WangBlocks, SameLevelsAsTheWholeBlockAndPureSymmetryFunctions) {
  auto sw = std::make_unique<SweepWork>();
  sw->allocate();
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int J : {0, 1, 2, 5, 12, 40}) {
    const int N = 2 * J + 1, ld = DIMTOT;
    // lower triangle of a D2-symmetric block, GHz; a large diagonal like a
    // rotor's K^2 ladder makes near-degenerate K doublets at high K
    std::vector<double> h(static_cast<std::size_t>(N) * N, 0.0);
    for (int K = -J; K <= J; ++K)
      for (int Kp = -J; Kp <= K; ++Kp) {
        if ((K - Kp) % 2 != 0 || -K < -J || -Kp > J) continue;
        const double v = K == Kp ? 3.0 * K * K + u(gen) : 0.1 * u(gen);
        h[(K + J) + (Kp + J) * N] = h[(Kp + J) + (K + J) * N] = v;
        h[(-K + J) + (-Kp + J) * N] = h[(-Kp + J) + (-K + J) * N] = v;
      }
    for (int c = 0; c < N; ++c)
      for (int r = 0; r < N; ++r) sw->H[r + c * ld] = h[r + c * N];
    sw->blk.ntop = 0;
    sw->blk.nvv = 1;
    sw->blk.N = sw->blk.d = N;
    ParamSets par;
    ASSERT_TRUE(hasWangSymmetry(*sw, ConstParamView{&par(1, 1)}));
    int ierr = 0;
    std::vector<double> E(N);
    diagonaliseByWangBlocks(*sw, J, E.data(), ierr);
    ASSERT_EQ(ierr, 0);

    // the whole block with the general solver
    std::vector<double> a(static_cast<std::size_t>(N) * N), d(N), e(N);
    a = h;
    diagonaliseRealSymmetric(N, N, a.data(), d.data(), e.data(), ierr);
    ASSERT_EQ(ierr, 0);
    sortEigenpairs(d.data(), a.data(), N, N);
    for (int l = 0; l < N; ++l) {
      EXPECT_NEAR(E[l], d[l], 1e-12 * (1.0 + std::fabs(d[l]))) << "J " << J << " level " << l;
      if (l > 0) {
        EXPECT_LE(E[l - 1], E[l]);
      }
      // H v = E v, |v| = 1, and v(K) = +-v(-K)
      const double* v = &sw->H[l * ld];
      double norm = 0.0, worst = 0.0, parity = 0.0;
      for (int r = 0; r < N; ++r) {
        double hv = 0.0;
        for (int c = 0; c < N; ++c) hv += h[r + c * N] * v[c];
        worst = std::max(worst, std::fabs(hv - E[l] * v[r]));
        norm += v[r] * v[r];
        parity = std::max(parity, std::fabs(std::fabs(v[r]) - std::fabs(v[N - 1 - r])));
      }
      EXPECT_NEAR(norm, 1.0, 1e-13);
      EXPECT_LT(worst, 1e-11 * (1.0 + std::fabs(E[l])));
      EXPECT_LT(parity, 1e-14);
    }
  }
  // a term that breaks the symmetry sends the block to the whole solver
  ParamSets par;
  par(par::P_z, 1) = 0.1;
  EXPECT_FALSE(hasWangSymmetry(*sw, ConstParamView{&par(1, 1)}));
}

} // namespace ruvo
