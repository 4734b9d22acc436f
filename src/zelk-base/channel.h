// A bounded single-producer, single-consumer queue whose ends notice when
// the other end is gone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

namespace zelk {

template <class T>
class Channel {
 public:
  explicit Channel(size_t capacity) : capacity_(capacity) {}

  // Blocks while full; false when the receiver is gone.
  bool send(T item) {
    std::unique_lock lock(mutex_);
    space_.wait(lock, [&] { return receiver_closed_ || queue_.size() < capacity_; });
    if (receiver_closed_) return false;
    queue_.push_back(std::move(item));
    ready_.notify_one();
    return true;
  }

  // Blocks while empty; nullopt once the sender is gone and the queue is
  // drained.
  std::optional<T> receive() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return sender_closed_ || !queue_.empty(); });
    return take_front();
  }

  // As receive(), waiting at most `wait`; `timed_out` tells an empty wait
  // from a closed channel.
  std::optional<T> receive_for(std::chrono::milliseconds wait, bool& timed_out) {
    std::unique_lock lock(mutex_);
    timed_out = !ready_.wait_for(lock, wait, [&] { return sender_closed_ || !queue_.empty(); });
    return take_front();
  }

  void close_sender() {
    std::lock_guard lock(mutex_);
    sender_closed_ = true;
    ready_.notify_all();
  }

  // Drops what is queued and fails every blocked and later send.
  void close_receiver() {
    std::lock_guard lock(mutex_);
    receiver_closed_ = true;
    queue_.clear();
    space_.notify_all();
  }

 private:
  // The oldest item, if any; the lock is held.
  std::optional<T> take_front() {
    if (queue_.empty()) return std::nullopt;
    T item = std::move(queue_.front());
    queue_.pop_front();
    space_.notify_one();
    return item;
  }

  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable space_;
  std::deque<T> queue_;
  bool sender_closed_ = false;
  bool receiver_closed_ = false;
};

}  // namespace zelk
