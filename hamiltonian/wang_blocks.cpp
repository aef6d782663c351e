#include "hamiltonian/wang_blocks.h"

#include <array>
#include <cmath>

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

} // namespace ruvo
