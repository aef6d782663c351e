// Speed of the scratch files and line strengths on the largest blocks:
// writing one block file of dimension 423 (J = 70 with three product
// torsional states), reading one level back (the last one, the worst case)
// and a whole block, and one Delta J = 0 and one Delta J = 1 line strength
// between blocks of that size with one top.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>

#include "core/state.h"
#include "intensity/line_strength.h"
#include "intensity/scratch_files.h"

using namespace ruvo;

namespace {

// the J range of the blocks measured: the largest of the blocks of three
// states that fit the default leading dimension DIMTOT
constexpr int BENCH_MAXJ = 70;

struct Setup {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<SweepWork> sw = std::make_unique<SweepWork>();
  std::istringstream in;
  std::ostringstream out, err;
  std::filesystem::path dir, saved;
  Setup() {
    rs->allocate();
    sw->allocate();
    rs->io.in = &in;
    rs->io.out = &out;
    rs->io.err = &err;
    saved = std::filesystem::current_path();
    dir = std::filesystem::temp_directory_path() / "ruvo_bench_intensity";
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    rs->species.nsym = 1;
    rs->species.sigma[1][1] = 1;
    sw->tors.firstV[1] = 1;
    sw->tors.nV[1] = 3;
    std::mt19937 gen(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int K = -BENCH_MAXJ; K <= BENCH_MAXJ; ++K)
      for (int Kp = -BENCH_MAXJ; Kp <= BENCH_MAXJ; ++Kp)
        for (int v = 1; v <= 3; ++v)
          for (int vp = 1; vp <= 3; ++vp) sw->tors.T(K, Kp, v, vp, 1, 1) = u(gen);
  }
  ~Setup() {
    std::filesystem::current_path(saved);
    std::filesystem::remove_all(dir);
  }
  // a block of J with three product states of one top and random levels
  void block(int J) {
    const int d = 2 * J + 1, N = 3 * d;
    BlockState& b = sw->blk;
    b.N = N, b.d = d, b.nvv = 3, b.maxJ = BENCH_MAXJ, b.nsym = 1, b.ntop = 1;
    b.firstV[1] = 1, b.nV[1] = 3;
    std::mt19937 gen(J);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int p = 1; p <= N; ++p) {
      sw->basis[p].K = (p - 1) % d - J;
      sw->basis[p].v[1] = (p - 1) / d + 1;
    }
    for (int l = 1; l <= N; ++l) {
      sw->E[l - 1] = l;
      sw->labels[l].fill(0);
      sw->labels[l][8] = l;
      for (int r = 0; r < N; ++r) {
        sw->Zr[r + (l - 1) * DIMTOT] = u(gen);
        sw->Zi[r + (l - 1) * DIMTOT] = u(gen);
      }
    }
  }
};

void BM_WriteBlockFile(benchmark::State& state) {
  Setup s;
  s.block(70);
  for (auto _ : state) writeBlockEigenvectors(*s.rs, *s.sw, 70, 1, -1, 1);
  state.SetBytesProcessed(state.iterations() * 423LL * 423 * 16);
}
BENCHMARK(BM_WriteBlockFile)->Unit(benchmark::kMillisecond);

void BM_ReadLastLevel(benchmark::State& state) {
  Setup s;
  s.block(70);
  writeBlockEigenvectors(*s.rs, *s.sw, 70, 1, -1, 1);
  StoredLevel lv;
  for (auto _ : state) benchmark::DoNotOptimize(readLevelEigenvector(*s.rs, 70, 423, 1, -1, 1, lv));
}
BENCHMARK(BM_ReadLastLevel)->Unit(benchmark::kMillisecond);

void BM_ReadWholeBlock(benchmark::State& state) {
  Setup s;
  s.block(70);
  writeBlockEigenvectors(*s.rs, *s.sw, 70, 1, -1, 1);
  StoredBlock blk;
  blk.allocate();
  for (auto _ : state) benchmark::DoNotOptimize(readBlockEigenvectors(*s.rs, 70, 1, -1, 1, blk));
}
BENCHMARK(BM_ReadWholeBlock)->Unit(benchmark::kMillisecond);

void BM_LineStrengthsOneTop(benchmark::State& state) {
  Setup s;
  s.block(69);
  writeBlockEigenvectors(*s.rs, *s.sw, 69, 1, -1, 1);
  s.block(70);
  writeBlockEigenvectors(*s.rs, *s.sw, 70, 1, -1, 1);
  StoredBlock lo, hi;
  lo.allocate();
  hi.allocate();
  readBlockEigenvectors(*s.rs, 69, 1, -1, 1, lo);
  readBlockEigenvectors(*s.rs, 70, 1, -1, 1, hi);
  const bool rBranch = state.range(0) == 1;
  for (auto _ : state) {
    const double S = rBranch ? lineStrengthJPlusOne(*s.rs, s.sw->tors, 70, 69, 1, 1.0, 0.5, 0.3,
                                                    levelRef(hi, 100), levelRef(lo, 50))
                             : lineStrengthSameJ(*s.rs, s.sw->tors, 70, 70, 1, 1.0, 0.5, 0.3,
                                                 levelRef(hi, 100), levelRef(hi, 50));
    benchmark::DoNotOptimize(S);
  }
}
BENCHMARK(BM_LineStrengthsOneTop)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace
