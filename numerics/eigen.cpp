// Eigenvalue solvers for real symmetric and complex Hermitian matrices.
//
// The Hamiltonian of a block is diagonalised in two steps: a unitary
// similarity brings it to tridiagonal form (Householder reflections), then a
// QL iteration with plane rotations drives the couplings of the tridiagonal
// matrix to zero.  The product of all transformations is the eigenvector
// matrix.  Everything runs in the caller's arrays; nothing is allocated.
#include "numerics/eigen.h"

#include "numerics/blas1.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>

extern "C" void dsbev_(const char* jobz, const char* uplo, const int* n, const int* kd, double* ab,
                       const int* ldab, double* w, double* z, const int* ldz, double* work,
                       int* info);
extern "C" void dsyevr_(const char* jobz, const char* range, const char* uplo, const int* n,
                        double* a, const int* lda, const double* vl, const double* vu,
                        const int* il, const int* iu, const double* abstol, int* m, double* w,
                        double* z, const int* ldz, int* isuppz, double* work, const int* lwork,
                        int* iwork, const int* liwork, int* info);

namespace ruvo {

namespace {

// The real reduction drops an element whose square is at most kNoise, and
// skips a rank-two update term whose factor is at most kNoise in magnitude:
// both are numerical noise.
constexpr double kNoise = 1.0e-30;
// Relative size below which a coupling of the real QL iteration is zero.
constexpr double kCouplingTol = 1.0e-15;
// Iterations allowed per eigenvalue in both QL iterations.
constexpr int kMaxIter = QL_MAX_ITERATIONS;

const double kZero = 0.0;

inline double& at(double* a, int nm, int r, int c) { return a[r + static_cast<long>(c) * nm]; }
inline double at(const double* a, int nm, int r, int c) { return a[r + static_cast<long>(c) * nm]; }

// Exchange columns i and k (rows 0..n-1) of a column-major matrix.
void swapColumns(double* v, int nm, int n, int i, int k) {
  double* ci = v + static_cast<long>(i) * nm;
  double* ck = v + static_cast<long>(k) * nm;
  for (int r = 0; r < n; ++r) std::swap(ci[r], ck[r]);
}

// Index of the smallest value of d[i..n-1]; among equal values the last
// one is taken.
int lastMinimum(const double* d, int i, int n) {
  int k = i;
  double p = d[i];
  for (int j = i + 1; j < n; ++j) {
    if (d[j] <= p) {
      k = j;
      p = d[j];
    }
  }
  return k;
}

// Two-lane vectors (SSE2, present on every x86-64 processor) for the
// inner loops of the complex reduction; unaligned loads and stores.
using vec2 = double __attribute__((vector_size(16)));
inline vec2 load2(const double* p) {
  vec2 v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
inline void store2(double* p, vec2 v) { __builtin_memcpy(p, &v, sizeof v); }
inline vec2 splat2(double x) { return vec2{x, x}; }

// x := x - w (w^H x) for complex vectors of length len, each given by its
// real and imaginary parts (all contiguous): one Householder reflection
// I - w w^H (|w|^2 = 2) applied to one eigenvector.
void reflect(int len, const double* wr, const double* wi, double* xr, double* xi) {
  // w^H x = sum (wr - i wi)(xr + i xi), two partial sums per lane pair
  vec2 re0 = splat2(0.0), re1 = re0, im0 = re0, im1 = re0;
  int k = 0;
  for (; k + 4 <= len; k += 4) {
    const vec2 ar = load2(wr + k), ai = load2(wi + k), br = load2(xr + k), bi = load2(xi + k);
    const vec2 cr = load2(wr + k + 2), ci = load2(wi + k + 2);
    const vec2 dr = load2(xr + k + 2), di = load2(xi + k + 2);
    re0 += ar * br + ai * bi;
    im0 += ar * bi - ai * br;
    re1 += cr * dr + ci * di;
    im1 += cr * di - ci * dr;
  }
  const vec2 re = re0 + re1, im = im0 + im1;
  double sRe = re[0] + re[1], sIm = im[0] + im[1];
  for (; k < len; ++k) {
    sRe += wr[k] * xr[k] + wi[k] * xi[k];
    sIm += wr[k] * xi[k] - wi[k] * xr[k];
  }
  // x -= (sRe + i sIm)(wr + i wi)
  const vec2 vRe = splat2(sRe), vIm = splat2(sIm);
  k = 0;
  for (; k + 2 <= len; k += 2) {
    const vec2 ar = load2(wr + k), ai = load2(wi + k);
    store2(xr + k, load2(xr + k) - (vRe * ar - vIm * ai));
    store2(xi + k, load2(xi + k) - (vRe * ai + vIm * ar));
  }
  for (; k < len; ++k) {
    xr[k] -= sRe * wr[k] - sIm * wi[k];
    xi[k] -= sRe * wi[k] + sIm * wr[k];
  }
}

// Two consecutive reflections, x := (I - v v^H)(I - w w^H) x, with w over
// rows 0..len-1 and v over rows 0..len; gamma = v^H w.  With t = w^H x and
// u = v^H x from one pass over x, the second coefficient is
// v^H (x - t w) = u - t gamma, and one more pass applies both.
void reflectPair(int len, const double* wr, const double* wi, const double* vr, const double* vi,
                 double gRe, double gIm, double* xr, double* xi) {
  vec2 tr = splat2(0.0), ti = tr, ur = tr, ui = tr;
  int k = 0;
  for (; k + 2 <= len; k += 2) {
    const vec2 br = load2(xr + k), bi = load2(xi + k);
    const vec2 ar = load2(wr + k), ai = load2(wi + k);
    const vec2 cr = load2(vr + k), ci = load2(vi + k);
    tr += ar * br + ai * bi;
    ti += ar * bi - ai * br;
    ur += cr * br + ci * bi;
    ui += cr * bi - ci * br;
  }
  double tRe = tr[0] + tr[1], tIm = ti[0] + ti[1];
  double uRe = ur[0] + ur[1], uIm = ui[0] + ui[1];
  for (; k < len; ++k) {
    tRe += wr[k] * xr[k] + wi[k] * xi[k];
    tIm += wr[k] * xi[k] - wi[k] * xr[k];
    uRe += vr[k] * xr[k] + vi[k] * xi[k];
    uIm += vr[k] * xi[k] - vi[k] * xr[k];
  }
  uRe += vr[len] * xr[len] + vi[len] * xi[len];
  uIm += vr[len] * xi[len] - vi[len] * xr[len];
  // second coefficient u - t gamma
  const double sRe = uRe - (tRe * gRe - tIm * gIm);
  const double sIm = uIm - (tRe * gIm + tIm * gRe);
  // x -= t w + s v
  const vec2 vtRe = splat2(tRe), vtIm = splat2(tIm), vsRe = splat2(sRe), vsIm = splat2(sIm);
  k = 0;
  for (; k + 2 <= len; k += 2) {
    const vec2 ar = load2(wr + k), ai = load2(wi + k);
    const vec2 cr = load2(vr + k), ci = load2(vi + k);
    store2(xr + k, load2(xr + k) - (vtRe * ar - vtIm * ai) - (vsRe * cr - vsIm * ci));
    store2(xi + k, load2(xi + k) - (vtRe * ai + vtIm * ar) - (vsRe * ci + vsIm * cr));
  }
  for (; k < len; ++k) {
    xr[k] -= (tRe * wr[k] - tIm * wi[k]) + (sRe * vr[k] - sIm * vi[k]);
    xi[k] -= (tRe * wi[k] + tIm * wr[k]) + (sRe * vi[k] + sIm * vr[k]);
  }
  xr[len] -= sRe * vr[len] - sIm * vi[len];
  xi[len] -= sRe * vi[len] + sIm * vr[len];
}

// Plane rotation of two columns of length len (what drot does with unit
// increments): x := c x + s y, y := c y - s x.
void rotateColumns(int len, double* x, double* y, double c, double s) {
  const vec2 vc = splat2(c), vs = splat2(s);
  int k = 0;
  for (; k + 4 <= len; k += 4) {
    const vec2 x0 = load2(x + k), x1 = load2(x + k + 2);
    const vec2 y0 = load2(y + k), y1 = load2(y + k + 2);
    store2(x + k, vc * x0 + vs * y0);
    store2(x + k + 2, vc * x1 + vs * y1);
    store2(y + k, vc * y0 - vs * x0);
    store2(y + k + 2, vc * y1 - vs * x1);
  }
  for (; k < len; ++k) {
    const double t = c * x[k] + s * y[k];
    y[k] = c * y[k] - s * x[k];
    x[k] = t;
  }
}

} // namespace

// ---------------------------------------------------------------- real

void diagonaliseRealSymmetric(int nm, int n, double* a, double* d, double* e, int& ierr) {
  ierr = 0;
  if (n <= 0) return;
  if (n == 1) {
    d[0] = a[0];
    a[0] = 1.0;
    e[0] = 0.0;
    return;
  }

  // Householder reduction T = Q^T A Q, from the last row upwards.  Row i
  // (0-based) of the current matrix has the elements A(i, 0..i-2) left of
  // its subdiagonal element h = A(i, i-1) annihilated by the reflection
  // P = I - w w^T acting on rows/columns 0..i-1, with |w|^2 = 2.  The
  // reflection vector w stays in row i and a contiguous copy of it goes to
  // the (otherwise unused) strict upper part of column i.  d[i] records
  // whether row i was reflected (1) or left alone (0); e[0..i-1] holds the
  // vectors p = A w and q of the rank-two update meanwhile.
  for (int i = n - 1; i >= 2; --i) {
    const int order = i; // order of the leading block the reflection acts on
    double* row = a + i; // row i: element k at row[k*nm]
    double* w = a + static_cast<long>(i) * nm;
    const double h = row[static_cast<long>(i - 1) * nm];

    double sigma = 0.0; // sum of squares of the elements to annihilate
    bool anyLeft = false;
    for (int k = 0; k < i - 1; ++k) {
      double& x = row[static_cast<long>(k) * nm];
      if (x * x <= kNoise) {
        x = 0.0;
      } else {
        sigma += x * x;
        anyLeft = true;
      }
    }
    if (!anyLeft || sigma < h * h * kNoise) {
      e[i - 1] = h;
      d[i] = 0.0;
      continue;
    }

    // The row x = A(i, 0..i-1) is mapped to -g e_{i-1}, |g| = |x|, g with
    // the sign of h; u = x + g e_{i-1} and w = u / sqrt(u.u/2).
    const double g = std::copysign(std::sqrt(sigma + h * h), h);
    const double halfNorm2 = sigma + h * h + h * g; // u.u / 2
    row[static_cast<long>(i - 1) * nm] = h + g;
    blas::dscal(order, 1.0 / std::sqrt(halfNorm2), row, nm);
    blas::dcopy(order, row, nm, w, 1);

    // p = A w over the leading block, from its lower triangle column by
    // column: the diagonal and sub-diagonal part of column c contributes
    // A(c.., c).w(c..) to p(c) and w(c) A(c+1.., c) to p(c+1..).
    double* p = e;
    blas::dcopy(order, &kZero, 0, p, 1);
    for (int c = 0; c < order; ++c) {
      const double* col = a + c + static_cast<long>(c) * nm; // A(c, c) and below
      const int below = order - 1 - c;
      p[c] += col[0] * w[c] + blas::ddot(below, col + 1, 1, w + c + 1, 1);
      if (std::fabs(w[c]) > kNoise) blas::daxpy(below, w[c], col + 1, 1, p + c + 1, 1);
    }
    // q = p - (w.p / 2) w; then P A P = A - w q^T - q w^T.
    const double halfWp = 0.5 * blas::ddot(order, w, 1, p, 1);
    blas::daxpy(order, -halfWp, w, 1, p, 1);
    const double* q = p;
    for (int c = 0; c < order; ++c) {
      double* col = a + c + static_cast<long>(c) * nm;
      const int len = order - c;
      if (std::fabs(q[c]) > kNoise) blas::daxpy(len, -q[c], w + c, 1, col, 1);
      if (std::fabs(w[c]) > kNoise) blas::daxpy(len, -w[c], q + c, 1, col, 1);
    }
    e[i - 1] = -g;
    d[i] = 1.0;
  }
  e[0] = at(a, nm, 1, 0);
  d[1] = 0.0;
  d[0] = 0.0;

  // Accumulation of Q = P_{n-1} ... P_2, from the first row on.  Before
  // step i the leading i x i block holds the product of the reflections of
  // rows 0..i-1; the reflection of row i multiplies it from the left.  Row
  // and column i of Q are then the unit vector.
  for (int i = 0; i < n; ++i) {
    const bool reflected = d[i] != 0.0;
    double* wcol = a + static_cast<long>(i) * nm; // w of row i, rows 0..i-1
    d[i] = wcol[i];                               // diagonal of T
    if (reflected) {
      for (int j = 0; j < i; ++j) {
        double* qj = a + static_cast<long>(j) * nm;
        const double wq = blas::ddot(i, wcol, 1, qj, 1);
        if (wq != 0.0) blas::daxpy(i, -wq, wcol, 1, qj, 1);
      }
    }
    wcol[i] = 1.0;
    if (i > 0) {
      blas::dcopy(i, &kZero, 0, a + i, nm); // row i
      blas::dcopy(i, &kZero, 0, wcol, 1);   // column i
    }
  }

  qlImplicitShift(nm, n, a, d, e, ierr);
}

void qlImplicitShift(int nm, int n, double* z, double* d, double* e, int& ierr) {
  ierr = 0;
  if (n <= 0) return;
  e[n - 1] = 0.0;
  for (int l = 0; l < n - 1; ++l) {
    int iter = 0;
    for (;;) {
      // The block l..m is unreduced: e[m] is the first negligible coupling.
      int m = l;
      for (; m < n - 1; ++m) {
        if (std::fabs(e[m]) <= kCouplingTol * (std::fabs(d[m]) + std::fabs(d[m + 1]))) break;
      }
      if (m == l) break; // d[l] is an eigenvalue
      if (++iter > kMaxIter) {
        ierr = l + 1;
        return;
      }

      // Shift towards the eigenvalue of the leading 2x2 closest to d[l].
      const double q = (d[l + 1] - d[l]) / (2.0 * e[l]);
      double r = std::sqrt(q * q + 1.0);
      double g = d[m] - d[l] + e[l] / (q + std::copysign(r, q));
      double sn = 1.0, cs = 1.0, pv = d[m];

      // Chase the bulge from the bottom of the block up to row l.
      for (int i = m - 1; i >= l; --i) {
        const double f = sn * e[i];
        const double b = cs * e[i];
        if (f == 0.0 && g == 0.0) {
          // Possible only after underflow: the rotation is the identity.
          e[i + 1] = 0.0;
          cs = 1.0;
          sn = 0.0;
        } else if (std::fabs(f) >= std::fabs(g)) {
          const double t = g / f;
          r = std::sqrt(t * t + 1.0);
          e[i + 1] = f * r;
          sn = 1.0 / r;
          cs = t * sn;
        } else {
          const double t = f / g;
          r = std::sqrt(t * t + 1.0);
          e[i + 1] = g * r;
          cs = 1.0 / r;
          sn = t * cs;
        }
        const double rr = d[i] * cs - sn * b;
        const double ss = cs * b - sn * pv;
        const double u = cs * rr - sn * ss;
        d[i + 1] = d[i] + pv - u;
        g = cs * ss + sn * rr;
        pv = u;
        // column i+1 := cs col(i+1) + sn col(i); column i := cs col(i) - sn col(i+1),
        // here rather than by the BLAS: a Wang block of a rigid rotor has at
        // most J/2 + 1 rows, and for them the call into the library cost
        // more than the rotation (the arithmetic is that of drot, element by
        // element, so the digits are the same)
        rotateColumns(n, z + static_cast<long>(i + 1) * nm, z + static_cast<long>(i) * nm, cs, sn);
      }
      d[l] = pv;
      e[l] = g;
      e[m] = 0.0;
    }
  }
}

void sortEigenpairs(double* d, double* v, int n, int nm) {
  for (int i = 0; i < n - 1; ++i) {
    const int k = lastMinimum(d, i, n);
    if (k != i) {
      std::swap(d[i], d[k]);
      swapColumns(v, nm, n, i, k);
    }
  }
}

// -------------------------------------------------------------- complex

double hypotenuse(double a, double b) {
  const double x = std::fabs(a), y = std::fabs(b);
  const double big = std::max(x, y), small = std::min(x, y);
  if (big == 0.0) return small; // also passes a NaN through
  if (std::isinf(big)) return big;
  const double ratio = small / big;
  return big * std::sqrt(1.0 + ratio * ratio);
}

void reduceHermitianToTridiagonal(int nm, int n, double* a, double* d, double* e, double* e2,
                                  double* tau) {
  if (n <= 0) return;
  // Phase factors delta_k (tau) of the diagonal unitary D that makes the
  // couplings of T real and non-negative: T' = D^H T D.  The last basis
  // vector keeps phase 1.
  tau[2 * (n - 1)] = 1.0;
  tau[2 * (n - 1) + 1] = 0.0;

  for (int i = n - 1; i >= 1; --i) {
    // Row i of H: Re H(i, k) at re[k*nm], Im H(i, k) at im[k], k < i.  The
    // reflection works on the column y = H(0..i-1, i) = conj(row i).
    double* re = a + i;
    double* im = a + static_cast<long>(i) * nm;
    d[i] = im[i]; // diagonal element, final: later steps touch rows < i only
    const double dRe = tau[2 * i], dIm = tau[2 * i + 1];

    double scale = 0.0; // 1-norm of the elements left of the subdiagonal
    for (int k = 0; k < i - 1; ++k)
      scale += std::fabs(re[static_cast<long>(k) * nm]) + std::fabs(im[k]);
    const double subRe = re[static_cast<long>(i - 1) * nm]; // y(i-1)
    const double subIm = -im[i - 1];

    if (scale == 0.0) {
      // Already tridiagonal in this row: the coupling is conj(y(i-1)).
      const double mag = hypotenuse(subRe, subIm);
      e2[i] = mag * mag;
      e[i] = mag;
      double phRe = 1.0, phIm = 0.0; // y(i-1)/|y(i-1)|
      if (mag > 0.0) {
        phRe = subRe / mag;
        phIm = subIm / mag;
      }
      tau[2 * (i - 1)] = dRe * phRe - dIm * phIm;
      tau[2 * (i - 1) + 1] = dRe * phIm + dIm * phRe;
      im[i] = 0.0; // no reflection for this row
      continue;
    }

    // Householder vector, in units of `scale`: u = y + e^{i phi} sigma e_{i-1}
    // with e^{i phi} the phase of y(i-1) and sigma = |y|, so that
    // (I - u u^H / hh) y = -e^{i phi} sigma e_{i-1}, hh = sigma (sigma + |y(i-1)|).
    double sumSq = 0.0;
    for (int k = 0; k < i - 1; ++k) {
      const double xr = re[static_cast<long>(k) * nm] / scale, xi = im[k] / scale;
      sumSq += xr * xr + xi * xi;
    }
    const double sr = subRe / scale, si = subIm / scale;
    const double g = hypotenuse(sr, si);
    const double sigma = std::sqrt(sumSq + g * g);
    double phRe = 1.0, phIm = 0.0;
    if (g > 0.0) {
      phRe = sr / g;
      phIm = si / g;
    }
    const double norm = 1.0 / std::sqrt(sigma * (sigma + g)); // w = u / sqrt(hh)

    // w = wr + i wi over rows 0..i-1: wr in d[0..i-1] (work), wi in place of
    // Im row i (contiguous).  p = H w goes to e[0..i-1] (real part) and
    // tau[0..i-1] (imaginary part): the phases delta_0..delta_{i-2} that
    // occupy tau[0..2i-3] are not known yet, and e2 may be the same array
    // as e.
    const int order = i;
    double* wr = d;
    double* wi = im;
    for (int k = 0; k < i - 1; ++k) {
      wr[k] = re[static_cast<long>(k) * nm] / scale * norm;
      wi[k] = -im[k] / scale * norm;
    }
    wr[i - 1] = (sr + phRe * sigma) * norm;
    wi[i - 1] = (si + phIm * sigma) * norm;

    // p = H w with H = Hr + i Hi (Hr symmetric, Hi antisymmetric) over the
    // leading block: pr = Hr wr - Hi wi, pi = Hr wi + Hi wr.  Column c of
    // the array holds Hr(c.., c) from the diagonal down and Hi(c, 0..c-1)
    // above the diagonal, both contiguous.
    double* pr = e;
    double* pim = tau;
    std::fill(pr, pr + order, 0.0);
    std::fill(pim, pim + order, 0.0);
    for (int c = 0; c < order; ++c) {
      const double* col = a + static_cast<long>(c) * nm;
      const double wrc = wr[c], wic = wi[c];
      const vec2 vwr = splat2(wrc), vwi = splat2(wic);
      vec2 accR = splat2(0.0), accI = accR;
      // symmetric part, rows c+1..order-1: Hr(r, c) = col[r]
      int r = c + 1;
      for (; r + 2 <= order; r += 2) {
        const vec2 hr = load2(col + r);
        accR += hr * load2(wr + r);
        accI += hr * load2(wi + r);
        store2(pr + r, load2(pr + r) + hr * vwr);
        store2(pim + r, load2(pim + r) + hr * vwi);
      }
      double dotR = col[c] * wrc + accR[0] + accR[1];
      double dotI = col[c] * wic + accI[0] + accI[1];
      for (; r < order; ++r) {
        const double hr = col[r];
        dotR += hr * wr[r];
        dotI += hr * wi[r];
        pr[r] += hr * wrc;
        pim[r] += hr * wic;
      }
      // antisymmetric part, rows 0..c-1: Hi(c, r) = col[r], Hi(r, c) = -col[r]
      accR = splat2(0.0);
      accI = accR;
      r = 0;
      for (; r + 2 <= c; r += 2) {
        const vec2 hi = load2(col + r);
        accR -= hi * load2(wi + r);
        accI += hi * load2(wr + r);
        store2(pr + r, load2(pr + r) + hi * vwi);
        store2(pim + r, load2(pim + r) - hi * vwr);
      }
      dotR += accR[0] + accR[1];
      dotI += accI[0] + accI[1];
      for (; r < c; ++r) {
        const double hi = col[r];
        dotR -= hi * wi[r];
        dotI += hi * wr[r];
        pr[r] += hi * wic;
        pim[r] -= hi * wrc;
      }
      pr[c] += dotR;
      pim[c] += dotI;
    }
    // q = p - (Re(w^H p)/2) w; then P H P = H - w q^H - q w^H.
    double wp = 0.0;
    for (int k = 0; k < order; ++k) wp += wr[k] * pr[k] + wi[k] * pim[k];
    const double half = 0.5 * wp;
    for (int k = 0; k < order; ++k) {
      pr[k] -= half * wr[k];
      pim[k] -= half * wi[k];
    }
    const double* qr = pr;
    const double* qi = pim;
    for (int c = 0; c < order; ++c) {
      double* col = a + static_cast<long>(c) * nm;
      const double wrc = wr[c], wic = wi[c], qrc = qr[c], qic = qi[c];
      const vec2 vwr = splat2(wrc), vwi = splat2(wic), vqr = splat2(qrc), vqi = splat2(qic);
      // Im H(c, r), r < c:  -Im(w_c conj(q_r) + q_c conj(w_r))
      int r = 0;
      for (; r + 2 <= c; r += 2)
        store2(col + r, load2(col + r) - vwi * load2(qr + r) + vwr * load2(qi + r) -
                            vqi * load2(wr + r) + vqr * load2(wi + r));
      for (; r < c; ++r) col[r] += -wic * qr[r] + wrc * qi[r] - qic * wr[r] + qrc * wi[r];
      // Re H(c, c): -2 Re(w_c conj(q_c))
      col[c] -= 2.0 * (wrc * qrc + wic * qic);
      // Re H(r, c), r > c:  -Re(w_r conj(q_c) + q_r conj(w_c))
      r = c + 1;
      for (; r + 2 <= order; r += 2)
        store2(col + r, load2(col + r) - (load2(wr + r) * vqr + load2(wi + r) * vqi +
                                          load2(qr + r) * vwr + load2(qi + r) * vwi));
      for (; r < order; ++r) col[r] -= wr[r] * qrc + wi[r] * qic + qr[r] * wrc + qi[r] * wic;
    }

    // The reflection vector stays in row i (real part) and above the
    // diagonal of column i (imaginary part); the diagonal marks it.
    blas::dcopy(order, wr, 1, re, nm);
    im[i] = 1.0;

    // New coupling H(i, i-1) = conj(-e^{i phi} sigma): magnitude sigma,
    // phase delta_{i-1} = -delta_i e^{i phi}.
    const double mag = sigma * scale;
    e2[i] = mag * mag;
    e[i] = mag;
    tau[2 * (i - 1)] = -(dRe * phRe - dIm * phIm);
    tau[2 * (i - 1) + 1] = -(dRe * phIm + dIm * phRe);
  }
  d[0] = a[0];
  e2[0] = 0.0;
  e[0] = 0.0;
}

void tridiagonalEigenpairsByQL(int nm, int n, double* d, double* e, double* z, int& ierr) {
  ierr = 0;
  if (n <= 1) return;
  // From here on e[k] couples rows k and k+1.
  for (int k = 1; k < n; ++k) e[k - 1] = e[k];
  e[n - 1] = 0.0;

  for (int l = 0; l < n; ++l) {
    int iter = 0;
    for (;;) {
      // First negligible coupling at or below row l (relative to the two
      // diagonal elements it joins; the floor stops endless work on zeros).
      int m = l;
      for (; m < n - 1; ++m) {
        const double em = std::fabs(e[m]);
        if (em <= DBL_EPSILON * (std::fabs(d[m]) + std::fabs(d[m + 1])) || em < DBL_MIN) break;
      }
      if (m == l) break;
      if (iter == kMaxIter) {
        ierr = l + 1;
        return;
      }
      ++iter;

      // Explicit shift: the eigenvalue of the leading 2x2 of the block that
      // is closest to d[l].
      const double delta = (d[l + 1] - d[l]) / (2.0 * e[l]);
      const double shift = d[l] - e[l] / (delta + std::copysign(hypotenuse(delta, 1.0), delta));

      // One QL step of the shifted block, T - shift = Q L, T' = L Q + shift
      // = Q^T T Q, as a sequence of plane rotations in the planes (i, i+1),
      // i = m-1 .. l.  The first rotation turns the last column
      // (e[m-1], d[m] - shift) of the shifted block onto row m; each further
      // one removes the bulge T(i, i+2) against T(i+1, i+2).  A rotation
      // commutes with the shift, so the similarities themselves act on the
      // unshifted matrix and the diagonal never carries the rounding of a
      // subtracted and re-added shift.  Before rotation i: coupling =
      // T(i, i+1), lower = T(i+1, i+1), (bulge, pivot) = the pair to rotateTopAxes.
      double coupling = e[m - 1], lower = d[m];
      double bulge = e[m - 1], pivot = d[m] - shift;
      for (int i = m - 1; i >= l; --i) {
        const double r = hypotenuse(bulge, pivot);
        double c = 1.0, s = 0.0;
        if (r != 0.0) {
          c = pivot / r;
          s = bulge / r;
        }
        if (i < m - 1) e[i + 1] = r;
        // Similarity with [[c, -s], [s, c]] on the 2x2 block of rows i,
        // i+1, written with the difference of its diagonal elements so that
        // the rounding scales with the change, not with the levels: the
        // diagonal moves by -+transfer, the trace is kept.
        const double upper = d[i];
        const double diff = upper - lower;
        const double cs = c * s;
        const double transfer = s * s * diff + 2.0 * cs * coupling;
        const double newUpper = upper - transfer;
        const double newCoupling = cs * diff + (c - s) * (c + s) * coupling;
        d[i + 1] = lower + transfer;
        // eigenvector columns: z_i := c z_i - s z_{i+1}, z_{i+1} := s z_i + c z_{i+1}
        rotateColumns(n, z + static_cast<long>(i + 1) * nm, z + static_cast<long>(i) * nm, c, s);
        if (i > l) {
          coupling = c * e[i - 1];
          bulge = s * e[i - 1];
          pivot = newCoupling;
          lower = newUpper;
        } else {
          d[l] = newUpper;
          e[l] = newCoupling;
        }
      }
    }
  }

  // Ascending order (first of equal values kept in place).
  for (int i = 0; i < n - 1; ++i) {
    int k = i;
    for (int j = i + 1; j < n; ++j)
      if (d[j] < d[k]) k = j;
    if (k != i) {
      std::swap(d[i], d[k]);
      swapColumns(z, nm, n, i, k);
    }
  }
}

void backTransformHermitianEigenvectors(int nm, int n, const double* a, const double* tau, int m,
                                        double* zr, double* zi) {
  if (n <= 0 || m <= 0) return;
  // x = D z: the phases of the tridiagonalisation.
  for (int j = 0; j < m; ++j) {
    double* xr = zr + static_cast<long>(j) * nm;
    double* xi = zi + static_cast<long>(j) * nm;
    for (int k = 0; k < n; ++k) {
      const double z = xr[k];
      xr[k] = tau[2 * k] * z;
      xi[k] = tau[2 * k + 1] * z;
    }
  }
  // x = P_{n-1} ... P_2 D z: the reflections, first that of row 2, each
  // x := x - w (w^H x) over rows 0..i-1.  Columns go in groups that stay in
  // cache while the reflections stream past; the real part of w, stored in
  // a row, is gathered once per group.
  constexpr int kGroup = 32;
  constexpr int kGather = 512;
  double wrBuf[kGather], vrBuf[kGather];
  auto reflected = [&](int i) { return at(a, nm, i, i) != 0.0; };
  for (int j0 = 0; j0 < m; j0 += kGroup) {
    const int j1 = std::min(m, j0 + kGroup);
    for (int i = 2; i < n; ++i) {
      if (!reflected(i)) continue;
      const double* wi = a + static_cast<long>(i) * nm;
      const double* wrow = a + i;
      if (i + 1 <= kGather) {
        for (int k = 0; k < i; ++k) wrBuf[k] = wrow[static_cast<long>(k) * nm];
        if (i + 1 < n && reflected(i + 1)) {
          // rows i and i+1 together: gamma = v^H w over rows 0..i-1
          const double* vi = a + static_cast<long>(i + 1) * nm;
          const double* vrow = a + i + 1;
          double gRe = 0.0, gIm = 0.0;
          for (int k = 0; k <= i; ++k) {
            vrBuf[k] = vrow[static_cast<long>(k) * nm];
            if (k < i) {
              gRe += vrBuf[k] * wrBuf[k] + vi[k] * wi[k];
              gIm += vrBuf[k] * wi[k] - vi[k] * wrBuf[k];
            }
          }
          for (int j = j0; j < j1; ++j)
            reflectPair(i, wrBuf, wi, vrBuf, vi, gRe, gIm, zr + static_cast<long>(j) * nm,
                        zi + static_cast<long>(j) * nm);
          ++i;
          continue;
        }
        for (int j = j0; j < j1; ++j)
          reflect(i, wrBuf, wi, zr + static_cast<long>(j) * nm, zi + static_cast<long>(j) * nm);
        continue;
      }
      // orders beyond the gather buffer: the row is read in place
      for (int j = j0; j < j1; ++j) {
        double* xr = zr + static_cast<long>(j) * nm;
        double* xi = zi + static_cast<long>(j) * nm;
        double sRe = 0.0, sIm = 0.0; // w^H x
        for (int k = 0; k < i; ++k) {
          const double wrk = wrow[static_cast<long>(k) * nm];
          sRe += wrk * xr[k] + wi[k] * xi[k];
          sIm += wrk * xi[k] - wi[k] * xr[k];
        }
        for (int k = 0; k < i; ++k) {
          const double wrk = wrow[static_cast<long>(k) * nm];
          xr[k] -= sRe * wrk - sIm * wi[k];
          xi[k] -= sRe * wi[k] + sIm * wrk;
        }
      }
    }
  }
}

void sortHermitianEigenpairs(double* d, double* zr, double* zi, int n, int nm) {
  for (int i = 0; i < n - 1; ++i) {
    const int k = lastMinimum(d, i, n);
    if (k != i) {
      std::swap(d[i], d[k]);
      swapColumns(zr, nm, n, i, k);
      swapColumns(zi, nm, n, i, k);
    }
  }
}

int symmetricBandEigenvalues(int n, int kd, double* ab, int ldab, double* w, double* work) {
  if (n <= 0) return 0;
  int info = 0;
  const char jobz = 'N', uplo = 'L';
  int ldz = 1;
  double z = 0.0;
  dsbev_(&jobz, &uplo, &n, &kd, ab, &ldab, w, &z, &ldz, work, &info);
  return info;
}

int lowestEigenpairsRealSymmetric(int nm, int n, int m, double* a, double* w, double* z,
                                  double* work, int lwork, int* iwork, int liwork) {
  if (n <= 0 || m <= 0) return 0;
  m = m < n ? m : n;
  const char jobz = 'V', range = 'I', uplo = 'L';
  const double none = 0.0, abstol = 0.0; // abstol 0: the default of full accuracy
  const int il = 1;
  int found = 0, info = 0;
  // isuppz takes the first 2m integers of iwork
  int* isuppz = iwork;
  const int rest = liwork - 2 * m;
  if (rest < 10 * n || lwork < 26 * n) return -1;
  dsyevr_(&jobz, &range, &uplo, &n, a, &nm, &none, &none, &il, &m, &abstol, &found, w, z, &nm,
          isuppz, work, &lwork, iwork + 2 * m, &rest, &info);
  if (info == 0 && found != m) info = -2;
  return info;
}

} // namespace ruvo
