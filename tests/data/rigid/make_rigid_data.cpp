// Writes the whole-run inputs of this directory.  The "observed" frequencies
// are computed here, independently of the program, from angular-momentum
// operator algebra (Jx, Jy, Jz matrices in the |J,K> basis, the rotor as
// Bx Jx^2 + By Jy^2 + Bz Jz^2, distortion operators as polynomials of them,
// first-order quadrupole and spin-rotation couplings), diagonalised with
// LAPACK and rounded to 0.1 kHz.  A few lines carry a deliberate offset so
// that the listings show nonzero deviations.
//
//   c++ -O2 -std=c++20 make_rigid_data.cpp -llapack -o make_rigid_data
//   ./make_rigid_data        (in this directory)
#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

extern "C" void zheev_(const char* jobz, const char* uplo, const int* n, std::complex<double>* a,
                       const int* lda, double* w, std::complex<double>* work, const int* lwork,
                       double* rwork, int* info);

using cplx = std::complex<double>;

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
    for (int k = 0; k < x.n; ++k)
      for (int r = 0; r < x.n; ++r) z(r, c) += x(r, k) * y(k, c);
  return z;
}
CMat operator+(CMat x, const CMat& y) {
  for (std::size_t i = 0; i < x.a.size(); ++i) x.a[i] += y.a[i];
  return x;
}
CMat operator*(cplx s, CMat x) {
  for (auto& v : x.a) v *= s;
  return x;
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
  return w;
}

struct Molecule {
  double BJ = 3.65, BK = 6.15, Bm = 0.45;
  double DJ = 0, DJK = 0, DK = 0, dj = 0, dk = 0;
  double H_J = 0, HJK = 0, HKJ = 0, H_K = 0, h_j = 0, hjk = 0, h_k = 0;
  int reduct = 0;
  double chi_z = 0, chi_m = 0, chi_xy = 0, chi_xz = 0, chi_yz = 0;
  double Cp = 0, C_z = 0, Cm = 0;
  double P_x = 0, P_y = 0, P_z = 0;
  int spin2 = 0;

  // levels of the block (J, 2F), ascending
  std::vector<double> levels(int J, int F2) const {
    const int d = 2 * J + 1;
    CMat Jx(d), Jy(d), Jz(d), Jp(d), Jm(d), one(d);
    const double P = double(J) * (J + 1);
    for (int K = -J; K <= J; ++K) {
      one(K + J, K + J) = 1;
      Jz(K + J, K + J) = K;
      if (K < J) Jp(K + 1 + J, K + J) = std::sqrt(P - double(K) * (K + 1));
      if (K > -J) Jm(K - 1 + J, K + J) = std::sqrt(P - double(K) * (K - 1));
    }
    Jx = 0.5 * (Jp + Jm);
    Jy = cplx(0, -0.5) * (Jp + (-1.0) * Jm);
    const CMat J2 = P * one, Jz2 = Jz * Jz, Jz4 = Jz2 * Jz2, Jz6 = Jz4 * Jz2, J4 = J2 * J2,
               J6 = J4 * J2;
    const CMat Jxy = Jx * Jx + (-1.0) * (Jy * Jy);
    const CMat Jpm2 = Jp * Jp + Jm * Jm, Jpm4 = Jp * Jp * Jp * Jp + Jm * Jm * Jm * Jm;
    const CMat Jpm6 = Jp * Jp * Jp * Jp * Jp * Jp + Jm * Jm * Jm * Jm * Jm * Jm;
    // Bx = BJ + B-, By = BJ - B-, Bz = BJ + BK
    CMat h = (BJ + Bm) * (Jx * Jx) + (BJ - Bm) * (Jy * Jy) + (BJ + BK) * Jz2;
    h = h + (-DJ) * J4 + (-DJK) * (J2 * Jz2) + (-DK) * Jz4 + H_J * J6 + HJK * (J4 * Jz2) +
        HKJ * (J2 * Jz4) + H_K * Jz6;
    if (reduct == 0) {
      h = h + (-2 * dj) * (J2 * Jxy) + (-dk) * anti(Jz2, Jxy) + (2 * h_j) * (J4 * Jxy) +
          hjk * (J2 * anti(Jz2, Jxy)) + h_k * anti(Jz4, Jxy);
    } else if (reduct == 1) {
      h = h + dj * (J2 * Jpm2) + dk * Jpm4 + h_j * (J4 * Jpm2) + hjk * (J2 * Jpm4) + h_k * Jpm6;
    } else {
      const CMat perp = Jx * Jx + Jy * Jy;
      h = h + (-2 * dj) * (J2 * Jxy) + h_j * (J4 * Jxy) +
          (dk * one + (0.25 * hjk) * J2) * (Jpm2 * Jpm2 + (-2.0) * (perp * perp)) +
          (0.125 * h_k) * (Jpm2 * Jpm2 * Jpm2);
    }
    h = h + P_x * Jx + P_y * Jy + P_z * Jz;
    if (spin2 != 0 && F2 >= 0 && J > 0) {
      const double I = 0.5 * spin2, F = 0.5 * F2;
      const double CF = F * (F + 1) - I * (I + 1) - P;
      h = h + (CF / (2 * P)) * ((Cp + Cm) * (Jx * Jx) + (Cp - Cm) * (Jy * Jy) + C_z * Jz2);
      if (spin2 >= 2) {
        const double Y = (0.75 * CF * (CF + 1) - I * (I + 1) * P) /
                         (2 * I * (2 * I - 1) * (2 * J - 1) * (2 * J + 3));
        const CMat q = (0.5 * (chi_m - chi_z)) * (Jx * Jx) + (-0.5 * (chi_m + chi_z)) * (Jy * Jy) +
                       chi_z * Jz2 + chi_xy * anti(Jx, Jy) + chi_xz * anti(Jx, Jz) +
                       chi_yz * anti(Jy, Jz);
        h = h + (2 * Y / P) * q;
      }
    }
    return eigenvalues(h);
  }
};

// A transition by the energy ranks T of its levels; asymmetric-top labels
// follow from T: K- = T/2, K+ = (2J - T + 2)/2.
struct Line {
  int Jup, Tup, Jlo, Tlo;
  int Fup = -1, Flo = -1;
  int Bup = 1, Blo = 1;
  bool measured = true;
  double offsetMHz = 0.0;
  std::string extra;
  bool withB = false; // name the sets (they carry over to the next lines)
};

std::string labels(const Line& l) {
  char buf[200];
  std::snprintf(buf, sizeof buf, "Jup %d K-up %d K+up %d Jlo %d K-lo %d K+lo %d", l.Jup, l.Tup / 2,
                (2 * l.Jup - l.Tup + 2) / 2, l.Jlo, l.Tlo / 2, (2 * l.Jlo - l.Tlo + 2) / 2);
  std::string s = buf;
  if (l.Fup >= 0) s += " Fup " + std::to_string(l.Fup) + " Flo " + std::to_string(l.Flo);
  if (l.withB) s += " Bup " + std::to_string(l.Bup) + " Blo " + std::to_string(l.Blo);
  return s;
}

void write(const std::string& name, const std::string& head, const std::vector<Molecule>& sets,
           const std::vector<Line>& lines) {
  std::ofstream f(name);
  f << head;
  for (const Line& l : lines) {
    const Molecule& mu = sets[l.Bup - 1];
    const Molecule& ml = sets[l.Blo - 1];
    const double nu = mu.levels(l.Jup, l.Fup)[l.Tup - 1] - ml.levels(l.Jlo, l.Flo)[l.Tlo - 1] +
                      l.offsetMHz / 1000.0;
    f << labels(l);
    if (l.measured) {
      char buf[64];
      std::snprintf(buf, sizeof buf, " = %.7f", nu);
      f << buf;
    }
    f << l.extra << "\n";
  }
  f << "\n";
}

// a-type and b-type R- and Q-branch lines of a near-prolate rotor up to Jmax
std::vector<Line> rotorLines(int Jmax) {
  std::vector<Line> v;
  for (int J = 0; J < Jmax; ++J) {
    // a-type R branch: K- kept, T kept
    for (int T = 1; T <= 2 * J + 1; T += 3) v.push_back({J + 1, T, J, T});
    // b-type R branch: K- up by one
    if (2 * J + 1 >= 2) v.push_back({J + 1, 3, J, 1});
  }
  return v;
}

int main() {
  // 1-3: quartic and sextic distortion in the three reductions
  const char* names[3] = {"watson_a.inp", "watson_s.inp", "eijck_typke.inp"};
  const char* titles[3] = {"Rigid rotor, quartic and sextic distortion, Watson A",
                           "Rigid rotor, quartic and sextic distortion, Watson S",
                           "Rigid rotor, quartic and sextic distortion, van Eijck-Typke"};
  for (int r = 0; r <= 2; ++r) {
    Molecule m;
    m.reduct = r;
    m.DJ = 1.1e-6, m.DJK = -4.3e-6, m.DK = 2.2e-5, m.dj = 3.1e-7, m.dk = 2.6e-6;
    m.H_J = 1.3e-12, m.HJK = -2.1e-11, m.HKJ = 3.0e-11, m.H_K = 4.4e-10;
    m.h_j = 5.0e-13, m.hjk = 2.0e-12, m.h_k = 7.0e-11;
    std::string head = std::string(titles[r]) + "\n\nnzyk 1 reduct " + std::to_string(r) +
                       " defer 1.0e-5\n\n"
                       "BJ 3.65 BK 6.15 B- 0.45\n"
                       "DJ 1.1e-6 DJK -4.3e-6 DK 2.2e-5 dj 3.1e-7 " +
                       std::string(r == 2 ? "R6" : "dk") +
                       " 2.6e-6\n"
                       "H_J 1.3e-12 HJK -2.1e-11 HKJ 3.0e-11 H_K 4.4e-10\n"
                       "h_j 5.0e-13 hjk 2.0e-12 h_k 7.0e-11\n\n\n";
    auto lines = rotorLines(r == 0 ? 12 : 8);
    lines.push_back({30, 31, 29, 30});
    lines.push_back({30, 30, 30, 29});
    lines[3].offsetMHz = 0.0731;
    lines[7].offsetMHz = -0.0412;
    lines.push_back({9, 4, 8, 3, -1, -1, 1, 1, false});
    write(names[r], head, {m}, lines);
  }

  // 4: one quadrupole nucleus (I = 3/2) with spin-rotation, F given doubled
  {
    Molecule m;
    m.DJ = 1.1e-6, m.DJK = -4.3e-6, m.DK = 2.2e-5, m.dj = 3.1e-7, m.dk = 2.6e-6;
    m.spin2 = 3;
    m.chi_z = -0.0712, m.chi_m = -0.0185, m.chi_xz = 0.0234;
    m.Cp = 2.1e-6, m.C_z = -3.3e-6, m.Cm = 1.2e-6;
    std::string head = "One quadrupole nucleus, I = 3/2, with spin-rotation coupling\n\n"
                       "nzyk 1 spin 3 defer 2.0e-6\n\n"
                       "BJ 3.65 BK 6.15 B- 0.45\n"
                       "DJ 1.1e-6 DJK -4.3e-6 DK 2.2e-5 dj 3.1e-7 dk 2.6e-6\n"
                       "chi_z -0.0712 chi_- -0.0185 chi_xz 0.0234\n"
                       "C+ 2.1e-6 C_z -3.3e-6 C- 1.2e-6\n\n\n";
    std::vector<Line> lines;
    for (auto [Ju, Tu, Jl, Tl] : std::vector<std::array<int, 4>>{
             {1, 1, 0, 1}, {2, 1, 1, 1}, {2, 3, 1, 2}, {3, 4, 2, 3}, {4, 3, 4, 2}, {5, 1, 4, 1}}) {
      for (int F2l = std::abs(2 * Jl - 3); F2l <= 2 * Jl + 3; F2l += 2)
        for (int dF : {-2, 0, 2}) {
          const int F2u = F2l + dF;
          if (F2u < std::abs(2 * Ju - 3) || F2u > 2 * Ju + 3) continue;
          if (Ju != Jl && dF != 2 * (Ju - Jl)) continue; // strongest: Delta F = Delta J
          if (Ju == Jl && dF != 0) continue;
          Line l{Ju, Tu, Jl, Tl, F2u, F2l};
          lines.push_back(l);
        }
    }
    lines[2].offsetMHz = 0.0051;
    lines[9].offsetMHz = -0.0032;
    lines.push_back({3, 5, 2, 4, 7, 5, 1, 1, false});
    write("quadrupole.inp", head, {m}, lines);
  }

  // 5: linear terms (a complex block), two B sets, splitting and average partners
  {
    Molecule m1, m2;
    m1.DJ = m2.DJ = 1.1e-6, m1.DK = m2.DK = 2.2e-5;
    m1.P_x = m2.P_x = 0.0123, m1.P_y = m2.P_y = -0.0087, m1.P_z = m2.P_z = 0.0041;
    m2.BJ = 3.64;
    m2.BK = 6.17;
    std::string head = "Linear terms P_x, P_y, P_z, two B sets, splitting and average partners\n\n"
                       "nzyk 1 aprint 41 defer 1.0e-5\n\n"
                       "BJ 3.65 BK 6.15 B- 0.45 BJ(2) 3.64 BK(2) 6.17\n"
                       "DJ 1.1e-6 DJK 0.0 DK 2.2e-5\n"
                       "P_x 0.0123 P_y -0.0087 P_z 0.0041\n\n\n";
    std::vector<Line> lines;
    lines.push_back({1, 1, 0, 1});
    lines.push_back({1, 1, 0, 1, -1, -1, 2, 2, true, 0.0, " # -1"});
    lines.push_back({2, 3, 1, 2});
    lines.push_back({2, 3, 1, 2, -1, -1, 2, 2, true, 0.0157, " # -1"});
    lines.push_back({3, 2, 2, 1});
    // averages line 5 without a frequency of its own: the run reports the
    // frequency of line 5 as not used (exit status 1)
    lines.push_back({3, 3, 2, 2, -1, -1, 1, 1, false, 0.0, " & -1"});
    lines.push_back({4, 5, 4, 4});
    lines.push_back({4, 5, 4, 4, -1, -1, 2, 2, false, 0.0, " # -1"});
    lines.push_back({5, 1, 4, 1, -1, -1, 2, 2});
    for (Line& l : lines) l.withB = true;
    write("linear_terms.inp", head, {m1, m2}, lines);
  }
  return 0;
}
