// The one worker-pool type: the process-wide shared pool and each
// operation's private DecodePool are both WorkerPools.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zelk {

class WorkerPool {
 public:
  // Starts `threads` workers (at least one).
  explicit WorkerPool(size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  size_t size() const { return workers_.size(); }

  // Runs body(i) for every i in [0, count) and returns when all are done.
  // The calling thread takes part, so a task may itself call parallel_for
  // or fork_join on the same pool without deadlocking it.
  void parallel_for(size_t count, const std::function<void(size_t)>& body);

  // Runs `left` and `right` concurrently and returns when both are done.
  void fork_join(const std::function<void()>& left, const std::function<void()>& right);

  // Queues `task` for a worker and returns at once. The caller keeps what
  // the task refers to alive until it has signalled completion itself.
  void submit(std::function<void()> task);

  // The process's pool, one worker per logical processor, built on first
  // use. A child made by fork() gets a fresh one: the parent's workers do
  // not exist there.
  static WorkerPool& shared();

  // Logical processors the system reports, at least 1.
  static size_t processor_count();

  // Workers for an operation asked to use `threads` (0: one per processor):
  // never more than the processors, at least 1, at most 65535.
  static size_t decode_pool_size(uint64_t threads);

 private:
  void worker_loop();
  // Runs one queued task on the calling thread, so a loop waiting for its
  // indices can help the pool along; false when none is queued.
  bool run_one_queued();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> workers_;
  bool stopping_ = false;
};

}  // namespace zelk
