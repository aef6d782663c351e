#include "core/worker_pool.h"

namespace ruvo {

WorkerPool::WorkerPool(int threads) {
  const int helpers = threads > 1 ? threads - 1 : 0;
  helpers_.reserve(static_cast<std::size_t>(helpers));
  for (int i = 1; i <= helpers; ++i) helpers_.emplace_back([this, i] { helperLoop(i); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  start_.notify_all();
  for (std::thread& t : helpers_) t.join();
}

void WorkerPool::run(int n, Task task, void* context) {
  if (n <= 0) return;
  if (n > size()) n = size();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = task;
    context_ = context;
    count_ = n;
    pending_ = n - 1;
    ++round_;
  }
  if (n > 1) start_.notify_all();
  task(context, 0);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return pending_ == 0; });
}

void WorkerPool::helperLoop(int index) {
  long seen = 0;
  for (;;) {
    Task task = nullptr;
    void* context = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] { return quit_ || round_ != seen; });
      if (quit_) return;
      seen = round_;
      if (index >= count_) continue; // not needed this round
      task = task_;
      context = context_;
    }
    task(context, index);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --pending_;
    }
    done_.notify_one();
  }
}

} // namespace ruvo
