#include "zarn/base/lock.hpp"

#include <stdexcept>

namespace zarn {

void Lock::acquire() {
  std::unique_lock guard(mutex_);
  released_.wait(guard, [this] { return !held_; });
  held_ = true;
}

bool Lock::try_acquire() {
  std::lock_guard guard(mutex_);
  if (held_) return false;
  held_ = true;
  return true;
}

bool Lock::acquire_until(Clock::time_point deadline) {
  std::unique_lock guard(mutex_);
  if (!released_.wait_until(guard, deadline, [this] { return !held_; })) return false;
  held_ = true;
  return true;
}

void Lock::release() {
  {
    std::lock_guard guard(mutex_);
    if (!held_) throw std::logic_error("release unlocked lock");
    held_ = false;
  }
  released_.notify_one();
}

bool Lock::locked() const {
  std::lock_guard guard(mutex_);
  return held_;
}

}  // namespace zarn
