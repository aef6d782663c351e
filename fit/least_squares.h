// One step of the damped (Levenberg-Marquardt) least-squares fit.
//
// The normal equations are solved through the eigen decomposition of the
// (scaled, damped) normal matrix; directions whose eigenvalue lies below a
// relative cut-off are dropped, so that nearly dependent combinations of fit
// variables do not spoil the step.
#pragma once

#include <iosfwd>

#include "core/state.h"

namespace ruvo {

// What the fit sees of the spectrum: the model function of one line.
struct FitModelFunction {
  virtual ~FitModelFunction() = default;
  // residual of line i (observed - calculated), derivatives dyda[1..nfit], sigma
  virtual double value(int i, double* dyda, double& sigma, int nfit) = 0;
  virtual void storeRobustWeight(int i, double x) = 0;
};

// Fit calls: start (evaluation), iteration (one damped step) and the final
// error analysis.
inline constexpr int FIT_START = 0;
inline constexpr int FIT_STEP = 1;
// Final passes (any negative mode is a final pass).
inline constexpr int FIT_CONVERGED = -1;
inline constexpr int FIT_LASTCYCLE = -1001;
inline constexpr int FIT_INTERRUPTED = -1002;
inline constexpr int FIT_DAMPED_OUT = -1003;

// The controls of one fit call.
struct FitControls {
  double rofit = 0.0;  // robust-weighting factor
  double eps = 1e-12;  // relative eigenvalue cut-off of the step
  int orger = 0;       // 1: weights from the measurement errors alone
  int fitscl = 0;      // 0: normal equations scaled to unit diagonal
  int svderr = 0;      // 0: small eigenvalues raised to the threshold in the errors
};

// One call of the fit.
//   ndata   lines 1..ndata are evaluated through `model`
//   npar    places in use per parameter set, nsets sets in use
//   ld      leading dimension of the nfit x nfit matrices (at most DIMFIT)
//   fm      the fit variables (kinds, factors, terms)
//   flags   fit flags of every place
//   fs      alpha, beta, workm, evec, cov, sing, spare, nindep, dy2av
//   pbase   best (accepted) set; par the working set; dpar the steps/errors
//   sigma   in/out: variance of the working set (returned by mode 0)
//   sigmaOld  variance of the accepted point
//   stepf   step width
//   mode    FIT_START, > 0 a step, < 0 the final error analysis
//   zero    must be 0
//   lambda  in/out damping factor
//   out     the listing (the warning of an over-determined start)
void dampedLeastSquaresStep(FitModelFunction& model, int ndata, int npar, int nsets, int ld, int nfit,
           const FitModel& fm, const FitFlags& flags, FitState& fs, ParamSets& pbase,
           ParamSets& par, ParamSets& dpar, const FitControls& c, double& sigma,
           double sigmaOld, double stepf, int mode, int zero, double& lambda,
           std::ostream& out);

// Eigen decomposition of the symmetric n x n matrix a (leading dimension ld,
// lower triangle read): on return a holds the orthonormal eigenvectors in its
// columns and eig the eigenvalues in ascending order.  Stops the run when n
// exceeds ld (or DIMFIT) or when the solver does not converge.
void diagonaliseNormalMatrix(int ld, int n, double* a, double* eig);
// x = V D+ V^T b with the decomposition of diagonaliseNormalMatrix; eigenvalues that are 0
// are skipped.  b and x are 0-based vectors of length n (may not alias).
void solveThroughEigenvectors(int ld, int n, const double* v, const double* eig, const double* b, double* x);
// inv = V D+ V^T (leading dimension ld), zero eigenvalues skipped.
void pseudoInverse(int ld, int n, const double* v, const double* eig, double* inv);
// Smallest non-zero and largest eigenvalue, their 1-based positions (0 when
// none) and the count of non-zero eigenvalues.
void eigenvalueExtremes(int n, const double* eig, double& emin, double& emax, int& imin, int& imax,
            int& nonzero);

} // namespace ruvo
