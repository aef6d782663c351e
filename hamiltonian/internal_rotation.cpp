// Internal-rotation operators of the tops, rotated into the principal axes.
//
// Model.  The torsional problem of top t is solved in the top's own axis
// system (z' along the top axis, tilted by beta_t against a), where the
// one-top Hamiltonian F(p - rho J_z')^2 + V(alpha) is diagonal in the top-frame
// K''.  A basis function of the block is |J,K> |v_1,K> |v_2,K> ... with the
// torsional states of every top taken at the principal-axis K.  An operator
// A_t(K'') of the top, diagonal in K'', has in that basis the elements
//
//   O_t(K, v; K', v') = sum_K'' d^J_{K'',K} d^J_{K'',K'} <v,K| A_t(K'') |v',K'>,
//
// (O = d^T A d).  The torsional matrix element is approximated by one of
//   plain           A_t(K'')_{v v'}                          (states taken as
//                                                             independent of K)
//   expansion       sum_{u,u'} <v,K|u,K''> A_t(K'')_{u u'} <u',K''|v',K'>
//                   (projection onto the kept states at K''; woods bit 4 for
//                   the energies, bit 16 for the other operators)
//   overlap-scaled  A_t(K'')_{v v'} <v,K|v',K'>  (woods bit 64, energies,
//                   applied to the result of either form above)
// For beta = 0 the sum has the single term K'' = K = K' and the overlaps of
// equal K are the unit matrix, so all forms give the exact projection of the
// rotation-torsion Hamiltonian onto the kept torsional states.
//
// Product states.  An operator of one top acts as the unit operator on the
// other tops: its elements couple product states in which the other tops are
// in the same state (the coupling mask), or, with woods bit 8, carry the
// other tops' overlaps <v,K_p|v',K_q> between the two basis functions.  The
// top-top terms of a pair of tops likewise require the third top (three
// tops) to be in the same state in the two product states.
//
// Units: all energies and parameters in GHz; angles in radians.
#include "hamiltonian/internal_rotation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <string>

#include "core/fortran_format.h"
#include "core/stop.h"

namespace ruvo {
namespace {

// Symmetry number of top t in species S.
int sigmaOf(const RunState& rs, int S, int t) { return rs.species.sigma[S][t]; }

// Kept-window number (1..nV) of the state of top t at basis position p.
int localState(const SweepWork& sw, int p, int t) {
  return sw.basis[p].v[t] - sw.tors.firstV[t] + 1;
}

// Product torsional state (1..nvv) of basis position p.
int productState(const SweepWork& sw, int p) { return (p - 1) / sw.blk.d + 1; }

// Product over the tops other than t and t2 of the overlaps of their states
// at basis positions p and q, <v_u, K_p | v_u', K_q>.
double otherTopsOverlap(const RunState& rs, SweepWork& sw, int S, int p, int q, int t, int t2) {
  double w = 1.0;
  for (int u = 1; u <= sw.blk.ntop; ++u)
    if (u != t && u != t2)
      w *= sw.tors.T(sw.basis[p].K, sw.basis[q].K, localState(sw, p, u), localState(sw, q, u),
                     rs.species.sigma[S][u], u);
  return w;
}

// The third top of pair (t1, t2) must be in the same state in p and q:
// a two-top operator acts as the unit operator on the remaining top.
bool thirdTopAgrees(const SweepWork& sw, int t1, int t2, int p, int q) {
  for (int t = 1; t <= sw.blk.ntop; ++t)
    if (t != t1 && t != t2 && sw.basis[p].v[t] != sw.basis[q].v[t]) return false;
  return true;
}

// y += a1 x1 + a2 x2 over n elements, written in pairs so that the compiler
// can pack them into vector instructions (the inner loops of the rotations
// and of the operator products, bound by memory traffic).
inline void addScaled2(double* y, const double* x1, double a1, const double* x2, double a2, int n) {
  int k = 0;
  for (; k + 2 <= n; k += 2) {
    y[k] += a1 * x1[k] + a2 * x2[k];
    y[k + 1] += a1 * x1[k + 1] + a2 * x2[k + 1];
  }
  if (k < n) y[k] += a1 * x1[k] + a2 * x2[k];
}

// re += c1 x1 + c2 x2, im += s1 x1 + s2 x2: two real vectors times complex
// weights (pairs, as above).
inline void addScaledComplex2(double* re, double* im, const double* x1, double c1, double s1,
                              const double* x2, double c2, double s2, int n) {
  int k = 0;
  for (; k + 2 <= n; k += 2) {
    re[k] += c1 * x1[k] + c2 * x2[k];
    re[k + 1] += c1 * x1[k + 1] + c2 * x2[k + 1];
    im[k] += s1 * x1[k] + s2 * x2[k];
    im[k + 1] += s1 * x1[k + 1] + s2 * x2[k + 1];
  }
  if (k < n) {
    re[k] += c1 * x1[k] + c2 * x2[k];
    im[k] += s1 * x1[k] + s2 * x2[k];
  }
}

// One K'' term of the two-top products: the columns of O1 and O2 that are
// summed and their weights (a zero term repeats the columns with weight 0).
struct Factors {
  const double* col1 = nullptr;
  const double* col2 = nullptr;
  double wa = 0.0, wb = 0.0;
  Factors none() const { return {col1, col2, 0.0, 0.0}; }
};

// Phase factors exp(i dK gamma) for dK = -2J..2J, stored at dK + 2J.
struct PhaseTable {
  std::array<double, 4 * DIMJ + 1> c{}, s{};
  int off = 0;
  void fill(double gamma, int J) {
    if (J < 0 || J > DIMJ) stop(" ERROR: DIM 2J1 exceeded");
    off = 2 * J;
    for (int dK = -2 * J; dK <= 2 * J; ++dK) {
      c[dK + off] = std::cos(dK * gamma);
      s[dK + off] = std::sin(dK * gamma);
    }
  }
  double cosOf(int dK) const { return c[dK + off]; }
  double sinOf(int dK) const { return s[dK + off]; }
};

// <K+2| J+^2 |K> = sqrt[(P - K(K+1)) (P - (K+1)(K+2))], P = J(J+1).
double jPlus2(int J, int K) {
  const double P = double(J) * (J + 1);
  const double a = P - double(K) * (K + 1), b = P - double(K + 1) * (K + 2);
  return (a > 0.0 && b > 0.0) ? std::sqrt(a * b) : 0.0;
}

double gammaOf(ConstParamView par, int t) { return par(par::top(t, par::gamma)); }

// Adds re + i im to element (p, q), p >= q (1-based), of the packed Hermitian
// matrix (the imaginary part of a diagonal element is not stored).
void addPhased(SweepWork& sw, int p, int q, double re, double im) {
  sw.h(p - 1, q - 1) += re;
  if (p > q) sw.h(q - 1, p - 1) += im;
}

void checkDimension(const SweepWork& sw, const char* message) {
  if (sw.blk.N > sw.ld || sw.blk.N < 0) stop(message);
}

// Rotated table of top t: pointer to O_t(., .; ., .) with leading dimension sw.ld.
double* table(SweepWork& sw, int t) { return sw.rotOp[t].data(); }
const double* table(const SweepWork& sw, int t) { return sw.rotOp[t].data(); }

void clearTable(SweepWork& sw, int t, int d) {
  const int n = d * sw.tors.nV[t];
  double* O = table(sw, t);
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) O[r + c * sw.ld] = 0.0;
}

// The torsional matrix of top t at top-frame K'' between kept states u, u'
// (an energy when op = 0, else operator op; with `reference` the table of
// symmetry sigmaRef is subtracted).
struct TorsionalOperator {
  int op = 0, t = 1, sigma = 0, sigmaRef = 0;
  bool reference = false;
  double operator()(SweepWork& sw, int K, int u, int up) const {
    if (op == 0) return u == up ? sw.tors.E(u, sigma, K, t) : 0.0;
    double a = sw.tors.O(op, u, up, sigma, K, t);
    if (reference) a -= sw.tors.O(op, u, up, sigmaRef, K, t);
    return a;
  }
};

// O_t = d^T A d with the plain torsional element (see the head of the file).
// The torsional matrices are symmetric (energies, (m - rho K)^n, cos n alpha)
// or antisymmetric (the sine term, operator 7) in (v, v'), and so is O_t
// under (K, v) <-> (K', v'): the lower triangle (row (K, v) at or below column
// (K', v')) is summed and mirrored with that sign.
void rotatePlain(SweepWork& sw, int J, const TorsionalOperator& A) {
  const int t = A.t, d = 2 * J + 1, n = sw.tors.nV[t];
  const double mirror = A.op == 7 ? -1.0 : 1.0;
  double* O = table(sw, t);
  // rows d^J_{K'',K}, K = -J..J, of two K'' at a time (one pass over O for both)
  std::array<double, DIM2J1> dRow0{}, dRow1{};
  for (int Kpp = -J; Kpp <= J; Kpp += 2) {
    const bool two = Kpp + 1 <= J;
    for (int K = -J; K <= J; ++K) {
      dRow0[K + J] = sw.rot[t].D(Kpp, K);
      dRow1[K + J] = two ? sw.rot[t].D(Kpp + 1, K) : 0.0;
    }
    for (int vp = 1; vp <= n; ++vp)
      for (int v = vp; v <= n; ++v) {
        const double a0 = A(sw, Kpp, v, vp); // GHz
        const double a1 = two ? A(sw, Kpp + 1, v, vp) : 0.0;
        if (a0 == 0.0 && a1 == 0.0) continue;
        for (int Kp = -J; Kp <= J; ++Kp) {
          const double w0 = a0 * dRow0[Kp + J], w1 = a1 * dRow1[Kp + J];
          if (w0 == 0.0 && w1 == 0.0) continue;
          double* col = O + std::size_t(rotRow(Kp, vp, J, d)) * sw.ld + (v - 1) * d;
          const int from = v == vp ? Kp + J : 0;
          addScaled2(col + from, dRow0.data() + from, w0, dRow1.data() + from, w1, d - from);
        }
      }
  }
  for (int c = 0; c < n * d; ++c)
    for (int r = c + 1; r < n * d; ++r)
      O[c + std::size_t(r) * sw.ld] = mirror * O[r + std::size_t(c) * sw.ld];
}

// O_t = d^T A d with the torsional element expanded through the kept states
// u, u' at K'' by the overlap integrals <v,K|u,K''> and <u',K''|v',K'>.
void rotateExpanded(SweepWork& sw, int J, const TorsionalOperator& A) {
  const int t = A.t, d = 2 * J + 1, n = sw.tors.nV[t], sigma = A.sigma;
  if (n > DIMV) stop("ERROR: overlap expansion of more than 3 kept torsional states");
  double* O = table(sw, t);
  // left(K, v; u') = d_{K'',K} sum_u <v,K|u,K''> A_{u u'}(K'')
  std::array<double, DIM2J1 * DIMV * DIMV> left{};
  // right(u'; K', v') = d_{K'',K'} <u',K''|v',K'>
  std::array<double, DIM2J1 * DIMV * DIMV> right{};
  std::array<double, DIMV * DIMV> a{};
  for (int Kpp = -J; Kpp <= J; ++Kpp) {
    bool any = false;
    for (int u = 1; u <= n; ++u)
      for (int up = 1; up <= n; ++up) {
        a[(u - 1) * DIMV + up - 1] = A(sw, Kpp, u, up);
        any = any || a[(u - 1) * DIMV + up - 1] != 0.0;
      }
    if (!any) continue;
    for (int K = -J; K <= J; ++K) {
      const double dk = sw.rot[t].D(Kpp, K);
      for (int v = 1; v <= n; ++v)
        for (int up = 1; up <= n; ++up) {
          double sum = 0.0;
          for (int u = 1; u <= n; ++u)
            sum += sw.tors.T(K, Kpp, v, u, sigma, t) * a[(u - 1) * DIMV + up - 1];
          left[(rotRow(K, v, J, d)) * DIMV + up - 1] = dk * sum;
          right[(rotRow(K, v, J, d)) * DIMV + up - 1] =
              dk * sw.tors.T(Kpp, K, up, v, sigma, t); // (u' = up; K, v as K', v')
        }
    }
    for (int c = 0; c < n * d; ++c) {
      double* col = O + std::size_t(c) * sw.ld;
      const double* rc = &right[c * DIMV];
      for (int r = 0; r < n * d; ++r) {
        const double* lr = &left[r * DIMV];
        double sum = 0.0;
        for (int up = 0; up < n; ++up) sum += lr[up] * rc[up];
        col[r] += sum;
      }
    }
  }
}

// The one-top Hamiltonian of top t with every coupling between the kept
// states (vkeep).  In the basis |J,K> |v,K> (torsional states of the top at
// the principal-axis K) the operator
//   F (p - rho n.J)^2 + V(alpha) = [F p^2 + V] - 2 F rho p (n.J) + F rho^2 (n.J)^2
// has, with n.J = d^T K'' d the component of J along the top axis (tridiagonal
// in K) and (n.J)^2 = d^T K''^2 d (pentadiagonal), the elements
//   <K v| . |K' v'> = delta_KK' [E_v(K) delta_vv' + 2 F rho K P_vv'(K,K) - F rho^2 K^2 delta_vv']
//                     - 2 F rho (n.J)_KK' P_vv'(K,K') + F rho^2 (n.J)^2_KK' T_vv'(K,K'),
// the first bracket being <v,K| F p^2 + V |v',K> written through the states'
// own Hamiltonian F (p - rho K)^2 + V.  P is the momentum and T the overlap
// of the states at K and K'.  No truncation enters besides the kept states
// themselves: the block is the projection of the rotation-torsion
// Hamiltonian onto them, and it tends to the exact levels as states are added.
// Each element (K_p, K_q) carries the phase exp(i (K_p - K_q) gamma_t).
// With two or three tops the operator of top t acts as the unit operator on
// the others, whose states at K_p and K_q overlap: each element is
// multiplied by the product of the other tops' overlaps <v_u,K_p|v_u',K_q>
// (the unit matrix for K_p = K_q).
void addCompleteOneTop(const RunState& rs, SweepWork& sw, int J, int S, ConstParamView par,
                       bool complexBlock) {
  const int N = sw.blk.N, d = sw.blk.d;
  TorsionTables& tab = sw.tors;
  for (int t = 1; t <= sw.blk.ntop; ++t) {
    const int sigma = sigmaOf(rs, S, t);
    const double F = par(par::top(t, par::F)), rho = par(par::top(t, par::rho)); // GHz, 1
    const double gamma = gammaOf(par, t);
    PhaseTable ph;
    if (complexBlock) ph.fill(gamma, J);
    // (n.J)_{K K+dK} and (n.J)^2_{K K+dK} of the top axis, dK = 0..2, from
    // d^J(beta) of the top: sums over the top-frame K''
    std::array<std::array<double, 3>, DIM2J1> axis1{}, axis2{};
    for (int K = -J; K <= J; ++K)
      for (int dK = 0; dK <= 2 && K + dK <= J; ++dK) {
        double s1 = 0.0, s2 = 0.0;
        for (int Kpp = -J; Kpp <= J; ++Kpp) {
          const double w = sw.rot[t].D(Kpp, K) * sw.rot[t].D(Kpp, K + dK);
          s1 += w * Kpp;
          s2 += w * double(Kpp) * Kpp;
        }
        axis1[K + J][dK] = s1;
        axis2[K + J][dK] = s2;
      }
    for (int p = 1; p <= N; ++p) {
      const int Kp = sw.basis[p].K, vp = localState(sw, p, t);
      // columns q <= p within two K of row p: K_q = K_p - dK, dK = 0..2,
      // or K_q = K_p + dK in a lower product state
      for (int q = 1; q <= p; ++q) {
        const int Kq = sw.basis[q].K, dK = Kp - Kq;
        if (dK > 2 || dK < -2) continue;
        if (sw.mask[t][productState(sw, p)][productState(sw, q)] == 0 && dK == 0) continue;
        const double others = sw.blk.ntop > 1 ? otherTopsOverlap(rs, sw, S, p, q, t, 0) : 1.0;
        if (others == 0.0) continue;
        const int vq = localState(sw, q, t);
        const int lo = std::min(Kp, Kq), adK = std::abs(dK);
        double x = F * rho * rho * axis2[lo + J][adK] * tab.T(Kp, Kq, vp, vq, sigma, t); // GHz
        if (adK <= 1) x -= 2.0 * F * rho * axis1[lo + J][adK] * tab.P(Kp, Kq, vp, vq, sigma, t);
        if (dK == 0) {
          x += 2.0 * F * rho * Kp * tab.P(Kp, Kp, vp, vq, sigma, t);
          if (vp == vq) x += tab.E(vp, sigma, Kp, t) - F * rho * rho * double(Kp) * Kp;
        }
        if (sw.blk.ntop > 1) x *= others;
        if (complexBlock && dK != 0)
          addPhased(sw, p, q, x * ph.cosOf(dK), x * ph.sinOf(dK));
        else
          sw.h(p - 1, q - 1) += x;
      }
    }
  }
}

// Component of the axis of top t along J, n_t.J = d^T K'' d (real, tridiagonal
// in K), between K and K + dK, dK = -1..1.
struct TopAxis {
  std::array<std::array<double, 3>, DIM2J1> n{}; // n[K + J][dK + 1]
  int J = 0;
  void fill(SweepWork& sw, int t, int Jb) {
    J = Jb;
    for (int K = -J; K <= J; ++K)
      for (int dK = -1; dK <= 1; ++dK) {
        double s = 0.0;
        if (K + dK >= -J && K + dK <= J)
          for (int Kpp = -J; Kpp <= J; ++Kpp)
            s += sw.rot[t].D(Kpp, K) * sw.rot[t].D(Kpp, K + dK) * Kpp;
        n[K + J][dK + 1] = s;
      }
  }
  double at(int K, int Kp) const {
    const int dK = Kp - K;
    if (dK < -1 || dK > 1 || K < -J || K > J || Kp < -J || Kp > J) return 0.0;
    return n[K + J][dK + 1];
  }
};

// The top-top terms with every coupling between the kept product states.
// With a_t = p_t - rho_t n_t.J the kinetic coupling is F12 (a_1 a_2 + a_2 a_1)
//   = F12 [2 p_1 p_2 - 2 rho_2 p_1 (n_2.J) - 2 rho_1 (n_1.J) p_2
//          + rho_1 rho_2 {n_1.J, n_2.J}],
// and in the basis |J,K> |v_1,K> |v_2,K> each part is a rotational element
// times the momentum P or the overlap T of each top between its states at
// K_p and K_q; n_t.J carries the phase exp(i dK gamma_t) of its top.  The
// potential couplings Vss sin(n a_1) sin(n a_2) = -Vss S_1 S_2 (S the sine
// operator as a real antisymmetric matrix) and Vcc cos(n a_1) cos(n a_2) do
// not act on the rotation: they couple equal K through the operator elements
// of the kept states at K.  A third top is a spectator: its overlap.
void addCompleteTopTop(const RunState& rs, SweepWork& sw, int J, int S, ConstParamView par,
                       bool complexBlock) {
  const int N = sw.blk.N;
  TorsionTables& tab = sw.tors;
  const double F12 = par(par::F12), Vss = par(par::Vss), Vcc = par(par::Vcc); // GHz
  if (F12 == 0.0 && Vss == 0.0 && Vcc == 0.0) return;
  std::array<TopAxis, DIMTOP + 1> axis;
  for (int t = 1; t <= sw.blk.ntop; ++t) axis[t].fill(sw, t, J);
  using cplx = std::complex<double>;
  for (int t1 = 1; t1 <= sw.blk.ntop; ++t1)
    for (int t2 = t1 + 1; t2 <= sw.blk.ntop; ++t2) {
      const int s1 = sigmaOf(rs, S, t1), s2 = sigmaOf(rs, S, t2);
      const double r1 = par(par::top(t1, par::rho)), r2 = par(par::top(t2, par::rho));
      const double g1 = complexBlock ? gammaOf(par, t1) : 0.0;
      const double g2 = complexBlock ? gammaOf(par, t2) : 0.0;
      // n_t.J between K and K' with its phase
      auto nJ = [&](int t, int K, int Kp) {
        return std::polar(axis[t].at(K, Kp), (K - Kp) * (t == t1 ? g1 : g2));
      };
      for (int p = 1; p <= N; ++p) {
        const int Kp = sw.basis[p].K;
        const int a = localState(sw, p, t1), b = localState(sw, p, t2);
        for (int q = 1; q <= p; ++q) {
          const int Kq = sw.basis[q].K, dK = Kp - Kq;
          if (dK > 2 || dK < -2) continue;
          const double spectator = otherTopsOverlap(rs, sw, S, p, q, t1, t2);
          if (spectator == 0.0) continue;
          const int ap = localState(sw, q, t1), bp = localState(sw, q, t2);
          const double T1 = tab.T(Kp, Kq, a, ap, s1, t1), T2 = tab.T(Kp, Kq, b, bp, s2, t2);
          cplx x = 0.0;
          if (F12 != 0.0) {
            cplx k = 0.0;
            if (dK >= -1 && dK <= 1) {
              const double P1 = tab.P(Kp, Kq, a, ap, s1, t1), P2 = tab.P(Kp, Kq, b, bp, s2, t2);
              if (dK == 0) k += 2.0 * P1 * P2;
              k -= 2.0 * r2 * nJ(t2, Kp, Kq) * P1 * T2 + 2.0 * r1 * nJ(t1, Kp, Kq) * T1 * P2;
            }
            // {n_1.J, n_2.J} through the K'' between K_p and K_q
            cplx anti = 0.0;
            for (int Kpp = std::max(Kp, Kq) - 1; Kpp <= std::min(Kp, Kq) + 1; ++Kpp) {
              if (Kpp < -J || Kpp > J) continue;
              anti += nJ(t1, Kp, Kpp) * nJ(t2, Kpp, Kq) + nJ(t2, Kp, Kpp) * nJ(t1, Kpp, Kq);
            }
            k += r1 * r2 * anti * T1 * T2;
            x += F12 * k;
          }
          if (dK == 0) {
            if (Vss != 0.0) x -= Vss * tab.O(7, a, ap, s1, Kp, t1) * tab.O(7, b, bp, s2, Kp, t2);
            if (Vcc != 0.0) x += Vcc * tab.O(6, a, ap, s1, Kp, t1) * tab.O(6, b, bp, s2, Kp, t2);
          }
          x *= spectator;
          if (complexBlock)
            addPhased(sw, p, q, x.real(), p > q ? x.imag() : 0.0);
          else
            sw.h(p - 1, q - 1) += x.real();
        }
      }
    }
}

// Checks the block's description before any table is read: indices that come
// from the input (symmetry numbers, torsional states) must lie in the tables.
void checkBlock(const RunState& rs, const SweepWork& sw, int J, int S) {
  const BlockState& b = sw.blk;
  if (b.ntop > DIMTOP) stop("ERROR: ntop > DIMTOP");
  if (J < 0 || J > DIMJ || J > sw.tors.maxJ || b.d != 2 * J + 1) stop(" ERROR: DIM 2J1 exceeded");
  if (S < 1 || S > DIMSYM) stop("ERROR: species outside the species table");
  for (int t = 1; t <= b.ntop; ++t) {
    const int sigma = sigmaOf(rs, S, t), sigmaRef = sigmaOf(rs, 1, t);
    if (sigma < -DIMSIG || sigma > DIMSIG || sigmaRef < -DIMSIG || sigmaRef > DIMSIG)
      stop("ERROR: symmetry number of a top outside -1..1");
    const auto& tab = sw.tors;
    if (tab.firstV[t] < 1 || tab.nV[t] < 1 || tab.nV[t] > tab.nvs) stop("FIRST V < 0 error");
  }
  for (int p = 1; p <= b.N && p <= sw.ld; ++p)
    for (int t = 1; t <= b.ntop; ++t) {
      const int v = localState(sw, p, t);
      if (v < 1 || v > sw.tors.nV[t])
        stop("ERROR: torsional state of a block outside the computed window");
    }
}

void printTable(const RunState& rs, const SweepWork& sw, int J, int t, int op) {
  std::ostream& os = *rs.io.out;
  const int d = 2 * J + 1, n = sw.tors.nV[t];
  const double* O = table(sw, t);
  put(os, "(/,A)", {"Matrixelements after rotation into principal axes system"});
  put(os, "(2(A,I2))", {"  K  V | Operator No.", op, "    Top No.", t});
  for (int v = 1; v <= n; ++v)
    for (int K = -J; K <= J; ++K) {
      put(os, J < 100 ? "(2I3,$)" : "(I4,I3,$)", {K, v}); // K down to -J
      for (int vp = 1; vp <= n; ++vp)
        for (int Kp = -J; Kp <= J; ++Kp)
          put(os, "(F10.4,$)", {O[rotRow(K, v, J, d) + std::size_t(rotRow(Kp, vp, J, d)) * sw.ld]});
      os << '\n';
    }
}

// Weight of a one-top element of top t between basis positions p and q: the
// coupling mask (the other tops in the same state), or with woods bit 8 the
// product of the other tops' overlaps <v_p, K_p | v_q, K_q>.
double otherTopsWeight(const RunState& rs, SweepWork& sw, int S, int t, int p, int q,
                       bool overlaps) {
  if (!overlaps) return sw.mask[t][productState(sw, p)][productState(sw, q)];
  double w = 1.0;
  const int Kp = sw.basis[p].K, Kq = sw.basis[q].K;
  for (int u = 1; u <= sw.blk.ntop; ++u) {
    if (u == t) continue;
    w *= sw.tors.T(Kp, Kq, localState(sw, p, u), localState(sw, q, u), sigmaOf(rs, S, u), u);
  }
  return w;
}

void printElement(std::ostream& os, double x) {
  put(os, std::abs(x) < 1000.0 ? "(F10.5,$)" : "(F10.2,$)", {x});
}

// Shared body of addOneTopTermsReal and addOneTopTermsHermitian.
void addOneTop(const RunState& rs, SweepWork& sw, int J, int S, const ConstParamView* par,
               double factor) {
  const int N = sw.blk.N, d = sw.blk.d;
  const bool print = hasBit(rs.ctl.aprint, aprintbit::BLOCK_MATRICES);
  const bool overlaps = hasBit(sw.blk.woods, woodsbit::OTHER_TOPS_OVERLAPS);
  PhaseTable ph;
  for (int t = 1; t <= sw.blk.ntop; ++t) {
    const double* O = table(sw, t);
    const bool phased = par != nullptr && gammaOf(*par, t) != 0.0;
    if (phased) ph.fill(gammaOf(*par, t), J);
    if (print && par == nullptr) put(*rs.io.out, "(A,I2)", {" Add one-top-operator Top", t});
    for (int p = 1; p <= N; ++p) {
      const int Kp = sw.basis[p].K, rp = rotRow(Kp, localState(sw, p, t), J, d);
      for (int q = 1; q <= p; ++q) {
        const int Kq = sw.basis[q].K;
        const double w = otherTopsWeight(rs, sw, S, t, p, q, overlaps);
        const double x =
            w == 0.0
                ? 0.0
                : O[rp + std::size_t(rotRow(Kq, localState(sw, q, t), J, d)) * sw.ld] * w * factor;
        if (phased)
          addPhased(sw, p, q, x * ph.cosOf(Kp - Kq), Kp != Kq ? x * ph.sinOf(Kp - Kq) : 0.0);
        else
          sw.h(p - 1, q - 1) += x;
        if (print) {
          if (par == nullptr)
            printElement(*rs.io.out, x);
          else
            put(*rs.io.out, std::abs(x) < 1000.0 ? "(F10.5,A,$)" : "(F10.2,A,$)", {x, " "});
        }
      }
      if (print) *rs.io.out << '\n';
    }
  }
}

// Distortion operators: element value x(p, q) given by `value` for top t.
template <class Element>
void addDistortion(const RunState& rs, SweepWork& sw, int J, ConstParamView par, int offset,
                   const char* header, const char* dimMessage, Element value) {
  checkDimension(sw, dimMessage);
  const int N = sw.blk.N;
  const bool print = hasBit(rs.ctl.aprint, aprintbit::BLOCK_MATRICES);
  PhaseTable ph;
  for (int t = 1; t <= sw.blk.ntop; ++t) {
    const double D = par(32 + 15 * (t - 1) + offset); // GHz
    if (D == 0.0) continue;
    if (print) put(*rs.io.out, "(A,I3)", {header, t});
    const double gamma = gammaOf(par, t);
    ph.fill(gamma, J);
    for (int p = 1; p <= N; ++p) {
      const int Kp = sw.basis[p].K;
      for (int q = 1; q <= p; ++q) {
        if (sw.mask[t][productState(sw, p)][productState(sw, q)] == 0) continue;
        const int Kq = sw.basis[q].K;
        const double x = D * value(t, p, q);
        addPhased(sw, p, q, x * ph.cosOf(Kp - Kq), Kp != Kq ? x * ph.sinOf(Kp - Kq) : 0.0);
      }
    }
  }
}

// The two-top terms element by element, printing each added element (the
// listing shows them row by row).  Same values as addTwoTopByBlocks.
void addTwoTopPrinted(const RunState& rs, SweepWork& sw, int J, const ConstParamView* par,
                      double factor) {
  const int N = sw.blk.N, d = sw.blk.d;
  put(*rs.io.out, "(/,A)", {par == nullptr ? " Add Ovv" : " H AddOvv"});
  PhaseTable ph1, ph2;
  for (int t1 = 1; t1 <= sw.blk.ntop; ++t1)
    for (int t2 = t1 + 1; t2 <= sw.blk.ntop; ++t2) {
      const double* O1 = table(sw, t1);
      const double* O2 = table(sw, t2);
      const bool phased = par != nullptr && (gammaOf(*par, t1) != 0.0 || gammaOf(*par, t2) != 0.0);
      if (phased) {
        ph1.fill(gammaOf(*par, t1), J);
        ph2.fill(gammaOf(*par, t2), J);
      }
      for (int p = 1; p <= N; ++p) {
        const int Kp = sw.basis[p].K;
        const int v1p = localState(sw, p, t1), v2p = localState(sw, p, t2);
        for (int q = 1; q <= p; ++q) {
          double re = 0.0, im = 0.0;
          if (thirdTopAgrees(sw, t1, t2, p, q)) {
            const int Kq = sw.basis[q].K;
            const int v1q = localState(sw, q, t1), v2q = localState(sw, q, t2);
            // <p| O1 O2 |q>: top 1 goes v1p -> v1q while top 2 waits in v2p,
            // then top 2 goes v2p -> v2q (and the other order).
            for (int Kpp = -J; Kpp <= J; ++Kpp) {
              const std::size_t cpp1 = std::size_t(rotRow(Kpp, v1q, J, d)) * sw.ld;
              const std::size_t cpp2 = std::size_t(rotRow(Kpp, v2q, J, d)) * sw.ld;
              const double a =
                  O1[rotRow(Kp, v1p, J, d) + cpp1] *
                  O2[rotRow(Kpp, v2p, J, d) + std::size_t(rotRow(Kq, v2q, J, d)) * sw.ld];
              const double b =
                  O2[rotRow(Kp, v2p, J, d) + cpp2] *
                  O1[rotRow(Kpp, v1p, J, d) + std::size_t(rotRow(Kq, v1q, J, d)) * sw.ld];
              if (phased) {
                // phase of each factor from its own top: dK1 gamma1 + dK2 gamma2
                const double ca = ph1.cosOf(Kp - Kpp), sa = ph1.sinOf(Kp - Kpp);
                const double cb = ph2.cosOf(Kpp - Kq), sb = ph2.sinOf(Kpp - Kq);
                const double cc = ph2.cosOf(Kp - Kpp), sc = ph2.sinOf(Kp - Kpp);
                const double cd = ph1.cosOf(Kpp - Kq), sd = ph1.sinOf(Kpp - Kq);
                re += a * (ca * cb - sa * sb) + b * (cc * cd - sc * sd);
                im += a * (sa * cb + ca * sb) + b * (sc * cd + cc * sd);
              } else {
                re += a + b;
              }
            }
          }
          re *= factor;
          im *= factor;
          if (p == q) im = 0.0; // diagonal elements of a Hermitian operator are real
          addPhased(sw, p, q, re, im);
          if (par == nullptr)
            printElement(*rs.io.out, re);
          else
            put(*rs.io.out, "(2F11.5,A,$)", {re, im, " "});
        }
        *rs.io.out << '\n';
      }
    }
}

// The two-top terms, product-state block by product-state block: for every
// pair of tops the symmetrised product O1 O2 + O2 O1 of their rotated
// operators.  Each operator acts on its own top only, so
//   <p| O1 O2 |q> = sum_K'' O1(K_p, v1_p; K'', v1_q) O2(K'', v2_p; K_q, v2_q)
// (top 1 moves first while top 2 waits in its state of p), and a third top
// (three tops) must be in the same state in p and q.  Each factor carries the
// phase of its own top, exp(i dK gamma); they combine to
//   exp(i (K_p gamma1 - K_q gamma2)) * exp(i K'' (gamma2 - gamma1))
// for O1 O2 and the same with gamma1 <-> gamma2 for O2 O1, so the K'' sum is
// a real matrix product with a complex weight, done one column K_q at a time
// with the row index K_p running fastest.
void addTwoTopByBlocks(SweepWork& sw, int J, const ConstParamView* par, double factor) {
  const int d = sw.blk.d, nvv = sw.blk.nvv;
  std::array<double, DIM2J1> aRe{}, aIm{}, bRe{}, bIm{}; // column K_q of O1 O2, O2 O1
  std::array<double, DIM2J1> midCos{}, midSin{}, c1{}, s1{}, c2{}, s2{};
  for (int t1 = 1; t1 <= sw.blk.ntop; ++t1)
    for (int t2 = t1 + 1; t2 <= sw.blk.ntop; ++t2) {
      const double* O1 = table(sw, t1);
      const double* O2 = table(sw, t2);
      const double g1 = par != nullptr ? gammaOf(*par, t1) : 0.0;
      const double g2 = par != nullptr ? gammaOf(*par, t2) : 0.0;
      const bool phased = g1 != 0.0 || g2 != 0.0;
      for (int K = -J; K <= J; ++K) {
        midCos[K + J] = std::cos(K * (g2 - g1));
        midSin[K + J] = std::sin(K * (g2 - g1));
        c1[K + J] = std::cos(K * g1);
        s1[K + J] = std::sin(K * g1);
        c2[K + J] = std::cos(K * g2);
        s2[K + J] = std::sin(K * g2);
      }
      for (int ip = 1; ip <= nvv; ++ip)
        for (int iq = 1; iq <= ip; ++iq) {
          const int p0 = (ip - 1) * d + 1, q0 = (iq - 1) * d + 1; // K = -J of each state
          if (!thirdTopAgrees(sw, t1, t2, p0, q0)) continue;
          const int v1p = localState(sw, p0, t1), v2p = localState(sw, p0, t2);
          const int v1q = localState(sw, q0, t1), v2q = localState(sw, q0, t2);
          for (int Kq = -J; Kq <= J; ++Kq) {
            // column K'' of O1 (rows K_p, state v1p -> v1q) with the weight
            // O2(K'', v2p; K_q, v2q), and the same for the other order
            auto factors = [&](int Kpp) {
              Factors f;
              f.col1 = O1 + std::size_t(rotRow(Kpp, v1q, J, d)) * sw.ld + (v1p - 1) * d;
              f.col2 = O2 + std::size_t(rotRow(Kpp, v2q, J, d)) * sw.ld + (v2p - 1) * d;
              f.wa = O2[rotRow(Kpp, v2p, J, d) + std::size_t(rotRow(Kq, v2q, J, d)) * sw.ld];
              f.wb = O1[rotRow(Kpp, v1p, J, d) + std::size_t(rotRow(Kq, v1q, J, d)) * sw.ld];
              return f;
            };
            for (int k = 0; k < d; ++k) aRe[k] = aIm[k] = bRe[k] = bIm[k] = 0.0;
            // two K'' at a time: the accumulators are read and written once
            // for both (the loops are bound by memory traffic)
            for (int Kpp = -J; Kpp <= J; Kpp += 2) {
              const Factors f0 = factors(Kpp), f1 = Kpp + 1 <= J ? factors(Kpp + 1) : f0.none();
              if (!phased) {
                addScaled2(aRe.data(), f0.col1, f0.wa, f1.col1, f1.wa, d);
                addScaled2(aRe.data(), f0.col2, f0.wb, f1.col2, f1.wb, d);
                continue;
              }
              const double m0c = midCos[Kpp + J], m0s = midSin[Kpp + J];
              const double m1c = Kpp + 1 <= J ? midCos[Kpp + 1 + J] : 0.0;
              const double m1s = Kpp + 1 <= J ? midSin[Kpp + 1 + J] : 0.0;
              addScaledComplex2(aRe.data(), aIm.data(), f0.col1, f0.wa * m0c, f0.wa * m0s, f1.col1,
                                f1.wa * m1c, f1.wa * m1s, d);
              addScaledComplex2(bRe.data(), bIm.data(), f0.col2, f0.wb * m0c, -f0.wb * m0s, f1.col2,
                                f1.wb * m1c, -f1.wb * m1s, d);
            }
            const int q = q0 + Kq + J;
            for (int Kp = (ip == iq ? Kq : -J); Kp <= J; ++Kp) {
              const int p = p0 + Kp + J, k = Kp + J;
              double re = aRe[k], im = 0.0;
              if (phased) {
                // exp(i (K_p g1 - K_q g2)) and exp(i (K_p g2 - K_q g1))
                const double ea = c1[k] * c2[Kq + J] + s1[k] * s2[Kq + J];
                const double fa = s1[k] * c2[Kq + J] - c1[k] * s2[Kq + J];
                const double eb = c2[k] * c1[Kq + J] + s2[k] * s1[Kq + J];
                const double fb = s2[k] * c1[Kq + J] - c2[k] * s1[Kq + J];
                re = aRe[k] * ea - aIm[k] * fa + bRe[k] * eb - bIm[k] * fb;
                im = aRe[k] * fa + aIm[k] * ea + bRe[k] * fb + bIm[k] * eb;
              }
              addPhased(sw, p, q, re * factor, p > q ? im * factor : 0.0);
            }
          }
        }
    }
}

// Shared body of addTopTopCouplingReal and addTopTopCouplingHermitian.
void addTwoTop(const RunState& rs, SweepWork& sw, int J, const ConstParamView* par, double factor) {
  if (hasBit(rs.ctl.aprint, aprintbit::BLOCK_MATRICES))
    addTwoTopPrinted(rs, sw, J, par, factor);
  else
    addTwoTopByBlocks(sw, J, par, factor);
}

} // namespace

void rotateTorsionalOperators(const RunState& rs, SweepWork& sw, int J, int S, int opFirst,
                              int opOther, bool reference) {
  const int d = 2 * J + 1;
  for (int t = 1; t <= sw.blk.ntop; ++t) {
    TorsionalOperator A;
    A.op = t == 1 ? opFirst : opOther;
    if (A.op < 1 || A.op > TorsionTables::NOP) stop("ERROR: torsional operator number");
    A.t = t;
    A.sigma = sigmaOf(rs, S, t);
    A.sigmaRef = sigmaOf(rs, 1, t);
    A.reference = reference;
    clearTable(sw, t, d);
    if (hasBit(sw.blk.woods, woodsbit::OVERLAPS_IN_OPERATORS))
      rotateExpanded(sw, J, A);
    else
      rotatePlain(sw, J, A);
    if (hasBit(rs.ctl.aprint, aprintbit::BLOCK_MATRICES)) printTable(rs, sw, J, t, A.op);
  }
}

void rotateTorsionalEnergies(const RunState& rs, SweepWork& sw, int J, int S) {
  const int d = 2 * J + 1;
  for (int t = 1; t <= sw.blk.ntop; ++t) {
    TorsionalOperator A;
    A.op = 0;
    A.t = t;
    A.sigma = sigmaOf(rs, S, t);
    clearTable(sw, t, d);
    if (hasBit(sw.blk.woods, woodsbit::OVERLAPS_IN_ENERGIES))
      rotateExpanded(sw, J, A);
    else
      rotatePlain(sw, J, A);
    if (hasBit(sw.blk.woods, woodsbit::ENERGIES_TIMES_OVERLAP)) {
      // each rotated energy element times <v,K|v',K'> of its own states
      const int n = sw.tors.nV[t];
      double* O = table(sw, t);
      for (int vp = 1; vp <= n; ++vp)
        for (int Kp = -J; Kp <= J; ++Kp)
          for (int v = 1; v <= n; ++v)
            for (int K = -J; K <= J; ++K)
              O[rotRow(K, v, J, d) + std::size_t(rotRow(Kp, vp, J, d)) * sw.ld] *=
                  sw.tors.T(K, Kp, v, vp, A.sigma, t);
    }
  }
}

void addOneTopTermsReal(const RunState& rs, SweepWork& sw, int J, int S, double factor) {
  checkDimension(sw, "Dimension Error in addo1");
  addOneTop(rs, sw, J, S, nullptr, factor);
}

void addOneTopTermsHermitian(const RunState& rs, SweepWork& sw, int J, int S, ConstParamView par,
                             double factor) {
  checkDimension(sw, "Dimension Error in haddo1");
  addOneTop(rs, sw, J, S, &par, factor);
}

void addTopTopCouplingReal(const RunState& rs, SweepWork& sw, int J, double factor) {
  checkDimension(sw, "Dimension Error in addovv");
  addTwoTop(rs, sw, J, nullptr, factor);
}

void addTopTopCouplingHermitian(const RunState& rs, SweepWork& sw, int J, ConstParamView par,
                                double factor) {
  checkDimension(sw, "Dimension Error in haddovv");
  addTwoTop(rs, sw, J, &par, factor);
}

void addUnrotatedTopTopProduct(const RunState& rs, SweepWork& sw, int J, int S, double value,
                               int op) {
  (void)J;
  checkDimension(sw, "Dimension Error in addiop");
  if (op < 1 || op > TorsionTables::NOP) stop("ERROR: torsional operator number");
  const int N = sw.blk.N, d = sw.blk.d;
  for (int t1 = 1; t1 <= sw.blk.ntop; ++t1)
    for (int t2 = t1 + 1; t2 <= sw.blk.ntop; ++t2) {
      const int s1 = sigmaOf(rs, S, t1), s2 = sigmaOf(rs, S, t2);
      // the operator product is diagonal in K: q = p - (i_p - i_q) d
      for (int p = 1; p <= N; ++p)
        for (int q = (p - 1) % d + 1; q <= p; q += d) {
          if (!thirdTopAgrees(sw, t1, t2, p, q)) continue;
          const int K = sw.basis[p].K;
          sw.h(p - 1, q - 1) +=
              value * sw.tors.O(op, localState(sw, p, t1), localState(sw, q, t1), s1, K, t1) *
              sw.tors.O(op, localState(sw, p, t2), localState(sw, q, t2), s2, K, t2);
        }
    }
}

void addTorsionRotationDistortionJ(const RunState& rs, SweepWork& sw, int J, ConstParamView par,
                                   int offset) {
  const int d = 2 * J + 1;
  const double P = double(J) * (J + 1);
  addDistortion(rs, sw, J, par, offset, " H_DJPM ", "Dimension Error in ADDJP",
                [&](int t, int p, int q) {
                  const double* O = table(sw, t);
                  return 2.0 * P *
                         O[rotRow(sw.basis[p].K, localState(sw, p, t), J, d) +
                           std::size_t(rotRow(sw.basis[q].K, localState(sw, q, t), J, d)) * sw.ld];
                });
}

void addTorsionRotationDistortionK(const RunState& rs, SweepWork& sw, int J, ConstParamView par,
                                   int offset) {
  const int d = 2 * J + 1;
  addDistortion(rs, sw, J, par, offset, " H_DKP ", "Dimension Error in HaddKP",
                [&](int t, int p, int q) {
                  const double* O = table(sw, t);
                  const int Kp = sw.basis[p].K, Kq = sw.basis[q].K;
                  return double(Kp * Kp + Kq * Kq) *
                         O[rotRow(Kp, localState(sw, p, t), J, d) +
                           std::size_t(rotRow(Kq, localState(sw, q, t), J, d)) * sw.ld];
                });
}

void addTorsionRotationDistortionMinus(const RunState& rs, SweepWork& sw, int J, ConstParamView par,
                                       int offset) {
  const int d = 2 * J + 1;
  addDistortion(rs, sw, J, par, offset, " H_DKD   top", "Dimension Error in HAddDP",
                [&](int t, int p, int q) {
                  const double* O = table(sw, t);
                  const int Kp = sw.basis[p].K, Kq = sw.basis[q].K;
                  const int vp = localState(sw, p, t), vq = localState(sw, q, t);
                  auto o = [&](int K, int Kp2) {
                    return O[rotRow(K, vp, J, d) + std::size_t(rotRow(Kp2, vq, J, d)) * sw.ld];
                  };
                  // (J+^2 + J-^2) O: row K_p reached from K_p -+ 2
                  double left = 0.0, right = 0.0;
                  if (Kp - 2 >= -J) left += jPlus2(J, Kp - 2) * o(Kp - 2, Kq);
                  if (Kp + 2 <= J) left += jPlus2(J, Kp) * o(Kp + 2, Kq);
                  // O (J+^2 + J-^2): column K_q sent to K_q +- 2
                  if (Kq + 2 <= J) right += o(Kp, Kq + 2) * jPlus2(J, Kq);
                  if (Kq - 2 >= -J) right += o(Kp, Kq - 2) * jPlus2(J, Kq - 2);
                  return 0.5 * (left + right);
                });
}

void addInternalRotationTerms(const RunState& rs, SweepWork& sw, int J, int S, int F2,
                              ConstParamView par, bool complexBlock) {
  (void)F2;
  const int ntop = sw.blk.ntop;
  if (ntop < 1) return;
  checkBlock(rs, sw, J, S);
  const int woods = sw.blk.woods;

  auto anyTop = [&](int offset) {
    for (int t = 1; t <= ntop; ++t)
      if (par(par::top(t, offset)) != 0.0) return true;
    return false;
  };
  auto addPair = [&](double factor) {
    if (complexBlock)
      addTopTopCouplingHermitian(rs, sw, J, par, factor);
    else
      addTopTopCouplingReal(rs, sw, J, factor);
  };

  // 1. top-top coupling: F12 (p1 - rho1 J)(p2 - rho2 J), Vss sin sin, Vcc cos cos
  if (ntop > 1 && sw.blk.complete) {
    checkDimension(sw, "Dimension Error in addovv");
    addCompleteTopTop(rs, sw, J, S, par, complexBlock);
  } else if (ntop > 1) {
    const double F12 = par(par::F12), Vss = par(par::Vss), Vcc = par(par::Vcc);
    if (F12 != 0.0) {
      rotateTorsionalOperators(rs, sw, J, S, 5, 5, false);
      addPair(F12);
    }
    if (Vss != 0.0) {
      if (hasBit(woods, woodsbit::UNROTATED_VSS_VCC)) {
        addUnrotatedTopTopProduct(rs, sw, J, S, -Vss, 7);
      } else {
        rotateTorsionalOperators(rs, sw, J, S, 7, 7, false);
        addPair(-Vss / 2.0);
      }
    }
    if (Vcc != 0.0) {
      if (hasBit(woods, woodsbit::UNROTATED_VSS_VCC)) {
        addUnrotatedTopTopProduct(rs, sw, J, S, Vcc, 6);
      } else {
        rotateTorsionalOperators(rs, sw, J, S, 6, 6, false);
        addPair(Vcc / 2.0);
      }
    }
  }

  // 2. distortion of the kinetic torsional term: (p - rho J)^2 relative to species 1
  const bool dpiJ = anyTop(par::Dpi2J), dpiK = anyTop(par::Dpi2K), dpiM = anyTop(par::Dpi2m);
  if (dpiJ || dpiK || dpiM) {
    rotateTorsionalOperators(rs, sw, J, S, 1, 1, true);
    if (dpiJ) addTorsionRotationDistortionJ(rs, sw, J, par, 10);
    if (dpiK) addTorsionRotationDistortionK(rs, sw, J, par, 11);
    if (dpiM) addTorsionRotationDistortionMinus(rs, sw, J, par, 12);
  }

  // 3. distortion of the potential: cos(n alpha) relative to species 1; the
  //    one rotation serves all three terms
  const bool dc3J = anyTop(par::Dc3J), dc3K = anyTop(par::Dc3K), dc3M = anyTop(par::Dc3m);
  if (dc3J || dc3K || dc3M) {
    rotateTorsionalOperators(rs, sw, J, S, 6, 6, true);
    if (dc3J) addTorsionRotationDistortionJ(rs, sw, J, par, 7);
    if (dc3K) addTorsionRotationDistortionK(rs, sw, J, par, 8);
    if (dc3M) addTorsionRotationDistortionMinus(rs, sw, J, par, 9);
  }

  // 4./5. the one-top Hamiltonians: with every coupling between the kept
  // states, or the rotated torsional energies
  if (sw.blk.complete) {
    checkDimension(sw, "Dimension Error in addo1");
    addCompleteOneTop(rs, sw, J, S, par, complexBlock);
    return;
  }
  rotateTorsionalEnergies(rs, sw, J, S);
  if (complexBlock)
    addOneTopTermsHermitian(rs, sw, J, S, par, 1.0);
  else
    addOneTopTermsReal(rs, sw, J, S, 1.0);
}

} // namespace ruvo
