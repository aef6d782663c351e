// Speed of the energies-only blocks of the partition function of a one-top
// molecule: one block of J = 100 (201 x 201, the torsional ground state of
// species A), its matrix assembled and its energies found, for the top along
// a (beta 0: the block couples K with K +- 2 only and goes to the band
// solver) and tilted by 0.35 rad (every K coupled: the dense solver).
#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/state.h"
#include "driver/todo.h"
#include "hamiltonian/axis_rotation.h"
#include "hamiltonian/block.h"
#include "input/parameter_input.h"
#include "input/reader.h"
#include "torsion/torsion.h"

namespace {

using namespace ruvo;

void BM_EnergiesOnlyBlockOneTopJ100(benchmark::State& state) {
  const int J = 100;
  const double beta = static_cast<double>(state.range(0)) / 100.0; // rad
  auto rs = std::make_unique<RunState>();
  auto fs = std::make_unique<FitState>();
  auto sw = std::make_unique<SweepWork>();
  std::ostringstream out, err;
  rs->allocate();
  fs->allocate();
  sw->allocate(2 * J + 1, DIMV, 1, J);
  std::istringstream in("One top\n\nntop 1 print 0\n\nBJ 2.70 BK 6.40 B- 0.26\n"
                        "F_1 158 V1n_1 4000 rho_1 0.050\nmu_z 1.5\n\n\n/A S 0\n/E S 1\n\n"
                        "V 0\n\nJup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 /A\n\n");
  rs->io.in = &in;
  rs->io.out = &out;
  rs->io.err = &err;
  Reader reader(in, out, err);
  readInputFile(*rs, *fs, reader);
  std::array<double, NPAR> set{};
  for (int p = 1; p <= NPAR; ++p) set[static_cast<std::size_t>(p - 1)] = fs->best(p, 1);
  set[static_cast<std::size_t>(par::top(1, par::beta) - 1)] = beta;
  const ConstParamView view{set.data()};
  for (int i = 1; i <= DIMVV; ++i)
    for (int t = 1; t <= DIMTOP; ++t) rs->use(i, t, 1) = i == 1 && t == 1 ? 1 : -1;
  BlockState& blk = sw->blk;
  blk.maxJ = J;
  blk.nB = 1;
  blk.nsym = rs->species.nsym;
  blk.ntop = 1;
  blk.nvv = 1;
  blk.firstV[1] = 1;
  blk.nV[1] = 1;
  blk.woods = rs->woodsB[1];
  blk.complete = false;
  rs->maxJ = J;
  const FitFlags noFlags{};
  solveTorsionalProblems(*rs, *sw, 1, view, noFlags.set(1), 0);
  rotateTopAxes(sw->rot[1], beta, J);
  std::vector<double> work;
  for (auto _ : state) {
    blk.nvv = 1;
    blk.ntop = 1;
    if (!blockEnergies(*rs, *sw, J, 1, -1, 1, view, work)) state.SkipWithError("no convergence");
    benchmark::DoNotOptimize(sw->E.data());
  }
}
BENCHMARK(BM_EnergiesOnlyBlockOneTopJ100)
    ->ArgName("beta_centirad")
    ->Arg(0)
    ->Arg(35)
    ->Unit(benchmark::kMillisecond);

} // namespace
