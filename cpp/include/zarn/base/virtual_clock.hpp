// A clock of simulated seconds that pass only when nothing can act any more
// at the present time, and then jump straight to the next thing due. Running
// a job against a model of the machine on this clock takes the job's machine
// time without sleeping through it, and its result does not depend on how
// fast the computer is.
//
// Whoever may still act at the present simulated time holds the clock: a
// thread running a step, a step queued for a worker, a thread that has work
// to attend to. A holder that has to wait for the machine calls block(),
// which lets its hold go while it waits and takes it back before it returns.
// When no one holds the clock and someone waits, the clock's own thread asks
// the model and the sources what is due next, moves the time there, and
// wakes the waits that are over. When no one holds the clock, someone waits
// and nothing at all is due, nothing can ever end those waits: they end at
// once as stuck.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace zarn {

// The name of the capsule that hands a clock (a std::shared_ptr<VirtualClock>)
// from the module that made it to another that runs on it.
inline constexpr const char* kVirtualClockCapsule = "zarn.VirtualClock";

class VirtualClock {
 public:
  // What the model of the machine does by itself, called on the clock's
  // thread with the clock's lock held: the time of its next event, and the
  // model brought up to a time.
  struct Model {
    std::function<std::optional<double>()> next_event;
    std::function<void(double now)> advance_to;
  };

  // Other owners of times (a run's time limits), called on the clock's
  // thread without the clock's lock, so that they may take their own lock
  // and hold the clock under it.
  class Source {
   public:
    virtual ~Source() = default;
    virtual std::optional<double> next_event() = 0;
    virtual void advance_to(double now) = 0;
  };

  enum class Woken : std::uint8_t {
    Ready,   // what the wait waited for has come
    Due,     // its time has come
    Stuck,   // nothing could ever end it
    Closed,  // the clock was closed
  };

  explicit VirtualClock(Model model = {}, double start = 0.0);
  ~VirtualClock();
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;

  // Simulated seconds.
  double now() const;
  // The same, for a caller inside with_lock() (a model reading the time).
  double now_locked() const { return now_; }

  void hold(std::size_t count = 1);
  void release(std::size_t count = 1);
  std::size_t holds() const;

  // Marks the calling thread, while it lives, as one that holds the clock
  // once (a run's worker running a step). A wait of a thread not so marked
  // (one outside any run) holds the clock for itself, so that it never lets
  // go of someone else's hold.
  // (Kept in the clock, not in a thread-local variable: the clock is shared
  // by extension modules that each have their own copy of this code.)
  class HeldHere {
   public:
    explicit HeldHere(VirtualClock& clock);
    ~HeldHere();
    HeldHere(const HeldHere&) = delete;
    HeldHere& operator=(const HeldHere&) = delete;

   private:
    VirtualClock& clock_;
  };

  // The calling thread (see HeldHere) waits until `ready`
  // (checked with the clock's lock held, after every change) or until the
  // clock reaches `until`. An empty `ready` waits for the time alone.
  Woken block(const std::function<bool()>& ready, std::optional<double> until);

  // What the waits' `ready` read has changed: they look again.
  void changed();
  // The same, for a caller inside with_lock().
  void changed_locked();

  // Runs `action` with the clock's lock held (for state the waits read).
  template <class Action>
  decltype(auto) with_lock(Action&& action) {
    std::lock_guard lock(mutex_);
    return action();
  }

  void add_source(const std::shared_ptr<Source>& source);
  void remove_source(const Source* source);

  // How often the clock found every wait stuck.
  std::size_t standstills() const;

  // Ends every wait (Closed) and the clock's thread; no wait begins after.
  void close();

 private:
  struct Waiter {
    const std::function<bool()>* ready = nullptr;
    std::optional<double> until;
    bool woken = false;
    Woken why = Woken::Ready;
    std::condition_variable wake;
  };

  void run();
  void wake_locked(Waiter& waiter, Woken why);
  void release_locked(std::size_t count);
  bool due_locked() const { return holds_ == 0 && !waiters_.empty(); }

  Model model_;
  mutable std::mutex mutex_;
  std::condition_variable quiet_;  // the clock's thread waits for no holds
  double now_ = 0.0;
  std::size_t holds_ = 0;
  std::vector<Waiter*> waiters_;
  std::vector<std::weak_ptr<Source>> sources_;
  std::vector<std::thread::id> held_threads_;  // see HeldHere
  std::size_t standstills_ = 0;
  bool closed_ = false;
  std::thread thread_;
};

}  // namespace zarn
