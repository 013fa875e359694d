// A thread-safe flag that threads can wait on: the finish signal of an action.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace zarn {

// Events are shared: whoever waits on one, or will set it, holds a
// std::shared_ptr to it, so an event outlives every wait on it even when the
// object that named it (an action, a Python handle) is dropped meanwhile.
class Event : public std::enable_shared_from_this<Event> {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Raises the flag, wakes every waiter, then runs the callbacks registered
  // with add_on_set (in the order they were added, on this thread, outside the
  // event's lock, so a callback may use this event again).
  void set();
  void clear();
  bool is_set() const;

  // Blocks until the flag is raised.
  void wait() const;
  // Blocks until the flag is raised or the timeout has passed; returns the flag.
  bool wait_for(std::chrono::nanoseconds timeout) const;

  // Runs `callback` once when the flag is next raised, or at once (on the
  // calling thread) when it is raised already. A callback runs only once: a
  // later clear() and set() do not run it again. This is how an executor hands
  // an action to a worker only when everything it waits for has finished,
  // without a thread blocked per waiting action.
  void add_on_set(std::function<void()> callback);

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable raised_;
  bool flag_ = false;
  std::vector<std::function<void()>> on_set_;
};

}  // namespace zarn
