// Parameter scans: one run of the model per grid point, the points shared
// out among the threads of a worker pool; each row is written by the thread
// that computed it, so the table does not depend on the thread count.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "core/state.h"
#include "core/worker_pool.h"
#include "ruvo/ruvo.h"

namespace ruvo {

void requestInterrupt() noexcept { g_interrupted = 1; }
void clearInterrupt() noexcept { g_interrupted = 0; }
bool interruptRequested() noexcept { return g_interrupted != 0; }

ScanGrid ScanGrid::product(const std::vector<std::pair<std::string, std::vector<double>>>& axes) {
  ScanGrid g;
  std::size_t n = axes.empty() ? 0 : 1;
  for (const auto& [name, values] : axes) {
    g.names.push_back(name);
    n *= values.size();
  }
  const std::size_t k = axes.size();
  g.points.resize(n * k);
  for (std::size_t i = 0; i < n; ++i) {
    // the last axis runs fastest
    std::size_t rest = i;
    for (std::size_t a = k; a-- > 0;) {
      const auto& values = axes[a].second;
      g.points[i * k + a] = values[rest % values.size()];
      rest /= values.size();
    }
  }
  return g;
}

namespace {

struct ScanJob {
  const Model* model;
  const ScanGrid* grid;
  ScanMode mode;
  std::vector<std::pair<std::string, int>> fitted; // columns after the grid's
  ScanTable* table;
  std::atomic<std::size_t> next{0};
};

void evaluatePoint(ScanJob& job, std::size_t i) {
  const ScanGrid& g = *job.grid;
  ScanTable& t = *job.table;
  const std::size_t nc = t.columns.size(), k = g.names.size();
  double* row = t.values.data() + i * nc;
  for (std::size_t a = 0; a < k; ++a) row[a] = g.points[i * k + a];
  try {
    Model m = *job.model;
    for (std::size_t a = 0; a < k; ++a) m.set(g.names[a], g.points[i * k + a]);
    if (job.mode == ScanMode::calculate) {
      const Calculation c = m.calculate();
      t.rms_MHz[i] = c.rms_MHz;
      return;
    }
    const FitResult f = m.fit();
    t.sd_MHz[i] = f.sd_MHz;
    t.rms_MHz[i] = f.rms_MHz;
    t.converged[i] = f.converged ? 1 : 0;
    t.cycles[i] = f.cycles;
    for (std::size_t c = 0; c < job.fitted.size(); ++c)
      for (const Parameter& p : f.parameters)
        if (p.name == job.fitted[c].first && p.set == job.fitted[c].second) row[k + c] = p.value;
  } catch (const Error& e) {
    t.errors[i] = e.what();
  } catch (...) {
    t.errors[i] = "ERROR: internal failure";
  }
}

void scanTask(void* context, int) {
  ScanJob& job = *static_cast<ScanJob*>(context);
  const std::size_t n = job.grid->size();
  for (std::size_t i = job.next++; i < n; i = job.next++) {
    if (interruptRequested()) {
      job.table->errors[i] = "interrupted";
      continue;
    }
    evaluatePoint(job, i);
  }
}

} // namespace

ScanTable scan(const Model& model, const ScanGrid& grid, ScanMode mode, int threads) {
  if (grid.names.empty() || grid.points.size() % grid.names.size() != 0)
    throw Error("ERROR: a scan needs parameter names and a value of each for every point");
  for (const std::string& name : grid.names) model.get(name); // unknown names throw here
  ScanTable t;
  ScanJob job{&model, &grid, mode, {}, &t};
  t.columns = grid.names;
  if (mode == ScanMode::fit)
    for (const Parameter& p : model.parameters())
      if (p.fitted) {
        job.fitted.emplace_back(p.name, p.set);
        t.columns.push_back(model.sets() > 1 ? p.name + "(" + std::to_string(p.set) + ")" : p.name);
      }
  const std::size_t n = grid.size();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  t.values.assign(n * t.columns.size(), nan);
  t.sd_MHz.assign(n, nan);
  t.rms_MHz.assign(n, nan);
  t.converged.assign(n, 0);
  t.cycles.assign(n, 0);
  t.errors.assign(n, std::string());
  if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  threads = static_cast<int>(
      std::min<std::size_t>(static_cast<std::size_t>(threads), std::max<std::size_t>(n, 1)));
  WorkerPool pool(threads);
  pool.run(threads, scanTask, &job);
  return t;
}

} // namespace ruvo
