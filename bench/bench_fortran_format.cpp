// Speed of the layout formatter on records typical of the listings: the
// transition listing writes some ten records per line for up to 10000 lines.
#include <benchmark/benchmark.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/fortran_format.h"

namespace {

void BM_TransitionRecord(benchmark::State& state) {
  std::ostringstream os;
  double f = 12345.678901;
  for (auto _ : state) {
    os.str(std::string());
    ruvo::put(os, "(2(3I3,1X),2(A,I2),F13.6,5F9.4,A,I2,2(A,2I3))",
              {1,       0,   1,    0,   0,     0, "  S", 1, "  B", 1,     f, 0.0012,
               -0.0003, 1.5, 0.25, 2.0, "  V", 1, "  K", 1, 0,     "  t", 2, 3});
    f += 1e-3;
    benchmark::DoNotOptimize(os);
  }
}
BENCHMARK(BM_TransitionRecord);

void BM_ExponentField(benchmark::State& state) {
  double x = 1.2345e-7;
  for (auto _ : state) {
    std::string s = ruvo::fmtE(x, 12, 6, 'D');
    benchmark::DoNotOptimize(s);
    x *= 1.0000001;
  }
}
BENCHMARK(BM_ExponentField);

void BM_FreeFormatRecord(benchmark::State& state) {
  double x = 0.5;
  for (auto _ : state) {
    std::string s = ruvo::freeFmt({"value", 3, x, 1e-5});
    benchmark::DoNotOptimize(s);
    x += 1e-9;
  }
}
BENCHMARK(BM_FreeFormatRecord);

void BM_NumberTable(benchmark::State& state) {
  std::vector<double> row(141);
  for (std::size_t i = 0; i < row.size(); ++i) row[i] = 0.001 * static_cast<double>(i);
  std::ostringstream os;
  for (auto _ : state) {
    os.str(std::string());
    ruvo::putValues(os, "(20F8.5)", row);
    benchmark::DoNotOptimize(os);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<long>(row.size()));
}
BENCHMARK(BM_NumberTable);

} // namespace
