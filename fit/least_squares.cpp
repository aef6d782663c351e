#include "fit/least_squares.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <ostream>
#include <string>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "numerics/eigen.h"

namespace ruvo {

namespace {

// Robust factor of a line: residuals that are large compared with their
// measurement error are weighted down, w = 1 / (1 + (rofit r / s)^2 / 2).
double robustWeight(double rofit, double r, double s) {
  if (rofit == 0.0) return 1.0;
  const double z = rofit * r / s;
  return 1.0 / (1.0 + 0.5 * z * z);
}

// A line is a data point of the fit when it has a positive, finite error
// below the mark of a line without measurement (NODATA, also given to a
// line whose level was not found) and a finite residual.  A blend is one
// data point: only its line with "=" carries an error.  Anything else takes
// no part in the sums (and would poison them with inf or NaN).
bool usable(double r, double s) {
  return s > 0.0 && s < NODATA && std::isfinite(s) && std::isfinite(r);
}

// 1/sqrt(alpha_jj): the scaling that brings the normal matrix to unit
// diagonal.  A variable without any derivative keeps scale 1, so that its
// direction shows up as a zero eigenvalue instead of a division by zero.
void scaleFactors(const FitState& fs, int n, bool unitDiagonal, double* sc) {
  constexpr int ld = DIMFIT;
  for (int j = 0; j < n; ++j) {
    const double a = fs.alpha[j + j * ld];
    sc[j] = (unitDiagonal && a > 0.0) ? 1.0 / std::sqrt(a) : 1.0;
  }
}

// The working matrix: alpha scaled by sc_j sc_k, diagonal times (1 + damping).
void buildWorking(FitState& fs, int n, const double* sc, double damping) {
  constexpr int ld = DIMFIT;
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j) fs.evec[j + k * ld] = fs.alpha[j + k * ld] * sc[j] * sc[k];
  for (int j = 0; j < n; ++j) fs.evec[j + j * ld] *= 1.0 + damping;
}

void checkDimensions(int ndata, int npar, int nsets, int nfit, const FitModel& fm) {
  if (nfit > DIMFIT) stop("Dimension Error in LMFIT: nfit > 60");
  if (ndata > DIMDATA) stop("Dimension Error in LMFIT: ndata > 100000");
  if (npar > NPAR) stop("Dimension Error in LMFIT: npar > 77");
  if (nsets > DIMB) stop("Dimension Error in LMFIT: nsets > 5");
  for (int j = 1; j <= nfit; ++j) {
    const FitVar& v = fm.var[j];
    if (v.nterm < 0 || v.nterm > DIMPLC) stop("Dimension Error in LMFIT: terms > 15");
    for (int k = 1; k <= v.nterm; ++k)
      if (v.par[k] < 1 || v.par[k] > NPAR || v.set[k] < 1 || v.set[k] > DIMB)
        stop("Dimension Error in LMFIT: term outside the parameter sets");
  }
}

// Weighted variance of the working set (GHz^2) and the variance factor
// reducedChi2 (chi-square per degree of freedom).
double startEvaluation(FitModelFunction& model, int ndata, int nfit, FitState& fs,
                       const LeastSquaresOptions& c, std::ostream& out) {
  std::array<double, DIMFIT + 1> dyda{};
  double sumW = 0.0, chi2 = 0.0, sumInvVar = 0.0;
  int points = 0; // data points: the lines that take part
  for (int i = 1; i <= ndata; ++i) {
    double s = 0.0; // measurement error of line i, GHz
    const double r = model.value(i, dyda.data(), s, nfit);
    if (!usable(r, s)) {
      model.storeRobustWeight(i, 1.0);
      continue;
    }
    const double w = robustWeight(c.rofit, r, s);
    model.storeRobustWeight(i, w);
    sumW += w;
    chi2 += w * (r / s) * (r / s);
    sumInvVar += 1.0 / (s * s);
    ++points;
  }
  fs.dataPoints = points;
  // degrees of freedom of the data points (lines without a measurement
  // carry no information and do not count)
  const int dof = points - nfit - 1;
  if (dof < 1 || sumW <= 0.0 || sumInvVar <= 0.0) {
    putFree(out, {" FIT: Warning: ndata-nfit = 0: no fit possible!"});
    fs.reducedChi2 = NO_FIT_VARIANCE;
    return NO_FIT_VARIANCE;
  }
  fs.reducedChi2 = chi2 / dof;
  // Variance of the working set in GHz^2: chi-square per degree of freedom
  // rescaled by the mean weight and the mean inverse variance of the lines.
  const double n = points;
  return (n / dof) * chi2 / ((sumW / n) * sumInvVar);
}

// Normal equations at the accepted point: alpha = J^T W J, beta = J^T W r
// (beta scaled by 1/sqrt(alpha_jj) when fitscl = 0).
void buildNormalEquations(FitModelFunction& model, int ndata, int nfit, FitState& fs,
                          const LeastSquaresOptions& c) {
  constexpr int ld = DIMFIT;
  std::array<double, DIMFIT + 1> dyda{};
  std::array<double, DIMFIT + 1> t{};
  for (int k = 0; k < nfit; ++k) {
    for (int j = 0; j < nfit; ++j) fs.alpha[j + k * ld] = 0.0;
    fs.beta[k + 1] = 0.0;
  }
  for (int i = 1; i <= ndata; ++i) {
    double s = 0.0; // measurement error of line i, GHz
    const double r = model.value(i, dyda.data(), s, nfit);
    if (!usable(r, s)) continue;
    const double w = robustWeight(c.rofit, r, s);
    const double variance = c.errorsOnly ? s * s : s * s * fs.reducedChi2;
    if (!(variance > 0.0) || !std::isfinite(variance)) continue;
    for (int j = 1; j <= nfit; ++j) t[j] = w * dyda[j] / variance;
    for (int j = 1; j <= nfit; ++j) {
      for (int k = 1; k <= j; ++k) fs.alpha[(j - 1) + (k - 1) * ld] += t[j] * dyda[k];
      fs.beta[j] += t[j] * r;
    }
  }
  // keep the full symmetric matrix
  for (int j = 0; j < nfit; ++j)
    for (int k = 0; k < j; ++k) fs.alpha[k + j * ld] = fs.alpha[j + k * ld];
  if (c.unitDiagonal)
    for (int j = 1; j <= nfit; ++j) {
      const double a = fs.alpha[(j - 1) + (j - 1) * ld];
      if (a > 0.0) fs.beta[j] /= std::sqrt(a);
    }
}

void keepEigenvalues(FitState& fs, int n, const double* eig) {
  for (int j = 0; j < n; ++j) fs.sing[j + 1] = eig[j];
}

// Error of every fitted parameter into fs.change: a parameter moves by g . x
// with g its coefficients in the fit variables, so its variance is g^T cov g.
void parameterErrors(FitState& fs, int npar, int nsets, int n) {
  constexpr int ld = DIMFIT;
  for (int s = 1; s <= DIMB; ++s)
    for (int p = 1; p <= NPAR; ++p) fs.change(p, s) = 0.0;
  std::array<double, DIMFIT> g{};
  for (int s = 1; s <= nsets; ++s)
    for (int p = 1; p <= npar; ++p) {
      if (fs.flags(p, s) == 0 || n == 0) continue;
      bool any = false;
      for (int j = 1; j <= n; ++j) {
        g[j - 1] = 0.0;
        const FitVar& v = fs.model.var[j];
        for (int k = 1; k <= v.nterm; ++k)
          if (v.par[k] == p && v.set[k] == s) {
            g[j - 1] += v.coef[k];
            any = true;
          }
      }
      if (!any) continue;
      double var = 0.0;
      for (int k = 0; k < n; ++k) {
        if (g[k] == 0.0) continue;
        for (int j = 0; j < n; ++j) var += g[j] * fs.cov[j + k * ld] * g[k];
      }
      fs.change(p, s) = std::sqrt(std::max(var, 0.0));
    }
}

// The errors of the fit variables (places 1..nfit of fs.work, counted
// through the sets of 77) and, in fs.cov, the correlations above the
// diagonal, the cofreedoms below it and the freedoms on it.
void correlationsAndFreedoms(FitState& fs, int n) {
  constexpr int ld = DIMFIT;
  std::array<double, DIMFIT> cdiag{};
  for (int j = 0; j < n; ++j) {
    cdiag[j] = fs.cov[j + j * ld];
    fs.work.flat(j + 1) = std::sqrt(std::max(cdiag[j], 0.0));
    fs.spare[j + 1] = -99.0;
  }
  // Correlations above the diagonal, cofreedoms below it, freedoms on it.
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < j; ++k) {
      const double cjk = fs.cov[k + j * ld];
      const double cc = cdiag[j] * cdiag[k];
      const double corr = cc > 0.0 ? cjk / std::sqrt(cc) : 0.0;
      const double ajj = fs.alpha[j + j * ld], akk = fs.alpha[k + k * ld];
      const double ajk = fs.alpha[j + k * ld];
      const double aa = ajj * akk;
      const double overlap = aa > 0.0 ? ajk * ajk / aa : 0.0;
      const double cofree = std::max(0.0, (1.0 - corr * corr) * (1.0 - overlap));
      fs.cov[k + j * ld] = corr;
      fs.cov[j + k * ld] = std::sqrt(std::sqrt(cofree));
    }
  for (int j = 0; j < n; ++j) {
    const double ac = fs.alpha[j + j * ld] * cdiag[j];
    fs.cov[j + j * ld] = ac > 0.0 ? 1.0 / std::sqrt(ac) : 0.0;
  }
}

} // namespace

// ------------------------------------------------------ eigen routines

void diagonaliseNormalMatrix(int ld, int n, double* a, double* eig) {
  if (n > ld || n > DIMFIT || ld < 1) stop("Dimension Error in SCDSYDC");
  if (n < 1) return;
  std::array<double, DIMFIT> diag{};
  std::array<double, DIMFIT> e{};
  bool finite = true;
  for (int j = 0; j < n; ++j) {
    diag[j] = a[j + j * ld];
    for (int k = 0; k <= j; ++k) finite = finite && std::isfinite(a[j + k * ld]);
  }
  int ierr = 0;
  if (finite)
    diagonaliseRealSymmetric(ld, n, a, eig, e.data(), ierr);
  else
    ierr = -1; // a matrix with inf or NaN has no decomposition
  if (ierr != 0) {
    std::string msg = fmt("(a,i5)", {"SVDSYDC: Error in hdiag (sydsycd)", ierr});
    for (int j = 0; j < n; j += 60) {
      std::string line;
      for (int k = j; k < std::min(n, j + 60); ++k) line += fmtF(diag[k], 10, 4);
      msg += line + '\n';
    }
    while (!msg.empty() && msg.back() == '\n') msg.pop_back();
    stop(msg);
  }
  sortEigenpairs(eig, a, n, ld);
}

void solveThroughEigenvectors(int ld, int n, const double* v, const double* eig, const double* b,
                              double* x) {
  // x = sum over the non-zero eigenpairs of v_l (v_l . b) / e_l
  for (int j = 0; j < n; ++j) x[j] = 0.0;
  for (int l = 0; l < n; ++l) {
    if (eig[l] == 0.0) continue;
    double proj = 0.0;
    for (int j = 0; j < n; ++j) proj += v[j + l * ld] * b[j];
    proj /= eig[l];
    for (int j = 0; j < n; ++j) x[j] += v[j + l * ld] * proj;
  }
}

void pseudoInverse(int ld, int n, const double* v, const double* eig, double* inv) {
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j) inv[j + k * ld] = 0.0;
  for (int l = 0; l < n; ++l) {
    if (eig[l] == 0.0) continue;
    const double d = 1.0 / eig[l];
    for (int k = 0; k < n; ++k) {
      const double vk = v[k + l * ld] * d;
      for (int j = 0; j < n; ++j) inv[j + k * ld] += v[j + l * ld] * vk;
    }
  }
}

void eigenvalueExtremes(int n, const double* eig, double& emin, double& emax, int& imin, int& imax,
                        int& nonzero) {
  emin = 1e100;
  emax = -1e100;
  imin = imax = 0;
  nonzero = 0;
  for (int j = 0; j < n; ++j) {
    if (eig[j] == 0.0) continue;
    ++nonzero;
    if (eig[j] < emin) {
      emin = eig[j];
      imin = j + 1;
    }
    if (eig[j] > emax) {
      emax = eig[j];
      imax = j + 1;
    }
  }
}

// ------------------------------------------------------------ the fit

std::string tooFewDataPoints(int nfit, int points, const std::string& where) {
  const int need = minimumDataPoints(nfit);
  return "ERROR: a fit of " + std::to_string(nfit) + (nfit == 1 ? " variable" : " variables") +
         " needs at least " + std::to_string(need) +
         " data points (lines with \"=\", a blend counted once); there " +
         (points == 1 ? "is 1" : "are " + std::to_string(points)) + where +
         " (nzyk 1 calculates without fitting)";
}

namespace {

// The sizes of a call, checked and brought into range.
struct Sizes {
  int ndata, nfit, nsets;
};
Sizes checkedSizes(const LeastSquaresProblem& problem, const FitState& fs) {
  const FitModel& fm = fs.model;
  checkDimensions(problem.ndata, problem.npar, problem.nsets, fm.nfit, fm);
  return {std::max(problem.ndata, 0), std::max(fm.nfit, 0), std::clamp(problem.nsets, 1, DIMB)};
}

// The working set becomes the accepted set; the normal equations are built there.
void acceptWorkingSet(const LeastSquaresProblem& problem, const LeastSquaresOptions& options,
                      const Sizes& z, FitState& fs) {
  for (int s = 1; s <= z.nsets; ++s)
    for (int p = 1; p <= NPAR; ++p) fs.best(p, s) = fs.work(p, s);
  buildNormalEquations(problem.model, z.ndata, z.nfit, fs, options);
}

} // namespace

double workingSetVariance(const LeastSquaresProblem& problem, const LeastSquaresOptions& options,
                          FitState& fs, std::ostream& out) {
  const Sizes z = checkedSizes(problem, fs);
  return startEvaluation(problem.model, z.ndata, z.nfit, fs, options, out);
}

StepSummary dampedStep(const LeastSquaresProblem& problem, const LeastSquaresOptions& options,
                       FitState& fs, double variance, double acceptedVariance, double lambda) {
  const Sizes z = checkedSizes(problem, fs);
  const int n = z.nfit;
  const FitModel& fm = fs.model;
  StepSummary summary;
  std::array<double, DIMFIT> sc{};
  std::array<double, DIMFIT> eig{};
  std::array<double, DIMFIT> x{};

  // 1-2. Damping: a trial point that is not better than the accepted one
  // is thrown away and the same normal equations are solved with ten
  // times the damping; a better one becomes the accepted point.
  if (acceptedVariance <= variance) {
    lambda *= LAMBDA_INCREASE;
  } else {
    lambda *= LAMBDA_DECREASE;
    acceptWorkingSet(problem, options, z, fs);
    summary.accepted = true;
  }
  summary.lambda = lambda;
  // 3-4. Scaled, damped working matrix and its eigen decomposition.
  scaleFactors(fs, n, options.unitDiagonal, sc.data());
  buildWorking(fs, n, sc.data(), lambda);
  diagonaliseNormalMatrix(DIMFIT, n, fs.evec.data(), eig.data());
  // 5. Directions below the relative cut-off are dropped.
  double emin = 0, emax = 0;
  int imin = 0, imax = 0, nz = 0;
  eigenvalueExtremes(n, eig.data(), emin, emax, imin, imax, nz);
  const double cut = options.eps * emax;
  fs.nindep = 0;
  for (int j = 0; j < n; ++j) {
    if (eig[j] < cut) eig[j] = 0.0;
    if (eig[j] != 0.0) ++fs.nindep;
  }
  summary.independent = fs.nindep;
  keepEigenvalues(fs, n, eig.data());
  // 6. Step in the fit variables.
  solveThroughEigenvectors(DIMFIT, n, fs.evec.data(), eig.data(), &fs.beta[1], x.data());
  for (int j = 0; j < n; ++j) {
    x[j] *= sc[j];
    const double factor = fm.var[j + 1].factor;
    if (factor != 0.0) x[j] *= factor;
  }
  // 7-9. Step of every parameter and the trial point.
  for (int s = 1; s <= DIMB; ++s)
    for (int p = 1; p <= NPAR; ++p) fs.change(p, s) = 0.0;
  for (int j = 1; j <= n; ++j) {
    const FitVar& v = fm.var[j];
    for (int k = 1; k <= v.nterm; ++k) fs.change(v.par[k], v.set[k]) += x[j - 1] * v.coef[k];
  }
  for (int s = 1; s <= z.nsets; ++s)
    for (int p = 1; p <= NPAR; ++p)
      fs.work(p, s) = fs.best(p, s) + options.stepWidth * fs.change(p, s);
  return summary;
}

ErrorSummary finalErrorAnalysis(const LeastSquaresProblem& problem,
                                const LeastSquaresOptions& options, FitState& fs, double variance,
                                double acceptedVariance) {
  const Sizes z = checkedSizes(problem, fs);
  const int n = z.nfit;
  ErrorSummary summary;
  std::array<double, DIMFIT> sc{};
  std::array<double, DIMFIT> eig{};
  constexpr int ld = DIMFIT;

  // A final trial point that is better than the accepted one becomes the
  // accepted point, so that the reported parameters, their errors and the
  // reported standard deviation belong to the same (best) parameter set.
  if (variance < acceptedVariance) {
    acceptWorkingSet(problem, options, z, fs);
    summary.accepted = true;
  }
  scaleFactors(fs, n, options.unitDiagonal, sc.data());
  buildWorking(fs, n, sc.data(), 0.0);
  diagonaliseNormalMatrix(ld, n, fs.evec.data(), eig.data());
  double emin = 0, emax = 0;
  int imin = 0, imax = 0, nz = 0;
  eigenvalueExtremes(n, eig.data(), emin, emax, imin, imax, nz);
  const double threshold = (options.svderr == 0 ? 1e-12 : options.eps) * std::max(emax, 0.0);
  // The undamped normal matrix shows the truly dependent combinations that
  // the damping of the steps hides: they count against nindep.
  fs.nindep = 0;
  for (int j = 0; j < n; ++j) {
    if (eig[j] < threshold) eig[j] = 0.0;
    if (eig[j] != 0.0) ++fs.nindep;
    // Raising a dropped direction to the threshold keeps the covariance
    // finite (large errors) instead of pretending the direction is exact.
    if (options.svderr <= 0 && eig[j] == 0.0) eig[j] = threshold;
  }
  summary.independent = fs.nindep;
  keepEigenvalues(fs, n, eig.data());
  // Covariance of the fit variables.
  pseudoInverse(ld, n, fs.evec.data(), eig.data(), fs.cov.data());
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j) fs.cov[j + k * ld] *= sc[j] * sc[k];
  parameterErrors(fs, problem.npar, z.nsets, n);
  correlationsAndFreedoms(fs, n);
  return summary;
}

} // namespace ruvo
