// One-top torsional problem: free-rotor and high-barrier limits, the
// harmonic limit of the fundamental, the phase rule, the labels, the
// operator elements and every size stop.
#include <gtest/gtest.h>
#include <memory>

#include <algorithm>
#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "core/stop.h"
#include "torsion/torsional_matrices.h"

namespace ruvo {
namespace {

void expectStop(const std::function<void()>& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no stop, expected \"" << message << "\"";
  } catch (const RunEnd& e) {
    EXPECT_TRUE(e.isStop);
    EXPECT_EQ(e.message, message);
  }
}

struct Problem {
  std::vector<double> z = std::vector<double>(static_cast<std::size_t>(DIMTOT) * DIMTOT);
  std::ostringstream err;
  std::unique_ptr<TorsResult> resp = std::make_unique<TorsResult>();
  TorsResult& res = *resp;
  void solve(int sigma, const TorsParams& p, int K, int M, int firstV, int nV, int nfold = 3) {
    solveOneTopTorsion(nfold, sigma, z.data(), res, p, K, M, firstV, nV);
  }
  // all eigenvectors of the last solution (columns of z)
  double at(int k, int col) const { return z[k + static_cast<std::size_t>(col) * DIMTOT]; }
};

TEST(TorsionalMatrices, ZeroBarrierGivesFreeRotorStates) {
  // Without a barrier the free-rotor functions are the eigenstates and the
  // energies are F (m - rho K)^2.
  const TorsParams p{5.3, 0.0, 0.0, 0.31};
  for (int sigma : {-1, 0, 1})
    for (int K : {-4, 0, 3}) {
      Problem pr;
      const int M = 6;
      pr.solve(sigma, p, K, M, 1, 3);
      std::vector<std::pair<double, int>> levels;
      for (int k = 0; k < 2 * M + 1; ++k) {
        const int m = sigma + 3 * (k - M);
        levels.push_back({p.F * (m - p.rho * K) * (m - p.rho * K), m});
      }
      std::sort(levels.begin(), levels.end());
      for (int v = 0; v < 3; ++v) {
        EXPECT_NEAR(pr.res.E[v], levels[v].first, 1e-10) << sigma << " " << K;
        // a unit vector: one coefficient of magnitude 1, labelled by its m
        // (members of a degenerate pair m, -m may come in either order)
        double largest = 0.0, rest = 0.0;
        int at = 0;
        for (int k = 0; k < 2 * M + 1; ++k) {
          const double c = std::fabs(pr.res.vec[v][k]);
          if (c > largest) largest = c, at = k;
          rest += c * c;
        }
        EXPECT_NEAR(largest, 1.0, 1e-12);
        EXPECT_NEAR(rest, 1.0, 1e-12);
        const int m = sigma + 3 * (at - M);
        EXPECT_EQ(pr.res.label[v], m);
        EXPECT_NEAR(p.F * (m - p.rho * K) * (m - p.rho * K), levels[v].first, 1e-10);
      }
      // the lowest state is made positive
      EXPECT_NEAR(*std::max_element(pr.res.vec[0], pr.res.vec[0] + DIMM), 1.0, 1e-12);
    }
}

TEST(TorsionalMatrices, HighBarrierClosesTheAESplitting) {
  // Tunnelling through the barrier splits the A (sigma = 0) and E
  // (sigma = +-1) components of each torsional level; the splitting
  // vanishes as the barrier grows.
  const double F = 158.0;
  double previous = 1e30;
  for (double V : {2000.0, 8000.0, 30000.0, 120000.0}) {
    const TorsParams p{F, V, 0.0, 0.0};
    Problem a, e;
    a.solve(0, p, 0, 30, 1, 1);
    e.solve(1, p, 0, 30, 1, 1);
    const double split = std::fabs(e.res.E[0] - a.res.E[0]);
    EXPECT_LT(split, previous);
    previous = split;
  }
  EXPECT_LT(previous, 1e-6);
  // sigma = +1 and -1 are degenerate at K = 0
  const TorsParams p{F, 3000.0, 0.0, 0.0};
  Problem plus, minus;
  plus.solve(1, p, 0, 20, 1, 3);
  minus.solve(-1, p, 0, 20, 1, 3);
  for (int v = 0; v < 3; ++v) EXPECT_NEAR(plus.res.E[v], minus.res.E[v], 1e-9);
}

TEST(TorsionalMatrices, HarmonicLimitOfTheFundamental) {
  // Near the bottom of the well V/2 (1 - cos n alpha) = V n^2 alpha^2/4 - ...,
  // and with the kinetic term F p^2 the oscillator frequency is
  // w = n sqrt(V F).  The quartic term of the cosine lowers the fundamental
  // by n^2 F / 4 in first order (<1|a^4|1> - <0|a^4|0> = 3 a0^4, a0^2 = 2F/w),
  // the next corrections being smaller by sqrt(F/V).
  const double F = 158.0;
  const double barriers[] = {50000.0, 200000.0, 800000.0};
  double residual[3];
  for (int i = 0; i < 3; ++i) {
    const double V = barriers[i];
    Problem pr;
    pr.solve(0, TorsParams{F, V, 0.0, 0.0}, 0, 35, 1, 2);
    const double fundamental = pr.res.E[1] - pr.res.E[0];
    const double w = 3.0 * std::sqrt(V * F);
    residual[i] = std::fabs(fundamental - (w - 9.0 * F / 4.0));
    EXPECT_LT(residual[i], 9.0 * F / 4.0 * std::sqrt(F / V)) << "V = " << V;
  }
  // the residual is of the next order: it halves when V grows fourfold
  EXPECT_NEAR(residual[1] / residual[0], 0.5, 0.05);
  EXPECT_NEAR(residual[2] / residual[1], 0.5, 0.05);
}

TEST(TorsionalMatrices, PhaseRule) {
  // The first state's first largest coefficient is positive; each further
  // state has a non-negative element s*<j-1|m|j> with the state below it.
  const TorsParams p{160.0, 1200.0, -40.0, 0.05};
  for (int sigma : {-1, 0, 1})
    for (int K : {-7, -1, 0, 2, 9}) {
      Problem pr;
      const int M = 8, size = 2 * M + 1;
      pr.solve(sigma, p, K, M, 2, 2); // states 1..3 phased
      int best = 0;
      const int search = (K == 0 && sigma == 0) ? size / 2 + 1 : size;
      for (int k = 1; k < search; ++k)
        if (std::fabs(pr.at(k, 0)) > std::fabs(pr.at(best, 0)) + 1e-12) best = k;
      EXPECT_GT(pr.at(best, 0), 0.0);
      const double s = sigma < 0 ? -1.0 : 1.0;
      for (int j = 1; j < 3; ++j) {
        double mElement = 0.0;
        for (int k = 0; k < size; ++k)
          mElement += pr.at(k, j - 1) * pr.at(k, j) * (sigma + 3 * (k - M));
        EXPECT_GE(s * mElement, 0.0) << sigma << " " << K << " " << j;
      }
      // the kept vectors are states 2 and 3
      for (int k = 0; k < size; ++k) {
        EXPECT_EQ(pr.res.vec[0][k], pr.at(k, 1));
        EXPECT_EQ(pr.res.vec[1][k], pr.at(k, 2));
      }
    }
}

TEST(TorsionalMatrices, MirrorSymmetryOfTheESpecies) {
  // (sigma = -1, K) is the mirror image m -> -m of (sigma = +1, -K); with
  // the phase rule the eigenvectors are mirror images too, so that the
  // integrals of the two E components agree.
  const TorsParams p{158.0, 900.0, 25.0, 0.06};
  for (int K : {0, 3, -5}) {
    Problem plus, minus;
    const int M = 10, size = 2 * M + 1;
    plus.solve(1, p, -K, M, 1, 3);
    minus.solve(-1, p, K, M, 1, 3);
    for (int v = 0; v < 3; ++v) {
      EXPECT_NEAR(minus.res.E[v], plus.res.E[v], 1e-9);
      EXPECT_EQ(minus.res.label[v], -plus.res.label[v]);
      for (int k = 0; k < size; ++k)
        EXPECT_NEAR(minus.res.vec[v][k], plus.res.vec[v][size - 1 - k], 1e-9);
    }
  }
}

TEST(TorsionalMatrices, LabelsOfEvenMixtures) {
  // At K = 0, sigma = 0 a small barrier splits the pair m = +-3 into the
  // in-phase and out-of-phase combinations, labelled +3 and -3.
  const TorsParams p{5.0, 0.8, 0.0, 0.0};
  Problem pr;
  pr.solve(0, p, 0, 5, 2, 2); // keep states 2 and 3
  const int M = 5;
  int plusCount = 0;
  for (int v = 0; v < 2; ++v) {
    const double up = pr.res.vec[v][M + 1], down = pr.res.vec[v][M - 1];
    EXPECT_NEAR(std::fabs(up), std::fabs(down), 1e-10);
    const int expected = (up > 0) == (down > 0) ? 3 : -3;
    EXPECT_EQ(pr.res.label[v], expected);
    plusCount += expected == 3;
  }
  EXPECT_EQ(plusCount, 1);
  // the ground state is labelled 0
  Problem g;
  g.solve(0, p, 0, 5, 1, 1);
  EXPECT_EQ(g.res.label[0], 0);
}

TEST(TorsionalMatrices, OperatorElementsAreEnergyDerivatives) {
  // Hellmann-Feynman: the diagonal elements of the operators of F, V1n,
  // V2n and rho are the derivatives of the energies by these parameters.
  const TorsParams p{158.0, 1100.0, -35.0, 0.052};
  const int K = 4, M = 12;
  Problem base;
  base.solve(1, p, K, M, 1, 3);
  auto energyWith = [&](int which, double h, int v) {
    TorsParams q = p;
    double* x[] = {&q.F, &q.V1n, &q.V2n, &q.rho};
    *x[which] += h;
    Problem pr;
    pr.solve(1, q, K, M, 1, 3);
    return pr.res.E[v];
  };
  const int opOf[] = {1, 2, 3, 4};
  const double step[] = {1e-4, 1e-3, 1e-3, 1e-7};
  for (int which = 0; which < 4; ++which)
    for (int v = 0; v < 3; ++v) {
      const double h = step[which];
      const double numeric = (energyWith(which, h, v) - energyWith(which, -h, v)) / (2 * h);
      const double analytic = base.res.ovv[opOf[which] - 1][v][v];
      EXPECT_NEAR(analytic, numeric, 1e-5 * std::max(1.0, std::fabs(numeric)))
          << "parameter " << which << " state " << v;
    }
}

TEST(TorsionalMatrices, OperatorElementsAgainstExplicitMatrices) {
  // <i|O|j> from explicitly written operator matrices in the free-rotor basis
  const TorsParams p{158.0, 700.0, 30.0, 0.07};
  const int sigma = -1, K = -3, M = 7, size = 2 * M + 1, firstV = 2, nV = 2;
  Problem pr;
  pr.solve(sigma, p, K, M, firstV, nV);
  std::vector<double> O(static_cast<std::size_t>(size) * size);
  for (int op = 1; op <= 7; ++op) {
    std::fill(O.begin(), O.end(), 0.0);
    auto o = [&](int r, int c) -> double& { return O[r + c * size]; };
    for (int k = 0; k < size; ++k) {
      const double pm = sigma + 3 * (k - M) - p.rho * K;
      switch (op) {
      case 1:
        o(k, k) = pm * pm;
        break;
      case 2:
        o(k, k) = 0.5;
        if (k + 1 < size) o(k, k + 1) = o(k + 1, k) = -0.25;
        break;
      case 3:
        o(k, k) = 0.5;
        if (k + 2 < size) o(k, k + 2) = o(k + 2, k) = -0.25;
        break;
      case 4:
        o(k, k) = -2.0 * p.F * K * pm;
        break;
      case 5:
        o(k, k) = pm;
        break;
      case 6:
        if (k + 1 < size) o(k, k + 1) = o(k + 1, k) = 0.5;
        break;
      case 7:
        if (k + 1 < size) {
          o(k, k + 1) = -0.5;
          o(k + 1, k) = 0.5;
        }
        break;
      }
    }
    for (int i = 0; i < nV; ++i)
      for (int j = 0; j < nV; ++j) {
        double element = 0.0;
        for (int r = 0; r < size; ++r)
          for (int c = 0; c < size; ++c)
            element += pr.at(r, firstV - 1 + i) * O[r + c * size] * pr.at(c, firstV - 1 + j);
        EXPECT_NEAR(pr.res.ovv[op - 1][i][j], element, 1e-9) << "op " << op;
        if (op == 5) {
          EXPECT_NEAR(pr.res.ovv[7][i][j], element * element, 1e-9);
        }
      }
  }
  // the Hamiltonian in the kept states is diagonal with the energies
  for (int i = 0; i < nV; ++i)
    for (int j = 0; j < nV; ++j) {
      const double h =
          p.F * pr.res.ovv[0][i][j] + p.V1n * pr.res.ovv[1][i][j] + p.V2n * pr.res.ovv[2][i][j];
      EXPECT_NEAR(h, i == j ? pr.res.E[i] : 0.0, 1e-8);
    }
}

TEST(TorsionalMatrices, BuildmClearsTheDerivativeCoefficients) {
  const TorsParams p{10.0, 50.0, 5.0, 0.1};
  OpCoef c;
  c.c = {10.0, 50.0, 5.0, 1.0, 1.0, 1.0, 1.0, 1.0};
  std::vector<double> h(static_cast<std::size_t>(DIMTOT) * DIMTOT, 7.0);
  int m[DIMTOT];
  buildTorsionalMatrix(3, 1, h.data(), p, c, m, 5, 2);
  for (int i = 3; i < 8; ++i) EXPECT_EQ(c.c[i], 0.0);
  EXPECT_EQ(m[0], 1 - 6);
  EXPECT_EQ(m[4], 1 + 6);
  for (int r = 0; r < 5; ++r)
    for (int col = 0; col < 5; ++col) EXPECT_EQ(h[r + col * DIMTOT], h[col + r * DIMTOT]);
  EXPECT_DOUBLE_EQ(h[0], 10.0 * (-5 - 0.2) * (-5 - 0.2) + 27.5);
  EXPECT_DOUBLE_EQ(h[1], -12.5);
  EXPECT_DOUBLE_EQ(h[2], -1.25);
  EXPECT_DOUBLE_EQ(h[3], 0.0);
}

TEST(TorsionalMatrices, SizeStops) {
  const TorsParams p{158.0, 1000.0, 0.0, 0.05};
  Problem pr;
  // nV = 3 from the first state needs 2M+1 >= 4
  pr.solve(0, p, 0, 2, 1, 3);
  expectStop([&] { pr.solve(0, p, 0, 1, 1, 3); }, "ERROR: size m < size v");
  expectStop([&] { pr.solve(0, p, 0, 2, 4, 2); }, "ERROR: size m < size v");
  pr.solve(0, p, 0, 2, 3, 2); // states 3 and 4 of a basis of 5
  // a top keeps at most DIMVKEEP states (vkeep), one fewer than the largest basis
  pr.solve(0, p, 0, 10, 1, 4);
  pr.solve(0, p, 0, 35, 1, DIMVKEEP);
  expectStop([&] { pr.solve(0, p, 0, 36, 1, DIMVKEEP + 1); }, "ERROR: sizev > DIMV in calcm");
  // the order of the checks: the basis test comes first
  expectStop([&] { pr.solve(0, p, 0, 1, 1, 4); }, "ERROR: size m < size v");
  pr.solve(0, p, 0, 35, 1, 3); // 2M+1 = 71 is accepted
  expectStop([&] { pr.solve(0, p, 0, 36, 1, 3); }, "ERROR: sizem > DIMM in calcm");
  // a barrier that is not a number never converges: the run stops, naming
  // the problem, the eigenvalue and the iteration limit
  expectStop(
      [&] {
        pr.solve(1, TorsParams{158.0, std::nan(""), 0.0, 0.05}, 2, 10, 1, 3);
      },
      "Error: HDIAG in CALCM: IERR =  1  2  1\n one-top torsional problem (K = 2, "
      "sigma = 1): eigenvalue 1 not converged within 30 QL iterations");

  std::vector<double> x(DIMTOT + 1), y(DIMTOT + 1), z(static_cast<std::size_t>(DIMTOT) * DIMTOT);
  int m[DIMTOT + 1] = {};
  int label[DIMV];
  static double ovv[NTOROP][DIMVKEEP][DIMVKEEP];
  OpCoef c;
  expectStop([&] { applyTorsionalOperator(x.data(), DIMTOT + 1, p, c, m, y.data(), 0); },
             "Dimension Error in MULTM");
  expectStop([&] { buildTorsionalMatrix(3, 0, z.data(), p, c, m, DIMTOT + 1, 0); },
             "Dimension Error in BUILDM");
  expectStop([&] { fixTorsionalPhases(0, z.data(), m, DIMTOT + 1, 1, 1, 0); },
             " ERROR: DIM 2M1 exceeded");
  expectStop([&] { labelTorsionalStates(0, z.data(), m, DIMTOT + 1, 1, 1, label, 0); },
             " ERROR: DIM 2M1 exceeded");
  expectStop([&] { torsionalOperatorElements(p, m, DIMTOT + 1, 1, 1, z.data(), ovv, 0); },
             "Dimension Error in CALOVV");
}

} // namespace
} // namespace ruvo
