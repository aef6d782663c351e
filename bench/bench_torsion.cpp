// Speed of the per-B-set torsional preparation and of the axis rotation.
#include <benchmark/benchmark.h>

#include <memory>
#include <sstream>
#include <utility>

#include "core/state.h"
#include "hamiltonian/axis_rotation.h"
#include "torsion/torsion.h"

namespace {

using namespace ruvo;

// A molecule with `ntop` methyl tops, species A and E, three kept states.
struct TorsionCase {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<SweepWork> sw = std::make_unique<SweepWork>();
  ParamSets par;
  FitFlags flags;
  std::ostringstream out, err;
  TorsionCase(int ntop, int maxJ, int maxm, int woods) {
    sw->allocate();
    rs->io.out = &out;
    rs->io.err = &err;
    rs->maxJ = maxJ;
    rs->species.nsym = 2;
    rs->species.sigma[1] = {0, 0, 0, 0};
    rs->species.sigma[2] = {0, 1, 1, 1};
    sw->blk.ntop = ntop;
    sw->blk.woods = woods;
    for (int t = 1; t <= ntop; ++t) {
      rs->maxmTop[t] = maxm;
      sw->blk.firstV[t] = 1;
      sw->blk.nV[t] = 3;
      par(par::top(t, par::F), 1) = 158.0;
      par(par::top(t, par::V1n), 1) = 1200.0;
      par(par::top(t, par::rho), 1) = 0.05;
    }
  }
  void run() {
    solveTorsionalProblems(*rs, *sw, 1, std::as_const(par).set(1), std::as_const(flags).set(1), 0);
  }
};

// One B set of a two-top molecule: 2 tops x 2 symmetry numbers x (2 maxJ + 1)
// torsional problems and their overlap integrals.
void BM_TorsionalProblemsTwoTops(benchmark::State& state) {
  TorsionCase c(2, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), 1);
  for (auto _ : state) {
    c.run();
    benchmark::DoNotOptimize(c.sw->tors.tint.data());
  }
}
BENCHMARK(BM_TorsionalProblemsTwoTops)
    ->Args({30, 10})
    ->Args({30, 20})
    ->Args({70, 20})
    ->Unit(benchmark::kMillisecond);

// The same without overlap integrals (woods bit 1 clear): the cost of the
// torsional problems alone.
void BM_TorsionalProblemsWithoutOverlaps(benchmark::State& state) {
  TorsionCase c(2, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), 0);
  for (auto _ : state) {
    c.run();
    benchmark::DoNotOptimize(c.sw->tors.tint.data());
  }
}
BENCHMARK(BM_TorsionalProblemsWithoutOverlaps)
    ->Args({30, 10})
    ->Args({30, 20})
    ->Unit(benchmark::kMillisecond);

// A sweep over J = 0..Jmax in increasing order: one recursion step per block.
void BM_AxisRotationIncreasingJ(benchmark::State& state) {
  RotationStore st;
  st.allocate();
  const int jmax = static_cast<int>(state.range(0));
  for (auto _ : state) {
    st.mark = 0;
    for (int J = 0; J <= jmax; ++J) rotateTopAxes(st, 0.83, J);
    benchmark::DoNotOptimize(st.d.data());
  }
}
BENCHMARK(BM_AxisRotationIncreasingJ)->Arg(30)->Arg(70)->Unit(benchmark::kMicrosecond);

} // namespace
