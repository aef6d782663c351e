// Dependent internal-rotation parameters of a parameter set.
//
// A top of moment I_alpha about its own axis (unit vector lambda in the
// principal axes) has F0 = 1/(2 I_alpha).  With the rotational constants
// Bg = 1/(2 I_g) of the molecule the vector rho has the components
//   rho_g = lambda_g I_alpha / I_g = lambda_g Bg / F0 ,
// so rho and the axis direction fix each other once F0 is known.  The
// reduced constants of the tops are the inverse of the matrix
//   M_ij = delta_ij / F0_i - sum_g lambda_gi lambda_gj Bg / (F0_i F0_j),
// its diagonal giving F of each top and its off-diagonal element the
// top-top coupling F12.  Angles are in radians, constants in GHz.
#include "fit/adjust.h"

#include <algorithm>
#include <cmath>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "fit/least_squares.h"

namespace ruvo {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// a/b where a component that vanishes contributes nothing, even when the
// rotational constant of that axis is zero as well
double ratio(double a, double b) { return a == 0.0 ? 0.0 : a / b; }

double clampedAcos(double x) { return std::acos(std::clamp(x, -1.0, 1.0)); }

} // namespace

void oneTopAxisFromRho(double rho, double beta, double gamma, double Bx, double By, double Bz,
                       double& F0, double& lx, double& ly, double& lz) {
  if (rho == 0.0) stop("ERROR: rho (or F0) can not be zero");
  // components of the rho vector in the principal axes
  const double rx = rho * std::cos(gamma) * std::sin(beta);
  const double ry = rho * std::sin(gamma) * std::sin(beta);
  const double rz = rho * std::cos(beta);
  // lambda_g is proportional to rho_g / Bg; its length fixes F0
  const double ux = ratio(rx, Bx), uy = ratio(ry, By), uz = ratio(rz, Bz);
  const double norm = 1.0 / std::sqrt(ux * ux + uy * uy + uz * uz);
  F0 = norm;
  lx = norm * ux;
  ly = norm * uy;
  lz = norm * uz;
}

void symInverse3(int n, const double a[3][3], double inv[3][3]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) inv[i][j] = 0.0;
  if (n <= 0) return;
  // column-major copy (leading dimension 3); the decomposition replaces it
  // by the eigenvectors, and V D+ V^T skips the zero eigenvalues
  double v[9] = {}, eig[3] = {}, w[9] = {};
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) v[r + 3 * c] = a[r][c];
  diagonaliseNormalMatrix(3, n, v, eig);
  pseudoInverse(3, n, v, eig, w);
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) inv[r][c] = w[r + 3 * c];
}

void topAxesFromRho(int ntop, const TopVec& rho, const TopVec& beta, const TopVec& gamma, double Bx,
                    double By, double Bz, bool noCoupling, TopVec& F0, AxisDirs& lambda,
                    double finv[3][3]) {
  if (ntop > DIMTOP) stop(" Dimension Error in recaff !");
  for (int t = 1; t <= ntop; ++t)
    oneTopAxisFromRho(rho[t], beta[t], gamma[t], Bx, By, Bz, F0[t], lambda[t][0], lambda[t][1],
                      lambda[t][2]);
  // the F matrix in units of 1/GHz
  double m[3][3] = {};
  for (int i = 1; i <= ntop; ++i) {
    const auto& li = lambda[i];
    m[i - 1][i - 1] =
        (F0[i] - li[0] * li[0] * Bx - li[1] * li[1] * By - li[2] * li[2] * Bz) / (F0[i] * F0[i]);
    if (noCoupling) continue;
    for (int j = 1; j <= ntop; ++j) {
      if (j == i) continue;
      const auto& lj = lambda[j];
      m[i - 1][j - 1] =
          -(li[0] * lj[0] * Bx + li[1] * lj[1] * By + li[2] * lj[2] * Bz) / (F0[i] * F0[j]);
    }
  }
  symInverse3(std::max(ntop, 0), m, finv);
}

double rhoFromF0(double F0, double beta, double gamma, double Bx, double By, double Bz) {
  if (F0 == 0.0) stop("ERROR in recrho: F0 = 0");
  const double ux = ratio(F0 * std::cos(gamma) * std::sin(beta), Bx);
  const double uy = ratio(F0 * std::sin(gamma) * std::sin(beta), By);
  const double uz = ratio(F0 * std::cos(beta), Bz);
  return 1.0 / std::sqrt(ux * ux + uy * uy + uz * uz);
}

void anglesFromEpsilonDelta(double epsil, double delta, double Bx, double By, double Bz,
                            double& beta, double& gamma) {
  // rho_g is proportional to lambda_g Bg
  const double tx = std::cos(epsil) * std::sin(delta) * Bx;
  const double ty = std::sin(epsil) * std::sin(delta) * By;
  const double tz = std::cos(delta) * Bz;
  const double len = std::sqrt(tx * tx + ty * ty + tz * tz);
  beta = len > 0.0 ? clampedAcos(tz / len) : 0.0;
  const double perp2 = tx * tx + ty * ty;
  const double c = perp2 == 0.0 ? 1.0 : std::clamp(tx / std::sqrt(perp2), -1.0, 1.0);
  gamma = (ty < 0.0 ? -1.0 : 1.0) * std::acos(c);
}

void adjustDependentParameters(RunState& rs, ParamView set, int /*npar*/, int adjf) {
  const int ntop = rs.ctl.ntop;
  if (ntop > DIMTOP) stop(" Dimension Error in recaff !");
  const bool print = hasBit(rs.ctl.aprint, aprintbit::PARAMETERS_AND_RHO) && rs.detailPrint != 0;
  std::ostream& out = *rs.io.out;
  const double Bx = set(par::BJ) + set(par::Bm);
  const double By = set(par::BJ) - set(par::Bm);
  const double Bz = set(par::BJ) + set(par::BK);

  TopVec rho{}, beta{}, gamma{};
  for (int t = 1; t <= ntop; ++t) {
    double& b = set(par::top(t, par::beta));
    double& g = set(par::top(t, par::gamma));
    if (hasBit(adjf, adjfbit::DERIVE_BETA_GAMMA)) {
      double nb = 0.0, ng = 0.0;
      anglesFromEpsilonDelta(set(par::top(t, par::epsil)), set(par::top(t, par::delta)), Bx, By, Bz,
                             nb, ng);
      if (print)
        put(out, "(2(A,F12.6))",
            {" adjusting beta  from", b, " to", nb, " adjusting gamma from", g, " to", ng});
      b = nb;
      g = ng;
    }
    // angles modulo 2 pi, keeping their sign
    b = std::fmod(b, kTwoPi);
    g = std::fmod(g, kTwoPi);
    double& r = set(par::top(t, par::rho));
    if (hasBit(adjf, adjfbit::DERIVE_RHO)) {
      const double nr = rhoFromF0(set(par::top(t, par::F0)), b, g, Bx, By, Bz);
      if (print) put(out, "(2(A,F12.6))", {" adjusting rho from", r, " to", nr});
      r = nr;
    }
    rho[t] = r;
    beta[t] = b;
    gamma[t] = g;
  }

  TopVec F0{};
  AxisDirs lambda{};
  double finv[3][3];
  topAxesFromRho(ntop, rho, beta, gamma, Bx, By, Bz, hasBit(adjf, adjfbit::UNCOUPLED_TOPS), F0,
                 lambda, finv);

  for (int t = 1; t <= ntop; ++t) {
    if (hasBit(adjf, adjfbit::DERIVE_F)) set(par::top(t, par::F)) = finv[t - 1][t - 1];
    if (!hasBit(adjf, adjfbit::DERIVE_RHO)) set(par::top(t, par::F0)) = F0[t];
    if (!hasBit(adjf, adjfbit::DERIVE_BETA_GAMMA)) {
      // direction of the top axis: polar angle delta, azimuth epsil
      const auto& l = lambda[t];
      double delta = clampedAcos(l[2]);
      double epsil = 0.0;
      const double perp2 = l[0] * l[0] + l[1] * l[1];
      if (perp2 > 0.0) epsil = (l[1] < 0.0 ? -1.0 : 1.0) * clampedAcos(l[0] / std::sqrt(perp2));
      set(par::top(t, par::epsil)) = std::fmod(epsil, kTwoPi);
      set(par::top(t, par::delta)) = std::fmod(delta, kTwoPi);
    }
  }
  if (hasBit(adjf, adjfbit::DERIVE_F12)) set(par::F12) = finv[0][1];
}

} // namespace ruvo
