// Inspection prints of one J block: listings of the basis, the matrix and
// the eigenvectors, and the free-format inspection files.  Energies in GHz.
#include "report/block_prints.h"

#include <cmath>
#include <fstream>
#include <ostream>
#include <string>

#include "core/fortran_format.h"
#include "core/scratch_dir.h"

namespace ruvo {

namespace {

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

} // namespace

// Name of an inspection file: "ruvo", a letter and a six-character tail
// such as "s1.j05" (matrix of block J = 5, S = 1: ruvohs1.j05).
std::string inspectionName(char letter, const std::string& second, int S, int J) {
  return std::string("ruvo") + letter + second + fmtI(S, 1) + ".j" + fmtI(J / 10, 1) +
         fmtI(J % 10, 1);
}

// The block matrix H (packed Hermitian layout) as free-format records, one per row.
void writeMatrixFile(const SweepWork& sw, const std::string& name, int J, int S) {
  std::ofstream f;
  openOwnFile(f, name);
  const int N = sw.blk.N;
  putFree(f, {N, J, S});
  for (int r = 0; r < N; ++r) putFreeRow(f, &sw.H[r], N, sw.ld);
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
      std::ofstream f;
      openOwnFile(f, inspectionName('t', top, S, J));
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
      std::ofstream f;
      openOwnFile(f, inspectionName('p', top, S, J));
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
      std::ofstream f;
      openOwnFile(f, inspectionName('r', top, S, J));
      putFree(f, {blk.N, 0, 0});
      double row[DIMBLOCK];
      // (a block of more kept states than the state section allows has no such file)
      for (int p = 1; p <= blk.N && blk.N <= DIMBLOCK; ++p) {
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
    std::ofstream f;
    openOwnFile(f, inspectionName('e', "s", S, J));
    putFree(f, {N, J, S});
    for (int l = 0; l < N; ++l) putFree(f, {sw.E[l]});
  }
  {
    std::ofstream f;
    openOwnFile(f, inspectionName('v', "s", S, J));
    putFree(f, {N, J, S});
    for (int r = 0; r < N; ++r) putFreeRow(f, &sw.H[r], N, sw.ld);
  }
}

void printProductStates(const RunState& rs, const SweepWork& sw, int B) {
  std::ostream& out = *rs.io.out;
  const BlockState& blk = sw.blk;
  const int nvv = blk.nvv;
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

void printBlockMatrix(const RunState& rs, const SweepWork& sw) {
  std::ostream& out = *rs.io.out;
  const int N = sw.blk.N;
  out << " H_tot \n";
  for (int r = 0; r < N; ++r) {
    for (int c = 0; c < N; ++c) {
      const double h = sw.H[r + static_cast<std::size_t>(c) * sw.ld];
      put(out, std::fabs(h) < 1000.0 ? "(F10.5,$)" : "(F10.2,$)", {h});
    }
    out << '\n';
  }
  out << '\n';
}

void printBlockEigenpairs(const RunState& rs, const SweepWork& sw) {
  std::ostream& out = *rs.io.out;
  const int N = sw.blk.N;
  out << " Eigenvectors\n";
  for (int r = 0; r < N; ++r) {
    for (int l = 0; l < N; ++l) {
      const double v = sw.V[r + static_cast<std::size_t>(l) * sw.ld];
      put(out, std::fabs(v) < 1000.0 ? "(2F10.6,A,$)" : "(2F10.2,A,$)",
          {sw.Zr[r + static_cast<std::size_t>(l) * sw.ld],
           sw.Zi[r + static_cast<std::size_t>(l) * sw.ld], "; "});
    }
    out << '\n';
  }
  out << '\n';
  out << " Eigenvalues\n";
  for (int l = 0; l < N; ++l) put(out, "(F20.8,A,$)", {sw.E[l], "; "});
  out << '\n';
}

} // namespace ruvo
