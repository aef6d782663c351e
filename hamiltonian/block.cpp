// One J block of the rotation-torsion problem: basis, Hamiltonian matrix,
// diagonalisation, level labels and analytic energy derivatives.
#include "hamiltonian/block.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/fortran_format.h"
#include "core/stop.h"
#include "hamiltonian/internal_rotation.h"
#include "hamiltonian/level_assignment.h"
#include "hamiltonian/rotor_terms.h"
#include "hamiltonian/wang_blocks.h"
#include "numerics/eigen.h"
#include "numerics/eigenvalues_only.h"
#include "report/block_prints.h"

namespace ruvo {

namespace {

// 3. Matrix kind.  Imaginary elements (gamma of a top, chi_yz, chi_xy and
// the linear term P_y Jy) need the complex Hermitian solver: the real one
// reads only the lower triangle and would silently drop them.
bool needsHermitianSolver(const BlockState& blk, ConstParamView par) {
  for (int t = 1; t <= blk.ntop; ++t)
    if (par(par::top(t, par::gamma)) != 0.0) return true;
  return par(par::chi_yz) != 0.0 || par(par::chi_xy) != 0.0 || par(par::P_y) != 0.0;
}

// 4. The basis |K, i> of the block, K fastest (position (i-1)(2J+1) + K+J+1,
// i the product torsional state), and H cleared.
void setUpBasis(const RunState& rs, SweepWork& sw, int J, int B) {
  BlockState& blk = sw.blk;
  const int d = 2 * J + 1;
  const int nvv = blk.nvv;
  blk.d = d;
  blk.N = nvv < 1 ? 0 : nvv * d;
  blk.levels = 0;
  const int N = blk.N;
  if (N > sw.ld) stop("Dimension Error in HMULTHRR");
  if (blk.complete && nvv > DIMVKEEP) stop("Dimension Error in HMULTHRR");
  for (int i = 1; i <= nvv; ++i)
    for (int K = -J; K <= J; ++K) {
      BasisRow& row = sw.basis[(i - 1) * d + (K + J + 1)];
      row.K = K;
      // with vkeep one top keeps its states 1..nvv, one product state each;
      // two or three tops keep the product states chosen for the set
      for (int t = 1; t <= DIMTOP; ++t) {
        if (!blk.complete)
          row.v[t] = rs.use(i, t, B);
        else if (t > blk.ntop)
          row.v[t] = -1;
        else
          row.v[t] = blk.ntop == 1 ? i : blk.product[i][t];
      }
    }
  for (int c = 0; c < N; ++c)
    for (int r = 0; r < N; ++r) sw.H[r + c * sw.ld] = 0.0;
}

// 5. Coupling masks: an operator of top t couples product states that
// agree in every other top.
void couplingMasks(const RunState& rs, SweepWork& sw, int B) {
  const BlockState& blk = sw.blk;
  const int nvv = blk.nvv;
  const int n = std::clamp(nvv, DIMVV, DIMVKEEP);
  for (int t = 1; t <= DIMTOP; ++t)
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) sw.mask[t][i][j] = 1;
  if (blk.complete) {
    // one top: every pair of its states is coupled; several tops: the
    // product states that agree in every other top
    if (blk.ntop < 2) return;
    for (int t = 1; t <= blk.ntop; ++t)
      for (int i = 1; i <= nvv && i <= DIMVKEEP; ++i)
        for (int j = 1; j <= nvv && j <= DIMVKEEP; ++j)
          for (int tp = 1; tp <= blk.ntop; ++tp)
            if (tp != t && blk.product[i][tp] != blk.product[j][tp]) sw.mask[t][i][j] = 0;
    return;
  }
  for (int t = 1; t <= blk.ntop; ++t)
    for (int tp = 1; tp <= blk.ntop; ++tp) {
      if (tp == t) continue;
      for (int i = 1; i <= nvv && i <= DIMVV; ++i)
        for (int j = 1; j <= nvv && j <= DIMVV; ++j)
          if (rs.use(i, tp, B) != rs.use(j, tp, B)) sw.mask[t][i][j] = 0;
    }
}

// 11. Complex Hermitian block: eigenvalues ascending in sw.E, eigenvectors
// in (Zr, Zi), their signed moduli in V.
void diagonaliseHermitianBlock(SweepWork& sw) {
  const int N = sw.blk.N;
  double* E = sw.E.data();
  for (int c = 0; c < N; ++c)
    for (int r = 0; r < N; ++r) sw.Zr[r + c * sw.ld] = (r == c) ? 1.0 : 0.0;
  reduceHermitianToTridiagonal(sw.ld, N, sw.H.data(), E, sw.w1.data(), sw.w2.data(), sw.tau.data());
  int ierr = 0;
  tridiagonalEigenpairsByQL(sw.ld, N, E, sw.w1.data(), sw.Zr.data(), ierr);
  if (ierr != 0) stop("Error in tql2 " + fmtI(ierr, 5));
  backTransformHermitianEigenvectors(sw.ld, N, sw.H.data(), sw.tau.data(), N, sw.Zr.data(),
                                     sw.Zi.data());
  sortHermitianEigenpairs(E, sw.Zr.data(), sw.Zi.data(), N, sw.ld);
  // |z| with the sign of Re z + Im z (a sum of -0 counts as negative)
  for (int l = 0; l < N; ++l)
    for (int r = 0; r < N; ++r) {
      const double zr = sw.Zr[r + l * sw.ld], zi = sw.Zi[r + l * sw.ld];
      const double mod = std::sqrt(zr * zr + zi * zi);
      sw.V[r + l * sw.ld] = std::signbit(zr + zi) ? -mod : mod;
    }
}

// 11. Real symmetric block: as above with Zi = 0 and V = Zr; with eval > 3
// the matrix and its eigenpairs go to inspection files.
void diagonaliseRealBlock(const RunState& rs, SweepWork& sw, int J, int S, ConstParamView par,
                          int lowest) {
  const int N = sw.blk.N;
  if (lowest >= N || rs.ctl.eval > 3) lowest = 0; // the inspection files hold every level
  double* E = sw.E.data();
  if (rs.ctl.eval > 3) writeMatrixFile(sw, inspectionName('h', "s", S, J), J, S);
  int ierr = 0;
  if (hasWangSymmetry(sw, par)) {
    // a rigid rotor: its four symmetry blocks, each a quarter of the size
    diagonaliseByWangBlocks(sw, J, E, ierr);
    if (ierr != 0) stop("Error in hdiag " + fmtI(ierr, 5));
    orderDoubletsBySymmetry(sw, J, E, par);
  } else {
    // The QL iteration carries the level values through its rotations, so
    // its rounding grows with their size: diagonalise H - c and add c back,
    // c being the mean diagonal energy (GHz).  The eigenvectors are the same.
    double centre = 0.0;
    for (int r = 0; r < N; ++r) centre += sw.H[r + r * sw.ld];
    centre = N > 0 ? centre / N : 0.0;
    for (int r = 0; r < N; ++r) sw.H[r + r * sw.ld] -= centre;
    if (lowest > 0) {
      // only the lowest levels are read: their eigenvectors alone, in Zr
      const int info = lowestEigenpairsRealSymmetric(
          sw.ld, N, lowest, sw.H.data(), E, sw.Zr.data(), sw.solverWork.data(),
          static_cast<int>(sw.solverWork.size()), sw.solverIwork.data(),
          static_cast<int>(sw.solverIwork.size()));
      if (info != 0) stop("Error in hdiag " + fmtI(info, 5));
      sw.blk.levels = lowest;
      for (int l = 0; l < lowest; ++l) E[l] += centre;
    } else {
      diagonaliseRealSymmetric(sw.ld, N, sw.H.data(), E, sw.w1.data(), ierr);
      if (ierr != 0) stop("Error in hdiag " + fmtI(ierr, 5));
      for (int l = 0; l < N; ++l) E[l] += centre;
      sortEigenpairs(E, sw.H.data(), N, sw.ld);
    }
  }
  if (rs.ctl.eval > 3) writeEigenFiles(sw, J, S);
  const double* Z = sw.blk.levels > 0 ? sw.Zr.data() : sw.H.data();
  for (int l = 0; l < sw.blk.levelCount(); ++l)
    for (int r = 0; r < N; ++r) {
      const double z = Z[r + l * sw.ld];
      sw.Zr[r + l * sw.ld] = z;
      sw.Zi[r + l * sw.ld] = 0.0;
      sw.V[r + l * sw.ld] = z;
    }
}

// 14. Analytic derivatives dE/dp (GHz per unit of the parameter) of the
// levels the fit needs (all of them with dfreq).
void levelDerivatives(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, ConstFlagView flags,
                      const FitModel& fm) {
  const int N = sw.blk.N;
  bool any = rs.ctl.dfreq != 0;
  const int levels = sw.blk.levelCount();
  for (int l = 1; l <= levels && !any; ++l) any = sw.need[l] != 0;
  if (!any) return;
  recordRotorParameterOperators(rs, sw, J, S, F2, flags);
  for (int l = 1; l <= levels; ++l) {
    if (sw.need[l] == 0 && rs.ctl.dfreq == 0) continue;
    double* vr = sw.w1.data();
    double* vi = sw.w2.data();
    for (int r = 0; r < N; ++r) {
      vr[r] = sw.Zr[r + (l - 1) * sw.ld];
      vi[r] = sw.Zi[r + (l - 1) * sw.ld];
    }
    rotorParameterDerivatives(sw, vr, vi, flags, sw.dEdp.data());
    storeLevelDerivatives(rs, sw, J, S, F2, B, l, fm, sw.dEdp.data());
  }
}

// Energies of a block by its band structure.  Ordered by K (K slowest, the
// product state fastest), a term that changes K by at most q units couples
// rows at most (q + 1) nvv - 1 apart: the rotor terms of the Watson
// reductions change K by 2 at most, the torsional operators of a top along
// the a axis keep K.  A tilted top (beta != 0) couples every K with every K'
// through d^J(beta), and its blocks are dense.  The bandwidth is therefore
// read from the assembled matrix, and the band reduction (about 6 kd N^2
// operations against 4/3 N^3 for the dense one) is used when 5 kd < N,
// where it is clearly the cheaper of the two.
constexpr int BAND_SOLVER_RATIO = 5;

// Position of basis row p (K fastest within the product state, d = 2J+1
// values of K) in the order by K.
inline int rowByK(int p, int d, int nvv) { return (p % d) * nvv + p / d; }

// Bandwidth of the block in the order by K: the largest |r' - c'| of an
// element that is not zero, or `limit` + 1 as soon as it exceeds `limit`.
// Each column is read from its far end, so that a dense block is told at
// its first elements.  Real blocks are read in their lower triangle; complex
// ones hold the imaginary parts above the diagonal.
int bandwidthByK(const SweepWork& sw, bool complexBlock, int limit) {
  const BlockState& blk = sw.blk;
  const int N = blk.N, d = blk.d, nvv = std::max(blk.nvv, 1);
  int kd = 0;
  for (int c = 0; c < N; ++c) {
    const int qc = rowByK(c, d, nvv);
    for (int r = N - 1; r > c; --r) {
      const bool nonzero =
          sw.H[r + c * sw.ld] != 0.0 || (complexBlock && sw.H[c + r * sw.ld] != 0.0);
      if (!nonzero) continue;
      const int distance = std::abs(rowByK(r, d, nvv) - qc);
      if (distance > limit) return limit + 1;
      kd = std::max(kd, distance);
      if (nvv == 1) break; // rows by K already: the farthest element comes first
    }
  }
  return kd;
}

// Eigenvalues, ascending into sw.E, of the block held as its kd bands in the
// order by K, with the band storage and the solver's scratch in `work`
// (grown once to the largest block).  Returns LAPACK's info.
int bandEnergies(SweepWork& sw, bool complexBlock, int kd, std::vector<double>& work) {
  const BlockState& blk = sw.blk;
  const int N = blk.N, d = blk.d, nvv = std::max(blk.nvv, 1);
  const int ldab = kd + 1;
  const int pair = complexBlock ? 2 : 1; // doubles per element
  const std::size_t band = static_cast<std::size_t>(pair) * ldab * N;
  const std::size_t need =
      band + static_cast<std::size_t>(pair) * N + 3 * static_cast<std::size_t>(N);
  if (work.size() < need) work.resize(need);
  double* ab = work.data();
  std::fill(ab, ab + band, 0.0);
  for (int c = 0; c < N; ++c) {
    const int qc = rowByK(c, d, nvv);
    for (int r = c; r < N; ++r) {
      const int qr = rowByK(r, d, nvv);
      if (std::abs(qr - qc) > kd) continue;
      const double re = sw.H[r + c * sw.ld];
      // H(r, c) = re + i im; in the order by K it lies above the diagonal
      // when qr < qc, where the lower band holds its conjugate
      const double im = complexBlock && r != c ? sw.H[c + r * sw.ld] : 0.0;
      const int lo = std::max(qr, qc), hi = std::min(qr, qc);
      const std::size_t at =
          static_cast<std::size_t>(pair) * ((lo - hi) + static_cast<std::size_t>(hi) * ldab);
      ab[at] = re;
      if (complexBlock) ab[at + 1] = qr > qc ? im : -im;
    }
  }
  double* scratch = ab + band;
  if (complexBlock)
    return hermitianBandEigenvalues(N, kd, ab, ldab, sw.E.data(), scratch, scratch + 2 * N);
  return symmetricBandEigenvalues(N, kd, ab, ldab, sw.E.data(), scratch);
}

} // namespace

void computeBlock(const RunState& rs, SweepWork& sw, int J, int S, int F2, int B,
                  ConstParamView par, int pass) {
  BlockState& blk = sw.blk;
  const Controls& ctl = rs.ctl;
  const bool detail = hasBit(ctl.aprint, aprintbit::BLOCK_LIST) && rs.detailPrint != 0;

  // 1. block header
  if (detail) put(*rs.io.out, "(A,5I3)", {"starting with J,S,B,F Fit_stat=", J, S, B, F2, pass});

  // 2. a block of species 0 has no internal rotation
  if (S == 0) blk.ntop = 0;
  if (B < 1 || B > DIMB) stop("B > DIM B");
  if (J < 0 || 2 * J + 1 > DIM2J1) stop(" ERROR: DIM 2J1 exceeded");

  // the lowest levels alone, when the sweep reads no others (kept states)
  const int lowest = blk.complete ? sw.lowestLevelsWanted : 0;
  sw.lowestLevelsWanted = 0;
  const bool complexBlock = needsHermitianSolver(blk, par); // 3.
  setUpBasis(rs, sw, J, B);                                 // 4.
  couplingMasks(rs, sw, B);                                 // 5.
  if (detail) printProductStates(rs, sw, B);                // 6.

  // 7. inspection files of the top operators
  if (ctl.eval > 3 && S != 0) writeTopFiles(rs, sw, J, S);

  // 8. internal rotation
  if (S != 0)
    addInternalRotationTerms(rs, sw, J, S, F2, par, complexBlock);
  else if (blk.nvv > 1)
    stop(" size vv > 1 for rigid rotor!");

  // 9. rotor terms
  addRotorTerms(rs, sw, J, S, F2, par);

  // 10. the packed matrix as it goes to the solver
  if (hasBit(ctl.aprint, aprintbit::BLOCK_MATRICES)) printBlockMatrix(rs, sw);

  // 11. diagonalisation
  if (complexBlock)
    diagonaliseHermitianBlock(sw);
  else
    diagonaliseRealBlock(rs, sw, J, S, par, lowest);

  // 12. eigenvectors and eigenvalues
  if (hasBit(ctl.aprint, aprintbit::BLOCK_EIGENVECTORS)) printBlockEigenpairs(rs, sw);
}

void labelBlockLevels(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, int pass) {
  labelLevels(rs, sw, J, S, F2, B, pass); // 13. labels
}

bool blockLabelsPrinted(const Controls& ctl, int pass) { return levelTablePrinted(ctl, pass); }

void labelBlockLevelsAside(const RunState& rs, SweepWork& sw, int J, int S, int F2, int B) {
  labelLevelsAside(rs, sw, J, S, F2, B);
}

void reportBlockLabels(RunState& rs, const SweepWork& sw, int J, int S) {
  reportLabelNotes(rs, sw, J, S);
}

void storeBlockLevels(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, ConstFlagView flags,
                      const FitModel& fm) {
  storeLevelEnergies(rs, sw, J, S, F2, B);          // 13. energies into the transitions
  levelDerivatives(rs, sw, J, S, F2, B, flags, fm); // 14.
}

void finishBlock(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, ConstFlagView flags,
                 const FitModel& fm, int pass) {
  labelBlockLevels(rs, sw, J, S, F2, B, pass);
  storeBlockLevels(rs, sw, J, S, F2, B, flags, fm);
}

void solveBlock(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, ConstParamView par,
                ConstFlagView flags, const FitModel& fm, int pass) {
  computeBlock(rs, sw, J, S, F2, B, par, pass);
  finishBlock(rs, sw, J, S, F2, B, flags, fm, pass);
}

bool blockEnergies(const RunState& rs, SweepWork& sw, int J, int S, int F2, int B,
                   ConstParamView par, std::vector<double>& work) {
  BlockState& blk = sw.blk;
  if (S == 0) blk.ntop = 0;
  if (B < 1 || B > DIMB) stop("B > DIM B");
  if (J < 0 || 2 * J + 1 > DIM2J1) stop(" ERROR: DIM 2J1 exceeded");
  const bool complexBlock = needsHermitianSolver(blk, par);
  setUpBasis(rs, sw, J, B);
  couplingMasks(rs, sw, B);
  if (S != 0)
    addInternalRotationTerms(rs, sw, J, S, F2, par, complexBlock);
  else if (blk.nvv > 1)
    stop(" size vv > 1 for rigid rotor!");
  addRotorTerms(rs, sw, J, S, F2, par);
  const int N = blk.N;
  // energies in GHz about the mean diagonal energy, so that the rounding of
  // the iteration does not grow with the size of the levels
  double centre = 0.0;
  for (int r = 0; r < N; ++r) centre += sw.H[r + r * sw.ld];
  centre = N > 0 ? centre / N : 0.0;
  for (int r = 0; r < N; ++r) sw.H[r + r * sw.ld] -= centre;
  // a block whose bands are narrow against its size by the band solver
  const int limit = (N - 1) / BAND_SOLVER_RATIO;
  const int kd = N > 1 ? bandwidthByK(sw, complexBlock, limit) : limit + 1;
  int info = 0;
  if (kd <= limit)
    info = bandEnergies(sw, complexBlock, kd, work);
  else if (complexBlock)
    info = hermitianEigenvalues(sw.ld, N, sw.H.data(), sw.E.data(), sw.w1.data(), sw.tau.data());
  else
    info = realSymmetricEigenvalues(sw.ld, N, sw.H.data(), sw.E.data(), work);
  for (int l = 0; l < N; ++l) sw.E[l] += centre;
  return info == 0;
}

} // namespace ruvo
