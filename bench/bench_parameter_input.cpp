// Speed of reading a whole input file: the parameter sections of a one-top
// molecule and a transition list of 10000 lines with species labels,
// splitting partners and MHz frequencies, checked and summarised.
#include <benchmark/benchmark.h>

#include <memory>
#include <sstream>
#include <string>

#include "core/state.h"
#include "input/parameter_input.h"
#include "input/reader.h"

namespace {

std::string wholeInput(int lines) {
  std::string text = "one top, long list\n\nntop 1 nzyk 10\n\n"
                     "BJ 4.5 BK 2.0 B- 0.2 DJ(1) 1e-6\nF_1 160 V1n_1 800 rho_1 0.05 beta_1 0.3\n\n"
                     "fit BJ\ndqu 0.1 1 V1n_1\n\n/A S 0\n/E S 1\n\nV 0\n\n";
  for (int i = 0; i < lines; ++i) {
    const int j = i % 60 + 1;
    text += "Jup " + std::to_string(j) + " K-up 1 K+up " + std::to_string(j - 1) + " Jlo " +
            std::to_string(j) + " K-lo 0 K+lo " + std::to_string(j) + (i % 2 ? " /E" : " /A") +
            " = " + std::to_string(10000.0 + i) + " MHz" + (i % 2 ? " # -1" : "") + "\n";
  }
  return text + "\n";
}

void BM_WholeInput(benchmark::State& state) {
  const std::string text = wholeInput(static_cast<int>(state.range(0)));
  auto rs = std::make_unique<ruvo::RunState>();
  auto fs = std::make_unique<ruvo::FitState>();
  rs->allocate();
  for (auto _ : state) {
    std::istringstream in(text);
    std::ostringstream out, err;
    rs->io.in = &in;
    rs->io.out = &out;
    rs->io.err = &err;
    ruvo::Reader reader(in, out, err);
    benchmark::DoNotOptimize(ruvo::readInputFile(*rs, *fs, reader));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WholeInput)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace
