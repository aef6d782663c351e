// Test-side model of molecules with internal tops: an independent torsional
// solver (LAPACK), Wigner d matrices from the closed formula, the block basis,
// a plain rigid-rotor term and dense diagonalisation of packed block matrices.
// The tests of the internal-rotation operators fill the sweep's tables with
// these, so that the operators can be checked against exact Hamiltonians built
// here from the physics.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <memory>
#include <sstream>
#include <vector>

#include "core/state.h"

extern "C" {
void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w,
            double* work, const int* lwork, int* info);
void zheev_(const char* jobz, const char* uplo, const int* n, std::complex<double>* a,
            const int* lda, double* w, std::complex<double>* work, const int* lwork, double* rwork,
            int* info);
}

namespace ruvo::toptest {

using cplx = std::complex<double>;

// Eigenvalues (ascending) and, with `vectors`, eigenvectors (columns, in a) of
// a dense real symmetric n x n matrix (column-major).
inline std::vector<double> symEig(std::vector<double>& a, int n, bool vectors = false) {
  std::vector<double> w(n);
  int lwork = -1, info = 0;
  double q = 0;
  const char* job = vectors ? "V" : "N";
  dsyev_(job, "L", &n, a.data(), &n, w.data(), &q, &lwork, &info);
  lwork = static_cast<int>(q);
  std::vector<double> work(lwork);
  dsyev_(job, "L", &n, a.data(), &n, w.data(), work.data(), &lwork, &info);
  return w;
}

inline std::vector<double> hermEig(std::vector<cplx> a, int n) {
  std::vector<double> w(n), rwork(3 * n);
  int lwork = -1, info = 0;
  cplx q;
  zheev_("N", "L", &n, a.data(), &n, w.data(), &q, &lwork, rwork.data(), &info);
  lwork = static_cast<int>(q.real());
  std::vector<cplx> work(lwork);
  zheev_("N", "L", &n, a.data(), &n, w.data(), work.data(), &lwork, rwork.data(), &info);
  return w;
}

// The block matrix of the packed Hermitian layout as a dense complex matrix.
inline std::vector<cplx> unpack(const ruvo::SweepWork& sw) {
  const int N = sw.blk.N;
  std::vector<cplx> a(std::size_t(N) * N);
  for (int c = 0; c < N; ++c)
    for (int r = c; r < N; ++r) {
      const double im = r > c ? sw.H[c + std::size_t(r) * sw.ld] : 0.0;
      a[r + c * N] = cplx(sw.H[r + std::size_t(c) * sw.ld], im);
      a[c + r * N] = cplx(sw.H[r + std::size_t(c) * sw.ld], -im);
    }
  return a;
}

inline std::vector<double> blockLevels(const ruvo::SweepWork& sw) {
  return hermEig(unpack(sw), sw.blk.N);
}

// Wigner d^J_{m',m}(beta) = <J m'| exp(-i beta J_y) |J m> (closed formula).
inline double wignerD(int J, int mp, int m, double beta) {
  auto lf = [](int n) { return std::lgamma(n + 1.0); };
  const double c = std::cos(beta / 2), s = std::sin(beta / 2);
  double sum = 0.0;
  for (int k = std::max(0, m - mp); k <= std::min(J + m, J - mp); ++k) {
    const double lg = 0.5 * (lf(J + mp) + lf(J - mp) + lf(J + m) + lf(J - m)) - lf(J + m - k) -
                      lf(k) - lf(mp - m + k) - lf(J - mp - k);
    const double sign = ((mp - m + k) % 2 == 0) ? 1.0 : -1.0;
    sum += sign * std::exp(lg) * std::pow(c, 2 * J + m - mp - 2 * k) * std::pow(s, mp - m + 2 * k);
  }
  return sum;
}

inline void fillRotation(ruvo::SweepWork& sw, int t, double beta, int J) {
  for (int K = -J; K <= J; ++K)
    for (int Kp = -J; Kp <= J; ++Kp) sw.rot[t].D(K, Kp) = wignerD(J, K, Kp, beta);
  sw.rot[t].mark = J;
}

struct Top {
  double F = 160.0, V1n = 0.0, V2n = 0.0, rho = 0.05; // GHz, GHz, GHz, 1
  int M = 10;                                         // basis half-width
  int nfold = 3;
};

// The free-rotor labels m_k = sigma + n (k - 1 - M) and the torsional
// Hamiltonian F (m - rho K)^2 + V1n/2 (1 - cos n alpha) + V2n/2 (1 - cos 2n alpha).
inline std::vector<int> freeRotorLabels(const Top& top, int sigma) {
  std::vector<int> m(2 * top.M + 1);
  for (int k = 0; k <= 2 * top.M; ++k) m[k] = sigma + top.nfold * (k - top.M);
  return m;
}

inline std::vector<double> torsionalHamiltonian(const Top& top, int sigma, int K) {
  const auto m = freeRotorLabels(top, sigma);
  const int n = static_cast<int>(m.size());
  std::vector<double> h(std::size_t(n) * n, 0.0);
  for (int k = 0; k < n; ++k) {
    const double x = m[k] - top.rho * K;
    h[k + k * n] = top.F * x * x + top.V1n / 2 + top.V2n / 2;
    if (k + 1 < n) h[k + (k + 1) * n] = h[k + 1 + k * n] = -top.V1n / 4;
    if (k + 2 < n) h[k + (k + 2) * n] = h[k + 2 + k * n] = -top.V2n / 4;
  }
  return h;
}

// Eigenstates of the torsional problem at K: energies and vectors (columns)
// with a fixed sign: the largest coefficient of the lowest state positive,
// successive states with a non-negative element of m.
struct TorsionalStates {
  std::vector<double> E, z; // z: n x n, column j = state j+1
  int n = 0;
};
inline TorsionalStates torsionalStates(const Top& top, int sigma, int K) {
  TorsionalStates s;
  s.n = 2 * top.M + 1;
  s.z = torsionalHamiltonian(top, sigma, K);
  s.E = symEig(s.z, s.n, true);
  const auto m = freeRotorLabels(top, sigma);
  auto flip = [&](int j) {
    for (int k = 0; k < s.n; ++k) s.z[k + j * s.n] = -s.z[k + j * s.n];
  };
  int big = 0;
  for (int k = 0; k < s.n; ++k)
    if (std::abs(s.z[k]) > std::abs(s.z[big]) + 1e-12) big = k;
  if (s.z[big] < 0) flip(0);
  for (int j = 1; j < s.n; ++j) {
    double x = 0;
    for (int k = 0; k < s.n; ++k) x += s.z[k + (j - 1) * s.n] * s.z[k + j * s.n] * m[k];
    if ((sigma < 0 ? -x : x) < 0) flip(j);
  }
  return s;
}

// Matrix of torsional operator op (1 (m - rho K)^2, 5 (m - rho K), 6 cos n alpha,
// 7 the sine term as a real antisymmetric matrix) in the free-rotor basis.
inline std::vector<double> torsionalOperator(const Top& top, int sigma, int K, int op) {
  const auto m = freeRotorLabels(top, sigma);
  const int n = static_cast<int>(m.size());
  std::vector<double> o(std::size_t(n) * n, 0.0);
  for (int k = 0; k < n; ++k) {
    const double x = m[k] - top.rho * K;
    if (op == 1) o[k + k * n] = x * x;
    if (op == 5) o[k + k * n] = x;
    if (k + 1 < n) {
      if (op == 6) o[k + (k + 1) * n] = o[k + 1 + k * n] = 0.5;
      if (op == 7) {
        o[k + (k + 1) * n] = -0.5; // row k, column k+1
        o[k + 1 + k * n] = 0.5;
      }
    }
  }
  return o;
}

// Fill the sweep's torsional tables of top t and symmetry sigma for
// K = -maxJ..maxJ with the kept states firstV..firstV+nV-1.
inline void fillTorsion(ruvo::SweepWork& sw, int t, int sigma, const Top& top, int maxJ, int firstV,
                        int nV) {
  const int n = 2 * top.M + 1;
  std::vector<std::vector<double>> vecs(2 * maxJ + 1);
  for (int K = -maxJ; K <= maxJ; ++K) {
    const auto st = torsionalStates(top, sigma, K);
    vecs[K + maxJ] = st.z;
    for (int v = 1; v <= nV; ++v) sw.tors.E(v, sigma, K, t) = st.E[firstV + v - 2];
    for (int op = 1; op <= 7; ++op) {
      const auto o = torsionalOperator(top, sigma, K, op);
      for (int v = 1; v <= nV; ++v)
        for (int vp = 1; vp <= nV; ++vp) {
          double x = 0;
          for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b)
              x += st.z[a + (firstV + v - 2) * n] * o[a + b * n] * st.z[b + (firstV + vp - 2) * n];
          sw.tors.O(op, v, vp, sigma, K, t) = x;
        }
    }
  }
  for (int K = -maxJ; K <= maxJ; ++K)
    for (int Kp = -maxJ; Kp <= maxJ; ++Kp)
      for (int v = 1; v <= nV; ++v)
        for (int vp = 1; vp <= nV; ++vp) {
          double x = 0;
          for (int a = 0; a < n; ++a)
            x += vecs[K + maxJ][a + (firstV + v - 2) * n] *
                 vecs[Kp + maxJ][a + (firstV + vp - 2) * n];
          sw.tors.T(K, Kp, v, vp, sigma, t) = K == Kp ? (v == vp ? 1.0 : 0.0) : x;
        }
}

// A run state and sweep work with one block described: J, tops in effect,
// product states states[i][t] (one-top state numbers, 1-based), windows
// firstV/nV per top.  Everything else zero; H zeroed.
struct Fixture {
  std::unique_ptr<ruvo::RunState> rs = std::make_unique<ruvo::RunState>();
  std::unique_ptr<ruvo::SweepWork> sw = std::make_unique<ruvo::SweepWork>();
  std::vector<double> params = std::vector<double>(NPAR, 0.0);
  std::ostringstream out, err; // listing and messages of the routines
  Fixture() {
    rs->allocate();
    sw->allocate();
    rs->io.out = &out;
    rs->io.err = &err;
  }
  ruvo::ConstParamView par() const { return {params.data()}; }
  double& p(int place) { return params[place - 1]; }
  void block(int J, int ntop, const std::vector<std::array<int, 4>>& states, int woods) {
    auto& b = sw->blk;
    b.ntop = ntop;
    b.woods = woods;
    b.d = 2 * J + 1;
    b.nvv = static_cast<int>(states.size());
    b.N = b.nvv * b.d;
    for (int t = 1; t <= ntop; ++t) {
      int lo = 99, hi = 0;
      for (const auto& s : states) {
        lo = std::min(lo, s[t]);
        hi = std::max(hi, s[t]);
      }
      b.firstV[t] = sw->tors.firstV[t] = lo;
      b.nV[t] = sw->tors.nV[t] = hi - lo + 1;
    }
    int p = 1;
    for (int i = 1; i <= b.nvv; ++i)
      for (int K = -J; K <= J; ++K, ++p) {
        sw->basis[p].K = K;
        for (int t = 1; t <= ntop; ++t) sw->basis[p].v[t] = states[i - 1][t];
      }
    for (int t = 1; t <= ntop; ++t)
      for (int i = 1; i <= b.nvv; ++i)
        for (int j = 1; j <= b.nvv; ++j) {
          int same = 1;
          for (int u = 1; u <= ntop; ++u)
            if (u != t && states[i - 1][u] != states[j - 1][u]) same = 0;
          sw->mask[t][i][j] = same;
        }
    std::fill(sw->H.begin(), sw->H.end(), 0.0);
  }
  void clearH() { std::fill(sw->H.begin(), sw->H.end(), 0.0); }
  // Rigid rotor BJ J^2 + BK Jz^2 + Bm (J+^2 + J-^2)/2, with the torsional
  // overlaps of all tops between product states (the projection of the
  // rotor onto the block basis) when `overlaps`.
  void addRigid(int J, int S, double BJ, double BK, double Bm, bool overlaps) {
    auto& s = *sw;
    const int N = s.blk.N;
    const double P = double(J) * (J + 1);
    for (int r = 1; r <= N; ++r)
      for (int c = 1; c <= r; ++c) {
        const int Kr = s.basis[r].K, Kc = s.basis[c].K;
        double f = 1.0;
        bool sameState = (r - 1) / s.blk.d == (c - 1) / s.blk.d;
        if (overlaps) {
          for (int t = 1; t <= s.blk.ntop; ++t)
            f *= s.tors.T(Kr, Kc, s.basis[r].v[t] - s.tors.firstV[t] + 1,
                          s.basis[c].v[t] - s.tors.firstV[t] + 1, rs->species.sigma[S][t], t);
        } else if (!sameState) {
          f = 0.0;
        }
        double x = 0.0;
        if (Kr == Kc && r == c) x = BJ * P + BK * Kr * Kr;
        const int lo = std::min(Kr, Kc);
        if (std::abs(Kr - Kc) == 2)
          x = Bm / 2 * std::sqrt((P - lo * (lo + 1.0)) * (P - (lo + 1.0) * (lo + 2.0))) * f;
        s.H[(r - 1) + std::size_t(c - 1) * s.ld] += x;
      }
  }
};

// ------------------------------------- the rotor and a tilted top in |J,K> |m>

struct Rotor {
  double BJ = 3.0, BK = 6.0, Bm = 0.4; // GHz
};

// Jz and Jx of |J,K>, K = -J..J (dense d x d).
inline void angularMomentum(int J, std::vector<double>& jz, std::vector<double>& jx) {
  const int d = 2 * J + 1;
  const double P = double(J) * (J + 1);
  jz.assign(std::size_t(d) * d, 0.0);
  jx.assign(std::size_t(d) * d, 0.0);
  for (int K = -J; K <= J; ++K) {
    jz[(K + J) * (d + 1)] = K;
    if (K < J) {
      const double e = 0.5 * std::sqrt(P - K * (K + 1.0)); // <K+1|Jx|K>
      jx[(K + J + 1) + (K + J) * d] = jx[(K + J) + (K + J + 1) * d] = e;
    }
  }
}

inline std::vector<double> matmul(const std::vector<double>& a, const std::vector<double>& b,
                                  int n) {
  std::vector<double> c(std::size_t(n) * n, 0.0);
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < n; ++k)
      for (int i = 0; i < n; ++i) c[i + j * n] += a[i + k * n] * b[k + j * n];
  return c;
}

// Rotor part in |J,K>: BJ P + BK K^2 diagonal, B-/2 <K+2|J+^2|K> off it.
inline std::vector<double> rotorMatrix(int J, const Rotor& r) {
  const int d = 2 * J + 1;
  const double P = double(J) * (J + 1);
  std::vector<double> h(std::size_t(d) * d, 0.0);
  for (int K = -J; K <= J; ++K) {
    h[(K + J) * (d + 1)] = r.BJ * P + r.BK * K * K;
    if (K + 2 <= J) {
      const double e = r.Bm / 2 * std::sqrt((P - K * (K + 1.0)) * (P - (K + 1.0) * (K + 2.0)));
      h[(K + J + 2) + (K + J) * d] = h[(K + J) + (K + J + 2) * d] = e;
    }
  }
  return h;
}

// Full H of one top tilted by beta and turned by gamma, in |J,K> |m>
// (index (K + J) * nm + k), complex: the axis component
//   N = exp(i dK gamma) (cos b Jz - sin b Jx)
// and F (m - rho N)^2 = F (m^2 - 2 rho m N + rho^2 N^2), V1n and V2n terms.
inline std::vector<cplx> fullTiltedTop(int J, const Rotor& r, const Top& top, int sigma,
                                       double beta, double gamma) {
  const int d = 2 * J + 1, nm = 2 * top.M + 1, n = d * nm;
  std::vector<double> jz, jx;
  angularMomentum(J, jz, jx);
  std::vector<cplx> axis(std::size_t(d) * d), axis2(std::size_t(d) * d);
  for (int a = 0; a < d; ++a)
    for (int b = 0; b < d; ++b)
      axis[a + b * d] = std::polar(1.0, (a - b) * gamma) *
                        (std::cos(beta) * jz[a + b * d] - std::sin(beta) * jx[a + b * d]);
  for (int a = 0; a < d; ++a)
    for (int b = 0; b < d; ++b)
      for (int c = 0; c < d; ++c) axis2[a + b * d] += axis[a + c * d] * axis[c + b * d];
  const auto hr = rotorMatrix(J, r);
  const auto m = freeRotorLabels(top, sigma);
  std::vector<cplx> h(std::size_t(n) * n);
  for (int a = 0; a < d; ++a)
    for (int b = 0; b < d; ++b)
      for (int k = 0; k < nm; ++k) {
        cplx x = hr[a + b * d] + top.F * (-2.0 * m[k] * top.rho * axis[a + b * d] +
                                          top.rho * top.rho * axis2[a + b * d]);
        if (a == b) x += top.F * double(m[k]) * m[k] + top.V1n / 2 + top.V2n / 2;
        h[(a * nm + k) + std::size_t(b * nm + k) * n] += x;
        if (a != b) continue;
        for (int q = 1; q <= 2; ++q)
          if (k + q < nm) {
            const double v = q == 1 ? -top.V1n / 4 : -top.V2n / 4;
            h[(a * nm + k) + std::size_t(a * nm + k + q) * n] += v;
            h[(a * nm + k + q) + std::size_t(a * nm + k) * n] += v;
          }
      }
  return h;
}

// The component N = exp(i dK gamma) (cos b Jz - sin b Jx) of J along the
// axis of a top tilted by beta and turned by gamma, in |J,K> (dense d x d).
inline std::vector<cplx> topAxisComponent(int J, double beta, double gamma,
                                          const std::vector<double>& jz,
                                          const std::vector<double>& jx) {
  const int d = 2 * J + 1;
  std::vector<cplx> N(std::size_t(d) * d);
  for (int a = 0; a < d; ++a)
    for (int b = 0; b < d; ++b)
      N[a + b * d] = std::polar(1.0, (a - b) * gamma) *
                     (std::cos(beta) * jz[a + b * d] - std::sin(beta) * jx[a + b * d]);
  return N;
}

// Full H of two tops, top t tilted by beta[t] and turned by gamma[t], in
// |J,K> |m_1> |m_2> (index ((K + J) n1 + k1) n2 + k2), complex: with
// N_t = exp(i dK gamma_t) (cos b_t Jz - sin b_t Jx) and a_t = m_t - rho_t N_t,
//   H = rotor + sum_t [F_t a_t^2 + V_t/2 (1 - cos 3 alpha_t)]
//       + F12 (a_1 a_2 + a_2 a_1) + Vss sin 3a_1 sin 3a_2 + Vcc cos 3a_1 cos 3a_2.
struct TiltedPair {
  Top top[2];
  int sigma[2] = {0, 0};
  double beta[2] = {0.0, 0.0}, gamma[2] = {0.0, 0.0};
  double F12 = 0.0, Vss = 0.0, Vcc = 0.0; // GHz
};
inline std::vector<cplx> fullTiltedTwoTops(int J, const Rotor& r, const TiltedPair& c) {
  const int d = 2 * J + 1, n1 = 2 * c.top[0].M + 1, n2 = 2 * c.top[1].M + 1, n = d * n1 * n2;
  std::vector<double> jz, jx;
  angularMomentum(J, jz, jx);
  std::vector<cplx> N[2], NN[2], anti(std::size_t(d) * d);
  for (int t = 0; t < 2; ++t) {
    N[t] = topAxisComponent(J, c.beta[t], c.gamma[t], jz, jx);
    NN[t].assign(std::size_t(d) * d, 0.0);
  }
  for (int a = 0; a < d; ++a)
    for (int b = 0; b < d; ++b)
      for (int k = 0; k < d; ++k) {
        for (int t = 0; t < 2; ++t) NN[t][a + b * d] += N[t][a + k * d] * N[t][k + b * d];
        anti[a + b * d] += N[0][a + k * d] * N[1][k + b * d] + N[1][a + k * d] * N[0][k + b * d];
      }
  const auto hr = rotorMatrix(J, r);
  const auto m1 = freeRotorLabels(c.top[0], c.sigma[0]), m2 = freeRotorLabels(c.top[1], c.sigma[1]);
  std::vector<cplx> h(std::size_t(n) * n);
  auto at = [&](int a, int k1, int k2, int b, int l1, int l2) -> cplx& {
    return h[((a * n1 + k1) * n2 + k2) + std::size_t((b * n1 + l1) * n2 + l2) * n];
  };
  const Top &t1 = c.top[0], &t2 = c.top[1];
  for (int a = 0; a < d; ++a)
    for (int k1 = 0; k1 < n1; ++k1)
      for (int k2 = 0; k2 < n2; ++k2) {
        const double x1 = m1[k1], x2 = m2[k2];
        for (int b = 0; b < d; ++b) {
          const std::size_t e = a + std::size_t(b) * d;
          cplx x = hr[e];
          x += t1.F * (-2.0 * t1.rho * x1 * N[0][e] + t1.rho * t1.rho * NN[0][e]);
          x += t2.F * (-2.0 * t2.rho * x2 * N[1][e] + t2.rho * t2.rho * NN[1][e]);
          x += c.F12 * (-2.0 * t2.rho * x1 * N[1][e] - 2.0 * t1.rho * x2 * N[0][e] +
                        t1.rho * t2.rho * anti[e]);
          if (a == b)
            x += t1.F * x1 * x1 + t2.F * x2 * x2 + 2.0 * c.F12 * x1 * x2 + t1.V1n / 2 + t2.V1n / 2;
          at(a, k1, k2, b, k1, k2) += x;
        }
        for (int q = -1; q <= 1; q += 2) {
          if (k1 + q >= 0 && k1 + q < n1) at(a, k1, k2, a, k1 + q, k2) += -t1.V1n / 4;
          if (k2 + q >= 0 && k2 + q < n2) at(a, k1, k2, a, k1, k2 + q) += -t2.V1n / 4;
          for (int q2 = -1; q2 <= 1; q2 += 2) {
            if (k1 + q < 0 || k1 + q >= n1 || k2 + q2 < 0 || k2 + q2 >= n2) continue;
            // sin 3a = -i S with S(k, k+1) = -1/2: Vss sin sin = -Vss S x S
            at(a, k1, k2, a, k1 + q, k2 + q2) += -c.Vss * (-0.5 * q) * (-0.5 * q2) + c.Vcc * 0.25;
          }
        }
      }
  return h;
}

// Full H of three tops in |J,K> |m_1> |m_2> |m_3> (index ((K + J) n1 + k1)
// n2 + k2) n3 + k3): each top as in fullTiltedTwoTops, and every pair of
// them coupled by the same F12 (a_s a_t + a_t a_s), Vss and Vcc.
struct TiltedTriple {
  Top top[3];
  int sigma[3] = {0, 0, 0};
  double beta[3] = {0.0, 0.0, 0.0}, gamma[3] = {0.0, 0.0, 0.0};
  double F12 = 0.0, Vss = 0.0, Vcc = 0.0; // GHz
};
inline std::vector<cplx> fullTiltedThreeTops(int J, const Rotor& r, const TiltedTriple& c) {
  const int d = 2 * J + 1;
  const int nt[3] = {2 * c.top[0].M + 1, 2 * c.top[1].M + 1, 2 * c.top[2].M + 1};
  const int nm = nt[0] * nt[1] * nt[2], n = d * nm;
  std::vector<double> jz, jx;
  angularMomentum(J, jz, jx);
  std::vector<cplx> N[3], NN[3], anti[3]; // anti[s + t - 1]: {N_s, N_t} of the pair s < t
  for (int t = 0; t < 3; ++t) {
    N[t] = topAxisComponent(J, c.beta[t], c.gamma[t], jz, jx);
    NN[t].assign(std::size_t(d) * d, 0.0);
    anti[t].assign(std::size_t(d) * d, 0.0);
  }
  for (int a = 0; a < d; ++a)
    for (int b = 0; b < d; ++b)
      for (int k = 0; k < d; ++k) {
        for (int t = 0; t < 3; ++t) NN[t][a + b * d] += N[t][a + k * d] * N[t][k + b * d];
        for (int s = 0; s < 3; ++s)
          for (int t = s + 1; t < 3; ++t)
            anti[s + t - 1][a + b * d] +=
                N[s][a + k * d] * N[t][k + b * d] + N[t][a + k * d] * N[s][k + b * d];
      }
  const auto hr = rotorMatrix(J, r);
  std::vector<int> m[3];
  for (int t = 0; t < 3; ++t) m[t] = freeRotorLabels(c.top[t], c.sigma[t]);
  std::vector<cplx> h(std::size_t(n) * n);
  auto row = [&](int a, const int* k) {
    return ((a * nt[0] + k[0]) * nt[1] + k[1]) * nt[2] + k[2];
  };
  auto at = [&](int i, int j) -> cplx& { return h[i + std::size_t(j) * n]; };
  int k[3];
  for (int a = 0; a < d; ++a)
    for (k[0] = 0; k[0] < nt[0]; ++k[0])
      for (k[1] = 0; k[1] < nt[1]; ++k[1])
        for (k[2] = 0; k[2] < nt[2]; ++k[2]) {
          const int i = row(a, k);
          double x[3];
          for (int t = 0; t < 3; ++t) x[t] = m[t][k[t]];
          for (int b = 0; b < d; ++b) {
            const std::size_t e = a + std::size_t(b) * d;
            cplx v = hr[e];
            for (int t = 0; t < 3; ++t) {
              const Top& tp = c.top[t];
              v += tp.F * (-2.0 * tp.rho * x[t] * N[t][e] + tp.rho * tp.rho * NN[t][e]);
              if (a == b) v += tp.F * x[t] * x[t] + tp.V1n / 2;
            }
            for (int s = 0; s < 3; ++s)
              for (int t = s + 1; t < 3; ++t) {
                const double rs = c.top[s].rho, rt = c.top[t].rho;
                v += c.F12 * (-2.0 * rt * x[s] * N[t][e] - 2.0 * rs * x[t] * N[s][e] +
                              rs * rt * anti[s + t - 1][e]);
                if (a == b) v += 2.0 * c.F12 * x[s] * x[t];
              }
            at(i, row(b, k)) += v;
          }
          for (int t = 0; t < 3; ++t)
            for (int q = -1; q <= 1; q += 2) {
              int kq[3] = {k[0], k[1], k[2]};
              kq[t] += q;
              if (kq[t] >= 0 && kq[t] < nt[t]) at(i, row(a, kq)) += -c.top[t].V1n / 4;
            }
          for (int s = 0; s < 3; ++s)
            for (int t = s + 1; t < 3; ++t)
              for (int q = -1; q <= 1; q += 2)
                for (int q2 = -1; q2 <= 1; q2 += 2) {
                  int kq[3] = {k[0], k[1], k[2]};
                  kq[s] += q;
                  kq[t] += q2;
                  if (kq[s] < 0 || kq[s] >= nt[s] || kq[t] < 0 || kq[t] >= nt[t]) continue;
                  at(i, row(a, kq)) += -c.Vss * (-0.5 * q) * (-0.5 * q2) + c.Vcc * 0.25;
                }
        }
  return h;
}

} // namespace ruvo::toptest
