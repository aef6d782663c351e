// One step of the damped (Levenberg-Marquardt) least-squares fit.
//
// The normal equations are solved through the eigen decomposition of the
// (scaled, damped) normal matrix; directions whose eigenvalue lies below a
// relative cut-off are dropped, so that nearly dependent combinations of fit
// variables do not spoil the step.
//
// Units: residuals and measurement errors in GHz, variances in GHz^2.
// A cycle of the fit calls, in this order:
//   workingSetVariance  the weighted variance of the working set (fs.work);
//   dampedStep          accepts the working set when it is better than the
//                       accepted one (fs.best), adapts the damping and puts
//                       the next trial point into fs.work;
// and at the end, instead of the step, finalErrorAnalysis.
#pragma once

#include <iosfwd>
#include <string>

#include "core/state.h"

namespace ruvo {

// What the fit sees of the spectrum: the model function of one line.
struct FitModelFunction {
  virtual ~FitModelFunction() = default;
  // residual of line i (observed - calculated, GHz), its derivatives
  // dyda[1..nfit] by the fit variables and the measurement error of the
  // line (GHz)
  virtual double value(int i, double* dyda, double& error, int nfit) = 0;
  virtual void storeRobustWeight(int i, double x) = 0;
};

// The problem: the lines 1..ndata seen through `model`; npar places in use
// per parameter set and nsets sets in use.  The fit variables, their flags,
// the parameter sets and the matrices are those of the FitState passed
// along: fs.best holds the accepted set, fs.work the working (trial) set,
// fs.change the last step of every parameter and, after the final error
// analysis, its error.
struct LeastSquaresProblem {
  FitModelFunction& model;
  int ndata = 0;
  int npar = 0;
  int nsets = 1;
};

// The controls of the fit.
struct LeastSquaresOptions {
  double rofit = 0.0;       // robust-weighting factor (0: none)
  double eps = 1e-12;       // relative eigenvalue cut-off of the step
  bool errorsOnly = false;  // weights from the measurement errors alone (orger 1)
  bool unitDiagonal = true; // normal equations scaled to unit diagonal (fitscl 0)
  // The final analysis raises eigenvalues below its threshold to the
  // threshold (svderr <= 0) instead of dropping them; with svderr = 0 the
  // threshold is 1e-12 of the largest eigenvalue, otherwise eps of it.
  int svderr = 0;
  double stepWidth = 1.0; // fraction of the computed step that is taken
};

// The damping factor lambda shrinks after a better trial point by this
// factor: 0.4 rounded to single precision, the value the fit has always
// used, so that lambda and every listing that prints it stay as they were.
inline constexpr double LAMBDA_DECREASE = 0.4000000059604645;
// ... and grows by this factor after a trial point that was not better.
inline constexpr double LAMBDA_INCREASE = 10.0;
// The fit ends when the damping factor has grown beyond this: the steps
// would no longer move the parameters.
inline constexpr double LAMBDA_LIMIT = 1000.0;
// Variance reported when there are too few data points for the fit.
inline constexpr double NO_FIT_VARIANCE = 100000.0;

// The data points a fit of nfit variables needs: the variance is the
// weighted chi-square over n - nfit - 1 degrees of freedom, which must be
// at least 1.  The input check and the fit cycles both ask this.
constexpr int minimumDataPoints(int nfit) { return nfit + 2; }
// The stop message for a fit of nfit variables that has only `points` data
// points; `where` completes "there are N" (e.g. " left in cycle 2").
std::string tooFewDataPoints(int nfit, int points, const std::string& where = std::string());

// What one damped step did.
struct StepSummary {
  bool accepted = false; // the working set was better and became the accepted set
  double lambda = 0.0;   // damping factor after the step
  int independent = 0;   // directions kept (also in fs.nindep)
};

// What the final error analysis did.
struct ErrorSummary {
  bool accepted = false; // the last working set was better and became the accepted set
  int independent = 0;   // directions of the undamped normal matrix above the threshold
};

// Weighted variance of the working set (GHz^2); also sets fs.reducedChi2, the
// robust weights of the lines and fs.dataPoints (the lines that are data
// points).  With fewer than minimumDataPoints(nfit) data points it writes
// the warning to `out` and returns NO_FIT_VARIANCE.
double workingSetVariance(const LeastSquaresProblem& problem, const LeastSquaresOptions& options,
                          FitState& fs, std::ostream& out);

// The damped step.  `variance` is that of the working set,
// `acceptedVariance` that of the accepted set, `lambda` the damping factor.
// A better working set becomes the accepted set (its normal equations are
// built and lambda shrinks); otherwise lambda grows and the same normal
// equations are solved again.  On return fs.change holds the step of every
// parameter and fs.work = fs.best + stepWidth * fs.change.
StepSummary dampedStep(const LeastSquaresProblem& problem, const LeastSquaresOptions& options,
                       FitState& fs, double variance, double acceptedVariance, double lambda);

// The final error analysis of the undamped normal matrix at the accepted
// set (a better last working set is accepted first): the covariance, the
// error of every fitted parameter in fs.change, the errors of the fit
// variables at places 1..nfit of fs.work, and in fs.cov the correlations
// (above the diagonal), the cofreedoms (below) and the freedoms (on it).
ErrorSummary finalErrorAnalysis(const LeastSquaresProblem& problem,
                                const LeastSquaresOptions& options, FitState& fs, double variance,
                                double acceptedVariance);

// Eigen decomposition of the symmetric n x n matrix a (leading dimension ld,
// lower triangle read): on return a holds the orthonormal eigenvectors in its
// columns and eig the eigenvalues in ascending order.  Stops the run when n
// exceeds ld (or DIMFIT) or when the solver does not converge.
void diagonaliseNormalMatrix(int ld, int n, double* a, double* eig);
// x = V D+ V^T b with the decomposition of diagonaliseNormalMatrix; eigenvalues that are 0
// are skipped.  b and x are 0-based vectors of length n (may not alias).
void solveThroughEigenvectors(int ld, int n, const double* v, const double* eig, const double* b,
                              double* x);
// inv = V D+ V^T (leading dimension ld), zero eigenvalues skipped.
void pseudoInverse(int ld, int n, const double* v, const double* eig, double* inv);
// Smallest non-zero and largest eigenvalue, their 1-based positions (0 when
// none) and the count of non-zero eigenvalues.
void eigenvalueExtremes(int n, const double* eig, double& emin, double& emax, int& imin, int& imax,
                        int& nonzero);

} // namespace ruvo
