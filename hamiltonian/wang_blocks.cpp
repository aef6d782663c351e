#include "hamiltonian/wang_blocks.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

#include "hamiltonian/rotor_terms.h"
#include "numerics/eigen.h"

namespace ruvo {

bool hasWangSymmetry(const SweepWork& sw, ConstParamView par) {
  if (sw.blk.ntop != 0 || sw.blk.nvv != 1 || sw.blk.N != sw.blk.d) return false;
  for (int p : {par::chi_xy, par::chi_xz, par::chi_yz, par::P_x, par::P_y, par::P_z})
    if (par(p) != 0.0) return false;
  return true;
}

namespace {

// A Wang function |K,s> as at most two components in the |K> basis: basis
// position (K + J) and coefficient.
struct WangFunction {
  int n = 0;
  std::array<int, 2> pos{};
  std::array<double, 2> coef{};
};

WangFunction wangFunction(int J, int K, int s) {
  WangFunction f;
  if (K == 0) {
    f.n = 1;
    f.pos[0] = J;
    f.coef[0] = 1.0;
  } else {
    const double c = 1.0 / std::sqrt(2.0);
    f.n = 2;
    f.pos = {J + K, J - K};
    f.coef = {c, s * c};
  }
  return f;
}

} // namespace

void diagonaliseByWangBlocks(SweepWork& sw, int J, double* E, int& ierr) {
  ierr = 0;
  const int N = 2 * J + 1;
  const int ld = sw.ld;
  // element (r, c) of the symmetric block from its lower triangle, GHz
  auto h = [&](int r, int c) { return r >= c ? sw.H[r + c * ld] : sw.H[c + r * ld]; };

  // The four blocks in the order (K even, s = +1), (K even, -1), (K odd, +1),
  // (K odd, -1); block b holds the functions K = first(b), first(b) + 2, ...
  // up to J, at rows off[b] .. off[b] + size[b] - 1 of the block-diagonal
  // matrix built in sw.V.
  constexpr int firstK[4] = {0, 2, 1, 1};
  constexpr int sign[4] = {1, -1, 1, -1};
  std::array<int, 5> off{};
  for (int b = 0; b < 4; ++b) {
    const int size = firstK[b] > J ? 0 : (J - firstK[b]) / 2 + 1;
    off[b + 1] = off[b] + size;
  }

  // <K,s|H|K',s> = sum of the component products times H(k, k')
  for (int b = 0; b < 4; ++b)
    for (int i = 0; i < off[b + 1] - off[b]; ++i) {
      const WangFunction fi = wangFunction(J, firstK[b] + 2 * i, sign[b]);
      for (int j = 0; j <= i; ++j) {
        const WangFunction fj = wangFunction(J, firstK[b] + 2 * j, sign[b]);
        double w = 0.0;
        for (int a = 0; a < fi.n; ++a)
          for (int c = 0; c < fj.n; ++c) w += fi.coef[a] * fj.coef[c] * h(fi.pos[a], fj.pos[c]);
        sw.V[(off[b] + i) + (off[b] + j) * ld] = w;
      }
    }

  // Each block on its own.  As for the whole block, the QL iteration runs on
  // H - c with c the mean diagonal energy of the block, to keep its rounding
  // small at high J.
  for (int b = 0; b < 4; ++b) {
    const int n = off[b + 1] - off[b];
    if (n == 0) continue;
    double* a = &sw.V[off[b] + off[b] * ld];
    double centre = 0.0;
    for (int r = 0; r < n; ++r) centre += a[r + r * ld];
    centre /= n;
    for (int r = 0; r < n; ++r) a[r + r * ld] -= centre;
    int err = 0;
    diagonaliseRealSymmetric(ld, n, a, E + off[b], sw.w1.data(), err);
    if (err != 0 && ierr == 0) ierr = off[b] + err;
    for (int l = 0; l < n; ++l) {
      E[off[b] + l] += centre;
      // a block too small to iterate still must not pass a NaN on as a level
      if (!std::isfinite(E[off[b] + l]) && ierr == 0) ierr = off[b] + l + 1;
    }
  }

  // Eigenvectors back in the |K> basis, into the columns of sw.H
  for (int c = 0; c < N; ++c)
    for (int r = 0; r < N; ++r) sw.H[r + c * ld] = 0.0;
  for (int b = 0; b < 4; ++b) {
    const int n = off[b + 1] - off[b];
    for (int i = 0; i < n; ++i) {
      const WangFunction fi = wangFunction(J, firstK[b] + 2 * i, sign[b]);
      for (int l = 0; l < n; ++l) {
        const double u = sw.V[(off[b] + i) + (off[b] + l) * ld];
        for (int a = 0; a < fi.n; ++a) sw.H[fi.pos[a] + (off[b] + l) * ld] += fi.coef[a] * u;
      }
    }
  }
  sortEigenpairs(E, sw.H.data(), N, ld);
}

namespace {

// Characters (+1 or -1) of a rigid-rotor eigenvector v (components K = -J..J)
// under the twofold rotations about z, x and y.  With real ladder elements
// C2(y)|K> = (-1)^(J+K) |-K>, so a Wang function |K,s> has the characters
// (-1)^K about z, s (-1)^(J+K) about y and s (-1)^J about x.  K parity and s
// are read from the vector as the signs of <v|(-1)^Jz|v> and <v|P|v>, with
// P|K> = |-K>; both are exactly +-1 for an eigenvector of one Wang block.
std::array<int, 3> twofoldCharacters(const double* v, int J) {
  double kParity = 0.0, reflection = 0.0;
  for (int K = -J; K <= J; ++K) {
    const double c = v[K + J];
    kParity += (K % 2 == 0 ? c : -c) * c;
    reflection += c * v[J - K];
  }
  const int pz = kParity < 0.0 ? -1 : 1;
  const int s = reflection < 0.0 ? -1 : 1;
  const int pJ = J % 2 == 0 ? 1 : -1;
  return {pz, s * pJ, s * pJ * pz}; // z, x, y
}

} // namespace

void orderDoubletsBySymmetry(SweepWork& sw, int J, const double* E, ConstParamView par) {
  const int N = 2 * J + 1;
  const int ld = sw.ld;
  // rotational constants about z, x, y (GHz): H = BJ J^2 + BK Jz^2 + B-(Jx^2 - Jy^2)
  const double BJ = par(par::BJ);
  const std::array<double, 3> rot = {BJ + par(par::BK), BJ + par(par::Bm), BJ - par(par::Bm)};
  int a = 0, c = 0;
  for (int i = 1; i < 3; ++i) {
    if (rot[i] > rot[a]) a = i;
    if (rot[i] < rot[c]) c = i;
  }
  if (a == c) return; // a spherical top: no asymmetric-top labels to keep apart
  // degenerate to rounding: within 1e-9 of the largest level energy of the block
  double scale = 0.0;
  for (int l = 0; l < N; ++l) scale = std::max(scale, std::fabs(E[l]));
  const double tol = 1e-9 * scale + 1e-12;
  // characters (-1)^Ka, (-1)^Kc that the label of position t = l + 1 asks for
  auto wanted = [&](int l, int& ka, int& kc) {
    const int t = l + 1;
    ka = (t / 2) % 2 == 0 ? 1 : -1;
    kc = ((2 * J - t + 2) / 2) % 2 == 0 ? 1 : -1;
  };
  for (int l = 0; l + 1 < N; ++l) {
    if (E[l + 1] - E[l] > tol) continue;
    double* u = &sw.H[static_cast<std::size_t>(l) * ld];
    double* w = u + ld;
    const std::array<int, 3> cu = twofoldCharacters(u, J), cw = twofoldCharacters(w, J);
    int ka0, kc0, ka1, kc1;
    wanted(l, ka0, kc0);
    wanted(l + 1, ka1, kc1);
    const bool inOrder = cu[a] == ka0 && cu[c] == kc0 && cw[a] == ka1 && cw[c] == kc1;
    const bool swapped = cw[a] == ka0 && cw[c] == kc0 && cu[a] == ka1 && cu[c] == kc1;
    if (inOrder || !swapped) continue;
    for (int r = 0; r < N; ++r) std::swap(u[r], w[r]);
    ++l; // a level belongs to one doublet only
  }
}

bool rigidRotorEnergies(const RunState& rs, int J, int F2, ConstParamView par, RigidEnergyWork& w,
                        std::vector<double>& E) {
  const int N = 2 * J + 1;
  BlockState& blk = w.block.blk;
  blk.ntop = 0;
  blk.nvv = 1;
  blk.d = N;
  blk.N = N;
  blk.woods = 0; // one torsional state: no overlaps between states to weigh
  if (!hasWangSymmetry(w.block, par)) return false;
  w.block.basis.resize(static_cast<std::size_t>(N) + 1);
  for (int p = 1; p <= N; ++p) w.block.basis[p].K = p - J - 1;
  recordRotorElements(rs, w.block, J, 0, F2, par, w.elements);
  // the block matrix H(r, c), positions K + J, GHz, held as its bands
  // |r - c| <= maxStep (the Wang-symmetric terms couple Delta K <= 6)
  int maxStep = 0;
  for (const OperatorElement& el : w.elements) {
    if (el.kind == OperatorElement::IMAGINARY) return false;
    maxStep = std::max(maxStep, std::abs(el.r - el.c));
  }
  const int width = 2 * maxStep + 1;
  w.h.assign(static_cast<std::size_t>(N) * width, 0.0);
  auto at = [&](int r, int c) { return static_cast<std::size_t>(r) * width + (c - r + maxStep); };
  for (const OperatorElement& el : w.elements) {
    w.h[at(el.r, el.c)] += el.g;
    if (el.r != el.c) w.h[at(el.c, el.r)] += el.g;
  }
  auto h = [&](int r, int c) { return std::abs(r - c) > maxStep ? 0.0 : w.h[at(r, c)]; };
  // Wang blocks as band matrices: functions K = first, first + 2, ... couple
  // over |Delta K| / 2 places
  const int kd = maxStep / 2;
  const int ldab = kd + 1;
  constexpr int firstK[4] = {0, 2, 1, 1};
  constexpr int sign[4] = {1, -1, 1, -1};
  E.clear();
  for (int b = 0; b < 4; ++b) {
    const int n = firstK[b] > J ? 0 : (J - firstK[b]) / 2 + 1;
    if (n == 0) continue;
    w.band.assign(static_cast<std::size_t>(ldab) * n, 0.0);
    w.e.resize(static_cast<std::size_t>(n));
    w.work.resize(static_cast<std::size_t>(std::max(1, 3 * n - 2)));
    for (int j = 0; j < n; ++j) {
      const WangFunction fj = wangFunction(J, firstK[b] + 2 * j, sign[b]);
      for (int i = j; i <= std::min(n - 1, j + kd); ++i) {
        const WangFunction fi = wangFunction(J, firstK[b] + 2 * i, sign[b]);
        double v = 0.0;
        for (int a = 0; a < fi.n; ++a)
          for (int c = 0; c < fj.n; ++c) v += fi.coef[a] * fj.coef[c] * h(fi.pos[a], fj.pos[c]);
        w.band[(i - j) + static_cast<std::size_t>(j) * ldab] = v;
      }
    }
    if (symmetricBandEigenvalues(n, kd, w.band.data(), ldab, w.e.data(), w.work.data()) != 0)
      return false;
    E.insert(E.end(), w.e.begin(), w.e.end());
  }
  std::sort(E.begin(), E.end());
  return true;
}

} // namespace ruvo
