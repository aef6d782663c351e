// Levels of rigid-rotor blocks against an independent exact calculation.
//
// The reference Hamiltonian is built here from angular-momentum operator
// algebra: the matrices of Jx, Jy, Jz in the |J,K> basis, the rotor as
// A Jz^2 + B Jx^2 + C Jy^2, the distortion operators of each reduction as
// polynomials of these matrices, the quadrupole coupling from the first-order
// (projection) formula with the full coupling tensor, spin-rotation from the
// diagonal tensor, and the linear terms; it is diagonalised with LAPACK.  No
// matrix-element formula of the program is used.
//
// Phase convention: the program's imaginary elements (P_y, chi_yz, chi_xy)
// are the complex conjugates of those of the standard Jy; the whole matrix is
// then the complex conjugate of the reference, which has the same levels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "core/state.h"
#include "core/stop.h"
#include "hamiltonian/block.h"

extern "C" void zheev_(const char* jobz, const char* uplo, const int* n, std::complex<double>* a,
                       const int* lda, double* w, std::complex<double>* work, const int* lwork,
                       double* rwork, int* info);

namespace ruvo {
namespace {

using cplx = std::complex<double>;

// Dense complex square matrix, column-major.
struct CMat {
  int n = 0;
  std::vector<cplx> a;
  explicit CMat(int n_ = 0) : n(n_), a(std::size_t(n_) * n_) {}
  cplx& operator()(int r, int c) { return a[r + std::size_t(c) * n]; }
  cplx operator()(int r, int c) const { return a[r + std::size_t(c) * n]; }
};
CMat operator*(const CMat& x, const CMat& y) {
  CMat z(x.n);
  for (int c = 0; c < x.n; ++c)
    for (int k = 0; k < x.n; ++k) {
      const cplx ykc = y(k, c);
      if (ykc == 0.0) continue;
      for (int r = 0; r < x.n; ++r) z(r, c) += x(r, k) * ykc;
    }
  return z;
}
CMat operator+(CMat x, const CMat& y) {
  for (std::size_t i = 0; i < x.a.size(); ++i) x.a[i] += y.a[i];
  return x;
}
CMat operator-(CMat x, const CMat& y) {
  for (std::size_t i = 0; i < x.a.size(); ++i) x.a[i] -= y.a[i];
  return x;
}
CMat operator*(cplx s, CMat x) {
  for (auto& v : x.a) v *= s;
  return x;
}
CMat unit(int n) {
  CMat u(n);
  for (int i = 0; i < n; ++i) u(i, i) = 1.0;
  return u;
}
CMat anti(const CMat& x, const CMat& y) { return x * y + y * x; }

std::vector<double> eigenvalues(CMat h) {
  int n = h.n, lwork = -1, info = 0;
  std::vector<double> w(n), rwork(3 * n + 3);
  cplx q;
  zheev_("N", "L", &n, h.a.data(), &n, w.data(), &q, &lwork, rwork.data(), &info);
  lwork = int(q.real());
  std::vector<cplx> work(lwork);
  zheev_("N", "L", &n, h.a.data(), &n, w.data(), work.data(), &lwork, rwork.data(), &info);
  EXPECT_EQ(info, 0);
  return w;
}

// Angular momentum of one J in the basis K = -J..J (index K + J).
struct AngMom {
  int J, d;
  CMat Jx, Jy, Jz, Jp, Jm, one;
  explicit AngMom(int J_) : J(J_), d(2 * J_ + 1), Jx(d), Jy(d), Jz(d), Jp(d), Jm(d), one(unit(d)) {
    const double P = double(J) * (J + 1);
    for (int K = -J; K <= J; ++K) {
      Jz(K + J, K + J) = K;
      if (K < J) Jp(K + 1 + J, K + J) = std::sqrt(P - double(K) * (K + 1)); // <K+1|J+|K>
      if (K > -J) Jm(K - 1 + J, K + J) = std::sqrt(P - double(K) * (K - 1));
    }
    Jx = 0.5 * (Jp + Jm);
    Jy = cplx(0, -0.5) * (Jp - Jm);
  }
  double P() const { return double(J) * (J + 1); }
};

// The molecule of a test, in spectroscopic constants (GHz).
struct Molecule {
  double A = 9.8, B = 4.1, C = 3.2;
  // quartic and sextic constants of the chosen reduction (program names)
  double DJ = 0, DJK = 0, DK = 0, dj = 0, dk = 0;
  double H_J = 0, HJK = 0, HKJ = 0, H_K = 0, h_j = 0, hjk = 0, h_k = 0;
  int reduct = 0;
  // quadrupole tensor (traceless), spin-rotation tensor (diagonal)
  double chi_z = 0, chi_m = 0, chi_xy = 0, chi_xz = 0, chi_yz = 0;
  double Cp = 0, C_z = 0, Cm = 0;
  double P_x = 0, P_y = 0, P_z = 0;
  int spin2 = 0; // 2I

  void toParams(ParamView p) const {
    p(par::BJ) = 0.5 * (B + C);
    p(par::BK) = A - 0.5 * (B + C);
    p(par::Bm) = 0.5 * (B - C);
    p(par::DJ) = DJ, p(par::DJK) = DJK, p(par::DK) = DK, p(par::dj) = dj, p(par::dk) = dk;
    p(par::H_J) = H_J, p(par::HJK) = HJK, p(par::HKJ) = HKJ, p(par::H_K) = H_K;
    p(par::h_j) = h_j, p(par::hjk) = hjk, p(par::h_k) = h_k;
    p(par::chi_z) = chi_z, p(par::chi_m) = chi_m, p(par::chi_xy) = chi_xy;
    p(par::chi_xz) = chi_xz, p(par::chi_yz) = chi_yz;
    p(par::Cp) = Cp, p(par::C_z) = C_z, p(par::Cm) = Cm;
    p(par::P_x) = P_x, p(par::P_y) = P_y, p(par::P_z) = P_z;
  }

  // The exact Hamiltonian of the block (J, 2F).
  CMat hamiltonian(int J, int F2) const {
    const AngMom L(J);
    const double P = L.P();
    const CMat J2 = P * L.one, Jz2 = L.Jz * L.Jz, Jz4 = Jz2 * Jz2, Jz6 = Jz4 * Jz2;
    const CMat J4 = J2 * J2, J6 = J4 * J2;
    const CMat Jxy = L.Jx * L.Jx - L.Jy * L.Jy; // (J+^2 + J-^2)/2
    const CMat Jp2m2 = L.Jp * L.Jp + L.Jm * L.Jm;
    const CMat Jp4m4 = L.Jp * L.Jp * L.Jp * L.Jp + L.Jm * L.Jm * L.Jm * L.Jm;
    const CMat Jp6m6 =
        L.Jp * L.Jp * L.Jp * L.Jp * L.Jp * L.Jp + L.Jm * L.Jm * L.Jm * L.Jm * L.Jm * L.Jm;

    CMat h = A * Jz2 + B * (L.Jx * L.Jx) + C * (L.Jy * L.Jy);
    h = h - DJ * J4 - DJK * (J2 * Jz2) - DK * Jz4 + H_J * J6 + HJK * (J4 * Jz2) + HKJ * (J2 * Jz4) +
        H_K * Jz6;
    if (reduct == 0) { // Watson A
      h = h - (2 * dj) * (J2 * Jxy) - dk * anti(Jz2, Jxy) + (2 * h_j) * (J4 * Jxy) +
          hjk * (J2 * anti(Jz2, Jxy)) + h_k * anti(Jz4, Jxy);
    } else if (reduct == 1) { // Watson S
      h = h + dj * (J2 * Jp2m2) + dk * Jp4m4 + h_j * (J4 * Jp2m2) + hjk * (J2 * Jp4m4) +
          h_k * Jp6m6;
    } else { // the third reduction
      const CMat Jxy2 = Jx2y2(L);
      h = h - (2 * dj) * (J2 * Jxy) + h_j * (J4 * Jxy) +
          (dk * L.one + (0.25 * hjk) * J2) * (Jp2m2 * Jp2m2 - 2.0 * (Jxy2 * Jxy2)) +
          (0.125 * h_k) * (Jp2m2 * Jp2m2 * Jp2m2);
    }
    h = h + P_x * L.Jx + P_y * L.Jy + P_z * L.Jz;

    if (spin2 != 0 && F2 >= 0) {
      const double I = 0.5 * spin2, F = 0.5 * F2;
      const double CF = F * (F + 1) - I * (I + 1) - P; // Casimir factor
      if (J > 0) {
        // spin-rotation, first order: C_F/(2 J(J+1)) sum_g C_gg J_g^2
        const double Cxx = Cp + Cm, Cyy = Cp - Cm, Czz = C_z;
        h = h + (CF / (2 * P)) * (Cxx * (L.Jx * L.Jx) + Cyy * (L.Jy * L.Jy) + Czz * Jz2);
      } else {
        h = h + (0.5 * Cp * CF) * L.one;
      }
      if (J > 0 && spin2 >= 2) {
        // quadrupole, first order: 2Y/(J(J+1)) sum_gh chi_gh J_g J_h
        const double Y = (0.75 * CF * (CF + 1) - I * (I + 1) * P) /
                         (2 * I * (2 * I - 1) * (2 * J - 1) * (2 * J + 3));
        const double cxx = 0.5 * (chi_m - chi_z), cyy = -0.5 * (chi_m + chi_z), czz = chi_z;
        CMat q = cxx * (L.Jx * L.Jx) + cyy * (L.Jy * L.Jy) + czz * Jz2 + chi_xy * anti(L.Jx, L.Jy) +
                 chi_xz * anti(L.Jx, L.Jz) + chi_yz * anti(L.Jy, L.Jz);
        h = h + (2 * Y / P) * q;
      }
    }
    return h;
  }
  static CMat Jx2y2(const AngMom& L) { return L.Jx * L.Jx + L.Jy * L.Jy; }
};

// A run state with one rigid block per call of `levels`.
struct BlockRun {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<SweepWork> sw = std::make_unique<SweepWork>();
  ParamSets ps;
  FitFlags flags;
  FitModel fm;
  std::ostringstream out, err;
  BlockRun() {
    rs->allocate();
    sw->allocate();
    rs->io.out = &out;
    rs->io.err = &err;
    sw->blk.nvv = 1;
    sw->blk.ntop = 0;
  }
  std::vector<double> levels(const Molecule& m, int J, int F2 = -1) {
    rs->ctl.reduct = m.reduct;
    rs->ctl.spin = m.spin2;
    m.toParams(ps.set(1));
    solveBlock(*rs, *sw, J, 0, F2, 1, std::as_const(ps).set(1), std::as_const(flags).set(1), fm, 0);
    return std::vector<double>(sw->E.begin(), sw->E.begin() + sw->blk.N);
  }
};

double maxDiff(const std::vector<double>& a, const std::vector<double>& b) {
  EXPECT_EQ(a.size(), b.size());
  double m = 0;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

constexpr double HZ = 1e-9; // 1 Hz in GHz

Molecule distorted(int reduct) {
  Molecule m;
  m.reduct = reduct;
  m.DJ = 1.1e-6, m.DJK = -4.3e-6, m.DK = 2.2e-5, m.dj = 3.1e-7, m.dk = 2.6e-6;
  m.H_J = 1.3e-12, m.HJK = -2.1e-11, m.HKJ = 3.0e-11, m.H_K = 4.4e-10;
  m.h_j = 5.0e-13, m.hjk = 2.0e-12, m.h_k = 7.0e-11;
  return m;
}

} // namespace

TEST(BlockLevels, AllReductionsAgreeWithOperatorAlgebraUpToJ60) {
  BlockRun run;
  for (int reduct = 0; reduct <= 2; ++reduct) {
    const Molecule m = distorted(reduct);
    for (int J : {0, 1, 2, 3, 7, 20, 41, 60}) {
      const auto got = run.levels(m, J);
      const auto ref = eigenvalues(m.hamiltonian(J, -1));
      EXPECT_LT(maxDiff(got, ref), HZ) << "reduct " << reduct << " J " << J;
    }
  }
}

TEST(BlockLevels, HyperfineBlocksAgreeWithFirstOrderCoupling) {
  BlockRun run;
  Molecule m = distorted(0);
  m.spin2 = 3; // I = 3/2
  m.chi_z = -0.07, m.chi_m = 0.031, m.chi_xz = 0.012;
  m.Cp = 2.1e-5, m.C_z = -3.3e-5, m.Cm = 1.2e-5;
  for (int J : {1, 2, 5, 30, 60}) {
    for (int F2 = std::abs(2 * J - 3); F2 <= 2 * J + 3; F2 += 2) {
      const auto got = run.levels(m, J, F2);
      const auto ref = eigenvalues(m.hamiltonian(J, F2));
      EXPECT_LT(maxDiff(got, ref), HZ) << "J " << J << " 2F " << F2;
    }
  }
  // I = 1/2: spin-rotation acts, the quadrupole does not
  m.spin2 = 1;
  for (int J : {1, 4}) {
    for (int F2 : {2 * J - 1, 2 * J + 1}) {
      const auto got = run.levels(m, J, F2);
      const auto ref = eigenvalues(m.hamiltonian(J, F2));
      EXPECT_LT(maxDiff(got, ref), HZ) << "J " << J << " 2F " << F2;
    }
  }
}

TEST(BlockLevels, ComplexBlocksAgreeWithOperatorAlgebra) {
  BlockRun run;
  for (int reduct : {0, 1}) {
    Molecule m = distorted(reduct);
    m.spin2 = 2; // I = 1
    m.chi_z = 0.05, m.chi_m = -0.02, m.chi_xy = 0.013, m.chi_xz = -0.008, m.chi_yz = 0.011;
    m.P_x = 0.0021, m.P_y = -0.0017, m.P_z = 0.0009;
    for (int J : {1, 3, 10, 60}) {
      for (int F2 = 2 * J - 2; F2 <= 2 * J + 2; F2 += 2) {
        const auto got = run.levels(m, J, F2);
        const auto ref = eigenvalues(m.hamiltonian(J, F2));
        EXPECT_LT(maxDiff(got, ref), HZ) << "J " << J << " 2F " << F2;
      }
    }
  }
}

TEST(BlockLevels, LinearTermPyAloneIsSolvedAsComplexBlock) {
  // P_y Jy has purely imaginary elements: a real solver would drop them.
  BlockRun run;
  Molecule m;
  const auto without = run.levels(m, 4);
  m.P_y = 0.35;
  const auto with = run.levels(m, 4);
  EXPECT_GT(maxDiff(with, without), 1e-3);
  EXPECT_LT(maxDiff(with, eigenvalues(m.hamiltonian(4, -1))), HZ);
  // the same shift along x gives the same levels for a rotation of pi/2
  // about z combined with the exchange of B and C
  Molecule mx;
  mx.B = m.C, mx.C = m.B, mx.P_x = 0.35;
  EXPECT_LT(maxDiff(run.levels(mx, 4), with), HZ);
}

TEST(BlockLevels, ClosedFormsOfLowJ) {
  BlockRun run;
  Molecule m; // A > B > C, rigid
  const double A = m.A, B = m.B, C = m.C;
  EXPECT_EQ(run.levels(m, 0).size(), 1u);
  EXPECT_NEAR(run.levels(m, 0)[0], 0.0, 1e-12);
  std::vector<double> j1 = {B + C, A + C, A + B};
  std::sort(j1.begin(), j1.end());
  EXPECT_LT(maxDiff(run.levels(m, 1), j1), 1e-12);
  const double root = 2 * std::sqrt((B - C) * (B - C) + (A - C) * (A - B));
  std::vector<double> j2 = {4 * A + B + C, A + 4 * B + C, A + B + 4 * C, 2 * (A + B + C) - root,
                            2 * (A + B + C) + root};
  std::sort(j2.begin(), j2.end());
  EXPECT_LT(maxDiff(run.levels(m, 2), j2), 1e-12);
}

TEST(BlockLevels, TraceOfTheBlockIsTheMeanRotationalEnergy) {
  // tr(Jg^2) = J(J+1)(2J+1)/3 for every axis; tr J^4 etc. follow from K sums
  BlockRun run;
  Molecule m = distorted(0);
  for (int J : {5, 33, 60}) {
    const auto e = run.levels(m, J);
    double sum = 0;
    for (double x : e) sum += x;
    const double P = double(J) * (J + 1);
    double trace = 0;
    for (int K = -J; K <= J; ++K) {
      const double K2 = double(K) * K;
      trace += (m.A - 0.5 * (m.B + m.C)) * K2 + 0.5 * (m.B + m.C) * P - m.DJ * P * P -
               m.DJK * P * K2 - m.DK * K2 * K2 + m.H_J * P * P * P + m.HJK * P * P * K2 +
               m.HKJ * P * K2 * K2 + m.H_K * K2 * K2 * K2;
    }
    EXPECT_NEAR(sum, trace, 1e-12 * std::fabs(trace) + 1e-9) << "J " << J;
  }
}

TEST(BlockLevels, SymmetricTopLimitKeepsKAsGoodQuantumNumber) {
  BlockRun run;
  Molecule m = distorted(0);
  m.B = m.C = 3.5; // prolate symmetric top: B- = 0
  m.dj = m.dk = m.h_j = m.hjk = m.h_k = 0;
  const int J = 12;
  const auto e = run.levels(m, J);
  const double P = double(J) * (J + 1);
  std::vector<double> closed;
  for (int K = -J; K <= J; ++K) {
    const double K2 = double(K) * K;
    closed.push_back(3.5 * P + (m.A - 3.5) * K2 - m.DJ * P * P - m.DJK * P * K2 - m.DK * K2 * K2 +
                     m.H_J * P * P * P + m.HJK * P * P * K2 + m.HKJ * P * K2 * K2 +
                     m.H_K * K2 * K2 * K2);
  }
  std::sort(closed.begin(), closed.end());
  EXPECT_LT(maxDiff(e, closed), HZ);
  // every level is labelled with its K: a pure |K> (quality 100) or a +-K
  // combination labelled by its sign (quality 1000)
  for (int l = 1; l <= run.sw->blk.N; ++l) {
    const auto& lab = run.sw->labels[l];
    const double K2 = double(lab[2]) * lab[2];
    const double expect = 3.5 * P + (m.A - 3.5) * K2 - m.DJ * P * P - m.DJK * P * K2 -
                          m.DK * K2 * K2 + m.H_J * P * P * P + m.HJK * P * P * K2 +
                          m.HKJ * P * K2 * K2 + m.H_K * K2 * K2 * K2;
    EXPECT_NEAR(run.sw->E[l - 1], expect, HZ) << "level " << l;
    EXPECT_TRUE(lab[12] == 100 || lab[12] == 1000) << "level " << l;
  }
}

TEST(BlockLevels, EigenvectorsBelongToTheirEigenvalues) {
  BlockRun run;
  Molecule m = distorted(1);
  m.spin2 = 2, m.chi_z = 0.05, m.chi_xy = 0.02, m.P_y = 0.01;
  const int J = 6, F2 = 12;
  run.levels(m, J, F2);
  const CMat h = m.hamiltonian(J, F2);
  const int N = run.sw->blk.N;
  for (int l = 0; l < N; ++l) {
    // the program's matrix is the complex conjugate of the reference
    double res = 0, norm = 0;
    for (int r = 0; r < N; ++r) {
      cplx hz = 0;
      for (int c = 0; c < N; ++c)
        hz += std::conj(h(r, c)) * cplx(run.sw->Zr[c + l * DIMTOT], run.sw->Zi[c + l * DIMTOT]);
      const cplx z(run.sw->Zr[r + l * DIMTOT], run.sw->Zi[r + l * DIMTOT]);
      res += std::norm(hz - run.sw->E[l] * z);
      norm += std::norm(z);
    }
    EXPECT_NEAR(norm, 1.0, 1e-12);
    EXPECT_LT(std::sqrt(res), 1e-9) << "level " << l;
  }
  for (int l = 1; l < N; ++l) EXPECT_LE(run.sw->E[l - 1], run.sw->E[l]);
}

TEST(BlockStops, RigidBlockWithSeveralTorsionalStates) {
  BlockRun run;
  run.sw->blk.nvv = 2;
  Molecule m;
  try {
    run.levels(m, 3);
    FAIL() << "no stop";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message, " size vv > 1 for rigid rotor!");
  }
}

TEST(BlockStops, TooLargeBlocks) {
  BlockRun run;
  Molecule m;
  // 2J+1 = 303 K values do not fit the K tables
  try {
    run.levels(m, 151);
    FAIL() << "no stop";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message, " ERROR: DIM 2J1 exceeded");
  }
}

TEST(BlockPrints, HeaderMatrixAndEigenvectors) {
  BlockRun run;
  run.rs->ctl.aprint = 1024 | 65536 | 32768;
  run.rs->detailPrint = 1;
  Molecule m;
  run.levels(m, 1);
  const std::string s = run.out.str();
  EXPECT_NE(s.find("starting with J,S,B,F Fit_stat=  1  0  1 -1  0\n"), std::string::npos) << s;
  EXPECT_NE(s.find("(0I2,A, 1I3)\n"), std::string::npos) << s;
  EXPECT_NE(s.find(" H_tot \n"), std::string::npos);
  EXPECT_NE(s.find(" Eigenvectors\n"), std::string::npos);
  EXPECT_NE(s.find(" Eigenvalues\n"), std::string::npos);
  // J = 1 of the rigid rotor: last row of the packed matrix holds the
  // B- coupling of K = -1 and +1 and the K = 1 diagonal
  const double BJ = 0.5 * (m.B + m.C), BK = m.A - BJ;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%10.5f%10.5f%10.5f\n", 0.5 * (m.B - m.C), 0.0, 2 * BJ + BK);
  EXPECT_NE(s.find(buf), std::string::npos) << s;
}

} // namespace ruvo

#include <filesystem>
#include <fstream>

#include "core/fortran_format.h"
#include "support/test_support.h"

namespace ruvo {

TEST(BlockPrints, InspectionFilesOfARealBlock) {
  test::ScopedWorkDir here("inspection");
  BlockRun run;
  run.rs->ctl.eval = 4;
  Molecule m;
  run.levels(m, 5);
  const int N = 11;
  const std::string hs = test::readFile("ruvohs0.j05");
  const std::string es = test::readFile("ruvoes0.j05");
  const std::string vs = test::readFile("ruvovs0.j05");
  // first records: N, J, S
  const std::string head = freeFmt({N, 5, 0});
  EXPECT_EQ(hs.substr(0, head.size()), head);
  EXPECT_EQ(es.substr(0, head.size()), head);
  EXPECT_EQ(vs.substr(0, head.size()), head);
  // one record per matrix row, one per eigenvalue
  EXPECT_EQ(std::count(hs.begin(), hs.end(), '\n'), 1 + N);
  EXPECT_EQ(std::count(vs.begin(), vs.end(), '\n'), 1 + N);
  EXPECT_EQ(std::count(es.begin(), es.end(), '\n'), 1 + N);
  // the lowest eigenvalue is the second record
  std::istringstream e(es);
  std::string line;
  std::getline(e, line);
  std::getline(e, line);
  EXPECT_NEAR(std::stod(line), run.sw->E[0], 1e-12);
  // the matrix rows hold the packed lower triangle: row K = -5 starts with its diagonal
  std::istringstream h(hs);
  std::getline(h, line);
  std::getline(h, line);
  const double BJ = 0.5 * (m.B + m.C), BK = m.A - BJ;
  EXPECT_NEAR(std::stod(line), 30 * BJ + 25 * BK, 1e-12);
  // no files of the top operators for a rigid block
  EXPECT_FALSE(std::filesystem::exists("ruvot10.j05"));
}

} // namespace ruvo

namespace ruvo {

TEST(BlockStops, SolverFailuresStopWithTheirCodes) {
  // a matrix with a NaN element never converges
  BlockRun run;
  Molecule m;
  m.A = std::nan("");
  try {
    run.levels(m, 1);
    FAIL() << "no stop";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message.substr(0, 15), "Error in hdiag ");
    EXPECT_EQ(e.message.size(), 20u);
  }
  m.P_y = 0.1; // the complex chain
  try {
    run.levels(m, 1);
    FAIL() << "no stop";
  } catch (const RunEnd& e) {
    EXPECT_EQ(e.message.substr(0, 14), "Error in tql2 ");
    EXPECT_EQ(e.message.size(), 19u);
  }
}

} // namespace ruvo
