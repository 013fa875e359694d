#include "zarn/event.hpp"

namespace zarn {

void Event::set() {
  {
    std::lock_guard lock(mutex_);
    flag_ = true;
  }
  raised_.notify_all();
}

void Event::clear() {
  std::lock_guard lock(mutex_);
  flag_ = false;
}

bool Event::is_set() const {
  std::lock_guard lock(mutex_);
  return flag_;
}

void Event::wait() const {
  std::unique_lock lock(mutex_);
  raised_.wait(lock, [this] { return flag_; });
}

bool Event::wait_for(std::chrono::nanoseconds timeout) const {
  std::unique_lock lock(mutex_);
  // A steady deadline, so a clock change cannot stretch or cut the wait.
  return raised_.wait_until(lock, std::chrono::steady_clock::now() + timeout,
                            [this] { return flag_; });
}

}  // namespace zarn
