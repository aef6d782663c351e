// A small team of threads that run the same task side by side.
//
// The threads are started once and wait between rounds; a round hands every
// thread its index and returns when all are done, so a caller that runs
// rounds block after block allocates nothing per round.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace ruvo {

class WorkerPool {
public:
  // A pool of `threads` threads in all: the caller and threads - 1 helpers.
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return static_cast<int>(helpers_.size()) + 1; }

  // Runs task(context, i) for i = 0 .. n-1 (n <= size()): index 0 on the
  // calling thread, the others on the helpers; returns when every index is
  // done.  The task must not throw (catch inside and hand the exception on).
  using Task = void (*)(void* context, int index);
  void run(int n, Task task, void* context);

private:
  void helperLoop(int index);

  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable start_, done_;
  long round_ = 0;  // number of the round handed out last
  int count_ = 0;   // indices of that round
  int pending_ = 0; // helper indices of that round not done yet
  bool quit_ = false;
  Task task_ = nullptr;
  void* context_ = nullptr;
};

} // namespace ruvo
