// A thread-safe flag that threads can wait on: the finish signal of an action.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zarn {

class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Raises the flag and wakes every waiter.
  void set();
  void clear();
  bool is_set() const;

  // Blocks until the flag is raised.
  void wait() const;
  // Blocks until the flag is raised or the timeout has passed; returns the flag.
  bool wait_for(std::chrono::nanoseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable raised_;
  bool flag_ = false;
};

}  // namespace zarn
