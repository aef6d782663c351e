// Speed of the calculation of molecules with internal tops: one calculation
// sweep of a two-top molecule with three product torsional states, all five
// species and J = 0..30 (155 blocks, matrices up to 183 x 183), and the
// internal-rotation operators of its largest block alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "core/state.h"
#include "driver/sweep.h"
#include "driver/todo.h"
#include "hamiltonian/axis_rotation.h"
#include "hamiltonian/internal_rotation.h"
#include "input/parameter_input.h"
#include "input/reader.h"
#include "torsion/torsion.h"

namespace {

using namespace ruvo;

// The molecule: two tilted methyl tops with top-top coupling, torsional
// ground state and the first excited state of each top.
std::string twoTopInput(int maxJ) {
  std::string s = "Two methyl tops, three product torsional states\n\n"
                  "ntop 2 print 0 maxm 10\n\n"
                  "BJ 4.2 BK 5.1 B- 0.55 DJ 1e-6 DJK 2e-6\n"
                  "F_1 158.2 V1n_1 3000.0 rho_1 0.061 beta_1 0.52 gamma_1 0.2\n"
                  "F_2 158.2 V1n_2 3000.0 rho_2 0.061 beta_2 -0.52\n"
                  "F12 -2.9 Vcc 1.4 Dpi2J_1 1e-5 Dpi2J_2 1e-5\n\n"
                  "\n"
                  "/AA S 0 0\n/AE S 0 1\n/EA S 1 0\n/EE S 1 1\n/EF S 1 -1\n\n"
                  "V 0 0 V 0 1 V 1 0\n\n";
  char line[160];
  for (int J = 1; J <= maxJ; ++J)
    for (const char* sp : {"/AA", "/AE", "/EA", "/EE", "/EF"}) {
      std::snprintf(line, sizeof line, "Jup %d K-up 0 K+up %d Jlo %d K-lo 0 K+lo %d %s\n", J, J,
                    J - 1, J - 1, sp);
      s += line;
    }
  return s + "\n";
}

struct Molecule {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<FitState> fs = std::make_unique<FitState>();
  std::unique_ptr<SweepWork> sw = std::make_unique<SweepWork>();
  std::ostringstream out, err;
  explicit Molecule(int maxJ) {
    rs->allocate();
    fs->allocate();
    sw->allocate();
    std::istringstream in(twoTopInput(maxJ));
    rs->io.in = &in;
    rs->io.out = &out;
    rs->io.err = &err;
    Reader reader(in, out, err);
    readInputFile(*rs, *fs, reader);
    buildTodo(*rs);
    sortTodo(rs->todo);
    sw->blk.maxJ = rs->maxJ;
    sw->blk.nB = rs->nB;
    sw->blk.nsym = rs->species.nsym;
  }
};

void BM_SweepTwoTopsThreeStatesJ30(benchmark::State& state) {
  Molecule m(30);
  m.rs->threads = static_cast<int>(state.range(0));
  for (auto _ : state) {
    m.out.str("");
    calculationSweep(*m.rs, *m.sw, m.fs->best, m.fs->flags, m.fs->model, 0);
  }
  state.counters["blocks"] = m.rs->todo.n;
}
BENCHMARK(BM_SweepTwoTopsThreeStatesJ30)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2);

// The internal-rotation terms of the largest block (J = 30, species EE):
// rotations of the energies and of the three coupling operators, one-top,
// two-top and distortion terms.
void BM_InternalRotationTermsJ30(benchmark::State& state) {
  Molecule m(30);
  calculationSweep(*m.rs, *m.sw, m.fs->best, m.fs->flags, m.fs->model, 0); // tables of set 1
  SweepWork& sw = *m.sw;
  const int J = 30, S = 4;
  sw.blk.ntop = 2;
  sw.blk.d = 2 * J + 1;
  sw.blk.N = sw.blk.nvv * sw.blk.d;
  for (int t = 1; t <= 2; ++t) rotateTopAxes(sw.rot[t], m.fs->best(par::top(t, par::beta), 1), J);
  int p = 1;
  for (int i = 1; i <= sw.blk.nvv; ++i)
    for (int K = -J; K <= J; ++K, ++p) {
      sw.basis[p].K = K;
      for (int t = 1; t <= 2; ++t) sw.basis[p].v[t] = m.rs->use(i, t, 1);
    }
  for (auto _ : state) {
    const ParamSets& best = m.fs->best;
    addInternalRotationTerms(*m.rs, sw, J, S, -1, best.set(1), true);
    benchmark::DoNotOptimize(sw.H.data());
  }
}
BENCHMARK(BM_InternalRotationTermsJ30)->Unit(benchmark::kMillisecond);

} // namespace
