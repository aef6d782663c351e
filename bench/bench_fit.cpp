// Wall time of whole fits, run in-process from the input files of the fit
// tests: a 10-cycle fit of a one-top molecule (302 A and E lines, 8 fit
// variables of which 3 numerical) and of an asymmetric rotor with quartic
// distortion (197 lines, 8 analytic variables).  convg 1.5 keeps the fit
// from stopping early, so every run makes exactly 10 cycles.  The argument
// is the number of threads that compute the blocks (on a 2-core machine
// only 1 and 2 say anything about scaling).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "driver/program.h"

namespace {

std::string readInput(const std::string& relative) {
  std::ifstream in(std::string(RUVO_SOURCE_DIR) + "/" + relative);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The input with its control line replaced by a 10-cycle fit.
std::string tenCycles(const std::string& relative, const std::string& controls,
                      const std::string& replacement) {
  std::string text = readInput(relative);
  const auto p = text.find(controls);
  if (p != std::string::npos) text.replace(p, controls.size(), replacement);
  return text;
}

void runFit(benchmark::State& state, const std::string& input) {
  for (auto _ : state) {
    std::istringstream in(input);
    std::ostringstream out, err;
    ruvo::RunChannels channels;
    channels.threads = static_cast<int>(state.range(0));
    const int status = ruvo::runProgram(in, out, err, ruvo::OutputRequests{}, channels);
    benchmark::DoNotOptimize(status);
    if (out.str().find("End at Cycle  10") == std::string::npos)
      state.SkipWithError("the fit did not make 10 cycles");
  }
}

void BM_FitOneTop10Cycles(benchmark::State& state) {
  static const std::string input =
      tenCycles("tests/data/fit/one_top_fit.inp", "nzyk 30 ntop 1 defer 1.0e-5",
                "nzyk 11 ntop 1 defer 1.0e-5 convg 1.5");
  runFit(state, input);
}
BENCHMARK(BM_FitOneTop10Cycles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8);

// The same fit with half of the variables numerical: DJK by one-sided
// differences as well.
void BM_FitOneTopHalfNumerical10Cycles(benchmark::State& state) {
  static const std::string input = [] {
    std::string text = tenCycles("tests/data/fit/one_top_fit.inp", "nzyk 30 ntop 1 defer 1.0e-5",
                                 "nzyk 11 ntop 1 defer 1.0e-5 convg 1.5");
    const auto p = text.find("fit DJK");
    if (p != std::string::npos) text.replace(p, 7, "dqu 0.1 1 DJK");
    return text;
  }();
  runFit(state, input);
}
BENCHMARK(BM_FitOneTopHalfNumerical10Cycles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2);

// A fit of the size users wait for: 600 A and E lines up to J = 40 of a
// one-top molecule, three of the eight variables (V3, rho, beta) by
// numerical derivatives (bench/data/make_one_top_600_lines.py wrote it).
void BM_FitOneTop600Lines10Cycles(benchmark::State& state) {
  static const std::string input = readInput("bench/data/one_top_600_lines.inp");
  runFit(state, input);
}
BENCHMARK(BM_FitOneTop600Lines10Cycles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8);

void BM_FitRigidRotor10Cycles(benchmark::State& state) {
  static const std::string input =
      tenCycles("tests/data/fit/rigid_distortion_fit.inp", "nzyk 20 defer 2.0e-5",
                "nzyk 11 defer 2.0e-5 convg 1.5");
  runFit(state, input);
}
BENCHMARK(BM_FitRigidRotor10Cycles)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2);

// The rigid-rotor job of the comparison with the peer programs, whole as a
// user runs it: 2,000 a-, b- and c-type lines with J <= 60 up to 816 GHz, 15
// analytic variables (the rotational, quartic and sextic constants of the
// Watson A reduction; bench/data/make_rigid_2000_lines.py wrote it), fitted
// until it converges; and the predicted spectrum of all levels J <= 60
// between 0 and 300 GHz.
void runJob(benchmark::State& state, const std::string& input,
            const ruvo::OutputRequests& outputs = {}) {
  for (auto _ : state) {
    std::istringstream in(input);
    std::ostringstream out, err;
    ruvo::RunChannels channels;
    channels.threads = static_cast<int>(state.range(0));
    const int status = ruvo::runProgram(in, out, err, outputs, channels);
    if (status != 0) state.SkipWithError("the job did not end cleanly");
    benchmark::DoNotOptimize(out);
  }
}

void BM_FitRigid2000Lines(benchmark::State& state) {
  static const std::string input = readInput("bench/data/rigid_2000_lines.inp");
  runJob(state, input);
}
BENCHMARK(BM_FitRigid2000Lines)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2);

void BM_PredictionJ60(benchmark::State& state) {
  static const std::string input = readInput("bench/data/predict_j60.inp");
  runJob(state, input);
}
BENCHMARK(BM_PredictionJ60)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2);

// The same prediction with its JPL catalogue (--catalog, every line of the
// J range at any frequency: 156,662 cards), written into a directory of the
// benchmark's own: the catalogue's cost is the ratio of this to
// BM_PredictionJ60 in the same run.  Q(T) takes the rigid-rotor levels up
// to J = 184, where a J adds less than 1e-8 of Q(300 K).
void BM_CatalogueJ60(benchmark::State& state) {
  static const std::string input = readInput("bench/data/predict_j60.inp");
  std::string dir = (std::filesystem::temp_directory_path() / "ruvo_bench_XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) {
    state.SkipWithError("no directory for the catalogue");
    return;
  }
  ruvo::OutputRequests outputs;
  outputs.catalog = dir + "/predict_j60.cat";
  runJob(state, input, outputs);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_CatalogueJ60)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(2);

} // namespace
