// Shared helpers of the solver tests: test matrices, the LAPACK reference
// solvers and the residual and orthonormality measures.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <random>
#include <vector>

extern "C" {
void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w,
            double* work, const int* lwork, int* info, std::size_t, std::size_t);
void zheev_(const char* jobz, const char* uplo, const int* n, std::complex<double>* a,
            const int* lda, double* w, std::complex<double>* work, const int* lwork, double* rwork,
            int* info, std::size_t, std::size_t);
}

namespace ruvo::test {

using cplx = std::complex<double>;

// A dense real symmetric matrix (full storage, leading dimension n).
struct RealMatrix {
  int n = 0;
  std::vector<double> v;
  double operator()(int r, int c) const { return v[r + static_cast<std::size_t>(c) * n]; }
  double& operator()(int r, int c) { return v[r + static_cast<std::size_t>(c) * n]; }
};
// A dense complex Hermitian matrix (full storage, leading dimension n).
struct HermMatrix {
  int n = 0;
  std::vector<cplx> v;
  cplx operator()(int r, int c) const { return v[r + static_cast<std::size_t>(c) * n]; }
  cplx& operator()(int r, int c) { return v[r + static_cast<std::size_t>(c) * n]; }
};

inline RealMatrix randomSymmetric(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  RealMatrix m{n, std::vector<double>(static_cast<std::size_t>(n) * n)};
  for (int c = 0; c < n; ++c)
    for (int r = c; r < n; ++r) m(r, c) = m(c, r) = u(gen);
  return m;
}

inline HermMatrix randomHermitian(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  HermMatrix m{n, std::vector<cplx>(static_cast<std::size_t>(n) * n)};
  for (int c = 0; c < n; ++c) {
    m(c, c) = u(gen);
    for (int r = c + 1; r < n; ++r) {
      m(r, c) = cplx(u(gen), u(gen));
      m(c, r) = std::conj(m(r, c));
    }
  }
  return m;
}

// Rigid asymmetric rotor of angular momentum J in the |J K> basis
// (K = -J..J), energies in GHz:
//   H = (B+C)/2 J^2 + (A-(B+C)/2) Jz^2 + (B-C)/4 (J+^2 + J-^2),
// plus, when py != 0, the linear term py*Jy, which is imaginary in this
// basis.  Tridiagonal in pairs K, K+2 (or with py, K, K+1).
inline HermMatrix rotorMatrix(int J, double A, double B, double C, double py = 0.0) {
  const int n = 2 * J + 1;
  HermMatrix m{n, std::vector<cplx>(static_cast<std::size_t>(n) * n)};
  const double jj = J * (J + 1.0);
  auto jplus = [&](int K) { return std::sqrt(jj - K * (K + 1.0)); }; // <K+1|J+|K>
  for (int i = 0; i < n; ++i) {
    const int K = i - J;
    m(i, i) = 0.5 * (B + C) * jj + (A - 0.5 * (B + C)) * K * K;
    if (i + 2 < n) {
      const double v = 0.25 * (B - C) * jplus(K) * jplus(K + 1);
      m(i + 2, i) = v;
      m(i, i + 2) = v;
    }
    if (py != 0.0 && i + 1 < n) {
      // Jy = (J+ - J-)/(2i): <K+1|Jy|K> = -i/2 <K+1|J+|K>
      const cplx v(0.0, -0.5 * py * jplus(K));
      m(i + 1, i) = v;
      m(i, i + 1) = std::conj(v);
    }
  }
  return m;
}

inline RealMatrix realPart(const HermMatrix& h) {
  RealMatrix m{h.n, std::vector<double>(h.v.size())};
  for (std::size_t k = 0; k < h.v.size(); ++k) m.v[k] = h.v[k].real();
  return m;
}

// Lower triangle of m into an nm x n array (other places left as filled).
inline void packReal(const RealMatrix& m, int nm, std::vector<double>& a) {
  for (int c = 0; c < m.n; ++c)
    for (int r = c; r < m.n; ++r) a[r + static_cast<std::size_t>(c) * nm] = m(r, c);
}
// Packed Hermitian storage: Re H(r, c) at (r, c), r >= c; Im H(r, c) at (c, r), r > c.
inline void packHermitian(const HermMatrix& h, int nm, std::vector<double>& a) {
  for (int c = 0; c < h.n; ++c) {
    a[c + static_cast<std::size_t>(c) * nm] = h(c, c).real();
    for (int r = c + 1; r < h.n; ++r) {
      a[r + static_cast<std::size_t>(c) * nm] = h(r, c).real();
      a[c + static_cast<std::size_t>(r) * nm] = h(r, c).imag();
    }
  }
}

inline std::vector<double> lapackEigenvalues(const RealMatrix& m) {
  int n = m.n, info = 0, lwork = -1;
  std::vector<double> a = m.v, w(n);
  double q = 0;
  dsyev_("N", "L", &n, a.data(), &n, w.data(), &q, &lwork, &info, 1, 1);
  lwork = static_cast<int>(q);
  std::vector<double> work(lwork);
  dsyev_("N", "L", &n, a.data(), &n, w.data(), work.data(), &lwork, &info, 1, 1);
  return w;
}

inline std::vector<double> lapackEigenvalues(const HermMatrix& m) {
  int n = m.n, info = 0, lwork = -1;
  std::vector<cplx> a = m.v;
  std::vector<double> w(n), rwork(3 * n);
  cplx q;
  zheev_("N", "L", &n, a.data(), &n, w.data(), &q, &lwork, rwork.data(), &info, 1, 1);
  lwork = static_cast<int>(q.real());
  std::vector<cplx> work(lwork);
  zheev_("N", "L", &n, a.data(), &n, w.data(), work.data(), &lwork, rwork.data(), &info, 1, 1);
  return w;
}

inline double maxAbs(const RealMatrix& m) {
  double s = 0;
  for (double x : m.v) s = std::max(s, std::fabs(x));
  return s;
}

// max over columns of ||A z - lambda z||, eigenvectors in the columns of
// z (leading dimension nm).
inline double residual(const RealMatrix& m, const std::vector<double>& z, int nm,
                       const std::vector<double>& lambda) {
  double worst = 0;
  for (int k = 0; k < m.n; ++k) {
    double s2 = 0;
    for (int r = 0; r < m.n; ++r) {
      double az = 0;
      for (int c = 0; c < m.n; ++c) az += m(r, c) * z[c + static_cast<std::size_t>(k) * nm];
      const double d = az - lambda[k] * z[r + static_cast<std::size_t>(k) * nm];
      s2 += d * d;
    }
    worst = std::max(worst, std::sqrt(s2));
  }
  return worst;
}

inline double residual(const HermMatrix& m, const std::vector<double>& zr,
                       const std::vector<double>& zi, int nm, const std::vector<double>& lambda) {
  double worst = 0;
  for (int k = 0; k < m.n; ++k) {
    double s2 = 0;
    for (int r = 0; r < m.n; ++r) {
      cplx hz = 0;
      for (int c = 0; c < m.n; ++c) {
        const std::size_t p = c + static_cast<std::size_t>(k) * nm;
        hz += m(r, c) * cplx(zr[p], zi[p]);
      }
      const std::size_t p = r + static_cast<std::size_t>(k) * nm;
      s2 += std::norm(hz - lambda[k] * cplx(zr[p], zi[p]));
    }
    worst = std::max(worst, std::sqrt(s2));
  }
  return worst;
}

// max |Z^H Z - I| over the first n columns.
inline double orthonormalityError(int n, int nm, const std::vector<double>& zr,
                                  const std::vector<double>* zi = nullptr) {
  double worst = 0;
  for (int j = 0; j < n; ++j)
    for (int k = j; k < n; ++k) {
      cplx s = 0;
      for (int r = 0; r < n; ++r) {
        const std::size_t pj = r + static_cast<std::size_t>(j) * nm;
        const std::size_t pk = r + static_cast<std::size_t>(k) * nm;
        const cplx a(zr[pj], zi ? (*zi)[pj] : 0.0), b(zr[pk], zi ? (*zi)[pk] : 0.0);
        s += std::conj(a) * b;
      }
      worst = std::max(worst, std::abs(s - (j == k ? 1.0 : 0.0)));
    }
  return worst;
}

} // namespace ruvo::test
