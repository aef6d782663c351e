#include "report/derived_constants.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>

#include "core/fortran_format.h"
#include "fit/adjust.h"

namespace ruvo {

namespace {

std::string name7(const RunState& rs, int place) {
  std::string s = rs.parName[place].substr(0, 7);
  s.resize(7, ' ');
  return s;
}

// arc cosine of a direction cosine; a variation may push the cosine a
// rounding error (or more) outside [-1, 1], where the angle is 0 or pi
double safeAcos(double c) { return std::acos(std::clamp(c, -1.0, 1.0)); }

// The last fit variable carrying parameter `place` of set b, and how many do.
int carriers(const FitModel& fm, int nfit, int place, int b, int& last) {
  int count = 0;
  last = 0;
  for (int i = 1; i <= nfit; ++i) {
    const FitVar& v = fm.var[i];
    for (int k = 1; k <= v.nterm; ++k)
      if (v.par[k] == place && v.set[k] == b) {
        ++count;
        last = i;
        break;
      }
  }
  return count;
}

// Correlation of fit variables i and j from the upper triangle of the fit's
// correlation matrix (a variable is fully correlated with itself).
double correlation(const double* corr, int i, int j) {
  if (i == j) return 1.0;
  const int r = std::min(i, j), c = std::max(i, j);
  return corr[(r - 1) + (c - 1) * DIMFIT];
}

// Two lines of one barrier: kJ/mol and kcal/mol, then cm-1 (with the
// reduced barrier s when reduced >= 0 is asked for).
void putBarrier(std::ostream& out, const std::string& name, double v, double e, double kj,
                double kcal, double cm, bool withS, double s) {
  put(out, "(1X,2(A,F12.6,A,F8.6,A))",
      {name, v * kj, " kj +/- ", e * kj, " kj ", "    ", v * kcal, " kcal +/- ", e * kcal,
       " kcal"});
  if (withS)
    put(out, "((A,F12.6,A,F8.4,A),A,F11.6)",
        {"        ", v * cm, " cm +/- ", e * cm, " cm ", "   s=", s});
  else
    put(out, "((A,F12.6,A,F8.4,A))", {"        ", v * cm, " cm +/- ", e * cm, " cm "});
}

} // namespace

void printRotationalConstants(RunState& rs, ConstParamView p, ConstParamView err,
                              const double* corr, const FitModel& fm, int nfit, int b) {
  std::ostream& out = *rs.io.out;
  nfit = std::clamp(nfit, 0, DIMFIT);
  int iJ = 0, iK = 0, iM = 0;
  const int nJ = carriers(fm, nfit, par::BJ, b, iJ);
  const int nK = carriers(fm, nfit, par::BK, b, iK);
  const int nM = carriers(fm, nfit, par::Bm, b, iM);
  const double cJK = (nJ == 1 && nK == 1) ? correlation(corr, iJ, iK) : 0.0;
  const double cJM = (nJ == 1 && nM == 1) ? correlation(corr, iJ, iM) : 0.0;
  put(out, "(A)",
      {(nJ == 1 && nK == 1 && nM == 1) ? " Rotational Constants and Errors (in GHz)"
                                       : " Rotational Constants and approx. Errors (in GHz)"});
  // principal constants from BJ, BK, B- and their errors with the
  // correlations of the fitted combinations
  const double bj = p(par::BJ), bk = p(par::BK), bm = p(par::Bm);
  const double eJ = err(par::BJ), eK = err(par::BK), eM = err(par::Bm);
  struct Constant {
    double value, error;
    const char* label;
  };
  std::array<Constant, 3> c = {{
      {bj + bk, std::sqrt(std::max(0.0, eJ * eJ + eK * eK + 2.0 * eJ * eK * cJK)), "B_z"},
      {bj - bm, std::sqrt(std::max(0.0, eJ * eJ + eM * eM - 2.0 * eJ * eM * cJM)), "B_y"},
      {bj + bm, std::sqrt(std::max(0.0, eJ * eJ + eM * eM + 2.0 * eJ * eM * cJM)), "B_x"},
  }};
  std::stable_sort(c.begin(), c.end(),
                   [](const Constant& a, const Constant& d) { return a.value > d.value; });
  for (const Constant& k : c) put(out, "(2X,A7,1F18.9,1F18.9)", {k.label, k.value, k.error});
  // Ray's asymmetry parameter, -1 prolate and +1 oblate symmetric top;
  // undefined for a spherical top
  const double spread = c[0].value - c[2].value;
  if (spread != 0.0)
    put(out, "(A,F10.5)", {" Ray's kappa ", (2.0 * c[1].value - c[0].value - c[2].value) / spread});
  else
    put(out, "(A,A10)", {" Ray's kappa ", "spherical"});
}

void printPotentialConstants(RunState& rs, ConstParamView p, ConstParamView err, double kj,
                             double kcal, double cm) {
  std::ostream& out = *rs.io.out;
  const int ntop = std::clamp(rs.ctl.ntop, 0, DIMTOP);
  for (int t = 1; t <= ntop; ++t) {
    const int place = par::top(t, par::V1n);
    const double v = p(place), f = p(par::top(t, par::F));
    // reduced barrier s = 4 V3 / (9 F): the barrier in units of the
    // top's own rotational energy scale
    const double s = f != 0.0 ? 4.0 * v / (9.0 * f) : std::numeric_limits<double>::quiet_NaN();
    putBarrier(out, name7(rs, place), v, err(place), kj, kcal, cm, true, s);
  }
  if (ntop > 0 && p(par::top(ntop, par::V2n)) != 0.0)
    for (int t = 1; t <= ntop; ++t) {
      const int place = par::top(t, par::V2n);
      putBarrier(out, name7(rs, place), p(place), err(place), kj, kcal, cm, false, 0.0);
    }
  for (int place : {par::Vss, par::Vcc})
    if (p(place) != 0.0)
      putBarrier(out, name7(rs, place), p(place), err(place), kj, kcal, cm, false, 0.0);
  out << '\n';
}

void printTopGeometry(RunState& rs, ConstParamView p, ConstParamView err, double degPerRad,
                      int adjf) {
  std::ostream& out = *rs.io.out;
  const int ntop = std::clamp(rs.ctl.ntop, 0, DIMTOP);
  const double bx = p(par::BJ) + p(par::Bm), by = p(par::BJ) - p(par::Bm),
               bz = p(par::BJ) + p(par::BK);
  for (int t = 1; t <= ntop; ++t) {
    const int iRho = par::top(t, par::rho), iBeta = par::top(t, par::beta),
              iGamma = par::top(t, par::gamma);
    // F0 of the top and the direction of its axis in the principal axes
    double f0 = 0, lx = 0, ly = 0, lz = 0;
    oneTopAxisFromRho(p(iRho), p(iBeta), p(iGamma), bx, by, bz, f0, lx, ly, lz);
    const std::array<double, 3> angle = {safeAcos(lx), safeAcos(ly), safeAcos(lz)};
    // error by variation: rho, beta and gamma in turn moved by their errors
    double dF0 = 0.0;
    std::array<double, 3> dAngle{};
    for (int which = 0; which < 3; ++which) {
      double rho = p(iRho), beta = p(iBeta), gamma = p(iGamma);
      if (which == 0) rho += err(iRho);
      if (which == 1) beta += err(iBeta);
      if (which == 2) gamma += err(iGamma);
      double f0v = 0, vx = 0, vy = 0, vz = 0;
      oneTopAxisFromRho(rho, beta, gamma, bx, by, bz, f0v, vx, vy, vz);
      dF0 += std::fabs(f0v - f0);
      dAngle[0] += std::fabs(safeAcos(vx) - angle[0]);
      dAngle[1] += std::fabs(safeAcos(vy) - angle[1]);
      dAngle[2] += std::fabs(safeAcos(vz) - angle[2]);
    }
    double f0Err = 0.0;
    if (hasBit(adjf, adjfbit::DERIVE_RHO)) {
      f0Err = err(par::top(t, par::F0));
    } else {
      f0Err = dF0;
      putFree(out, {"Following values are derived from rho, beta, gamma"});
      if (!hasBit(adjf, adjfbit::DERIVE_F)) f0Err = 0.0;
    }
    // moment of inertia of the top, I = 505.37907 / F0 (amu A^2, F0 in GHz)
    const double ialpha = f0 != 0.0 ? IALPHA_CONST / f0 : 0.0;
    const double ialphaErr = f0 != 0.0 ? IALPHA_CONST / (f0 * f0) * f0Err : 0.0;
    put(out, "(A,F18.9,F18.9)", {" F0(calc)", f0, f0Err});
    put(out, "(A,F18.9,F18.9)", {" I_alpha ", ialpha, ialphaErr});

    std::array<double, 3> a = angle, e = dAngle;
    if (hasBit(adjf, adjfbit::DERIVE_BETA_GAMMA)) {
      // axis given by epsil (azimuth) and delta (polar angle)
      const double eps = p(par::top(t, par::epsil)), del = p(par::top(t, par::delta));
      const double dEps = err(par::top(t, par::epsil)),
                   dDel = std::fabs(err(par::top(t, par::delta)));
      a = {safeAcos(std::cos(eps) * std::sin(del)), safeAcos(std::sin(eps) * std::sin(del)), del};
      e[0] = std::fabs(a[0] - safeAcos(std::cos(eps + dEps) * std::sin(del))) +
             std::fabs(a[0] - safeAcos(std::cos(eps) * std::sin(del + dDel)));
      e[1] = std::fabs(a[1] - safeAcos(std::sin(eps + dEps) * std::sin(del))) +
             std::fabs(a[1] - safeAcos(std::sin(eps) * std::sin(del + dDel)));
      e[2] = dDel;
    }
    put(out, "(A,3F14.4,A)",
        {" <(i,x)  <(i,y)  <(i,z)", a[0] * degPerRad, a[1] * degPerRad, a[2] * degPerRad});
    put(out, "(A,3F14.4)",
        {"d<(i,x) d<(i,y) d<(i,z)", e[0] * degPerRad, e[1] * degPerRad, e[2] * degPerRad});
    out << '\n';
  }
}

void printRhoAndEffectiveConstants(RunState& rs, const ParamSets& p) {
  std::ostream& out = *rs.io.out;
  const int ntop = std::clamp(rs.ctl.ntop, 0, DIMTOP);
  const int nB = std::clamp(rs.nB, 1, DIMB);
  for (int b = 1; b <= nB; ++b) {
    put(out, "(A,I2)", {" B:", b});
    const double bj = p(par::BJ, b), bk = p(par::BK, b), bm = p(par::Bm, b);
    std::array<double, 3> beff = {bj + bm, bj - bm, bj + bk};
    put(out, "(A,3F18.9)", {" Bx By Bz          ", beff[0], beff[1], beff[2]});
    // rho vector of each top in the principal axes
    std::array<std::array<double, 3>, DIMTOP + 1> rho{};
    for (int t = 1; t <= ntop; ++t) {
      const double r = p(par::top(t, par::rho), b), be = p(par::top(t, par::beta), b),
                   ga = p(par::top(t, par::gamma), b);
      rho[t] = {r * std::sin(be) * std::cos(ga), r * std::sin(be) * std::sin(ga), r * std::cos(be)};
    }
    for (int t = 1; t <= ntop; ++t) {
      put(out, "(A,3F18.9)", {" rho_x rho_y rho_z ", rho[t][0], rho[t][1], rho[t][2]});
      // Q_t = -sum_i F_ti rho_i couples top t to the overall rotation; the
      // effective rotational constants B + sum F_ti rho_t rho_i follow
      std::array<double, 3> q{};
      for (int i = 1; i <= ntop; ++i) {
        const double w = (i == t) ? p(par::top(t, par::F), b) : p(par::F12, b);
        for (int k = 0; k < 3; ++k) {
          q[k] -= w * rho[i][k];
          beff[k] += w * rho[t][k] * rho[i][k];
        }
      }
      put(out, "(A,3F18.9)", {" Qx Qy Qz effektiv ", q[0], q[1], q[2]});
    }
    put(out, "(A,3F18.9)", {" Bx By Bz effektiv ", beff[0], beff[1], beff[2]});
  }
}

void writeFrequencyDerivatives(RunState& rs, const FitModel& fm, int nfit) {
  std::ostream& os = rs.io.dfreqFile;
  const Transitions& tr = rs.tr;
  nfit = std::clamp(nfit, 0, DIMFIT);
  os << fmtA(" No.   calc  obs-calc ", 33);
  for (int j = 1; j <= nfit; ++j) {
    if (fm.var[j].kind > 0) os << fmtA("-", 16);
    if (fm.var[j].kind < 0) os << fmtA("diff-quotient", 16);
  }
  os << '\n';
  const int ndata = std::clamp(tr.ndata, 0, DIMDATA);
  auto partner = [&](int i, int slotNo) {
    const int q = tr.qn[i][UP][slotNo];
    return (q >= 1 && q <= ndata) ? q : 0;
  };
  for (int i = 1; i <= ndata; ++i) {
    // frequency of the line (mean with its average partner), reduced by its
    // splitting partner
    int z = partner(i, slot::AVG);
    if (z == 0) z = i;
    const int q = partner(i, slot::SPLIT);
    const bool split = q != 0 && q != i;
    double calc = 0.5 * (tr.calc(z) + tr.calc(i));
    double obs = tr.freq[i];
    if (split) {
      calc -= tr.calc(q);
      obs -= tr.freq[q];
    }
    std::string line = fmtI(i, 3) + fmtF(calc, 15, 7) + fmtF(obs - calc, 15, 7);
    for (int j = 1; j <= nfit; ++j) {
      if (fm.var[j].kind == 0) continue;
      double d = 0.5 * (tr.eUp[z][j] - tr.eLo[z][j] + tr.eUp[i][j] - tr.eLo[i][j]);
      if (split) d -= tr.eUp[q][j] - tr.eLo[q][j];
      line += fmtF(d, 16, 8);
    }
    os << line << '\n';
  }
}

} // namespace ruvo
