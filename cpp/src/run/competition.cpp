#include "zarn/run/competition.hpp"

#include <string>
#include <utility>

namespace zarn {

Competition::Competition(std::vector<int> priorities) {
  branches_.resize(priorities.size());
  for (std::size_t i = 0; i < priorities.size(); ++i) branches_[i].priority = priorities[i];
}

std::size_t Competition::size() const {
  std::lock_guard lock(mutex_);
  return branches_.size();
}

void Competition::check_branch(std::size_t branch) const {
  if (branch >= branches_.size()) {
    throw CompetitionError("the competition has " + std::to_string(branches_.size()) +
                           " branches, so there is no branch " + std::to_string(branch));
  }
}

void Competition::set_ready_events(std::size_t branch, std::vector<std::shared_ptr<Event>> events) {
  std::lock_guard lock(mutex_);
  check_branch(branch);
  branches_[branch].ready_when = std::move(events);
  branches_[branch].events_known = true;
}

bool Competition::ready_locked(const Branch& branch) const {
  if (branch.finished) return false;
  if (branch.requested) return true;
  if (!branch.events_known) return false;
  for (const auto& event : branch.ready_when) {
    if (!event->is_set()) return false;
  }
  return true;
}

std::function<void()> Competition::hand_over_locked() {
  if (holder_) return {};
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < branches_.size(); ++i) {
    if (!ready_locked(branches_[i])) continue;
    if (!best || branches_[i].priority > branches_[*best].priority) best = i;
  }
  if (!best) return {};
  holder_ = best;
  // A branch chosen because its events are set gets its callback when it asks.
  return std::exchange(branches_[*best].on_granted, {});
}

void Competition::request(std::size_t branch, std::function<void()> on_granted) {
  std::function<void()> granted;
  {
    std::lock_guard lock(mutex_);
    check_branch(branch);
    Branch& entry = branches_[branch];
    if (entry.requested || entry.finished) {
      throw CompetitionError("branch " + std::to_string(branch) +
                             " has asked for its turn already; each branch runs once");
    }
    entry.requested = true;
    if (holder_ == branch) {
      granted = std::move(on_granted);
    } else {
      entry.on_granted = std::move(on_granted);
      granted = hand_over_locked();
    }
  }
  if (granted) granted();
}

void Competition::release(std::size_t branch) {
  std::function<void()> granted;
  {
    std::lock_guard lock(mutex_);
    check_branch(branch);
    if (holder_ != branch || !branches_[branch].requested) {
      throw CompetitionError("branch " + std::to_string(branch) +
                             " cannot release the module: it does not hold it");
    }
    branches_[branch].finished = true;
    holder_.reset();
    granted = hand_over_locked();
  }
  if (granted) granted();
}

std::optional<std::size_t> Competition::holder() const {
  std::lock_guard lock(mutex_);
  return holder_;
}

bool Competition::finished(std::size_t branch) const {
  std::lock_guard lock(mutex_);
  check_branch(branch);
  return branches_[branch].finished;
}

}  // namespace zarn
