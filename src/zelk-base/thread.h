// An operating-system thread with a chosen stack size (std::thread cannot
// set one).
#pragma once

#include <cxxabi.h>
#include <pthread.h>

#include <cstddef>
#include <functional>
#include <memory>

#include "zelk-base/error.h"

namespace zelk {

// True on a thread that its runtime is tearing down: an interpreter at exit
// ends a foreign thread that tries to call into it by unwinding it.
// Destructors that run then must not call back into that runtime.
bool thread_is_exiting();

// Code that catches everything must let that unwinding through: rethrow
// what this matches.
#define ZELK_RETHROW_THREAD_EXIT catch (abi::__forced_unwind&) { throw; }

class Thread {
 public:
  // Starts `body` on a new thread with a stack of `stack_bytes` (or the
  // system default when that size is refused). Fails with "failed to spawn
  // thread".
  static Result<Thread> spawn(std::function<void()> body, size_t stack_bytes);

  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) = delete;
  Thread(const Thread&) = delete;
  // A thread that was neither joined nor detached is detached.
  ~Thread();

  void join();
  void detach();

 private:
  explicit Thread(pthread_t handle) : handle_(handle), joinable_(true) {}
  pthread_t handle_{};
  bool joinable_ = false;
};

}  // namespace zelk
