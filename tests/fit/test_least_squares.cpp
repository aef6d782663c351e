// The damped least-squares fit against an independent computation: LAPACK
// least squares (dgelsd) and singular value decomposition (dgesvd) of the
// weighted Jacobian give the solution, the covariance and the correlations
// that the fit's eigen decomposition of the normal equations must reproduce.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "core/state.h"
#include "core/stop.h"
#include "fit/least_squares.h"

extern "C" {
void dgelsd_(const int* m, const int* n, const int* nrhs, double* a, const int* lda, double* b,
             const int* ldb, double* s, const double* rcond, int* rank, double* work,
             const int* lwork, int* iwork, int* info);
void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
             const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt,
             double* work, const int* lwork, int* info);
}

namespace ruvo {
namespace {

// A model y(t; p) of a few parameters (places 1..m of set 1), seen by the
// fit through the fit variables of a FitModel.
struct TestModel : FitModelFunction {
  std::function<double(const ParamSets&, double)> f;
  std::function<double(const ParamSets&, double, int)> dfdp; // by place
  const ParamSets* par = nullptr;
  const FitModel* fm = nullptr;
  std::vector<double> t, y, s, psi;
  int calls = 0;
  double value(int i, double* dyda, double& error, int nfit) override {
    ++calls;
    error = s[i];
    for (int j = 1; j <= nfit; ++j) {
      dyda[j] = 0.0;
      const FitVar& v = fm->var[j];
      for (int k = 1; k <= v.nterm; ++k) dyda[j] += v.coef[k] * dfdp(*par, t[i], v.par[k]);
    }
    return y[i] - f(*par, t[i]);
  }
  void storeRobustWeight(int i, double x) override { psi[i] = x; }
};

struct Fixture {
  std::unique_ptr<FitState> fs = std::make_unique<FitState>();
  TestModel model;
  LeastSquaresOptions c;
  double lambda = 1e-14;
  std::ostringstream out;
  int ndata = 0;
  Fixture() { fs->allocate(); }
  // one fit variable per place 1..m, coefficient 1
  void simpleVariables(int m) {
    fs->model.nfit = m;
    fs->model.npar = 32;
    for (int j = 1; j <= m; ++j) {
      FitVar& v = fs->model.var[j];
      v.nterm = 1;
      v.par[1] = j;
      v.set[1] = 1;
      v.coef[1] = 1.0;
      v.factor = 0.0;
      fs->flags(j, 1) = 1;
    }
  }
  void setData(const std::vector<double>& t, const std::vector<double>& y,
               const std::vector<double>& s) {
    ndata = static_cast<int>(t.size());
    model.t = {0.0};
    model.y = {0.0};
    model.s = {0.0};
    model.t.insert(model.t.end(), t.begin(), t.end());
    model.y.insert(model.y.end(), y.begin(), y.end());
    model.s.insert(model.s.end(), s.begin(), s.end());
    model.psi.assign(ndata + 1, 0.0);
    model.par = &fs->work;
    model.fm = &fs->model;
  }
  // the three calls of a fit cycle: the variance of the working set, the
  // damped step, the final error analysis
  enum Call { START, STEP, FINAL };
  double call(Call what, double& variance, double acceptedVariance) {
    const LeastSquaresProblem problem{model, ndata, fs->model.npar, 1};
    if (what == START) variance = workingSetVariance(problem, c, *fs, out);
    if (what == STEP)
      lambda = dampedStep(problem, c, *fs, variance, acceptedVariance, lambda).lambda;
    if (what == FINAL) finalErrorAnalysis(problem, c, *fs, variance, acceptedVariance);
    return variance;
  }
  double cov(int r, int col) const { return fs->cov[(r - 1) + (col - 1) * DIMFIT]; }
};

// Weighted linear least squares by LAPACK: rows sqrt(w_i) (A_i, y_i).
std::vector<double> lapackSolve(const std::vector<std::vector<double>>& A,
                                const std::vector<double>& y, const std::vector<double>& s) {
  const int m = static_cast<int>(A.size()), n = static_cast<int>(A[0].size()), one = 1;
  std::vector<double> a(m * n), b(m), sv(n);
  for (int i = 0; i < m; ++i) {
    for (int k = 0; k < n; ++k) a[i + k * m] = A[i][k] / s[i];
    b[i] = y[i] / s[i];
  }
  int rank = 0, info = 0, lwork = -1;
  const double rcond = -1.0;
  double wq = 0;
  int iwq = 0;
  dgelsd_(&m, &n, &one, a.data(), &m, b.data(), &m, sv.data(), &rcond, &rank, &wq, &lwork, &iwq,
          &info);
  lwork = static_cast<int>(wq);
  std::vector<double> work(lwork);
  std::vector<int> iwork(std::max(1, iwq) * 2 + 64 * n);
  dgelsd_(&m, &n, &one, a.data(), &m, b.data(), &m, sv.data(), &rcond, &rank, work.data(), &lwork,
          iwork.data(), &info);
  EXPECT_EQ(info, 0);
  return std::vector<double>(b.begin(), b.begin() + n);
}

// Covariance (J^T W J)^-1 = V S^-2 V^T from the SVD of the weighted Jacobian.
std::vector<double> lapackCovariance(const std::vector<std::vector<double>>& A,
                                     const std::vector<double>& s) {
  const int m = static_cast<int>(A.size()), n = static_cast<int>(A[0].size());
  std::vector<double> a(m * n), sv(n), vt(n * n);
  for (int i = 0; i < m; ++i)
    for (int k = 0; k < n; ++k) a[i + k * m] = A[i][k] / s[i];
  int info = 0, lwork = -1, one = 1;
  double wq = 0, dummy = 0;
  dgesvd_("N", "A", &m, &n, a.data(), &m, sv.data(), &dummy, &one, vt.data(), &n, &wq, &lwork,
          &info);
  lwork = static_cast<int>(wq);
  std::vector<double> work(lwork);
  dgesvd_("N", "A", &m, &n, a.data(), &m, sv.data(), &dummy, &one, vt.data(), &n, work.data(),
          &lwork, &info);
  EXPECT_EQ(info, 0);
  std::vector<double> cov(n * n, 0.0);
  for (int l = 0; l < n; ++l)
    for (int j = 0; j < n; ++j)
      for (int k = 0; k < n; ++k) cov[j + k * n] += vt[l + j * n] * vt[l + k * n] / (sv[l] * sv[l]);
  return cov;
}

// Polynomial data y = 3 - 2t + 0.5t^2 - 0.01t^3 with noise and unequal errors.
struct PolyData {
  std::vector<double> t, y, s;
  std::vector<std::vector<double>> A;
  explicit PolyData(int n, int m = 4) {
    std::mt19937 gen(12345);
    std::normal_distribution<double> g(0.0, 1.0);
    const double truth[4] = {3.0, -2.0, 0.5, -0.01};
    for (int i = 0; i < n; ++i) {
      const double ti = -5.0 + 10.0 * i / (n - 1);
      const double si = 0.01 * (1.0 + (i % 3));
      double yi = 0.0;
      std::vector<double> row;
      for (int k = 0; k < m; ++k) {
        yi += truth[k] * std::pow(ti, k);
        row.push_back(std::pow(ti, k));
      }
      t.push_back(ti);
      y.push_back(yi + si * g(gen));
      s.push_back(si);
      A.push_back(row);
    }
  }
};

void usePolynomial(Fixture& fx) {
  fx.model.f = [](const ParamSets& p, double t) {
    return p(1, 1) + p(2, 1) * t + p(3, 1) * t * t + p(4, 1) * t * t * t;
  };
  fx.model.dfdp = [](const ParamSets&, double t, int place) {
    return place >= 1 && place <= 4 ? std::pow(t, place - 1) : 0.0;
  };
}

TEST(LeastSquares, LinearStepErrorsAndCorrelationsAgreeWithLapack) {
  for (int fitscl : {0, 1}) {
    SCOPED_TRACE(fitscl);
    PolyData d(40);
    Fixture fx;
    fx.simpleVariables(4);
    usePolynomial(fx);
    fx.setData(d.t, d.y, d.s);
    fx.c.errorsOnly = true;
    fx.c.unitDiagonal = fitscl == 0;
    // start values well off
    for (int j = 1; j <= 4; ++j) fx.fs->work(j, 1) = 1.0;
    double sigma = 0;
    fx.call(Fixture::START, sigma, 1e30);
    const double sigma0 = sigma;
    fx.call(Fixture::STEP, sigma, 1e30);
    // one undamped Gauss-Newton step solves a linear problem exactly
    const std::vector<double> ref = lapackSolve(d.A, d.y, d.s);
    for (int j = 1; j <= 4; ++j) {
      EXPECT_NEAR(fx.fs->work(j, 1), ref[j - 1], 1e-9 * (1 + std::fabs(ref[j - 1]))) << j;
      EXPECT_EQ(fx.fs->best(j, 1), 1.0); // the accepted point is the start point
    }
    EXPECT_EQ(fx.fs->nindep, 4);
    fx.call(Fixture::START, sigma, sigma0);
    EXPECT_LT(sigma, sigma0);
    fx.call(Fixture::FINAL, sigma, sigma0);
    // the better final point became the accepted one
    for (int j = 1; j <= 4; ++j)
      EXPECT_NEAR(fx.fs->best(j, 1), ref[j - 1], 1e-9 * (1 + std::fabs(ref[j - 1])));
    const std::vector<double> cov = lapackCovariance(d.A, d.s);
    for (int j = 1; j <= 4; ++j) {
      const double e = std::sqrt(cov[(j - 1) * 5]);
      EXPECT_NEAR(fx.fs->change(j, 1), e, 1e-8 * e) << "parameter error " << j;
      EXPECT_NEAR(fx.fs->work.flat(j), e, 1e-8 * e) << "error of fit variable " << j;
      EXPECT_EQ(fx.fs->spare[j], -99.0);
      for (int k = 1; k < j; ++k) {
        const double corr =
            cov[(k - 1) + (j - 1) * 4] / std::sqrt(cov[(j - 1) * 5] * cov[(k - 1) * 5]);
        EXPECT_NEAR(fx.cov(k, j), corr, 1e-8) << k << "," << j;
        EXPECT_GE(fx.cov(j, k), 0.0);
        EXPECT_LE(fx.cov(j, k), 1.0);
      }
      EXPECT_GT(fx.cov(j, j), 0.0);
      EXPECT_LE(fx.cov(j, j), 1.0 + 1e-12); // a freedom is at most 1
    }
  }
}

TEST(LeastSquares, VarianceFactorScalesTheErrorsUnlessOrger) {
  PolyData d(30);
  Fixture fx;
  fx.simpleVariables(4);
  usePolynomial(fx);
  fx.setData(d.t, d.y, d.s);
  fx.c.errorsOnly = false;
  double sigma = 0;
  fx.call(Fixture::START, sigma, 1e30);
  const double s0 = sigma;
  fx.call(Fixture::STEP, sigma, 1e30);
  fx.call(Fixture::START, sigma, s0);
  // chi-square per degree of freedom at the solution
  const std::vector<double> ref = lapackSolve(d.A, d.y, d.s);
  double chi2 = 0.0;
  for (size_t i = 0; i < d.t.size(); ++i) {
    double f = 0;
    for (int k = 0; k < 4; ++k) f += ref[k] * d.A[i][k];
    chi2 += std::pow((d.y[i] - f) / d.s[i], 2);
  }
  const int dof = 30 - 4 - 1;
  EXPECT_NEAR(fx.fs->reducedChi2, chi2 / dof, 1e-9 * chi2);
  // variance: (n/dof) X / ((W/n) S) with unit robust weights
  double S = 0;
  for (double s : d.s) S += 1 / (s * s);
  EXPECT_NEAR(sigma, 30.0 / dof * chi2 / S, 1e-9 * sigma);
  fx.call(Fixture::FINAL, sigma, s0);
  const std::vector<double> cov = lapackCovariance(d.A, d.s);
  for (int j = 1; j <= 4; ++j) {
    const double e = std::sqrt(cov[(j - 1) * 5] * chi2 / dof);
    EXPECT_NEAR(fx.fs->change(j, 1), e, 1e-7 * e);
  }
}

// y = a exp(-b t) + c: a nonlinear model fitted by damped steps.
TEST(LeastSquares, NonlinearFitConvergesToTheLapackGaussNewtonPoint) {
  const double a0 = 5.0, b0 = 0.7, c0 = 1.2;
  std::vector<double> t, y, s;
  std::mt19937 gen(7);
  std::normal_distribution<double> g(0.0, 1.0);
  for (int i = 0; i < 50; ++i) {
    t.push_back(0.1 * i);
    s.push_back(0.02);
    y.push_back(a0 * std::exp(-b0 * t.back()) + c0 + 0.02 * g(gen));
  }
  Fixture fx;
  fx.simpleVariables(3);
  fx.model.f = [](const ParamSets& p, double x) {
    return p(1, 1) * std::exp(-p(2, 1) * x) + p(3, 1);
  };
  fx.model.dfdp = [](const ParamSets& p, double x, int place) {
    if (place == 1) return std::exp(-p(2, 1) * x);
    if (place == 2) return -x * p(1, 1) * std::exp(-p(2, 1) * x);
    return place == 3 ? 1.0 : 0.0;
  };
  fx.setData(t, y, s);
  fx.c.errorsOnly = true;
  fx.lambda = 1e-3;
  fx.fs->work(1, 1) = 4.0;
  fx.fs->work(2, 1) = 1.0;
  fx.fs->work(3, 1) = 1.0;
  double best = 1e30, sigma = 0;
  for (int cycle = 1; cycle <= 30; ++cycle) {
    fx.call(Fixture::START, sigma, best);
    const Fixture::Call mode = cycle == 30 ? Fixture::FINAL : Fixture::STEP;
    fx.call(mode, sigma, best);
    best = std::min(best, sigma);
  }
  // Independent check: Gauss-Newton iterations with LAPACK least squares.
  double p[3] = {4.0, 1.0, 1.0};
  std::vector<std::vector<double>> J(50, std::vector<double>(3));
  for (int it = 0; it < 50; ++it) {
    std::vector<double> r(50);
    for (int i = 0; i < 50; ++i) {
      const double e = std::exp(-p[1] * t[i]);
      J[i] = {e, -t[i] * p[0] * e, 1.0};
      r[i] = y[i] - (p[0] * e + p[2]);
    }
    const std::vector<double> dp = lapackSolve(J, r, s);
    for (int k = 0; k < 3; ++k) p[k] += dp[k];
  }
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(fx.fs->best(k + 1, 1), p[k], 1e-7) << k;
  const std::vector<double> cov = lapackCovariance(J, s);
  for (int k = 1; k <= 3; ++k) {
    const double e = std::sqrt(cov[(k - 1) * 4]);
    EXPECT_NEAR(fx.fs->change(k, 1), e, 1e-5 * e) << k;
  }
  EXPECT_NEAR(fx.cov(1, 2), cov[3] / std::sqrt(cov[0] * cov[4]), 1e-5);
  // the recovered parameters lie within a few standard errors of the truth
  EXPECT_NEAR(fx.fs->best(1, 1), a0, 3 * fx.fs->change(1, 1));
  EXPECT_NEAR(fx.fs->best(2, 1), b0, 3 * fx.fs->change(2, 1));
}

TEST(LeastSquares, DependentVariablesLoseOneDirectionAndKeepFiniteErrors) {
  PolyData d(25, 2);
  for (int svderr : {0, 1}) {
    SCOPED_TRACE(svderr);
    Fixture fx;
    fx.simpleVariables(3);
    // variables 1 and 3 both move place 1 the same way
    fx.fs->model.var[3].par[1] = 1;
    fx.fs->flags(3, 1) = 0;
    fx.model.f = [](const ParamSets& p, double t) { return p(1, 1) + p(2, 1) * t; };
    fx.model.dfdp = [](const ParamSets&, double t, int place) {
      return place == 1 ? 1.0 : place == 2 ? t : 0.0;
    };
    std::vector<double> y;
    for (double t : d.t) y.push_back(3.0 - 2.0 * t);
    fx.setData(d.t, y, d.s);
    fx.c.svderr = svderr;
    fx.c.errorsOnly = true;
    double sigma = 0;
    fx.call(Fixture::START, sigma, 1e30);
    const double s0 = sigma;
    fx.call(Fixture::STEP, sigma, 1e30);
    EXPECT_EQ(fx.fs->nindep, 2);
    // the minimum-norm step shares the change of place 1 between the two
    EXPECT_NEAR(fx.fs->change(1, 1), 3.0, 1e-8);
    EXPECT_NEAR(fx.fs->work(1, 1), 3.0, 1e-8);
    EXPECT_NEAR(fx.fs->work(2, 1), -2.0, 1e-8);
    fx.call(Fixture::START, sigma, s0);
    fx.lambda = 1e-3; // the damping hides the dependence from the steps ...
    fx.call(Fixture::STEP, sigma, 1e30);
    EXPECT_EQ(fx.fs->nindep, 3);
    fx.call(Fixture::FINAL, sigma, s0); // ... but not from the final analysis
    EXPECT_EQ(fx.fs->nindep, 2);
    for (int j = 1; j <= 3; ++j) {
      EXPECT_TRUE(std::isfinite(fx.fs->work.flat(j))) << j;
      EXPECT_TRUE(std::isfinite(fx.cov(j, j))) << j;
    }
    EXPECT_TRUE(std::isfinite(fx.fs->change(1, 1)));
    EXPECT_TRUE(std::isfinite(fx.fs->change(2, 1)));
    if (svderr == 0) {
      EXPECT_GT(fx.fs->work.flat(1), 1e3); // an undetermined direction: a huge error
    }
  }
}

TEST(LeastSquares, RobustWeightsAndDampingRules) {
  // residual 2 sigma with rofit = 1 gives the weight 1 / (1 + 0.5*4) = 1/3
  Fixture fx;
  fx.simpleVariables(1);
  fx.model.f = [](const ParamSets& p, double) { return p(1, 1); };
  fx.model.dfdp = [](const ParamSets&, double, int place) { return place == 1 ? 1.0 : 0.0; };
  fx.setData({0, 1, 2, 3}, {2.0, 0.0, 0.2, -0.2}, {1.0, 1.0, 0.1, 0.1});
  fx.c.rofit = 1.0;
  double sigma = 0;
  fx.call(Fixture::START, sigma, 1e30);
  EXPECT_NEAR(fx.model.psi[1], 1.0 / 3.0, 1e-15);
  EXPECT_EQ(fx.model.psi[2], 1.0);
  EXPECT_NEAR(fx.model.psi[3], 1.0 / 3.0, 1e-15);
  fx.c.rofit = 0.0;
  fx.call(Fixture::START, sigma, 1e30);
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(fx.model.psi[i], 1.0);

  // a better point: lambda * 0.4 (single-precision constant), accepted
  fx.lambda = 1.0;
  fx.fs->work(1, 1) = 0.5;
  fx.call(Fixture::STEP, sigma, 2.0 * sigma + 1);
  EXPECT_DOUBLE_EQ(fx.lambda, 0.4000000059604645);
  EXPECT_EQ(fx.fs->best(1, 1), 0.5);
  const double firstTrial = fx.fs->work(1, 1);
  // a worse point: lambda * 10, same accepted point, smaller damped step
  const int callsBefore = fx.model.calls;
  fx.fs->work(1, 1) = 99.0;
  fx.call(Fixture::STEP, sigma, sigma);
  EXPECT_DOUBLE_EQ(fx.lambda, 4.000000059604645);
  EXPECT_EQ(fx.model.calls, callsBefore); // normal equations reused
  EXPECT_EQ(fx.fs->best(1, 1), 0.5);
  EXPECT_LT(std::fabs(fx.fs->work(1, 1) - 0.5), std::fabs(firstTrial - 0.5));
  // the fit variable's second number multiplies its step
  const double plain = fx.fs->change(1, 1);
  fx.fs->model.var[1].factor = 0.5;
  fx.call(Fixture::STEP, sigma, sigma);
  EXPECT_NEAR(fx.fs->change(1, 1), 0.5 * plain / (1 + 40.00000059604645) * (1 + 4.000000059604645),
              1e-12);
}

TEST(LeastSquares, TooFewLinesGiveTheWarningAndNoFit) {
  Fixture fx;
  fx.simpleVariables(1);
  fx.model.f = [](const ParamSets& p, double) { return p(1, 1); };
  fx.model.dfdp = [](const ParamSets&, double, int) { return 1.0; };
  fx.setData({0, 1}, {1.0, 2.0}, {0.1, 0.1});
  double sigma = 0;
  fx.call(Fixture::START, sigma, 1e30);
  EXPECT_EQ(fx.out.str(), "  FIT: Warning: ndata-nfit = 0: no fit possible!\n");
  EXPECT_EQ(sigma, 100000.0);
  EXPECT_EQ(fx.fs->reducedChi2, 100000.0);
  EXPECT_EQ(fx.fs->dataPoints, 2);
}

// Lines without a measurement (error NODATA, also a line whose level was not
// found) are no data points: the variance, the variance factor and the
// normal equations are those of the measured lines alone.
TEST(LeastSquares, LinesWithoutMeasurementAreNoDataPoints) {
  Fixture with, without;
  for (Fixture* fx : {&with, &without}) {
    fx->simpleVariables(1);
    fx->model.f = [](const ParamSets& p, double t) { return p(1, 1) * t; };
    fx->model.dfdp = [](const ParamSets&, double t, int) { return t; };
  }
  with.setData({1, 5, 2, 6, 3}, {1.1, 0.0, 1.9, 0.0, 3.05}, {0.1, NODATA, 0.1, NODATA, 0.1});
  without.setData({1, 2, 3}, {1.1, 1.9, 3.05}, {0.1, 0.1, 0.1});
  double s1 = 0, s2 = 0;
  with.call(Fixture::START, s1, 1e30);
  without.call(Fixture::START, s2, 1e30);
  with.call(Fixture::STEP, s1, 1e30);
  without.call(Fixture::STEP, s2, 1e30);
  EXPECT_EQ(s1, s2);
  EXPECT_EQ(with.fs->reducedChi2, without.fs->reducedChi2);
  EXPECT_EQ(with.fs->alpha[0], without.fs->alpha[0]);
  EXPECT_EQ(with.fs->dataPoints, 3);
}

TEST(LeastSquares, DimensionAndArgumentStops) {
  auto message = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const RunEnd& e) {
      return e.message;
    }
    return std::string("no stop");
  };
  Fixture fx;
  fx.simpleVariables(1);
  fx.model.f = [](const ParamSets& p, double) { return p(1, 1); };
  fx.model.dfdp = [](const ParamSets&, double, int) { return 1.0; };
  fx.setData({0, 1, 2, 3}, {1.0, 2.0, 3, 4}, {0.1, 0.1, 0.1, 0.1});
  fx.fs->model.nfit = 61;
  EXPECT_EQ(message([&] {
              double s = 0;
              fx.call(Fixture::START, s, 1e30);
            }),
            "Dimension Error in LMFIT: nfit > 60");
  fx.fs->model.nfit = 1;
  double a[4] = {1, 0, 0, 1}, e[2];
  EXPECT_EQ(message([&] { diagonaliseNormalMatrix(1, 2, a, e); }), "Dimension Error in SCDSYDC");
  // a normal matrix with NaN (a model that returned NaN derivatives)
  fx.model.dfdp = [](const ParamSets&, double, int) { return std::nan(""); };
  const std::string m = message([&] {
    double s = 0;
    fx.call(Fixture::STEP, s, 1e30);
  });
  EXPECT_EQ(m.rfind("SVDSYDC: Error in hdiag (sydsycd)", 0), 0u) << m;
}

TEST(LeastSquares, EigenRoutines) {
  // a 3x3 symmetric matrix with a zero eigenvalue
  const int ld = 3;
  double a[9] = {2, 1, 1, 1, 2, 1, 1, 1, 2}; // eigenvalues 1, 1, 4
  double eig[3];
  diagonaliseNormalMatrix(ld, 3, a, eig);
  EXPECT_NEAR(eig[0], 1.0, 1e-13);
  EXPECT_NEAR(eig[2], 4.0, 1e-13);
  double inv[9];
  pseudoInverse(ld, 3, a, eig, inv);
  // inverse of [[2,1,1],[1,2,1],[1,1,2]] is [[3,-1,-1],...]/4
  EXPECT_NEAR(inv[0], 0.75, 1e-13);
  EXPECT_NEAR(inv[1], -0.25, 1e-13);
  const double b[3] = {1, 2, 3};
  double x[3];
  solveThroughEigenvectors(ld, 3, a, eig, b, x);
  EXPECT_NEAR(2 * x[0] + x[1] + x[2], 1.0, 1e-13);
  EXPECT_NEAR(x[0] + x[1] + 2 * x[2], 3.0, 1e-13);
  double e2[4] = {0.0, -2.0, 5.0, 0.0}, emin, emax;
  int imin, imax, nz;
  eigenvalueExtremes(4, e2, emin, emax, imin, imax, nz);
  EXPECT_EQ(emin, -2.0);
  EXPECT_EQ(emax, 5.0);
  EXPECT_EQ(imin, 2);
  EXPECT_EQ(imax, 3);
  EXPECT_EQ(nz, 2);
  // dropped eigenvalues are skipped
  eig[0] = 0.0;
  solveThroughEigenvectors(ld, 3, a, eig, b, x);
  double along = 0; // component along the dropped eigenvector
  for (int j = 0; j < 3; ++j) along += a[j] * x[j];
  EXPECT_NEAR(along, 0.0, 1e-13);
}

} // namespace
} // namespace ruvo
