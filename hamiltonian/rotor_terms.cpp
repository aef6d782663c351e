// Rigid-rotor, centrifugal-distortion, nuclear-quadrupole, spin-rotation and
// linear terms of a J block, applied as an operator y += H_rot x.
//
// The basis of a block is |K, i> (K = -J..J fastest, i the product torsional
// state); all energies are in GHz.  The matrix elements are written here only
// (rotorTerms): the matrix itself gets every element added once (addRotorTerms),
// and the energy derivatives come from applying the operator of a single
// parameter to the eigenvectors (rotorParameterDerivatives), its elements
// written down once per block (recordRotorParameterOperators).
#include "hamiltonian/rotor_terms.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/stop.h"

namespace ruvo {

namespace {

// Constants of one application of the operator.
struct RotorConstants {
  double P = 0.0;  // J(J+1)
  double CF = 0.0; // F(F+1) - I(I+1) - J(J+1): the spin-rotation Casimir factor
  double q = 0.0;  // first-order quadrupole factor Y(J,I,F)/(J(J+1))
  double U = 1.0;  // J(J+1) where spin-rotation acts, else 1
  // distortion coefficients of the chosen reduction
  double a2 = 0, a2K = 0, b2 = 0, b2K = 0, b2KK = 0, c4 = 0, c4J = 0, c6 = 0;
};

RotorConstants rotorConstants(const RunState& rs, int J, int F2, ConstParamView par) {
  RotorConstants c;
  c.P = double(J) * (J + 1);
  const int spin2 = rs.ctl.spin; // 2I
  const double I = 0.5 * spin2;
  const double Fv = 0.5 * F2;
  if (spin2 != 0 && F2 >= 0) c.CF = Fv * (Fv + 1.0) - I * (I + 1.0) - c.P;
  if (J > 0 && spin2 >= 2 && F2 >= 0) {
    // Y(J,I,F) / (J(J+1)), Y = [3/4 C(C+1) - I(I+1)J(J+1)] / [2I(2I-1)(2J-1)(2J+3)]
    c.q = (0.75 * c.CF * (c.CF + 1.0) - c.P * I * (I + 1.0)) /
          (c.P * spin2 * (spin2 - 1.0) * (2.0 * J - 1.0) * (2.0 * J + 3.0));
  }
  if (J > 0 && spin2 != 0 && F2 >= 0) c.U = c.P;

  const double dj = par(par::dj), dk = par(par::dk), h_j = par(par::h_j), hjk = par(par::hjk),
               h_k = par(par::h_k);
  switch (rs.ctl.reduct) {
  case 1: // Watson S: d1, d2, h1, h2, h3
    c.a2 = -dj;
    c.b2 = h_j;
    c.c4 = dk;
    c.c4J = hjk;
    c.c6 = h_k;
    break;
  case 2: // van Eijck-Typke
    c.a2 = dj;
    c.b2 = 0.5 * h_j;
    c.c4 = dk;
    c.c4J = 0.25 * hjk;
    c.c6 = 0.125 * h_k;
    break;
  default: // Watson A: deltaJ, deltaK, phiJ, phiJK, phiK
    c.a2 = dj;
    c.a2K = dk;
    c.b2 = h_j;
    c.b2K = hjk;
    c.b2KK = h_k;
    break;
  }
  return c;
}

enum class Kind { Real, Imaginary };

// The vectors and block description shared by the element routines.  With
// `acc` set the elements are not applied to a vector but added into the
// packed Hermitian matrix acc (leading dimension sw.ld): Re H(r, c), r >= c,
// at (r, c) and Im H(r, c), r > c, at (c, r).  With `record` set they are
// appended to that list, in the order they come.
struct Apply {
  const RunState& rs;
  const SweepWork& sw;
  int S;
  const double* xr;
  const double* xi;
  double* yr;
  double* yi;
  double* acc = nullptr;
  std::vector<OperatorElement>* record = nullptr;
};

// A diagonal element f (GHz) of basis position p.
inline void addDiagonal(const Apply& a, int p, double f) {
  if (a.record != nullptr) {
    a.record->push_back({p, p, OperatorElement::DIAGONAL, f});
    return;
  }
  if (a.acc != nullptr) {
    a.acc[p + p * a.sw.ld] += f;
    return;
  }
  a.yr[p] += f * a.xr[p];
  a.yi[p] += f * a.xi[p];
}

// Product over the tops in effect of the torsional overlap <v_t(r), K_r | v_t(c), K_c>
// between the states of basis positions r and c (0-based).
double overlapFactor(const Apply& a, int r, int c) {
  const BlockState& blk = a.sw.blk;
  const BasisRow& row = a.sw.basis[r + 1];
  const BasisRow& col = a.sw.basis[c + 1];
  double f = 1.0;
  for (int t = 1; t <= blk.ntop; ++t) {
    const int sigma = a.rs.species.sigma[a.S][t];
    const int vr = row.v[t] - blk.firstV[t] + 1; // place in the kept window of top t
    const int vc = col.v[t] - blk.firstV[t] + 1;
    if (vr < 1 || vr > a.sw.tors.nvs || vc < 1 || vc > a.sw.tors.nvs || sigma < -DIMSIG ||
        sigma > DIMSIG)
      return 0.0;
    f *= const_cast<TorsionTables&>(a.sw.tors).T(row.K, col.K, vr, vc, sigma, t);
  }
  return f;
}

// Add the element g between K index k (1-based) and K index k + dK, with its
// Hermitian partner, for every product torsional state.  A real element is
// H(r,c) = H(c,r) = g; an imaginary one H(r,c) = -i g, H(c,r) = +i g.
//
// With woods bit 32 every pair of product states (i, j) is coupled, weighted
// by the torsional overlaps of the two basis functions.  Both elements of a
// pair take the same factor: the product over the tops of the overlap between
// the row function's torsional state at the row's K and the column function's
// state at the column's K.  This keeps the operator Hermitian (exchanging the
// two K values between the triangles would give the two halves different
// weights, and the packed storage could hold only one of them).
void addOffDiagonalRotorTerm(const Apply& a, int k, int dK, double g, Kind kind) {
  const BlockState& blk = a.sw.blk;
  const int d = blk.d, nvv = blk.nvv;
  const bool coupled = hasBit(blk.woods, woodsbit::OVERLAPS_IN_RIGID_ROTOR);
  for (int i = 1; i <= nvv; ++i) {
    const int jlo = coupled ? 1 : i, jhi = coupled ? nvv : i;
    for (int j = jlo; j <= jhi; ++j) {
      const int r = (k - 1) + (i - 1) * d;
      const int c = (k - 1 + dK) + (j - 1) * d;
      const double gg = coupled ? g * overlapFactor(a, r, c) : g;
      if (a.record != nullptr) {
        a.record->push_back(
            {r, c, kind == Kind::Real ? OperatorElement::REAL : OperatorElement::IMAGINARY, gg});
      } else if (a.acc != nullptr) {
        // real: H(r, c) = H(c, r) = gg; imaginary: H(r, c) = -i gg, H(c, r) = +i gg
        const int lo = std::min(r, c), hi = std::max(r, c);
        if (kind == Kind::Real)
          a.acc[hi + lo * a.sw.ld] += gg;
        else
          a.acc[lo + hi * a.sw.ld] += r < c ? gg : -gg;
      } else if (kind == Kind::Real) {
        a.yr[r] += gg * a.xr[c];
        a.yr[c] += gg * a.xr[r];
        a.yi[r] += gg * a.xi[c];
        a.yi[c] += gg * a.xi[r];
      } else {
        a.yr[r] += gg * a.xi[c];
        a.yr[c] -= gg * a.xi[r];
        a.yi[r] -= gg * a.xr[c];
        a.yi[c] += gg * a.xr[r];
      }
    }
  }
}

// <K+1|J+|K>^2 = P - K(K+1)
inline double ladder1(double P, double K) { return P - K * (K + 1.0); }
// <K+2|J+^2|K>^2
inline double ladder2(double P, double K) { return ladder1(P, K) * ladder1(P, K + 1.0); }

} // namespace

namespace {

// Every element of the rotor terms of the block, applied as `a` says.
void rotorTerms(const Apply& a, int J, int F2, ConstParamView par) {
  const RunState& rs = a.rs;
  const SweepWork& sw = a.sw;
  const BlockState& blk = sw.blk;
  // a list of elements has no dimension; a matrix or a vector has sw.ld
  if (blk.N > sw.ld && a.record == nullptr) stop("Dimension Error in HMULTHRR");
  const RotorConstants c = rotorConstants(rs, J, F2, par);
  const double P = c.P;
  const int N = blk.N;

  // Diagonal: rigid rotor, diagonal distortion, quadrupole (chi_z) and
  // spin-rotation energies of each |K, i>.
  const double BJ = par(par::BJ), BK = par(par::BK), DJ = par(par::DJ), DJK = par(par::DJK),
               DK = par(par::DK), H_J = par(par::H_J), HJK = par(par::HJK), HKJ = par(par::HKJ),
               H_K = par(par::H_K), chi_z = par(par::chi_z), Cp = par(par::Cp), C_z = par(par::C_z);
  if (BJ != 0 || BK != 0 || DJ != 0 || DJK != 0 || DK != 0 || H_J != 0 || HJK != 0 || HKJ != 0 ||
      H_K != 0 || chi_z != 0 || Cp != 0 || C_z != 0) {
    for (int p = 0; p < N; ++p) {
      const double K = sw.basis[p + 1].K;
      const double K2 = K * K, K4 = K2 * K2;
      const double f = BK * K2 + BJ * P - DJ * P * P - DJK * P * K2 - DK * K4 + H_J * P * P * P +
                       HJK * P * P * K2 + HKJ * P * K4 + H_K * K4 * K2 +
                       c.q * chi_z * (3.0 * K2 - P) + 0.5 * Cp * c.CF * (1.0 - K2 / c.U) +
                       0.5 * C_z * c.CF * K2 / c.U;
      addDiagonal(a, p, f);
    }
  }

  // Linear term P_z Jz.
  const double P_z = par(par::P_z);
  if (P_z != 0) {
    for (int p = 0; p < N; ++p) {
      const double K = sw.basis[p + 1].K;
      addDiagonal(a, p, P_z * K);
    }
  }

  // Diagonal part of the K^4-type operators of the van Eijck-Typke
  // reduction: (c4 + c4J J^2) [(J+^2 + J-^2)^2 - 2 (J^2 - Jz^2)^2].
  if (rs.ctl.reduct == 2 && (c.c4J != 0 || c.c4 != 0)) {
    const double coef = c.c4 + c.c4J * P;
    for (int p = 0; p < N; ++p) {
      const double K = sw.basis[p + 1].K;
      const double up = ladder2(P, K);         // |<K+2|J+^2|K>|^2
      const double down = ladder2(P, K - 2.0); // |<K-2|J-^2|K>|^2
      const double f = coef * (up + down - 2.0 * (P - K * K) * (P - K * K));
      addDiagonal(a, p, f);
    }
  }

  // Delta K = 1: off-diagonal quadrupole chi_xz, chi_yz and the linear terms
  // P_x Jx, P_y Jy.  K is the K of the lower index.
  const double chi_xz = par(par::chi_xz), chi_yz = par(par::chi_yz), P_x = par(par::P_x),
               P_y = par(par::P_y);
  if (chi_xz != 0 || chi_yz != 0 || P_x != 0 || P_y != 0) {
    for (int k = 1; k <= 2 * J; ++k) {
      const double K = k - J - 1;
      const double s1 = std::sqrt(ladder1(P, K));
      if (chi_xz != 0)
        addOffDiagonalRotorTerm(a, k, 1, c.q * chi_xz * (2.0 * K + 1.0) * s1, Kind::Real);
      if (P_x != 0) addOffDiagonalRotorTerm(a, k, 1, 0.5 * P_x * s1, Kind::Real);
      if (chi_yz != 0)
        addOffDiagonalRotorTerm(a, k, 1, c.q * chi_yz * (2.0 * K + 1.0) * s1, Kind::Imaginary);
      if (P_y != 0) addOffDiagonalRotorTerm(a, k, 1, 0.5 * P_y * s1, Kind::Imaginary);
    }
  }

  // Delta K = 2: asymmetry B-(Jx^2 - Jy^2), its distortion corrections,
  // quadrupole chi_- and spin-rotation C-.  R = <K+2|Jx^2 - Jy^2|K>.
  const double Bm = par(par::Bm), chi_m = par(par::chi_m), Cm = par(par::Cm);
  if (Bm != 0 || c.a2 != 0 || c.a2K != 0 || c.b2 != 0 || chi_m != 0 || Cm != 0 || c.b2K != 0 ||
      c.b2KK != 0) {
    for (int k = 1; k <= 2 * J - 1; ++k) {
      const double K = k - J - 1;
      const double R = 0.5 * std::sqrt(ladder2(P, K));
      const double sum2 = (K + 2) * (K + 2) + K * K;
      const double up2 = (K + 2) * (K + 2), down2 = K * K;
      const double sum4 = up2 * up2 + down2 * down2; // (K+2)^4 + K^4
      const double g = R * Bm - 2.0 * c.a2 * P * R - c.a2K * sum2 * R + 2.0 * c.b2 * P * P * R +
                       c.b2K * P * sum2 * R + c.b2KK * sum4 * R + R * c.q * chi_m +
                       R * 0.5 * Cm * c.CF / c.U;
      addOffDiagonalRotorTerm(a, k, 2, g, Kind::Real);
    }
  }

  // Delta K = 2 part of c6 (J+^2 + J-^2)^3 in the van Eijck-Typke reduction.
  if (c.c6 != 0 && rs.ctl.reduct == 2) {
    for (int k = 1; k <= 2 * J - 1; ++k) {
      const double K = k - J - 1;
      const double Q = ladder2(P, K);
      const double g = c.c6 * std::sqrt(Q) * (ladder2(P, K - 2.0) + Q + ladder2(P, K + 2.0));
      addOffDiagonalRotorTerm(a, k, 2, g, Kind::Real);
    }
  }

  // Delta K = 2 quadrupole chi_xy (Jx Jy + Jy Jx).
  const double chi_xy = par(par::chi_xy);
  if (chi_xy != 0) {
    for (int k = 1; k <= 2 * J - 1; ++k) {
      const double K = k - J - 1;
      addOffDiagonalRotorTerm(a, k, 2, c.q * chi_xy * std::sqrt(ladder2(P, K)), Kind::Imaginary);
    }
  }

  // Delta K = 4: (c4 + c4J J^2)(J+^4 + J-^4).
  if (c.c4 != 0 || c.c4J != 0) {
    for (int k = 1; k <= 2 * J - 3; ++k) {
      const double K = k - J - 1;
      const double S4 = std::sqrt(ladder2(P, K) * ladder2(P, K + 2.0));
      addOffDiagonalRotorTerm(a, k, 4, S4 * (c.c4 + c.c4J * P), Kind::Real);
    }
  }

  // Delta K = 6: c6 (J+^6 + J-^6).
  if (c.c6 != 0) {
    for (int k = 1; k <= 2 * J - 5; ++k) {
      const double K = k - J - 1;
      const double S6 = std::sqrt(ladder2(P, K) * ladder2(P, K + 2.0) * ladder2(P, K + 4.0));
      addOffDiagonalRotorTerm(a, k, 6, c.c6 * S6, Kind::Real);
    }
  }
}

} // namespace

void applyRotorHamiltonian(const RunState& rs, const SweepWork& sw, int J, int S, int F2,
                           ConstParamView par, const double* xr, const double* xi, double* yr,
                           double* yi) {
  rotorTerms(Apply{rs, sw, S, xr, xi, yr, yi}, J, F2, par);
}

void addRotorTerms(const RunState& rs, SweepWork& sw, int J, int S, int F2, ConstParamView par) {
  const int N = sw.blk.N;
  if (N > sw.ld) stop("Dimension Error in HMULTHRR");
  // The elements are summed in sw.Zr (free until the diagonalisation), each
  // from zero in the order the terms come, and then added to sw.H: the same
  // sums as applying the operator to every unit vector, in one pass over the
  // bands of the block instead of N.
  double* acc = sw.Zr.data();
  for (int c = 0; c < N; ++c)
    for (int r = 0; r < N; ++r) acc[r + c * sw.ld] = 0.0;
  rotorTerms(Apply{rs, sw, S, nullptr, nullptr, nullptr, nullptr, acc}, J, F2, par);
  for (int c = 0; c < N; ++c)
    for (int r = 0; r < N; ++r) sw.H[r + c * sw.ld] += acc[r + c * sw.ld];
}

void recordRotorParameterOperators(const RunState& rs, SweepWork& sw, int J, int S, int F2,
                                   ConstFlagView flags) {
  if (sw.blk.N > sw.ld) stop("Dimension Error in HMULTHRR");
  sw.rotorOps.clear();
  // The operator of one parameter: the parameter vector that is 1 at place p.
  std::array<double, NPAR + 1> unit{};
  const ConstParamView unitPar{unit.data()};
  for (int p = 1; p <= 32; ++p) {
    sw.rotorOpsStart[p] = static_cast<int>(sw.rotorOps.size());
    if (flags(p) == 0) continue;
    unit[p - 1] = 1.0;
    Apply a{rs, sw, S, nullptr, nullptr, nullptr, nullptr};
    a.record = &sw.rotorOps;
    rotorTerms(a, J, F2, unitPar);
    unit[p - 1] = 0.0;
  }
  sw.rotorOpsStart[33] = static_cast<int>(sw.rotorOps.size());

  // Operators that keep the parity of K (every term of a rigid rotor but the
  // linear and hyperfine ones) are held in two runs, the elements between
  // rows of even K first and then those of odd K, each in the order they
  // were recorded.  A row of y = (dH/dp) v receives its contributions in the
  // same order as before, so the sums are the same, and a level whose
  // eigenvector is zero on one parity (a Wang-block level) skips that run.
  const auto oddK = [&sw](int r) { return sw.basis[static_cast<std::size_t>(r) + 1].K % 2 != 0; };
  for (int p = 1; p <= 32; ++p) {
    const int b = sw.rotorOpsStart[p], e = sw.rotorOpsStart[p + 1];
    bool keeps = true;
    for (int i = b; i < e && keeps; ++i) keeps = oddK(sw.rotorOps[i].r) == oddK(sw.rotorOps[i].c);
    sw.rotorOpsOddK[p] = -1;
    if (!keeps || b == e) continue;
    sw.rotorOpsScratch.clear();
    for (int i = b; i < e; ++i)
      if (!oddK(sw.rotorOps[i].r)) sw.rotorOpsScratch.push_back(sw.rotorOps[i]);
    sw.rotorOpsOddK[p] = b + static_cast<int>(sw.rotorOpsScratch.size());
    for (int i = b; i < e; ++i)
      if (oddK(sw.rotorOps[i].r)) sw.rotorOpsScratch.push_back(sw.rotorOps[i]);
    std::copy(sw.rotorOpsScratch.begin(), sw.rotorOpsScratch.end(), sw.rotorOps.begin() + b);
  }
}

void recordRotorElements(const RunState& rs, const SweepWork& sw, int J, int S, int F2,
                         ConstParamView par, std::vector<OperatorElement>& elements) {
  elements.clear();
  Apply a{rs, sw, S, nullptr, nullptr, nullptr, nullptr};
  a.record = &elements;
  rotorTerms(a, J, F2, par);
}

namespace {

// <v| dH/dp |v> (GHz per unit of p) from the recorded elements of p: y =
// (dH/dp) v element after element as the operator writes them, then the
// real part of <v|y>.  For a real v (Complex false) the imaginary parts of y
// stay zero and are left out: the real parts are the same sums either way.
template <bool Complex>
void applyRecordedElements(const OperatorElement* el, int begin, int end, const double* vr,
                           const double* vi, double* yr, double* yi) {
  for (int i = begin; i < end; ++i) {
    const int r = el[i].r, c = el[i].c;
    const double g = el[i].g;
    switch (el[i].kind) {
    case OperatorElement::DIAGONAL:
      yr[r] += g * vr[r];
      if constexpr (Complex) yi[r] += g * vi[r];
      break;
    case OperatorElement::REAL:
      yr[r] += g * vr[c];
      yr[c] += g * vr[r];
      if constexpr (Complex) {
        yi[r] += g * vi[c];
        yi[c] += g * vi[r];
      }
      break;
    case OperatorElement::IMAGINARY: // couples real and imaginary parts
      if constexpr (Complex) {
        yr[r] += g * vi[c];
        yr[c] -= g * vi[r];
        yi[r] -= g * vr[c];
        yi[c] += g * vr[r];
      }
      break;
    }
  }
}

// A row of y that is skipped stays +0: in the full sum it would only get
// products with the zero components of v, and +0 plus a zero is +0.
// A sum of products that skips terms of exactly zero (a zero component of v)
// is the same sum: it starts at +0, and a sum of nonzero terms that cancels
// is +0 too, so a skipped +-0 would have changed nothing.
template <bool Complex>
double expectation(const SweepWork& sw, int p, const double* vr, const double* vi, double* yr,
                   double* yi, const bool zeroOnK[2]) {
  const int N = sw.blk.N;
  const int first = sw.rotorOpsStart[p], last = sw.rotorOpsStart[p + 1], odd = sw.rotorOpsOddK[p];
  const OperatorElement* el = sw.rotorOps.data();
  // One torsional state (rows K = -J..J) and v on rows of one parity of K, as
  // the levels of a rigid rotor are: dH/dp keeps the parity of K, so y and
  // the sum need only the rows of that parity, every second row.
  if (odd >= 0 && N == sw.blk.d && zeroOnK[0] != zeroOnK[1]) {
    const int J = (N - 1) / 2;
    const int parity = zeroOnK[0] ? 1 : 0; // of the rows where v lives
    const int c0 = (J + parity) % 2;       // K = c - J of that parity
    for (int c = c0; c < N; c += 2) yr[c] = 0.0;
    if constexpr (Complex)
      for (int c = c0; c < N; c += 2) yi[c] = 0.0;
    if (parity == 0)
      applyRecordedElements<Complex>(el, first, odd, vr, vi, yr, yi);
    else
      applyRecordedElements<Complex>(el, odd, last, vr, vi, yr, yi);
    double e = 0.0;
    for (int c = c0; c < N; c += 2) {
      if constexpr (Complex)
        e += yr[c] * vr[c] + yi[c] * vi[c];
      else
        e += yr[c] * vr[c];
    }
    return e;
  }
  for (int c = 0; c < N; ++c) yr[c] = 0.0;
  if constexpr (Complex)
    for (int c = 0; c < N; ++c) yi[c] = 0.0;
  if (odd < 0) {
    applyRecordedElements<Complex>(el, first, last, vr, vi, yr, yi);
  } else {
    if (!zeroOnK[0]) applyRecordedElements<Complex>(el, first, odd, vr, vi, yr, yi);
    if (!zeroOnK[1]) applyRecordedElements<Complex>(el, odd, last, vr, vi, yr, yi);
  }
  double e = 0.0;
  for (int c = 0; c < N; ++c) {
    if constexpr (Complex)
      e += yr[c] * vr[c] + yi[c] * vi[c];
    else
      e += yr[c] * vr[c];
  }
  return e;
}

} // namespace

void rotorParameterDerivatives(SweepWork& sw, const double* vr, const double* vi,
                               ConstFlagView flags, double* result) {
  const int N = sw.blk.N;
  bool real = true;
  for (int c = 0; c < N && real; ++c) real = vi[c] == 0.0;
  // whether v is zero on every row of even K, of odd K
  bool zeroOnK[2] = {true, true};
  for (int c = 0; c < N; ++c)
    if (vr[c] != 0.0 || vi[c] != 0.0)
      zeroOnK[sw.basis[static_cast<std::size_t>(c) + 1].K % 2 != 0] = false;
  for (int p = 1; p <= 32; ++p) {
    // Hellmann-Feynman: dE/dp = Re <v| dH/dp |v>
    result[p] = flags(p) == 0 ? 0.0
                : real ? expectation<false>(sw, p, vr, vi, sw.w3.data(), sw.w4.data(), zeroOnK)
                       : expectation<true>(sw, p, vr, vi, sw.w3.data(), sw.w4.data(), zeroOnK);
  }
}

} // namespace ruvo
