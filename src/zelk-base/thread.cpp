#include "zelk-base/thread.h"

#include <utility>

namespace zelk {

namespace {

thread_local bool exiting = false;

void* run_body(void* raw) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(raw));
  try {
    (*body)();
  } catch (abi::__forced_unwind&) {
    exiting = true;  // `body` and what it owns are destroyed after this
    throw;
  }
  return nullptr;
}

}  // namespace

bool thread_is_exiting() { return exiting; }

Result<Thread> Thread::spawn(std::function<void()> body, size_t stack_bytes) {
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, stack_bytes);  // keeps the default if refused
  pthread_t handle;
  int status = pthread_create(&handle, &attributes, run_body, owned.get());
  pthread_attr_destroy(&attributes);
  if (status != 0) return fail(ArchiveError::io("failed to spawn thread"));
  owned.release();  // the thread owns it now
  return Thread(handle);
}

Thread::Thread(Thread&& other) noexcept
    : handle_(other.handle_), joinable_(std::exchange(other.joinable_, false)) {}

Thread::~Thread() { detach(); }

void Thread::join() {
  if (joinable_) pthread_join(handle_, nullptr);
  joinable_ = false;
}

void Thread::detach() {
  if (joinable_) pthread_detach(handle_);
  joinable_ = false;
}

}  // namespace zelk
