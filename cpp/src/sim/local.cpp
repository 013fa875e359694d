#include "zarn/sim/local.hpp"

#include <algorithm>
#include <functional>
#include <vector>

namespace zarn::sim {

namespace {

// Results kept for a command nobody awaits (a stop's, a condition's).
constexpr std::size_t kPublishedLimit = 65536;

double startup_of(const MachineConfig& machine) {
  return std::max(
      {0.0, machine.settings.festo_startup_delay, machine.settings.akribis_startup_delay});
}

}  // namespace

LocalController::LocalController(const MachineConfig& machine) : controller_(machine, 0.0) {
  const double start = startup_of(machine);
  controller_.advance(start);
  VirtualClock::Model model;
  // Called by the clock with its lock held, which guards everything here.
  model.next_event = [this] { return controller_.next_event(); };
  model.advance_to = [this](double now) {
    controller_.advance(now);
    collect_locked();
  };
  clock_ = std::make_shared<VirtualClock>(std::move(model), start);
}

LocalController::~LocalController() {
  // The clock may outlive the controller in a run that holds it: it must
  // not call the model any more.
  clock_->close();
}

void LocalController::collect_locked() {
  std::vector<Published> out;
  controller_.take_published(out);
  for (Published& each : out) {
    auto [entry, added] = published_.insert_or_assign(each.topic, std::move(each.record));
    if (added) published_order_.push_back(entry->first);
  }
  while (published_order_.size() > kPublishedLimit) {
    published_.erase(published_order_.front());
    published_order_.pop_front();
  }
}

std::string LocalController::exchange_action(std::string_view request) {
  return clock_->with_lock([&] {
    std::string reply = controller_.handle_action(request, clock_->now_locked());
    collect_locked();
    clock_->changed_locked();
    return reply;
  });
}

std::string LocalController::exchange_logger(std::string_view request) {
  return clock_->with_lock([&] {
    std::string reply = controller_.handle_logger(request, clock_->now_locked());
    collect_locked();
    clock_->changed_locked();
    return reply;
  });
}

LocalController::Awaited LocalController::await_result(const std::string& cmd_id) {
  const std::uint64_t cancels = clock_->with_lock([&] { return cancels_; });
  const std::function<bool()> ready = [&] {
    return cancels_ != cancels || published_.contains(cmd_id);
  };
  const VirtualClock::Woken woken = clock_->block(ready, std::nullopt);
  return clock_->with_lock([&] {
    Awaited awaited;
    if (auto found = published_.find(cmd_id); found != published_.end()) {
      awaited.ending = Ending::Published;
      awaited.record = std::move(found->second);
      published_.erase(found);
      return awaited;
    }
    awaited.ending = woken == VirtualClock::Woken::Stuck    ? Ending::Stuck
                     : woken == VirtualClock::Woken::Closed ? Ending::Closed
                                                            : Ending::Cancelled;
    return awaited;
  });
}

VirtualClock::Woken LocalController::await_input(int morvo_id, int pin, int value,
                                                 std::optional<double> seconds,
                                                 const bool* cancelled) {
  if (!input(morvo_id, pin)) return VirtualClock::Woken::Stuck;
  std::optional<double> until;
  if (seconds) until = clock_->now() + *seconds;
  const std::function<bool()> ready = [&] {
    return (cancelled != nullptr && *cancelled) || controller_.input(morvo_id, pin) == value;
  };
  return clock_->block(ready, until);
}

VirtualClock::Woken LocalController::sleep(double seconds, const bool* cancelled) {
  const double until = clock_->now() + std::max(0.0, seconds);
  const std::function<bool()> ready = [cancelled] { return cancelled != nullptr && *cancelled; };
  return clock_->block(ready, until);
}

void LocalController::set_flag(bool& flag) {
  clock_->with_lock([&] {
    flag = true;
    clock_->changed_locked();
  });
}

std::optional<int> LocalController::input(int morvo_id, int pin) {
  return clock_->with_lock([&] { return controller_.input(morvo_id, pin); });
}

std::string LocalController::force_input(int morvo_id, int pin, int value) {
  return clock_->with_lock([&] {
    std::string problem = controller_.force_input(morvo_id, pin, value, clock_->now_locked());
    collect_locked();
    clock_->changed_locked();
    return problem;
  });
}

void LocalController::cancel_all() {
  clock_->with_lock([&] {
    ++cancels_;
    clock_->changed_locked();
  });
}

}  // namespace zarn::sim
