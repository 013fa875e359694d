#include "zarn/base/virtual_clock.hpp"

#include <algorithm>

#ifdef __linux__
#include <pthread.h>
#endif

namespace zarn {

VirtualClock::HeldHere::HeldHere(VirtualClock& clock) : clock_(clock) {
  std::lock_guard lock(clock_.mutex_);
  clock_.held_threads_.push_back(std::this_thread::get_id());
}

VirtualClock::HeldHere::~HeldHere() {
  std::lock_guard lock(clock_.mutex_);
  auto& held = clock_.held_threads_;
  held.erase(std::find(held.begin(), held.end(), std::this_thread::get_id()));
}

VirtualClock::VirtualClock(Model model, double start) : model_(std::move(model)), now_(start) {
  thread_ = std::thread([this] { run(); });
}

VirtualClock::~VirtualClock() { close(); }

double VirtualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void VirtualClock::hold(std::size_t count) {
  std::lock_guard lock(mutex_);
  holds_ += count;
}

void VirtualClock::release(std::size_t count) {
  std::lock_guard lock(mutex_);
  release_locked(count);
}

void VirtualClock::release_locked(std::size_t count) {
  holds_ -= std::min(count, holds_);
  if (due_locked()) quiet_.notify_one();
}

std::size_t VirtualClock::holds() const {
  std::lock_guard lock(mutex_);
  return holds_;
}

std::size_t VirtualClock::standstills() const {
  std::lock_guard lock(mutex_);
  return standstills_;
}

VirtualClock::Woken VirtualClock::block(const std::function<bool()>& ready,
                                        std::optional<double> until) {
  std::unique_lock lock(mutex_);
  if (closed_) return Woken::Closed;
  if (ready && ready()) return Woken::Ready;
  if (until && *until <= now_) return Woken::Due;
  // A thread without a hold of its own holds the clock while it waits.
  const bool own_hold = std::find(held_threads_.begin(), held_threads_.end(),
                                  std::this_thread::get_id()) == held_threads_.end();
  if (own_hold) ++holds_;
  Waiter waiter;
  waiter.ready = ready ? &ready : nullptr;
  waiter.until = until;
  waiters_.push_back(&waiter);
  release_locked(1);
  // Whoever wakes it takes its hold back for it, so that the time cannot
  // move on between the wake and its return.
  waiter.wake.wait(lock, [&] { return waiter.woken; });
  if (own_hold) release_locked(1);
  return waiter.why;
}

void VirtualClock::wake_locked(Waiter& waiter, Woken why) {
  waiter.woken = true;
  waiter.why = why;
  ++holds_;
  waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &waiter));
  waiter.wake.notify_one();
}

void VirtualClock::changed() {
  std::lock_guard lock(mutex_);
  changed_locked();
}

void VirtualClock::changed_locked() {
  std::vector<Waiter*> ready;
  for (Waiter* waiter : waiters_) {
    if (waiter->ready != nullptr && (*waiter->ready)()) ready.push_back(waiter);
  }
  for (Waiter* waiter : ready) wake_locked(*waiter, Woken::Ready);
}

void VirtualClock::add_source(const std::shared_ptr<Source>& source) {
  std::lock_guard lock(mutex_);
  sources_.push_back(source);
}

void VirtualClock::remove_source(const Source* source) {
  std::lock_guard lock(mutex_);
  std::erase_if(sources_, [source](const std::weak_ptr<Source>& each) {
    std::shared_ptr<Source> held = each.lock();
    return !held || held.get() == source;
  });
}

void VirtualClock::close() {
  {
    std::lock_guard lock(mutex_);
    if (!closed_) {
      closed_ = true;
      while (!waiters_.empty()) wake_locked(*waiters_.front(), Woken::Closed);
    }
    quiet_.notify_all();
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void VirtualClock::run() {
#ifdef __linux__
  pthread_setname_np(pthread_self(), "zarn-clock");
#endif
  std::unique_lock lock(mutex_);
  for (;;) {
    quiet_.wait(lock, [&] { return closed_ || due_locked(); });
    if (closed_) return;
    std::optional<double> next;
    auto consider = [&next](std::optional<double> time) {
      if (time && (!next || *time < *next)) next = time;
    };
    for (const Waiter* waiter : waiters_) consider(waiter->until);
    if (model_.next_event) consider(model_.next_event());
    std::vector<std::shared_ptr<Source>> sources;
    for (const std::weak_ptr<Source>& each : sources_) {
      if (std::shared_ptr<Source> source = each.lock()) sources.push_back(std::move(source));
    }
    lock.unlock();
    std::optional<double> from_sources;
    for (const std::shared_ptr<Source>& source : sources) {
      const std::optional<double> time = source->next_event();
      if (time && (!from_sources || *time < *from_sources)) from_sources = time;
    }
    lock.lock();
    // Someone acted meanwhile (a source that had work to hand over, a thread
    // outside the run): look again once it is quiet.
    if (closed_ || !due_locked()) continue;
    consider(from_sources);
    if (!next) {
      ++standstills_;
      while (!waiters_.empty()) wake_locked(*waiters_.front(), Woken::Stuck);
      continue;
    }
    now_ = std::max(now_, *next);
    const double now = now_;
    if (model_.advance_to) model_.advance_to(now);
    lock.unlock();
    for (const std::shared_ptr<Source>& source : sources) source->advance_to(now);
    lock.lock();
    std::vector<std::pair<Waiter*, Woken>> over;
    for (Waiter* waiter : waiters_) {
      if (waiter->ready != nullptr && (*waiter->ready)()) {
        over.emplace_back(waiter, Woken::Ready);
      } else if (waiter->until && *waiter->until <= now_) {
        over.emplace_back(waiter, Woken::Due);
      }
    }
    for (auto& [waiter, why] : over) wake_locked(*waiter, why);
  }
}

}  // namespace zarn
