#include "zelk-base/pool.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>

namespace zelk {

namespace {

// Shared bookkeeping of one parallel_for: the next index to hand out and
// how many indices are still running or waiting.
struct LoopState {
  explicit LoopState(size_t count, const std::function<void(size_t)>& body)
      : count(count), remaining(count), body(body) {}

  // Claims and runs indices until none are left.
  void drain() {
    for (;;) {
      size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) return;
      body(i);
      if (remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard lock(done_mutex);
        done.notify_all();
      }
    }
  }

  const size_t count;
  std::atomic<size_t> next{0};
  std::atomic<size_t> remaining;
  const std::function<void(size_t)>& body;
  std::mutex done_mutex;
  std::condition_variable done;
};

std::mutex shared_pool_mutex;
WorkerPool* shared_pool = nullptr;

void lock_shared_pool_for_fork() { shared_pool_mutex.lock(); }
void unlock_shared_pool_after_fork() { shared_pool_mutex.unlock(); }
void reset_shared_pool_in_child() {
  // The parent's workers did not survive fork(); the old pool's threads and
  // locks are unusable, so it is abandoned (not destroyed) and rebuilt on
  // first use.
  shared_pool = nullptr;
  shared_pool_mutex.unlock();
}

}  // namespace

WorkerPool::WorkerPool(size_t threads) {
  threads = std::max<size_t>(threads, 1);
  workers_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { worker_loop(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& worker : workers_) worker.join();
}

void WorkerPool::worker_loop() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();
  }
}

bool WorkerPool::run_one_queued() {
  std::function<void()> task;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return false;
    task = std::move(queue_.front());
    queue_.pop_front();
  }
  task();
  return true;
}

void WorkerPool::submit(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void WorkerPool::parallel_for(size_t count, const std::function<void(size_t)>& body) {
  if (count == 0) return;
  if (count == 1) {
    body(0);
    return;
  }
  auto state = std::make_shared<LoopState>(count, body);
  size_t helpers = std::min(count - 1, size());
  {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < helpers; ++i) queue_.emplace_back([state] { state->drain(); });
  }
  if (helpers == 1) wake_.notify_one(); else wake_.notify_all();
  state->drain();
  // Indices still running belong to other threads; while they finish, help
  // with queued work so nested loops on a busy pool keep moving.
  while (state->remaining.load(std::memory_order_acquire) != 0) {
    if (run_one_queued()) continue;
    std::unique_lock lock(state->done_mutex);
    state->done.wait(lock, [&] { return state->remaining.load(std::memory_order_acquire) == 0; });
  }
}

void WorkerPool::fork_join(const std::function<void()>& left,
                           const std::function<void()>& right) {
  parallel_for(2, [&](size_t i) { i == 0 ? left() : right(); });
}

WorkerPool& WorkerPool::shared() {
  static std::once_flag fork_handlers;
  std::call_once(fork_handlers, [] {
    pthread_atfork(lock_shared_pool_for_fork, unlock_shared_pool_after_fork,
                   reset_shared_pool_in_child);
  });
  std::lock_guard lock(shared_pool_mutex);
  // Lives for the process: workers may still be parked at exit.
  if (!shared_pool) shared_pool = new WorkerPool(processor_count());
  return *shared_pool;
}

size_t WorkerPool::processor_count() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<size_t>(n) : 1;
}

size_t WorkerPool::decode_pool_size(uint64_t threads) {
  uint64_t processors = processor_count();
  uint64_t n = threads == 0 ? processors : std::min(threads, processors);
  return static_cast<size_t>(std::clamp<uint64_t>(n, 1, 65535));
}

}  // namespace zelk
