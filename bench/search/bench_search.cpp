// Speed of the triples search: combinations per second for a rigid rotor
// with a triple and 10 check lines up to J = 10 on a synthetic spectrum
// with wide windows, on 1 and 2 threads (real time, so that the ratio is
// the scaling), and the set-up of a search (the model's prediction and the
// evaluator) alone.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "ruvo/search.h"

namespace {

using namespace ruvo;

const char* kRigid = R"(Benchmark: rigid asymmetric rotor {}

ntop 0 freq_l 6 freq_h 26 limit 0.01

BJ 1.60 BK 3.40 B- 0.21
DJ 1.0e-7
mu_x 1.0 mu_z 2.0

fit BJ
fit BK
fit B-

Jup 1 K-up 0 K+up 1 Jlo 0 K-lo 0 K+lo 0 = 3.2
Jup 10 K-up 0 K+up 10 Jlo 9 K-lo 0 K+lo 9 = 32.0
)";

struct Case {
  Model guess = Model::parse(kRigid, "guess");
  PeakList peaks;
  SearchOptions opt;
  Case() {
    const Model truth = Model::parse(kRigid, "truth");
    CatalogueOptions co;
    co.fmin_MHz = 6000;
    co.fmax_MHz = 26000;
    co.jmax = 10;
    co.T = 10;
    co.fit = false;
    SyntheticSpectrumOptions so;
    so.min_lgint = -7.0;
    so.distractors = 8.0; // a dense spectrum: wide windows, many combinations
    peaks = syntheticSpectrum(truth.catalogue(co), so);
    guess.set("BJ", 1.60 * 1.02);
    guess.set("BK", 3.40 * 0.98);
    guess.set("B-", 0.21 * 1.02);
    opt.jmax = 10;
    opt.T = 10;
    opt.checks = 10;
    opt.count = 200000;
  }
};

// CPU seconds of the process, every thread
double processCpu() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + 1e-6 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

Case& theCase() {
  static Case c;
  return c;
}

void BM_SearchRigidRotor(benchmark::State& state) {
  Case& c = theCase();
  SearchOptions o = c.opt;
  o.threads = static_cast<int>(state.range(0));
  std::uint64_t done = 0;
  const double cpu0 = processCpu();
  for (auto _ : state) {
    const SearchResult r = search(c.guess, c.peaks, o);
    done += r.searched;
    benchmark::DoNotOptimize(r.hits.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(done));
  state.counters["combinations"] = static_cast<double>(done) / state.iterations();
  // combinations per CPU second of all threads: a core's rate on a busy machine
  state.counters["per_cpu_second"] = static_cast<double>(done) / (processCpu() - cpu0);
}
BENCHMARK(BM_SearchRigidRotor)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SearchSetUp(benchmark::State& state) {
  Case& c = theCase();
  SearchOptions o = c.opt;
  o.count = 0;
  o.threads = 1;
  for (auto _ : state) benchmark::DoNotOptimize(search(c.guess, c.peaks, o).combinations);
}
BENCHMARK(BM_SearchSetUp)->Unit(benchmark::kMillisecond);

} // namespace
