// Test-side rigid rotors: blocks of the asymmetric rotor H = Bx Jx^2 + By Jy^2
// + Bz Jz^2 diagonalised with LAPACK in the basis |J K> (Condon-Shortley
// phases of J+-), written as block files with the program's own writer.
#pragma once

#include <cmath>
#include <complex>
#include <memory>
#include <sstream>
#include <vector>

#include "core/state.h"
#include "intensity/scratch_files.h"

extern "C" void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda,
                       double* w, double* work, const int* lwork, int* info);

namespace ruvo::inttest {

// Run state and sweep storage with the messages kept in strings.
struct Fixture {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<SweepWork> sw = std::make_unique<SweepWork>();
  std::istringstream in;
  std::ostringstream out, err;
  explicit Fixture(const std::string& answers = "") : in(answers) {
    rs->allocate();
    sw->allocate();
    rs->io.in = &in;
    rs->io.out = &out;
    rs->io.err = &err;
    rs->scratch.setMemoryBudget(0); // files in the directory, to look at and to damage
  }
};

// Block state of a one-species block of dimension 2J+1 (nvv = 1).
inline void setBlock(SweepWork& sw, int J, int maxJ, int ntop, int nsym) {
  const int d = 2 * J + 1;
  sw.blk.N = d;
  sw.blk.d = d;
  sw.blk.nvv = 1;
  sw.blk.maxJ = maxJ;
  sw.blk.nB = 1;
  sw.blk.nsym = nsym;
  sw.blk.ntop = ntop;
  for (int t = 1; t <= DIMTOP; ++t) {
    sw.blk.firstV[t] = t <= ntop ? 1 : 0;
    sw.blk.nV[t] = t <= ntop ? 1 : 0;
  }
  for (int p = 1; p <= d; ++p) {
    sw.basis[p].K = p - 1 - J;
    for (int t = 1; t <= DIMTOP; ++t) sw.basis[p].v[t] = t <= ntop ? 1 : 0;
  }
}

// Levels of block J of the rigid rotor, ascending in energy, each
// eigenvector multiplied by the phase exp(i * phase * level) (the strengths
// must not depend on it).  Labels: column 2 the dominant K, 3 V = 1, 8 the
// rank T.
inline void rigidBlock(SweepWork& sw, int J, int maxJ, double Bx, double By, double Bz,
                       double phase = 0.0, int ntop = 0, int nsym = 0) {
  setBlock(sw, J, maxJ, ntop, nsym);
  const int d = 2 * J + 1;
  std::vector<double> h(std::size_t(d) * d, 0.0), e(d);
  for (int k = 0; k < d; ++k) {
    const double K = k - J;
    h[k + k * d] = 0.5 * (Bx + By) * (J * (J + 1.0) - K * K) + Bz * K * K;
    if (k + 2 < d) {
      // <K+2| (J+^2 + J-^2) |K> with standard phases
      const double up = std::sqrt((J - K) * (J + K + 1.0) * (J - K - 1.0) * (J + K + 2.0));
      h[(k + 2) + k * d] = h[k + (k + 2) * d] = 0.25 * (Bx - By) * up;
    }
  }
  int n = d, lwork = 64 * d + 64, info = 0;
  std::vector<double> work(lwork);
  dsyev_("V", "L", &n, h.data(), &n, e.data(), work.data(), &lwork, &info);
  for (int l = 1; l <= d; ++l) {
    const std::complex<double> ph = std::polar(1.0, phase * l);
    int best = 0;
    for (int r = 0; r < d; ++r) {
      const std::complex<double> z = h[r + (l - 1) * d] * ph;
      sw.Zr[r + (l - 1) * DIMTOT] = z.real();
      sw.Zi[r + (l - 1) * DIMTOT] = z.imag();
      if (std::abs(h[r + (l - 1) * d]) > std::abs(h[best + (l - 1) * d])) best = r;
    }
    sw.E[l - 1] = e[l - 1];
    sw.labels[l].fill(0);
    sw.labels[l][1] = J;
    sw.labels[l][2] = best - J;
    sw.labels[l][3] = 1;
    sw.labels[l][8] = l;
  }
}

} // namespace ruvo::inttest
