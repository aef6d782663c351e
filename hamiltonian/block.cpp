// One J block of the rotation-torsion problem: basis, Hamiltonian matrix,
// diagonalisation, level labels and analytic energy derivatives.
#include "hamiltonian/block.h"

#include <cmath>
#include <fstream>
#include <string>

#include "core/stop.h"
#include "hamiltonian/internal_rotation.h"
#include "hamiltonian/level_assignment.h"
#include "hamiltonian/rotor_terms.h"
#include "hamiltonian/wang_blocks.h"
#include "numerics/eigen.h"
#include "core/fortran_format.h"

namespace ruvo {

namespace {

// Name of an inspection file: "ruvo", a letter and a six-character tail
// such as "s1.j05" (matrix of block J = 5, S = 1: ruvohs1.j05).
std::string inspectionName(char letter, const std::string& second, int S, int J) {
  return std::string("ruvo") + letter + second + fmtI(S, 1) + ".j" + fmtI(J / 10, 1) +
         fmtI(J % 10, 1);
}

// One free-format record of n doubles (x[0], x[stride], ...): a leading
// blank and the items separated by one blank, as in any free-format record.
void putFreeRow(std::ostream& os, const double* x, int n, int stride) {
  std::string rec;
  for (int i = 0; i < n; ++i) {
    std::string item = freeFmt({x[std::size_t(i) * stride]}); // " " + item + "\n"
    item.pop_back();
    rec += item;
  }
  os << rec << '\n';
}

// The block matrix H (packed Hermitian layout) as free-format records, one per row.
void writeMatrixFile(const SweepWork& sw, const std::string& name, int J, int S) {
  std::ofstream f(name, std::ios::trunc);
  const int N = sw.blk.N;
  putFree(f, {N, J, S});
  for (int r = 0; r < N; ++r) putFreeRow(f, &sw.H[r], N, DIMTOT);
}

// The per-top inspection files of an internal-rotation block: the rotation
// matrix of the top weighted by its torsional overlaps ('t'), the overlaps
// at equal K ('p'), and the rotation matrix weighted by the overlaps of all
// tops over the block basis ('r').
void writeTopFiles(const RunState& rs, SweepWork& sw, int J, int S) {
  const BlockState& blk = sw.blk;
  const int d = blk.d;
  for (int t = 1; t <= blk.ntop; ++t) {
    const int sigma = rs.species.sigma[S][t];
    const int nv = blk.nV[t];
    const std::string top = fmtI(t, 1);
    if (nv < 1 || nv > DIMV || sigma < -DIMSIG || sigma > DIMSIG) continue;
    RotationStore& rot = sw.rot[t];
    {
      std::ofstream f(inspectionName('t', top, S, J), std::ios::trunc);
      putFree(f, {nv * d, 0, 0});
      double row[DIMV * DIM2J1];
      for (int v = 1; v <= nv; ++v)
        for (int K = -J; K <= J; ++K) {
          int n = 0;
          for (int vp = 1; vp <= nv; ++vp)
            for (int Kp = -J; Kp <= J; ++Kp)
              row[n++] = rot.D(K, Kp) * sw.tors.T(K, Kp, v, vp, sigma, t);
          putFreeRow(f, row, n, 1);
        }
    }
    {
      std::ofstream f(inspectionName('p', top, S, J), std::ios::trunc);
      putFree(f, {nv * d, 0, 0});
      for (int v = 1; v <= nv; ++v)
        for (int K = -J; K <= J; ++K) {
          for (int vp = 1; vp <= nv; ++vp)
            for (int Kp = -J; Kp <= J; ++Kp)
              put(f, "(D22.14,$)", {K == Kp ? sw.tors.T(K, Kp, v, vp, sigma, t) : 0.0});
          f << '\n';
        }
    }
    {
      std::ofstream f(inspectionName('r', top, S, J), std::ios::trunc);
      putFree(f, {blk.N, 0, 0});
      double row[DIMTOT];
      for (int p = 1; p <= blk.N; ++p) {
        for (int q = 1; q <= blk.N; ++q) {
          const BasisRow& a = sw.basis[p];
          const BasisRow& b = sw.basis[q];
          double x = rot.D(a.K, b.K);
          for (int u = 1; u <= blk.ntop; ++u) {
            const int su = rs.species.sigma[S][u];
            const int va = a.v[u] - blk.firstV[u] + 1, vb = b.v[u] - blk.firstV[u] + 1;
            if (va < 1 || va > DIMV || vb < 1 || vb > DIMV || su < -DIMSIG || su > DIMSIG)
              x = 0.0;
            else
              x *= sw.tors.T(a.K, b.K, va, vb, su, u);
          }
          row[q - 1] = x;
        }
        putFreeRow(f, row, blk.N, 1);
      }
    }
  }
}

void writeEigenFiles(const SweepWork& sw, int J, int S) {
  const int N = sw.blk.N;
  {
    std::ofstream f(inspectionName('e', "s", S, J), std::ios::trunc);
    putFree(f, {N, J, S});
    for (int l = 0; l < N; ++l) putFree(f, {sw.E[l]});
  }
  {
    std::ofstream f(inspectionName('v', "s", S, J), std::ios::trunc);
    putFree(f, {N, J, S});
    for (int r = 0; r < N; ++r) putFreeRow(f, &sw.H[r], N, DIMTOT);
  }
}

} // namespace

void solveBlock(RunState& rs, SweepWork& sw, int J, int S, int F2, int B, ConstParamView par,
            ConstFlagView flags, const FitModel& fm, int pass) {
  std::ostream& out = *rs.io.out;
  BlockState& blk = sw.blk;
  const Controls& ctl = rs.ctl;
  const bool detail = hasBit(ctl.aprint, 1024) && rs.detailPrint != 0;

  // 1. block header
  if (detail) put(out, "(A,5I3)", {"starting with J,S,B,F Fit_stat=", J, S, B, F2, pass});

  // 2. a block of species 0 has no internal rotation
  if (S == 0) blk.ntop = 0;
  if (B < 1 || B > DIMB) stop("B > DIM B");
  if (J < 0 || 2 * J + 1 > DIM2J1) stop(" ERROR: DIM 2J1 exceeded");

  // 3. matrix kind.  Imaginary elements (gamma of a top, chi_yz, chi_xy and
  // the linear term P_y Jy) need the complex Hermitian solver: the real one
  // reads only the lower triangle and would silently drop them.
  bool complexBlock = false;
  for (int t = 1; t <= blk.ntop; ++t)
    if (par(par::top(t, par::gamma)) != 0.0) complexBlock = true;
  if (par(par::chi_yz) != 0.0 || par(par::chi_xy) != 0.0 || par(par::P_y) != 0.0)
    complexBlock = true;

  // 4. basis |K, i>, K fastest; H cleared
  const int d = 2 * J + 1;
  const int nvv = blk.nvv;
  blk.d = d;
  blk.N = nvv < 1 ? 0 : nvv * d;
  const int N = blk.N;
  if (N > DIMTOT) stop("Dimension Error in HMULTHRR");
  for (int i = 1; i <= nvv; ++i)
    for (int K = -J; K <= J; ++K) {
      BasisRow& row = sw.basis[(i - 1) * d + (K + J + 1)];
      row.K = K;
      for (int t = 1; t <= DIMTOP; ++t) row.v[t] = rs.use(i, t, B);
    }
  for (int c = 0; c < N; ++c)
    for (int r = 0; r < N; ++r) sw.H[r + c * DIMTOT] = 0.0;

  // 5. coupling masks: an operator of top t couples product states that
  // agree in every other top
  for (int t = 1; t <= DIMTOP; ++t)
    for (int i = 1; i <= DIMVV; ++i)
      for (int j = 1; j <= DIMVV; ++j) sw.mask[t][i][j] = 1;
  for (int t = 1; t <= blk.ntop; ++t)
    for (int tp = 1; tp <= blk.ntop; ++tp) {
      if (tp == t) continue;
      for (int i = 1; i <= nvv && i <= DIMVV; ++i)
        for (int j = 1; j <= nvv && j <= DIMVV; ++j)
          if (rs.use(i, tp, B) != rs.use(j, tp, B)) sw.mask[t][i][j] = 0;
    }

  // 6. composition of the product states and the masks
  if (detail) {
    const std::string layout = "(" + fmtI(blk.ntop, 1) + "I2,A," + fmtI(nvv, 2) + "I3)";
    put(out, "(A)", {layout});
    for (int t = 1; t <= blk.ntop; ++t) {
      put(out, "(A,I3)", {" ruse array for top", t});
      for (int i = 1; i <= nvv && i <= DIMVV; ++i) {
        std::string line;
        for (int u = 1; u <= blk.ntop; ++u) line += fmtI(rs.use(i, u, B), 2);
        line += " | ";
        for (int j = 1; j <= nvv && j <= DIMVV; ++j) line += fmtI(sw.mask[t][i][j], 3);
        out << line << '\n';
      }
    }
  }

  // 7. inspection files of the top operators
  if (ctl.eval > 3 && S != 0) writeTopFiles(rs, sw, J, S);

  // 8. internal rotation
  if (S != 0)
    addInternalRotationTerms(rs, sw, J, S, F2, par, complexBlock);
  else if (nvv > 1)
    stop(" size vv > 1 for rigid rotor!");

  // 9. rotor terms
  addRotorTerms(rs, sw, J, S, F2, par);

  // 10. the packed matrix as it goes to the solver
  if (hasBit(ctl.aprint, 65536)) {
    out << " H_tot \n";
    for (int r = 0; r < N; ++r) {
      for (int c = 0; c < N; ++c) {
        const double h = sw.H[r + c * DIMTOT];
        put(out, std::fabs(h) < 1000.0 ? "(F10.5,$)" : "(F10.2,$)", {h});
      }
      out << '\n';
    }
    out << '\n';
  }

  // 11. diagonalisation; the eigenvalues ascending in sw.E, the eigenvectors
  // in (Zr, Zi) and their signed moduli in V
  double* E = sw.E.data();
  if (complexBlock) {
    for (int c = 0; c < N; ++c)
      for (int r = 0; r < N; ++r) sw.Zr[r + c * DIMTOT] = (r == c) ? 1.0 : 0.0;
    htrid3(DIMTOT, N, sw.H.data(), E, sw.w1.data(), sw.w2.data(), sw.tau.data());
    int ierr = 0;
    tql2(DIMTOT, N, E, sw.w1.data(), sw.Zr.data(), ierr);
    if (ierr != 0) stop("Error in tql2 " + fmtI(ierr, 5));
    htrib3(DIMTOT, N, sw.H.data(), sw.tau.data(), N, sw.Zr.data(), sw.Zi.data());
    sortHermitianEigenpairs(E, sw.Zr.data(), sw.Zi.data(), N, DIMTOT);
    // |z| with the sign of Re z + Im z (a sum of -0 counts as negative)
    for (int l = 0; l < N; ++l)
      for (int r = 0; r < N; ++r) {
        const double zr = sw.Zr[r + l * DIMTOT], zi = sw.Zi[r + l * DIMTOT];
        const double mod = std::sqrt(zr * zr + zi * zi);
        sw.V[r + l * DIMTOT] = std::signbit(zr + zi) ? -mod : mod;
      }
  } else {
    if (ctl.eval > 3) writeMatrixFile(sw, inspectionName('h', "s", S, J), J, S);
    // The QL iteration carries the level values through its rotations, so
    // its rounding grows with their size: diagonalise H - c and add c back,
    // c being the mean diagonal energy (GHz).  The eigenvectors are the same.
    int ierr = 0;
    if (hasWangSymmetry(sw, par)) {
      // a rigid rotor: its four symmetry blocks, each a quarter of the size
      diagonaliseByWangBlocks(sw, J, E, ierr);
      if (ierr != 0) stop("Error in hdiag " + fmtI(ierr, 5));
    } else {
      double centre = 0.0;
      for (int r = 0; r < N; ++r) centre += sw.H[r + r * DIMTOT];
      centre = N > 0 ? centre / N : 0.0;
      for (int r = 0; r < N; ++r) sw.H[r + r * DIMTOT] -= centre;
      diagonaliseRealSymmetric(DIMTOT, N, sw.H.data(), E, sw.w1.data(), ierr);
      if (ierr != 0) stop("Error in hdiag " + fmtI(ierr, 5));
      for (int l = 0; l < N; ++l) E[l] += centre;
      sortEigenpairs(E, sw.H.data(), N, DIMTOT);
    }
    if (ctl.eval > 3) writeEigenFiles(sw, J, S);
    for (int l = 0; l < N; ++l)
      for (int r = 0; r < N; ++r) {
        const double z = sw.H[r + l * DIMTOT];
        sw.Zr[r + l * DIMTOT] = z;
        sw.Zi[r + l * DIMTOT] = 0.0;
        sw.V[r + l * DIMTOT] = z;
      }
  }

  // 12. eigenvectors and eigenvalues
  if (hasBit(ctl.aprint, 32768)) {
    out << " Eigenvectors\n";
    for (int r = 0; r < N; ++r) {
      for (int l = 0; l < N; ++l) {
        const double v = sw.V[r + l * DIMTOT];
        put(out, std::fabs(v) < 1000.0 ? "(2F10.6,A,$)" : "(2F10.2,A,$)",
            {sw.Zr[r + l * DIMTOT], sw.Zi[r + l * DIMTOT], "; "});
      }
      out << '\n';
    }
    out << '\n';
    out << " Eigenvalues\n";
    for (int l = 0; l < N; ++l) put(out, "(F20.8,A,$)", {E[l], "; "});
    out << '\n';
  }

  // 13. labels, energies into the transitions
  labelLevels(rs, sw, J, S, F2, B, pass);
  storeLevelEnergies(rs, sw, J, S, F2, B);

  // 14. analytic derivatives dE/dp of the levels the fit needs
  for (int l = 1; l <= N; ++l) {
    if (sw.need[l] == 0 && ctl.dfreq == 0) continue;
    double* vr = sw.w1.data();
    double* vi = sw.w2.data();
    for (int r = 0; r < N; ++r) {
      vr[r] = sw.Zr[r + (l - 1) * DIMTOT];
      vi[r] = sw.Zi[r + (l - 1) * DIMTOT];
    }
    rotorParameterDerivatives(rs, sw, vr, vi, J, S, F2, flags, par, sw.dEdp.data());
    storeLevelDerivatives(rs, sw, J, S, F2, B, l, fm, sw.dEdp.data());
  }
}

} // namespace ruvo
