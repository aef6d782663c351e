// Speed of the input reader: a transition list of 10000 lines read line by
// line as keyword lists against the 30 transition keywords, and a parameter
// section read with set ranges.
#include <benchmark/benchmark.h>

#include <sstream>
#include <string>
#include <vector>

#include "input/reader.h"

namespace {

const std::vector<std::string> kKeys = {"Jup", "K-up", "K+up", "Jlo",  "K-lo", "K+lo", "=",   "Err",
                                        "Sup", "Slo",  "V1up", "V1lo", "V2up", "V2lo", "Bup", "Blo",
                                        "Fup", "Flo",  "Tup",  "Tlo",  "tup",  "tlo",  "#",   "&",
                                        "Kup", "Klo",  "diff", "GHz",  "MHz",  "cm-1"};

std::string transitionList(int lines) {
  std::string text;
  for (int i = 0; i < lines; ++i) {
    const int j = i % 60;
    text += "Jup " + std::to_string(j + 1) + " K-up 1 K+up " + std::to_string(j) + " Jlo " +
            std::to_string(j) + " K-lo 0 K+lo " + std::to_string(j) + " = " +
            std::to_string(10.0 + 0.001 * i) + " Err 0.00002 ! line " + std::to_string(i) + "\n";
  }
  return text;
}

void BM_TransitionLines(benchmark::State& state) {
  const std::string text = transitionList(static_cast<int>(state.range(0)));
  const ruvo::NameTable table{kKeys.data(), static_cast<int>(kKeys.size()), 5};
  std::vector<double> values(kKeys.size());
  std::vector<int> counts(kKeys.size());
  for (auto _ : state) {
    std::istringstream in(text);
    std::ostringstream out, err;
    ruvo::Reader reader(in, out, err);
    while (reader.nextLine() > 0) {
      std::fill(counts.begin(), counts.end(), 0);
      reader.readKeywordValues(table, values.data(), counts.data());
    }
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TransitionLines)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_ParameterLinesWithSetRanges(benchmark::State& state) {
  const std::vector<std::string> names = {"BJ", "BK", "B-", "DJ", "DJK", "DK", "dj", "dk"};
  const ruvo::NameTable table{names.data(), 8, 7};
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "BJ(2:4) 3000.5 BK 2000 - 0.5 D(3) 1e-6 2e-6 3e-6\n";
  std::vector<double> values(8 * 5);
  std::vector<int> counts(8 * 5);
  for (auto _ : state) {
    std::istringstream in(text);
    std::ostringstream out, err;
    ruvo::Reader reader(in, out, err);
    while (reader.nextLine() > 0) {
      std::fill(counts.begin(), counts.end(), 0);
      reader.readIndexedKeywordValues(table, 5, values.data(), counts.data());
    }
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ParameterLinesWithSetRanges)->Unit(benchmark::kMillisecond);

} // namespace
