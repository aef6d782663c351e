// Torsional problems of every top of a B set and their overlap integrals.
//
// In the internal-axis method the torsional eigenfunctions of a top depend
// on K through the kinetic term F (m - rho K)^2.  Rotational functions of
// different K are therefore coupled through the overlaps
//   T(K, K', v, v') = <v, K | v', K'> = sum_m c_K(m, v) c_K'(m, v')
// of the torsional states at the two K values.
#include <algorithm>
#include <cmath>
#include <memory>
#include <ostream>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "torsion/torsion.h"

#include "torsion/torsional_matrices.h"

namespace ruvo {

namespace {

// Writes numbers in the edit descriptor Fw.d, `perLine` to a record.
class NumberLines {
public:
  NumberLines(std::ostream& os, int perLine, int w, int d) : os_(os), per_(perLine), w_(w), d_(d) {}
  void operator()(double x) {
    os_ << fmtF(x, w_, d_);
    if (++count_ == per_) endRecord();
  }
  void finish() {
    if (count_ > 0) endRecord();
  }

private:
  void endRecord() {
    os_ << '\n';
    count_ = 0;
  }
  std::ostream& os_;
  int per_, w_, d_, count_ = 0;
};

void printIntegrals(std::ostream& os, TorsionTables& tors, int sigma, int t, int maxJ, int n) {
  NumberLines line(os, 20, 8, 5); // (20F8.5)
  for (int v = 1; v <= n; ++v)
    for (int K = -maxJ; K <= maxJ; ++K)
      for (int vp = 1; vp <= n; ++vp)
        for (int Kp = -maxJ; Kp <= maxJ; ++Kp) line(tors.T(K, Kp, v, vp, sigma, t));
  line.finish();
}

// Operator elements over all K and the kept eigenvectors of one (t, sigma).
void printProblem(std::ostream& os, TorsionTables& tors, int sigma, int t, int maxJ, int n,
                  int size) {
  for (int op = 1; op <= NTOROP; ++op) {
    // "(I3,A,30F11.6)": every record starts with the operator number
    int count = 0;
    for (int K = -maxJ; K <= maxJ; ++K)
      for (int v = 1; v <= n; ++v)
        for (int vp = 1; vp <= n; ++vp) {
          if (count == 0) os << fmtI(op, 3) << " ovv";
          os << fmtF(tors.O(op, v, vp, sigma, K, t), 11, 6);
          if (++count == 30) {
            os << '\n';
            count = 0;
          }
        }
    if (count > 0) os << '\n';
  }
  os << "mvec\n";
  for (int K = -maxJ; K <= maxJ; ++K)
    for (int v = 1; v <= n; ++v) {
      NumberLines line(os, 40, 10, 6); // (40F10.6)
      for (int k = 0; k < size; ++k) line(tors.C(k, v, K));
      line.finish();
    }
}

// Make every row of the n x n overlap matrix t (row-major) a unit vector
// while keeping the matrix symmetric: the part left of the diagonal is
// already final (mirrored from the rows above), the rest of the row is
// scaled to fill the remaining length and mirrored below.
void rescaleRows(double t[DIMV][DIMV], int n) {
  for (int v = 0; v < n; ++v) {
    double left = 0.0, right = 0.0;
    for (int vp = 0; vp < v; ++vp) left += t[v][vp] * t[v][vp];
    for (int vp = v; vp < n; ++vp) right += t[v][vp] * t[v][vp];
    // A row whose free part is zero cannot be given unit length by scaling
    // it; it is left as it is instead of dividing by zero.  A left part that
    // already exceeds unit length leaves nothing for the rest of the row.
    if (right <= 0.0) continue;
    const double scale = std::sqrt(std::fmax(0.0, 1.0 - left)) / std::sqrt(right);
    for (int vp = v; vp < n; ++vp) {
      t[v][vp] *= scale;
      if (vp > v) t[vp][v] = t[v][vp];
    }
  }
}

} // namespace

void torsionalOverlapIntegrals(RunState& rs, SweepWork& sw, int sigma, int t, int pass, int M,
                               int /*firstV*/, int nV) {
  TorsionTables& tors = sw.tors;
  const int maxJ = rs.maxJ;
  if (maxJ < 0 || maxJ > tors.maxJ) stop(" ERROR: DIM 2J1 exceeded");
  const int n = nV;
  const int size = 2 * M + 1;
  const int woods = sw.blk.woods;
  const bool print = hasBit(rs.ctl.aprint, aprintbit::TORSIONAL_INTEGRALS) && rs.detailPrint != 0;
  std::ostream& out = *rs.io.out;

  if (hasBit(woods, woodsbit::OVERLAPS_FROM_EIGENVECTORS)) {
    // overlaps of the kept torsional states at K and K'
    for (int K = -maxJ; K <= maxJ; ++K)
      for (int Kp = -maxJ; Kp <= maxJ; ++Kp)
        for (int v = 1; v <= n; ++v)
          for (int vp = 1; vp <= n; ++vp) {
            double overlap = 0.0;
            if (K == Kp) {
              overlap = v == vp ? 1.0 : 0.0; // orthonormal states of one K, exactly
            } else {
              const double* a = &tors.C(0, v, K);
              const double* b = &tors.C(0, vp, Kp);
              for (int k = 0; k < size; ++k) overlap += a[k] * b[k];
            }
            tors.T(K, Kp, v, vp, sigma, t) = overlap;
          }
    if (print) {
      put(out, "(/,2(A,I3,3X))", {" torsional integrals  sigma=", sigma, "deriv.=", pass});
      printIntegrals(out, tors, sigma, t, maxJ, n);
    }
  } else {
    // without the overlaps each torsional state couples only to itself
    for (int K = -maxJ; K <= maxJ; ++K)
      for (int Kp = -maxJ; Kp <= maxJ; ++Kp)
        for (int v = 1; v <= n; ++v)
          for (int vp = 1; vp <= n; ++vp) tors.T(K, Kp, v, vp, sigma, t) = v == vp ? 1.0 : 0.0;
  }

  if (sw.blk.complete && !tors.pint.empty()) {
    // momentum of the top between the states at K and at K' = K-1, K, K+1:
    // P(K, K', v, v') = sum_k c_K(k, v) m_k c_K'(k, v'), m_k = sigma + nfold (k - M)
    for (int K = -maxJ; K <= maxJ; ++K)
      for (int Kp = std::max(K - 1, -maxJ); Kp <= std::min(K + 1, maxJ); ++Kp)
        for (int v = 1; v <= n; ++v)
          for (int vp = 1; vp <= n; ++vp) {
            const double* a = &tors.C(0, v, K);
            const double* b = &tors.C(0, vp, Kp);
            double sum = 0.0;
            for (int k = 0; k < size; ++k) sum += a[k] * b[k] * (sigma + rs.ctl.nfold * (k - M));
            tors.P(K, Kp, v, vp, sigma, t) = sum;
          }
  }

  if (hasBit(woods, woodsbit::NORMALISED_OVERLAPS)) {
    if (n > DIMV) stop("ERROR: rescaled overlaps of more than 3 kept torsional states");
    double block[DIMV][DIMV];
    for (int K = -maxJ; K <= maxJ; ++K)
      for (int Kp = -maxJ; Kp <= maxJ; ++Kp) {
        for (int v = 1; v <= n; ++v)
          for (int vp = 1; vp <= n; ++vp) block[v - 1][vp - 1] = tors.T(K, Kp, v, vp, sigma, t);
        rescaleRows(block, n);
        for (int v = 1; v <= n; ++v)
          for (int vp = 1; vp <= n; ++vp) tors.T(K, Kp, v, vp, sigma, t) = block[v - 1][vp - 1];
      }
    if (print) {
      out << "\n----- scaled torsional integrals -----\n";
      printIntegrals(out, tors, sigma, t, maxJ, n);
    }
  }
}

void solveTorsionalProblems(RunState& rs, SweepWork& sw, int B, ConstParamView par,
                            ConstFlagView /*flags*/, int pass) {
  TorsionTables& tors = sw.tors;
  const int ntop = sw.blk.ntop;
  const int maxJ = rs.maxJ;
  const int nsym = rs.species.nsym;
  const int woods = sw.blk.woods;
  const bool detail = rs.detailPrint != 0;
  std::ostream& out = *rs.io.out;
  if (ntop > DIMTOP) stop("ERROR: ntop > DIMTOP");
  if (maxJ > DIMJ || maxJ > tors.maxJ) stop(" ERROR: DIM 2J1 exceeded");
  if (nsym > DIMSYM) stop(" to many lines reading S! ");

  // a (top, sigma) pair shared by several species is solved once
  bool done[DIMTOP + 1][TorsionTables::NS] = {};
  auto result = std::make_unique<TorsResult>(); // up to DIMVKEEP states: too large for the stack
  TorsResult& res = *result;

  for (int s = 1; s <= nsym; ++s) {
    for (int t = 1; t <= ntop; ++t) {
      // window of kept one-top states
      int firstV = sw.blk.firstV[t];
      int nV = sw.blk.nV[t];
      if (hasBit(woods, woodsbit::OVERLAPS_IN_ENERGIES)) {
        // every top keeps its states from the ground state on, one count for
        // the whole run, fixed when it is first needed: up to the highest
        // state that the block computed first or any set computed this way
        // uses, so that a later set that keeps more states still finds its
        // states inside the window
        if (tors.nVfixed[t] == 0) {
          int highest = firstV + nV - 1;
          for (int b = 1; b <= rs.nB && b <= DIMB; ++b) {
            if (!hasBit(rs.woodsB[b], woodsbit::OVERLAPS_IN_ENERGIES)) continue;
            for (int i = 1; i <= DIMVV && rs.use(i, 1, b) != -1; ++i)
              highest = std::max(highest, rs.use(i, t, b));
          }
          tors.nVfixed[t] = std::min(std::max(highest, 1), DIMV);
        }
        firstV = 1;
        nV = tors.nVfixed[t];
      }
      if (firstV < 1) {
        put(out, "(A,I3)", {"FIRST V: spezify V lines for B=", B});
        stop("FIRST V < 0 error");
      }
      tors.firstV[t] = sw.blk.firstV[t] = firstV;
      tors.nV[t] = sw.blk.nV[t] = nV;

      const int sigma = rs.species.sigma[s][t];
      if (sigma < -DIMSIG || sigma > DIMSIG) stop("ERROR: sigma > DIMSIG");
      if (done[t][TorsionTables::ss(sigma)]) continue;
      done[t][TorsionTables::ss(sigma)] = true;

      const int M = rs.maxmTop[t];
      TorsParams p;
      p.F = par(par::top(t, par::F));
      p.V1n = par(par::top(t, par::V1n));
      p.V2n = par(par::top(t, par::V2n));
      p.rho = par(par::top(t, par::rho));

      for (int K = -maxJ; K <= maxJ; ++K) {
        solveOneTopTorsion(rs.ctl.nfold, sigma, sw.torsMat.data(), res, p, K, M, firstV, nV);
        for (int v = 1; v <= nV; ++v) {
          tors.E(v, sigma, K, t) = res.E[v - 1];
          tors.lab(v, sigma, K, t) = res.label[v - 1];
          for (int op = 1; op <= NTOROP; ++op)
            for (int vp = 1; vp <= nV; ++vp)
              tors.O(op, v, vp, sigma, K, t) = res.ovv[op - 1][v - 1][vp - 1];
          for (int k = 0; k < DIMM; ++k) tors.C(k, v, K) = res.vec[v - 1][k];
        }
      }

      if (hasBit(rs.ctl.aprint, aprintbit::TORSIONAL_OPERATORS) && detail) {
        put(out, "(A,5I3)", {" itop,sigma,k,B,fistat", t, sigma, maxJ + 1, B, pass});
        printProblem(out, tors, sigma, t, maxJ, nV, 2 * M + 1);
      }
      torsionalOverlapIntegrals(rs, sw, sigma, t, pass, M, firstV, nV);
    }
  }

  if (hasBit(rs.ctl.aprint, aprintbit::ONE_TOP_EIGENVALUES) && detail) {
    for (int t = 1; t <= ntop; ++t) {
      put(out, "(/,A,I3)", {" Eigenvalues of one Top.  B=", B});
      for (int K = -maxJ; K <= maxJ; ++K)
        for (int v = 1; v <= tors.nV[t]; ++v) {
          for (int s = 1; s <= nsym; ++s)
            put(out, "(F15.6,$)", {tors.E(v, rs.species.sigma[s][t], K, t)});
          out << '\n';
        }
    }
  }
}

} // namespace ruvo
