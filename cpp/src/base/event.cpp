#include "zarn/base/event.hpp"

#include <utility>

namespace zarn {

void Event::set() {
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard lock(mutex_);
    flag_ = true;
    callbacks.swap(on_set_);
  }
  raised_.notify_all();
  for (auto& callback : callbacks) callback();
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

void Event::add_on_set(std::function<void()> callback) {
  {
    std::lock_guard lock(mutex_);
    if (!flag_) {
      on_set_.push_back(std::move(callback));
      return;
    }
  }
  callback();
}

}  // namespace zarn
