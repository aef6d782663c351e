// Cost of the complete coupling of kept torsional states (vkeep): one value
// sweep of a tilted high-barrier methyl top, A and E species, J = 0..15
// (32 blocks), with the default single state of the state section and with
// 3 .. 15 kept states (blocks of n (2J+1) rows).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "core/state.h"
#include "driver/sweep.h"
#include "driver/todo.h"
#include "input/parameter_input.h"
#include "input/reader.h"

namespace {

using namespace ruvo;

std::string oneTopInput(int vkeep) {
  std::string s = "One tilted methyl top\n\nntop 1 print 0 maxm 10";
  if (vkeep > 0) s += " vkeep " + std::to_string(vkeep);
  s += "\n\nBJ 2.70 BK 6.40 B- 0.26 DJ 1e-6 DJK -5e-6\n"
       "F_1 158 V1n_1 12000 rho_1 0.05 beta_1 0.35\n\n\n/A S 0\n/E S 1\n\nV 0\n\n";
  char line[160];
  for (int J = 1; J <= 15; ++J)
    for (const char* sp : {"/A", "/E"}) {
      std::snprintf(line, sizeof line, "Jup %d tup 1 Jlo %d tlo 1 %s\n", J, J - 1, sp);
      s += line;
    }
  return s + "\n";
}

struct Molecule {
  std::unique_ptr<RunState> rs = std::make_unique<RunState>();
  std::unique_ptr<FitState> fs = std::make_unique<FitState>();
  std::unique_ptr<SweepWork> sw = std::make_unique<SweepWork>();
  std::ostringstream out, err;
  explicit Molecule(int vkeep) {
    rs->allocate();
    fs->allocate();
    std::istringstream in(oneTopInput(vkeep));
    rs->io.in = &in;
    rs->io.out = &out;
    rs->io.err = &err;
    Reader reader(in, out, err);
    readInputFile(*rs, *fs, reader);
    buildTodo(*rs);
    sortTodo(rs->todo);
    const int n = std::max(vkeep, 1);
    sw->allocate(n * (2 * rs->maxJ + 1), std::max(n, DIMV), 1);
    sw->blk.maxJ = rs->maxJ;
    sw->blk.nB = rs->nB;
    sw->blk.nsym = rs->species.nsym;
  }
};

// range(0): kept states (0: the state section's single state), range(1): threads
void BM_SweepOneTopKeptStatesJ15(benchmark::State& state) {
  Molecule m(static_cast<int>(state.range(0)));
  m.rs->threads = static_cast<int>(state.range(1));
  for (auto _ : state) {
    m.out.str("");
    calculationSweep(*m.rs, *m.sw, m.fs->best, m.fs->flags, m.fs->model, 0);
  }
  state.counters["blocks"] = m.rs->todo.n;
}
BENCHMARK(BM_SweepOneTopKeptStatesJ15)
    ->Unit(benchmark::kMillisecond)
    ->Args({0, 1})
    ->Args({3, 1})
    ->Args({5, 1})
    ->Args({7, 1})
    ->Args({9, 1})
    ->Args({11, 1})
    ->Args({15, 1})
    ->Args({11, 2});

} // namespace
