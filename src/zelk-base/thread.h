// An operating-system thread with a chosen stack size (std::thread cannot
// set one).
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <memory>

#include "zelk-base/error.h"

namespace zelk {

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
