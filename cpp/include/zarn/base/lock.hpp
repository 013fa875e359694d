// A plain, non-reentrant lock that any thread may release: the kind of lock
// the client shares with its callers, who may take it themselves to hold a
// channel still.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zarn {

class Lock {
 public:
  using Clock = std::chrono::steady_clock;

  Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void acquire();
  bool try_acquire();
  // False when the deadline passed first.
  bool acquire_until(Clock::time_point deadline);
  // Throws std::logic_error when the lock is not held.
  void release();
  bool locked() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
};

// Releases a lock that is already held when the scope ends.
class HeldLock {
 public:
  explicit HeldLock(Lock& lock) : lock_(&lock) {}
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  ~HeldLock() {
    if (lock_ != nullptr) lock_->release();
  }
  void release() {
    lock_->release();
    lock_ = nullptr;
  }

 private:
  Lock* lock_;
};

}  // namespace zarn
