// Wigner rotation matrices d^J(beta) of the top axis systems.
//
// The matrix of one J is built from that of J-1 by coupling it with d^1:
// |J', m> is the stretched state of |J'-1> x |1>, so
//   d^J'_{m,m'} = sum_{mu,mu'} C(m,mu) C(m',mu') d^1_{mu,mu'} d^{J'-1}_{m-mu,m'-mu'}
// with the Clebsch-Gordan coefficients C(m,mu) = <J'-1 m-mu; 1 mu | J' m>.
// The derivative by beta follows from the product rule.  Consecutive blocks
// of increasing J therefore cost one recursion step per top.
#include "hamiltonian/axis_rotation.h"

#include <algorithm>
#include <cmath>

#include "core/stop.h"

namespace ruvo {

namespace {

constexpr double kInvSqrt2 = 0.7071067811865476;

// d^1(beta) and its derivative, rows and columns in the order m = +1, 0, -1.
struct RankOne {
  double d[3][3];
  double dd[3][3];
};

RankOne rankOne(double beta) {
  RankOne r{};
  const double c = std::cos(beta), s = std::sin(beta);
  if (beta == 0.0) {
    // exactly the identity: no rounding of cos/sin enters the matrices
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) r.d[i][j] = (i == j) ? 1.0 : 0.0;
  } else {
    const double p = 0.5 * (1.0 + c), q = 0.5 * (1.0 - c), w = s * kInvSqrt2;
    const double d[3][3] = {{p, -w, q}, {w, c, -w}, {q, w, p}};
    std::copy(&d[0][0], &d[0][0] + 9, &r.d[0][0]);
  }
  const double hs = 0.5 * s, wc = c * kInvSqrt2;
  const double dd[3][3] = {{-hs, -wc, hs}, {wc, -s, -wc}, {hs, wc, -hs}};
  std::copy(&dd[0][0], &dd[0][0] + 9, &r.dd[0][0]);
  return r;
}

// Clebsch-Gordan coefficient <J-1, m-mu; 1, mu | J, m> of the stretched
// coupling J-1 x 1 -> J (zero outside the physical range).
double stretchedCG(int J, int m, int mu) {
  const double a = J + m, b = J - m, den = 2.0 * J * (2.0 * J - 1.0);
  switch (mu) {
  case 1:
    return std::sqrt(std::max(0.0, a * (a - 1.0)) / den);
  case 0:
    return std::sqrt(std::max(0.0, 2.0 * a * b) / den);
  default:
    return std::sqrt(std::max(0.0, b * (b - 1.0)) / den);
  }
}

void clearStore(RotationStore& s) {
  std::fill(s.d.begin(), s.d.end(), 0.0);
  std::fill(s.dd.begin(), s.dd.end(), 0.0);
}

} // namespace

void rotationMatricesNextJ(RotationStore& store, double beta, int Jp) {
  if (Jp < 0) return; // nothing meaningful to compute
  if (Jp > store.maxJ) stop(" ERROR: DIM 2J1 exceeded");
  const RankOne r1 = rankOne(beta);
  if (Jp == 0) {
    clearStore(store);
    store.D(0, 0) = 1.0;
    store.dD(0, 0) = 0.0;
    return;
  }
  if (Jp == 1) {
    clearStore(store);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        store.D(1 - i, 1 - j) = r1.d[i][j];
        store.dD(1 - i, 1 - j) = r1.dd[i][j];
      }
    return;
  }

  // keep d^{J'-1} and its derivative as the scratch copy (only |K|,|K'| <= J'-1)
  const int Jm = Jp - 1;
  for (int kp = -Jm; kp <= Jm; ++kp) {
    const int first = store.at(-Jm, kp);
    std::copy(store.d.begin() + first, store.d.begin() + first + 2 * Jm + 1,
              store.dPrev.begin() + first);
    std::copy(store.dd.begin() + first, store.dd.begin() + first + 2 * Jm + 1,
              store.ddPrev.begin() + first);
  }

  double cg[DIM2J1][3]; // C(m, mu) for m = -J'..J', mu = +1, 0, -1
  for (int m = -Jp; m <= Jp; ++m)
    for (int i = 0; i < 3; ++i) cg[m + Jp][i] = stretchedCG(Jp, m, 1 - i);

  const auto prev = [&](int m, int mp) { return store.dPrev[store.at(m, mp)]; };
  const auto dprev = [&](int m, int mp) { return store.ddPrev[store.at(m, mp)]; };

  for (int mp = -Jp; mp <= Jp; ++mp) {
    for (int m = -Jp; m <= Jp; ++m) {
      double val = 0.0, der = 0.0;
      for (int i = 0; i < 3; ++i) {
        const int mu = 1 - i, mr = m - mu;
        if (mr < -Jm || mr > Jm) continue;
        for (int j = 0; j < 3; ++j) {
          const int nu = 1 - j, mc = mp - nu;
          if (mc < -Jm || mc > Jm) continue;
          const double c = cg[m + Jp][i] * cg[mp + Jp][j];
          val += c * r1.d[i][j] * prev(mr, mc);
          der += c * (r1.dd[i][j] * prev(mr, mc) + r1.d[i][j] * dprev(mr, mc));
        }
      }
      store.D(m, mp) = val;
      store.dD(m, mp) = der;
    }
  }
}

void rotateTopAxes(RotationStore& store, double beta, int J) {
  if (J < 0) return;
  if (J > store.maxJ) stop(" ERROR: DIM 2J1 exceeded");
  if (J <= 1) {
    rotationMatricesNextJ(store, beta, J);
  } else if (J == store.mark) {
    return;
  } else if (J < store.mark) {
    // the store no longer holds the lower J: start again from J = 1
    for (int Jp = 1; Jp <= J; ++Jp) rotationMatricesNextJ(store, beta, Jp);
  } else {
    for (int Jp = store.mark + 1; Jp <= J; ++Jp) rotationMatricesNextJ(store, beta, Jp);
  }
  store.mark = J;
}

void tabulateTopRotations(RotationTable& table, RotationStore& scratch, double beta, int maxJ) {
  maxJ = std::max(maxJ, 0);
  if (maxJ > scratch.maxJ) stop(" ERROR: DIM 2J1 exceeded");
  if (table.maxJ >= maxJ && table.beta == beta) return;
  const std::size_t size = RotationTable::offset(maxJ + 1);
  table.d.resize(size);
  table.dd.resize(size);
  // the same recursion from J = 0 as a store that steps through the blocks,
  // so that a tabulated matrix is the one the store would have made
  for (int J = 0; J <= maxJ; ++J) {
    rotationMatricesNextJ(scratch, beta, J);
    std::size_t at = RotationTable::offset(J);
    for (int Kp = -J; Kp <= J; ++Kp)
      for (int K = -J; K <= J; ++K, ++at) {
        table.d[at] = scratch.D(K, Kp);
        table.dd[at] = scratch.dD(K, Kp);
      }
  }
  scratch.mark = maxJ;
  table.beta = beta;
  table.maxJ = maxJ;
}

void loadTopRotation(RotationStore& store, const RotationTable& table, int J) {
  if (J < 0 || J > table.maxJ || J > store.maxJ) stop(" ERROR: DIM 2J1 exceeded");
  std::size_t at = RotationTable::offset(J);
  for (int Kp = -J; Kp <= J; ++Kp)
    for (int K = -J; K <= J; ++K, ++at) {
      store.D(K, Kp) = table.d[at];
      store.dD(K, Kp) = table.dd[at];
    }
  // the store holds no J - 1 for the recursion to go on from
  store.mark = -1;
}

} // namespace ruvo
