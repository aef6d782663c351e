#include "driver/fit_cycles.h"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <string>
#include <utility>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "driver/line_checks.h"
#include "driver/model.h"
#include "driver/sweep.h"
#include "fit/adjust.h"
#include "fit/least_squares.h"
#include "input/parameter_print.h"
#include "report/derived_constants.h"
#include "report/transition_listing.h"

namespace ruvo {

namespace {

// The fit sees the transitions through the model function of the driver.
struct TransitionModel final : FitModelFunction {
  explicit TransitionModel(RunState& r) : rs(r) {}
  double value(int i, double* dyda, double& error, int nfit) override {
    return lineResidual(rs, i, dyda, error, nfit);
  }
  void storeRobustWeight(int i, double x) override { ruvo::storeRobustWeight(rs, i, x); }
  RunState& rs;
};

// Values written on records of `perRecord` fixed-point fields (w.d each);
// used for the layouts "(5F15.9)" and "(20F7.3)".
void putFixedRecords(std::ostream& os, const double* v, int n, int perRecord, int w, int d) {
  std::string line;
  for (int i = 0; i < n; ++i) {
    line += fmtF(v[i], w, d);
    if ((i + 1) % perRecord == 0 || i + 1 == n) {
      os << line << '\n';
      line.clear();
    }
  }
  if (n == 0) os << '\n';
}

// Name of the parameter a fit variable stands for (its first term), first
// six characters of the blank-padded name, so that it stands left in its
// six columns.
std::string fitVarName(const RunState& rs, const FitModel& fm, int i) {
  const FitVar& v = fm.var[i];
  std::string name;
  if (v.nterm >= 1 && v.par[1] >= 1 && v.par[1] <= NPAR) name = rs.parName[v.par[1]];
  name.resize(6, ' ');
  return name;
}

double& corrAt(FitState& fs, int r, int c) { return fs.cov[(r - 1) + (c - 1) * DIMFIT]; }

// One record "(1D12.6,2X,30F6.3)" per eigenvalue: the eigenvalue and its
// eigenvector; further components continue on records that start the
// layout again.
void putEigenBlock(std::ostream& os, FitState& fs, int nfit) {
  put(os, "(/,A,A,/)", {" Eigenvalues and ", "Eigenvector Matrix of SVD-FIT "});
  for (int i = 1; i <= nfit; ++i) {
    std::string line = fmtE(fs.sing[i], 12, 6, 'D') + "  ";
    int used = 0;
    for (int k = 1; k <= nfit; ++k) {
      const double x = fs.evec[(k - 1) + (i - 1) * DIMFIT];
      if (used == 30) {
        os << line << '\n';
        line = fmtE(x, 12, 6, 'D') + "  ";
        used = 0;
        continue;
      }
      line += fmtF(x, 6, 3);
      ++used;
    }
    os << line << '\n';
  }
}

// Deviation summary of the last listing, by kind, B and V.
void deviationSummary(RunState& rs, const FitState& fs, int nfit) {
  std::ostream& out = *rs.io.out;
  out << "\n RMS deviations (MHz), B and V sorted\n";
  for (int kind = 1; kind <= 2; ++kind) {
    put(out, "(2A3,A4,A)", {"B", "V", "n", kind == 1 ? " splittings MHz" : " abs. freq. MHz"});
    for (int b = 1; b <= DIMB; ++b)
      for (int v = 1; v <= 3; ++v) {
        const int n = fs.stats.count[kind][v][b];
        if (n == 0) continue;
        const double w = fs.stats.wSum[kind][v][b];
        // weighted rms deviation in MHz, and the same scaled to the lines
        // that remain free after nfit parameters were fitted
        const double rms = w > 0.0 ? 1000.0 * std::sqrt(fs.stats.devSum[kind][v][b] / w) : 0.0;
        // (the count widens beyond four columns for 10000 lines and more)
        put(out, "(2I3,I" + std::to_string(std::max(4, decimalWidth(n))) + ",2F18.6)",
            {b, v, n, rms, rms * static_cast<double>(n + nfit) / n});
      }
  }
}

// Largest relative change of a fitted parameter in the last step.
void largestChange(RunState& rs, const FitState& fs, int npar, int nB) {
  double largest = -1.0;
  int pBest = 0, bBest = 0;
  for (int p = 1; p <= npar; ++p)
    for (int b = 1; b <= nB; ++b) {
      const double value = fs.work(p, b);
      if (value == 0.0 || fs.flags(p, b) == 0) continue;
      const double rel = std::fabs(fs.change(p, b) / value);
      if (rel > largest) {
        largest = rel;
        pBest = p;
        bBest = b;
      }
    }
  if (pBest == 0) return;
  std::string valueText, changeText;
  formatValueWithError(fs.work(pBest, bBest), fs.change(pBest, bBest), valueText, changeText);
  std::string name = rs.parName[pBest].substr(0, 7);
  name.resize(7, ' ');
  put(*rs.io.out, "(1X,2A,I1,4A,F8.3,A)",
      {name, "(", bBest, ")", valueText, "  ", changeText, 100.0 * largest, "% Max. Change"});
}

// Errors, correlations and cofreedoms of the fitted combinations.
void correlationReport(RunState& rs, FitState& fs, int nfit) {
  std::ostream& out = *rs.io.out;
  out << "\n Errors of fitted linear combinations\n";
  {
    double e[DIMFIT];
    for (int j = 1; j <= nfit; ++j) e[j - 1] = fs.work.flat(j);
    putFixedRecords(out, e, nfit, 5, 15, 9);
  }
  double row[DIMFIT];
  out << "\n Correlation Matrix of fitted linear combinations \n";
  double strongest = 0.0;
  int si = 0, sj = 0;
  for (int i = 1; i <= nfit; ++i) {
    put(out, "(1X,A6,$)", {fitVarName(rs, fs.model, i)});
    for (int k = 1; k < i; ++k) {
      row[k - 1] = corrAt(fs, k, i);
      if (std::fabs(row[k - 1]) > std::fabs(strongest)) {
        strongest = row[k - 1];
        si = i;
        sj = k;
      }
    }
    row[i - 1] = 1.0;
    putFixedRecords(out, row, i, 20, 7, 3);
  }
  if (si != 0)
    put(out, "(A,I3,A,I3,A,F7.4,A)",
        {" strongest correlation between", si, " and", sj, " (", strongest, ")"});
  out << "\n Freedom Cofreedom Matrix of linear comb.\n";
  double smallest = 2.0;
  int mi = 0, mj = 0;
  for (int i = 1; i <= nfit; ++i) {
    put(out, "(1X,A6,$)", {fitVarName(rs, fs.model, i)});
    for (int k = 1; k <= i; ++k) {
      row[k - 1] = corrAt(fs, i, k);
      if (k < i && row[k - 1] < smallest) {
        smallest = row[k - 1];
        mi = i;
        mj = k;
      }
    }
    putFixedRecords(out, row, i, 20, 7, 3);
  }
  if (mi != 0)
    put(out, "(A,I3,A,I3,A,F7.4,A)",
        {" minimum cofreedom between", mi, " and", mj, " (", smallest, ")"});
}

// Derived constants of every B set after the fit.
void derivedReports(RunState& rs, FitState& fs, int npar, int nfit) {
  std::ostream& out = *rs.io.out;
  const int ntop = rs.ctl.ntop;
  for (int b = 1; b <= rs.nB; ++b) {
    put(out, "(A,I3)", {"------------------------------------- B =", b});
    const int adjf = rs.adjfB[b];
    adjustDependentParameters(rs, fs.best.set(b), npar, adjf);
    const ConstParamView value = std::as_const(fs.best).set(b);
    const ConstParamView error = std::as_const(fs.change).set(b);
    printRotationalConstants(rs, value, error, fs.cov.data(), fs.model, nfit, b);
    if (ntop > 0) {
      printTopGeometry(rs, value, error, DEG_PER_RAD, adjf);
      printPotentialConstants(rs, value, error, GHZ_TO_KJ, GHZ_TO_KCAL, GHZ_TO_CM);
    }
    if (ntop > 1) {
      // With several tops F follows from the F matrix; an F that does not
      // agree with it is flagged.
      const double f1 = fs.best(par::top(1, par::F), b);
      adjustDependentParameters(rs, fs.best.set(b), npar, withBits(adjf, adjfbit::DERIVE_F));
      if (fs.best(par::top(1, par::F), b) != f1)
        put(out, "(A,/,20X,A)",
            {"**** Warning **** : F values not consistent ",
             "Use adjf = 1 to keep F values right."});
      for (int t = 1; t <= ntop; ++t)
        put(out, "(A,1F18.9)", {"F(calc)  ", fs.best(par::top(t, par::F), b)});
      if (ntop > 2) put(out, "(A,1F18.9)", {"F12(calc)", fs.best(par::F12, b)});
    }
  }
}

// 2. Whether this cycle lists more (xprint): in the first cycle, in every
// cycle, after a good step (conv > 1).  A cycle that lowers the deviation
// switches it on later.
int cyclePrintFlag(const Controls& ctl, int cycle, int conv) {
  int flag;
  if (cycle == 1)
    flag =
        (hasBit(ctl.xprint, xprintbit::EVERY_CYCLE) || hasBit(ctl.xprint, xprintbit::FIRST_CYCLE))
            ? 1
            : 0;
  else
    flag = hasBit(ctl.xprint, xprintbit::EVERY_CYCLE) ? 1 : 0;
  if (conv > 1 && hasBit(ctl.xprint, xprintbit::AFTER_GOOD_STEP)) flag = 1;
  return flag;
}

// 2. The convergence counter from the variance ratio new/accepted: 1 after
// a clear improvement (ratio <= convg), one more for every cycle that
// changed the variance by less than 1 - convg, and negative (counting down)
// after cycles that made it clearly worse.  The fit has converged at 3.
int convergenceCounter(double ratio, double convg, int conv) {
  if (ratio <= convg) return 1;
  if (ratio <= 2.0 - convg) return conv + 1;
  return std::min(conv, 0) - 1;
}

// 2. The listings of one cycle: after the first, the transitions; after
// later ones, the parameters with their change, the largest change and the
// transitions.  Returns whether the transitions were listed.
bool cycleListings(RunState& rs, FitState& fs, int cycle, int npar, int nB) {
  const Controls& ctl = rs.ctl;
  std::ostream& out = *rs.io.out;
  bool listed = false;
  if (cycle == 1) {
    if ((hasBit(ctl.aprint, aprintbit::TRANSITIONS_SELECTED_CYCLES) && rs.cyclePrint) ||
        hasBit(ctl.aprint, aprintbit::TRANSITIONS_FIRST_CYCLE)) {
      out << '\n';
      printTransitionListing(rs, fs.stats);
      listed = true;
    }
  } else {
    if (rs.cyclePrint) {
      put(out, "(/,15X,A,5X,A)", {"Parameters", "Change"});
      printParameters(rs, fs.work, fs.change, fs.flags,
                      commonBits(ctl.aprint, aprintbit::PARAMETER_SELECTION), 1, 0);
    }
    largestChange(rs, fs, npar, nB);
    if (hasBit(ctl.aprint, aprintbit::TRANSITIONS_SELECTED_CYCLES) && rs.cyclePrint) {
      out << '\n';
      printTransitionListing(rs, fs.stats);
      listed = true;
    }
  }
  return listed;
}

// Condition number of the normal matrix: largest over smallest positive
// eigenvalue (0 without any).
double conditionNumber(const FitState& fs, int nfit) {
  for (int j = 1; j <= nfit; ++j)
    if (fs.sing[j] > 0.0) return fs.sing[nfit] / fs.sing[j];
  return 0.0;
}

// Why a fit that ended without converging ended, in words; fs.cycles counts
// the steps made, the fit ended in the cycle after the last of them.
std::string whyNotConverged(const FitState& fs, int nzyk) {
  switch (fs.end) {
  case FitEnd::CycleLimit:
    return "it reached its last cycle (nzyk = " + std::to_string(nzyk) +
           ") before the convergence test was met";
  case FitEnd::DampingLimit:
    return "the damping factor lambda grew beyond 1000 in cycle " + std::to_string(fs.cycles + 1) +
           ": no step lowered the deviation any more";
  case FitEnd::Interrupted:
    return "it was interrupted (Ctrl-C) in cycle " + std::to_string(fs.cycles + 1);
  default:
    return std::string();
  }
}

// A fit that ended without converging says so in the listing, where its
// results begin, and on standard error.
void reportNotConverged(RunState& rs, const FitState& fs) {
  const std::string why = whyNotConverged(fs, rs.ctl.nzyk);
  if (why.empty()) return;
  // a fit ended in its first cycle has made no step: what it reports was
  // computed at the input parameters
  const bool noStep = fs.cycles == 0;
  put(*rs.io.out, "(/,A,A,/,20X,A)",
      {" **** Warning **** : the fit did not converge: ", why,
       noStep ? "No step was made: parameters, errors and deviations are those of the input."
              : "Parameters, errors and deviations are those of the best cycle."});
  std::string hint;
  if (fs.end == FitEnd::CycleLimit) hint = "; give a larger nzyk or better start values";
  if (fs.end == FitEnd::DampingLimit)
    hint = "; check the assignments and the start values (convg sets the convergence test)";
  *rs.io.err << "Warning: the fit did not converge: " << why << hint
             << (noStep ? ". No step was made: the results are those of the input parameters"
                        : ". The results are those of the best cycle")
             << " (exit status 2).\n";
}

// 5. The fit summary: independence warning, parameters with errors, the
// standard deviation (MHz), derived constants, correlations and the
// eigenvectors of the normal matrix.
void fitSummary(RunState& rs, FitState& fs, int npar, int nfit, double bestVar) {
  const Controls& ctl = rs.ctl;
  std::ostream& out = *rs.io.out;
  // 5. Fit summary.
  reportNotConverged(rs, fs);
  if (fs.nindep != nfit) {
    put(out, "(/,A,I3,A,I3,A)",
        {" **** Warning **** : only", fs.nindep, " of", nfit,
         " Parameters are linear independent!"});
    if (ctl.svderr != 0) out << " Errors may be wrong!  set 'svderr' to 0 recommended\n";
  }
  put(out, "(/,12X,A)", {"Parameters  and  Errors"});
  printParameters(rs, fs.best, fs.change, fs.flags,
                  std::min(commonBits(ctl.aprint, aprintbit::PARAMETER_SELECTION) + 1,
                           aprintbit::PARAMETERS_ALL),
                  1, 0);
  put(out, "(/,A,F15.6,A,/)", {" Standard Deviation", 1000.0 * std::sqrt(bestVar), " MHz"});
  derivedReports(rs, fs, npar, nfit);
  correlationReport(rs, fs, nfit);
  putEigenBlock(out, fs, nfit);
  out.flush();
}

} // namespace

void fitCycles(RunState& rs, FitState& fs, SweepWork& sw) {
  Controls& ctl = rs.ctl;
  std::ostream& out = *rs.io.out;
  const int nB = std::clamp(rs.nB, 1, DIMB);
  const int npar = std::clamp(fs.model.npar, 0, NPAR);
  const int nfit = std::clamp(fs.model.nfit, 0, DIMFIT);
  TransitionModel model(rs);
  const LeastSquaresProblem problem{model, rs.tr.ndata, npar, nB};
  LeastSquaresOptions options;
  options.rofit = ctl.rofit;
  options.eps = ctl.eps;
  options.errorsOnly = ctl.orger == 1;
  options.unitDiagonal = ctl.fitscl == 0;
  options.svderr = ctl.svderr;

  // 1. Preparation: the cycles start from the input parameters; no
  // intensities are computed while the parameters still move.
  fs.end = FitEnd::NoFit;
  fs.errorsComputed = false;
  fs.work = fs.best;
  double bestVar = 1.0e30;
  double variance = 0.0;
  int conv = 1, derivMode = 1;
  bool lastCall = false; // the final error analysis has been made
  fs.stepw = 1.0;
  options.stepWidth = fs.stepw;
  const int savedInts = ctl.ints;
  ctl.ints = 0;
  bool listed = false;
  bool finished = false;

  int cycle = 1;
  for (; cycle <= ctl.nzyk; ++cycle) {
    if (ctl.eval != 0) put(rs.io.evalFile, "(/,A,i5)", {" Iteration", cycle});
    if (cycle > 1)
      put(out, "(/,A,/,A,i3)",
          {" -------------------------------------------------------", " Iteration :", cycle - 1});
    rs.cyclePrint = cyclePrintFlag(ctl, cycle, conv);
    if (hasBit(ctl.aprint, aprintbit::PARAMETERS_AND_RHO) && rs.cyclePrint)
      printRhoAndEffectiveConstants(rs, fs.best);
    // intensities once the fit has settled (or in a pure calculation)
    if (ctl.nzyk == 1 || conv == 2) ctl.ints = savedInts;

    sweepWithDerivatives(rs, sw, fs.work, fs.flags, fs.model, 0);
    if (cycle == 1) checkLinesAgainstFirstCalculation(rs, fs);
    if (ctl.nzyk == 1) {
      printTransitionListing(rs, fs.stats);
      if (nfit > 0) deviationSummary(rs, fs, nfit);
      return;
    }

    // Evaluation of the working set and the convergence counter.
    variance = workingSetVariance(problem, options, fs, out);
    // lines whose levels were not found are no data points: a fit left
    // with too few of them has no standard deviation and no errors
    if (fs.dataPoints < minimumDataPoints(nfit))
      stop(tooFewDataPoints(nfit, fs.dataPoints, " left in cycle " + std::to_string(cycle)));
    const double ratio = variance / bestVar;
    conv = convergenceCounter(ratio, ctl.convg, conv);
    if (derivMode == 1 && conv == -3) {
      derivMode = 3;
      out << "Switching to better derivatives (takes more time)\n";
    }
    if (variance < bestVar && hasBit(ctl.xprint, xprintbit::AFTER_LOWER_DEVIATION))
      rs.cyclePrint = 1;
    put(out, "(A,D12.6,A,F8.6,A,I2)",
        {" Sigma:", std::sqrt(variance), "  Sigma/OldSigma:", std::sqrt(ratio), "  conv:", conv});
    out.flush();

    listed = cycleListings(rs, fs, cycle, npar, nB);

    // Derivatives, needed when this point becomes the accepted one.
    if (variance < bestVar || ctl.dfreq > 1 || derivMode == 3) {
      sweepWithDerivatives(rs, sw, fs.work, fs.flags, fs.model, derivMode);
      if (ctl.dfreq != 0) {
        put(rs.io.dfreqFile, "(/,A,i5)", {" Iteration", cycle});
        writeFrequencyDerivatives(rs, fs.model, nfit);
      }
      if (derivMode == 3) derivMode = 2;
    }

    // The step, or the end of the fit.
    // The fit ends when it has converged, after the last cycle, on an
    // interrupt, or when the damping has grown beyond any useful step.
    stopIfTerminated();
    lastCall = conv > 2 || cycle == ctl.nzyk || g_interrupted == 1 || ctl.lambda > LAMBDA_LIMIT;
    if (lastCall) {
      finalErrorAnalysis(problem, options, fs, variance, bestVar);
    } else {
      ctl.lambda = dampedStep(problem, options, fs, variance, bestVar, ctl.lambda).lambda;
      for (int b = 1; b <= nB; ++b)
        adjustDependentParameters(rs, fs.work.set(b), npar, rs.adjfB[b]);
    }

    const double cond = conditionNumber(fs, nfit);
    put(out, "(/,A,I3,A,F6.4,A,D9.3,A,D9.3)",
        {" indep.par:", fs.nindep, " stepw:", fs.stepw, " lambda:", ctl.lambda, " cond.no:", cond});
    if (hasBit(ctl.aprint, aprintbit::NORMAL_MATRIX_EIGEN) && rs.cyclePrint && !lastCall)
      putEigenBlock(out, fs, nfit);
    out.flush();

    bestVar = std::min(bestVar, variance);
    if (lastCall) {
      finished = true;
      break;
    }
  }

  // 3. End of the fit.
  if (!finished) out << "\n No Convergence, fit aborted \n";
  // Without any cycle nothing has been calculated yet: the listing is made
  // from the input parameters.
  const bool noCycle = cycle == 1 && !finished;
  if (conv == 0 || ctl.ints != savedInts || variance > bestVar || noCycle) {
    ctl.ints = savedInts;
    out << "\n Recalculation of the spectrum\n";
    calculationSweep(rs, sw, fs.best, fs.flags, fs.model, 0);
    listed = false;
  }
  // The errors of the fitted combinations are left in the working set by
  // the final fit call; without any cycle there are none to report.
  if (noCycle)
    for (int j = 1; j <= nfit; ++j) fs.work.flat(j) = 0.0;
  --cycle;
  fs.cycles = cycle;
  // a fit that met the convergence test in its last cycle (or as it was
  // interrupted) has converged all the same
  fs.converged = finished && conv > 2;
  fs.errorsComputed = finished;
  if (fs.converged)
    fs.end = FitEnd::Converged;
  else if (finished && g_interrupted == 1)
    fs.end = FitEnd::Interrupted;
  else if (finished && ctl.lambda > LAMBDA_LIMIT)
    fs.end = FitEnd::DampingLimit;
  else
    fs.end = FitEnd::CycleLimit;
  fs.standardDeviation = std::sqrt(bestVar);
  put(out, "(A,/,A,I3,/)",
      {"##########################################################", "  End at Cycle ", cycle});
  if (!listed) printTransitionListing(rs, fs.stats);

  // 4. Deviation summary.
  if (nfit > 0) deviationSummary(rs, fs, nfit);

  fitSummary(rs, fs, npar, nfit, bestVar); // 5.
  out.flush();
}

} // namespace ruvo
