// The rotor-term operator: Hellmann-Feynman derivatives against finite
// differences and against the whole operator applied, Hermiticity of the
// torsional-overlap coupling, limits.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "core/state.h"
#include "core/stop.h"
#include "hamiltonian/block.h"
#include "hamiltonian/rotor_terms.h"

namespace ruvo {
namespace {

using cplx = std::complex<double>;

struct Rig {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<SweepWork> sw = std::make_unique<SweepWork>();
  ParamSets ps;
  FitFlags flags;
  FitModel fm;
  std::ostringstream out, err;
  Rig() {
    rs->allocate();
    sw->allocate();
    rs->io.out = &out;
    rs->io.err = &err;
    sw->blk.nvv = 1;
    sw->blk.ntop = 0;
  }
  ConstParamView par() const { return ps.set(1); }
  void block(int J, int F2) {
    solveBlock(*rs, *sw, J, 0, F2, 1, par(), std::as_const(flags).set(1), fm, 0);
  }
  // The block basis of product states 1..nvv of one top, without a calculation.
  void basis(int J, int nvv) {
    sw->blk.d = 2 * J + 1;
    sw->blk.nvv = nvv;
    sw->blk.N = nvv * (2 * J + 1);
    for (int i = 1; i <= nvv; ++i)
      for (int K = -J; K <= J; ++K) {
        BasisRow& row = sw->basis[(i - 1) * (2 * J + 1) + K + J + 1];
        row.K = K;
        row.v[1] = i;
      }
  }
  // The full operator matrix M(r, c) = (H e_c)_r from its action on unit vectors.
  std::vector<cplx> operatorMatrix(int J, int S, int F2) {
    const int N = sw->blk.N;
    std::vector<cplx> m(std::size_t(N) * N);
    std::vector<double> xr(N), xi(N), yr(N), yi(N);
    for (int c = 0; c < N; ++c) {
      std::fill(yr.begin(), yr.end(), 0.0);
      std::fill(yi.begin(), yi.end(), 0.0);
      xr.assign(N, 0.0);
      xr[c] = 1.0;
      applyRotorHamiltonian(*rs, *sw, J, S, F2, par(), xr.data(), xi.data(), yr.data(), yi.data());
      for (int r = 0; r < N; ++r) m[r + std::size_t(c) * N] = cplx(yr[r], yi[r]);
    }
    return m;
  }
};

// A molecule with every rotor term present (GHz).
void everyTerm(ParamView p) {
  p(par::BJ) = 3.6, p(par::BK) = 6.1, p(par::Bm) = 0.45;
  p(par::DJ) = 1.1e-6, p(par::DJK) = -4.0e-6, p(par::DK) = 2.3e-5, p(par::dj) = 3.0e-7,
  p(par::dk) = 2.5e-6;
  p(par::H_J) = 1e-11, p(par::HJK) = -2e-10, p(par::HKJ) = 3e-10, p(par::H_K) = 4e-9;
  p(par::h_j) = 5e-12, p(par::hjk) = 2e-11, p(par::h_k) = 7e-10;
  p(par::chi_z) = -0.07, p(par::chi_m) = 0.03, p(par::chi_xy) = 0.011, p(par::chi_xz) = 0.013,
  p(par::chi_yz) = -0.009;
  p(par::Cp) = 2e-5, p(par::C_z) = -3e-5, p(par::Cm) = 1e-5;
  p(par::P_x) = 0.002, p(par::P_y) = -0.0015, p(par::P_z) = 0.001;
}

} // namespace

TEST(RotorTerms, HellmannFeynmanDerivativesMatchCentralDifferences) {
  for (int reduct = 0; reduct <= 2; ++reduct) {
    Rig rig;
    rig.rs->ctl.reduct = reduct;
    rig.rs->ctl.spin = 3; // I = 3/2
    everyTerm(rig.ps.set(1));
    const int J = 4, F2 = 9;
    rig.block(J, F2);
    const int N = rig.sw->blk.N;
    const std::vector<double> base(rig.sw->E.begin(), rig.sw->E.begin() + N);
    // analytic derivatives of every level for every rotor parameter
    for (int p = 1; p <= 32; ++p) rig.flags(p, 1) = 1;
    std::vector<std::array<double, 33>> analytic(N);
    recordRotorParameterOperators(*rig.rs, *rig.sw, J, 0, F2, std::as_const(rig.flags).set(1));
    for (int l = 0; l < N; ++l) {
      std::vector<double> vr(N), vi(N);
      for (int r = 0; r < N; ++r) {
        vr[r] = rig.sw->Zr[r + l * DIMTOT];
        vi[r] = rig.sw->Zi[r + l * DIMTOT];
      }
      rotorParameterDerivatives(*rig.sw, vr.data(), vi.data(), std::as_const(rig.flags).set(1),
                                analytic[l].data());
    }
    for (int p = 1; p <= 32; ++p) {
      if (p == par::F12 || p == par::Vss || p == par::Vcc || p == par::mu_x || p == par::mu_y ||
          p == par::mu_z) {
        for (int l = 0; l < N; ++l) EXPECT_EQ(analytic[l][p], 0.0) << "place " << p;
        continue;
      }
      const double v0 = rig.ps(p, 1);
      // a step that moves every level by at most 1e-5 GHz
      double slope = 1.0;
      for (int l = 0; l < N; ++l) slope = std::max(slope, std::fabs(analytic[l][p]));
      const double h = 1e-5 / slope;
      rig.ps(p, 1) = v0 + h;
      rig.block(J, F2);
      const std::vector<double> up(rig.sw->E.begin(), rig.sw->E.begin() + N);
      rig.ps(p, 1) = v0 - h;
      rig.block(J, F2);
      const std::vector<double> dn(rig.sw->E.begin(), rig.sw->E.begin() + N);
      rig.ps(p, 1) = v0;
      for (int l = 0; l < N; ++l) {
        const double fd = (up[l] - dn[l]) / (2 * h);
        // rounding of the level energies limits the difference quotient to
        // about 1e-7 of the largest slope of the parameter
        EXPECT_NEAR(analytic[l][p], fd, 1e-6 * slope)
            << "reduct " << reduct << " place " << p << " level " << l;
      }
    }
  }
}

// The elements recorded once per block give each level the derivative that
// applying the parameter's whole operator gives, bit for bit: complex levels
// (every term, hyperfine) and real ones (a plain asymmetric rotor).
TEST(RotorTerms, RecordedOperatorsGiveTheAppliedOperatorsDerivatives) {
  for (const bool complexLevels : {true, false}) {
    Rig rig;
    rig.rs->ctl.spin = complexLevels ? 2 : 0;
    if (complexLevels)
      everyTerm(rig.ps.set(1));
    else
      rig.ps(par::BJ, 1) = 3.0, rig.ps(par::BK, 1) = 5.0, rig.ps(par::Bm, 1) = 0.7,
                      rig.ps(par::dj, 1) = 2e-6;
    const int J = 5, F2 = complexLevels ? 11 : -1;
    rig.block(J, F2);
    const int N = rig.sw->blk.N;
    for (int p = 1; p <= 32; ++p) rig.flags(p, 1) = p % 3 != 0 ? 1 : 0;
    recordRotorParameterOperators(*rig.rs, *rig.sw, J, 0, F2, std::as_const(rig.flags).set(1));
    bool anyImaginary = false;
    for (int l = 0; l < N; ++l) {
      std::vector<double> vr(N), vi(N), yr(N), yi(N);
      for (int r = 0; r < N; ++r) {
        vr[r] = rig.sw->Zr[r + l * DIMTOT];
        vi[r] = rig.sw->Zi[r + l * DIMTOT];
        anyImaginary = anyImaginary || vi[r] != 0.0;
      }
      std::array<double, 33> recorded{};
      rotorParameterDerivatives(*rig.sw, vr.data(), vi.data(), std::as_const(rig.flags).set(1),
                                recorded.data());
      for (int p = 1; p <= 32; ++p) {
        ParamSets unit{};
        unit(p, 1) = rig.flags(p, 1);
        std::fill(yr.begin(), yr.end(), 0.0);
        std::fill(yi.begin(), yi.end(), 0.0);
        applyRotorHamiltonian(*rig.rs, *rig.sw, J, 0, F2, std::as_const(unit).set(1), vr.data(),
                              vi.data(), yr.data(), yi.data());
        double applied = 0.0;
        for (int c = 0; c < N; ++c) applied += yr[c] * vr[c] + yi[c] * vi[c];
        const double expected = rig.flags(p, 1) != 0 ? applied : 0.0;
        EXPECT_EQ(recorded[p], expected) << complexLevels << " place " << p << " level " << l;
        EXPECT_EQ(std::signbit(recorded[p]), std::signbit(expected)) << p << " level " << l;
      }
    }
    EXPECT_EQ(anyImaginary, complexLevels);
    // the rigid rotor's operators keep the parity of K and are held in two
    // runs, of which a Wang-block level skips one
    bool split = false;
    for (int p = 1; p <= 32; ++p) split = split || rig.sw->rotorOpsOddK[p] >= 0;
    EXPECT_TRUE(split || complexLevels);
  }
}

TEST(RotorTerms, DerivativesOfThePlainRigidRotor) {
  Rig rig;
  rig.ps(par::BJ, 1) = 3.0, rig.ps(par::BK, 1) = 5.0, rig.ps(par::Bm, 1) = 0.7;
  rig.flags(par::BJ, 1) = rig.flags(par::BK, 1) = 1;
  const int J = 7;
  rig.block(J, -1);
  const int N = rig.sw->blk.N;
  recordRotorParameterOperators(*rig.rs, *rig.sw, J, 0, -1, std::as_const(rig.flags).set(1));
  for (int l = 0; l < N; ++l) {
    std::array<double, 33> dE{};
    double k2 = 0;
    for (int r = 0; r < N; ++r) {
      const double K = r - J, z = rig.sw->Zr[r + l * DIMTOT];
      k2 += K * K * z * z;
    }
    rotorParameterDerivatives(*rig.sw, &rig.sw->Zr[l * DIMTOT], &rig.sw->Zi[l * DIMTOT],
                              std::as_const(rig.flags).set(1), dE.data());
    EXPECT_NEAR(dE[par::BJ], J * (J + 1.0), 1e-10);
    EXPECT_NEAR(dE[par::BK], k2, 1e-10);
    EXPECT_EQ(dE[par::Bm], 0.0); // not flagged
  }
}

TEST(RotorTerms, OverlapCouplingOfProductStatesIsHermitian) {
  // One top in two kept states.  The overlaps obey <v,K|v',K'> = <v',K'|v,K>
  // but are not symmetric in (v, v') alone, so giving the two triangles
  // factors with the K values exchanged would break Hermiticity.
  for (int nvv : {1, 2}) {
    Rig rig;
    rig.rs->ctl.spin = 2;
    everyTerm(rig.ps.set(1));
    rig.rs->species.nsym = 1;
    rig.rs->species.sigma[1][1] = 0;
    rig.sw->blk.ntop = 1;
    rig.sw->blk.woods = 32;
    rig.sw->blk.firstV[1] = 1;
    rig.sw->blk.nV[1] = nvv;
    const int J = 5, F2 = 10;
    auto overlap = [](int K, int Kp, int v, int vp) {
      return (v == vp ? 0.98 : 0.12) + 0.01 * (v - vp) * (K - Kp) + 0.002 * (K + Kp) * (v + vp);
    };
    for (int K = -J; K <= J; ++K)
      for (int Kp = -J; Kp <= J; ++Kp)
        for (int v = 1; v <= nvv; ++v)
          for (int vp = 1; vp <= nvv; ++vp)
            rig.sw->tors.T(K, Kp, v, vp, 0, 1) = overlap(K, Kp, v, vp);
    rig.basis(J, nvv);
    const int N = rig.sw->blk.N;
    const auto m = rig.operatorMatrix(J, 1, F2);
    for (int r = 0; r < N; ++r)
      for (int c = 0; c < N; ++c) {
        const cplx a = m[r + std::size_t(c) * N], b = m[c + std::size_t(r) * N];
        EXPECT_NEAR(std::abs(a - std::conj(b)), 0.0, 1e-14) << r << "," << c;
      }
    // the P_x Jx element between |K,v> and |K+1,v'> carries <v,K|v',K+1>
    Rig px;
    px.ps(par::P_x, 1) = 1.0;
    px.rs->species = rig.rs->species;
    px.sw->blk = rig.sw->blk;
    for (int K = -J; K <= J; ++K)
      for (int Kp = -J; Kp <= J; ++Kp)
        for (int v = 1; v <= nvv; ++v)
          for (int vp = 1; vp <= nvv; ++vp)
            px.sw->tors.T(K, Kp, v, vp, 0, 1) = overlap(K, Kp, v, vp);
    px.basis(J, nvv);
    const auto mx = px.operatorMatrix(J, 1, -1);
    const double P = J * (J + 1.0);
    for (int i = 1; i <= nvv; ++i)
      for (int j = 1; j <= nvv; ++j)
        for (int K = -J; K < J; ++K) {
          const int r = (i - 1) * (2 * J + 1) + K + J, c = (j - 1) * (2 * J + 1) + K + 1 + J;
          const double expect = 0.5 * std::sqrt(P - K * (K + 1.0)) * overlap(K, K + 1, i, j);
          EXPECT_NEAR(mx[r + std::size_t(c) * N].real(), expect, 1e-14);
          EXPECT_NEAR(mx[c + std::size_t(r) * N].real(), expect, 1e-14);
        }
  }
}

TEST(RotorTerms, HyperfineFactorsAtJZeroAndSpinOneHalf) {
  // J = 0: only the diagonal acts; the spin-rotation factor is F(F+1) - I(I+1)
  Rig rig;
  rig.ps(par::BJ, 1) = 3.0, rig.ps(par::chi_z, 1) = 0.5, rig.ps(par::Cp, 1) = 0.2,
                  rig.ps(par::Bm, 1) = 0.4;
  rig.rs->ctl.spin = 2; // I = 1, F = 1 at J = 0
  rig.block(0, 2);
  EXPECT_NEAR(rig.sw->E[0], 0.0, 1e-15); // C_F = 1*2 - 1*2 = 0, no quadrupole
  // 2F < 0: neither quadrupole nor spin-rotation
  rig.block(2, -1);
  std::vector<double> noHfs(rig.sw->E.begin(), rig.sw->E.begin() + 5);
  Rig plain;
  plain.ps(par::BJ, 1) = 3.0, plain.ps(par::Bm, 1) = 0.4;
  plain.block(2, -1);
  for (int l = 0; l < 5; ++l) EXPECT_NEAR(noHfs[l], plain.sw->E[l], 1e-14);
  // I = 1/2: spin-rotation shifts the levels, the quadrupole does not
  Rig half;
  half.ps(par::BJ, 1) = 3.0, half.ps(par::Bm, 1) = 0.4, half.ps(par::chi_z, 1) = 0.5;
  half.rs->ctl.spin = 1;
  half.block(2, 5);
  for (int l = 0; l < 5; ++l) EXPECT_NEAR(half.sw->E[l], plain.sw->E[l], 1e-14);
  half.ps(par::C_z, 1) = 0.01;
  half.block(2, 5);
  double shift = 0;
  for (int l = 0; l < 5; ++l) shift += half.sw->E[l] - plain.sw->E[l];
  // sum over K of 1/2 C_z C_F K^2/P with C_F = F(F+1) - I(I+1) - P = J at F = J + 1/2
  EXPECT_NEAR(shift, 0.5 * 0.01 * 2.0 * (1 + 4) * 2 / 6.0, 1e-13);
}

TEST(RotorTerms, DimensionStop) {
  Rig rig;
  rig.sw->blk.N = DIMTOT + 1;
  std::vector<double> x(DIMTOT + 1), y(DIMTOT + 1);
  try {
    applyRotorHamiltonian(*rig.rs, *rig.sw, 1, 0, -1, rig.par(), x.data(), x.data(), y.data(),
                          y.data());
    FAIL() << "no stop";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message, "Dimension Error in HMULTHRR");
  }
}

} // namespace ruvo
