// Speed of a large rigid-rotor calculation: one value sweep (every block
// J = 0..60 of an asymmetric rotor with quartic distortion, 300 lines), and
// the real symmetric eigensolver of the program against LAPACK dsyev on the
// same 61 block matrices.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/state.h"
#include "driver/sweep.h"
#include "driver/todo.h"
#include "hamiltonian/rotor_terms.h"
#include "input/parameter_input.h"
#include "input/reader.h"
#include "numerics/eigen.h"

extern "C" void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda,
                       double* w, double* work, const int* lwork, int* info);

namespace {

using namespace ruvo;

constexpr int MAXJ = 60;

// a- and b-type R-branch lines, five per J, up to J = 60
std::string rigidInput() {
  std::string s = "Asymmetric rotor with quartic distortion, J up to 60\n\n"
                  "nzyk 1 print 0\n\n"
                  "BJ 3.65 BK 6.15 B- 0.45\n"
                  "DJ 1.1e-6 DJK -4.3e-6 DK 2.2e-5 dj 3.1e-7 dk 2.6e-6\n\n\n";
  char line[200];
  for (int J = 1; J <= MAXJ; ++J)
    for (int T : {1, 2, 3, 2 * J - 1, 2 * J + 1}) {
      const int Tlo = T == 3 ? 1 : std::min(T, 2 * J - 1);
      std::snprintf(line, sizeof line, "Jup %d K-up %d K+up %d Jlo %d K-lo %d K+lo %d\n", J, T / 2,
                    (2 * J - T + 2) / 2, J - 1, Tlo / 2, (2 * (J - 1) - Tlo + 2) / 2);
      s += line;
    }
  return s + "\n";
}

struct RigidJob {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<FitState> fs = std::make_unique<FitState>();
  std::unique_ptr<SweepWork> sw = std::make_unique<SweepWork>();
  std::ostringstream out, err;
  RigidJob() {
    rs->allocate();
    fs->allocate();
    sw->allocate();
    std::istringstream in(rigidInput());
    rs->io.in = &in;
    rs->io.out = &out;
    rs->io.err = &err;
    Reader reader(in, out, err);
    readInputFile(*rs, *fs, reader);
    buildTodo(*rs);
    sortTodo(rs->todo);
  }
};

void BM_SweepRigidJ60(benchmark::State& state) {
  RigidJob job;
  job.rs->threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    job.out.str("");
    calculationSweep(*job.rs, *job.sw, job.fs->best, job.fs->flags, job.fs->model, 0);
  }
  state.counters["blocks"] = job.rs->todo.n;
  state.counters["lines"] = job.rs->tr.ndata;
}
BENCHMARK(BM_SweepRigidJ60)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2);

// The rotor matrices of J = 0..60 (lower triangle and diagonal), packed
// one after the other with leading dimension DIMTOT.
struct BlockMatrices {
  std::vector<std::vector<double>> h;
  BlockMatrices() {
    RigidJob job;
    SweepWork& sw = *job.sw;
    sw.blk.nvv = 1;
    sw.blk.ntop = 0;
    for (int J = 0; J <= MAXJ; ++J) {
      const int d = 2 * J + 1;
      sw.blk.d = d;
      sw.blk.N = d;
      for (int K = -J; K <= J; ++K) sw.basis[K + J + 1].K = K;
      std::fill(sw.H.begin(), sw.H.end(), 0.0);
      const ParamSets& best = job.fs->best;
      addRotorTerms(*job.rs, sw, J, 0, -1, best.set(1));
      h.emplace_back(sw.H.begin(), sw.H.begin() + std::size_t(DIMTOT) * d);
    }
  }
};

void BM_RealSymmetricAllBlocks(benchmark::State& state) {
  const BlockMatrices m;
  std::vector<double> a(std::size_t(DIMTOT) * DIMTOT), d(DIMTOT), e(DIMTOT);
  for (auto _ : state) {
    for (int J = 0; J <= MAXJ; ++J) {
      const int n = 2 * J + 1;
      std::copy(m.h[J].begin(), m.h[J].end(), a.begin());
      int ierr = 0;
      diagonaliseRealSymmetric(DIMTOT, n, a.data(), d.data(), e.data(), ierr);
      sortEigenpairs(d.data(), a.data(), n, DIMTOT);
      benchmark::DoNotOptimize(d.data());
    }
  }
}
BENCHMARK(BM_RealSymmetricAllBlocks)->Unit(benchmark::kMillisecond);

void BM_LapackDsyevAllBlocks(benchmark::State& state) {
  const BlockMatrices m;
  std::vector<double> a(std::size_t(DIMTOT) * DIMTOT), w(DIMTOT);
  int lwork = -1, info = 0, n = 2 * MAXJ + 1, lda = DIMTOT;
  double query = 0;
  dsyev_("V", "L", &n, a.data(), &lda, w.data(), &query, &lwork, &info);
  lwork = int(query);
  std::vector<double> work(lwork);
  for (auto _ : state) {
    for (int J = 0; J <= MAXJ; ++J) {
      n = 2 * J + 1;
      std::copy(m.h[J].begin(), m.h[J].end(), a.begin());
      dsyev_("V", "L", &n, a.data(), &lda, w.data(), work.data(), &lwork, &info);
      benchmark::DoNotOptimize(w.data());
    }
  }
}
BENCHMARK(BM_LapackDsyevAllBlocks)->Unit(benchmark::kMillisecond);

} // namespace
