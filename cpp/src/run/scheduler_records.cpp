// What a run reports of itself: its steps' and parts' records, the figures
// a report needs.
#include <stdexcept>
#include <string>

#include "scheduler_state.hpp"
#include "zarn/run/scheduler.hpp"

namespace zarn {

std::atomic<std::size_t> stuck_anywhere{0};

const char* to_string(StopReason reason) {
  switch (reason) {
    case StopReason::None:
      return "none";
    case StopReason::Failure:
      return "failure";
    case StopReason::Interrupted:
      return "interrupted";
    case StopReason::Requested:
      return "requested";
    case StopReason::Stalled:
      return "stalled";
  }
  return "unknown";
}

const char* to_string(PartKind kind) {
  switch (kind) {
    case PartKind::Try:
      return "try";
    case PartKind::Attempt:
      return "attempt";
    case PartKind::Way:
      return "way";
    case PartKind::TimeLimit:
      return "time limit";
  }
  return "unknown";
}

// --- what happened -------------------------------------------------------------------------

std::size_t RunScheduler::size() const {
  std::lock_guard lock(mutex_);
  return steps_.size();
}

std::size_t RunScheduler::worker_target() const {
  std::lock_guard lock(mutex_);
  return target_;
}

std::size_t RunScheduler::threads_started() const {
  std::lock_guard lock(mutex_);
  return workers_.size();
}

std::size_t RunScheduler::stuck_workers_anywhere() { return stuck_anywhere.load(); }

bool RunScheduler::finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

StopReason RunScheduler::stop_reason() const {
  std::lock_guard lock(mutex_);
  return stop_reason_;
}

long RunScheduler::fatal_step() const {
  std::lock_guard lock(mutex_);
  return fatal_step_;
}

long RunScheduler::fatal_guard() const {
  std::lock_guard lock(mutex_);
  return fatal_guard_;
}

RunClock::time_point RunScheduler::started_at() const {
  std::lock_guard lock(mutex_);
  return started_at_;
}

StepRecord RunScheduler::record(std::size_t index) const {
  std::lock_guard lock(mutex_);
  if (index >= steps_.size()) throw std::out_of_range("no step " + std::to_string(index));
  const Step& step = steps_[index];
  return {step.status, step.timed_out, step.abandoned, step.cancel_requested,
          step.guard,  step.part_of,   step.started,   step.ended};
}

std::vector<StepRecord> RunScheduler::records() const {
  std::lock_guard lock(mutex_);
  std::vector<StepRecord> out;
  out.reserve(steps_.size());
  for (const Step& step : steps_) {
    out.push_back({step.status, step.timed_out, step.abandoned, step.cancel_requested, step.guard,
                   step.part_of, step.started, step.ended});
  }
  return out;
}

std::pair<long, long> RunScheduler::guard_cause(std::size_t guard) const {
  std::lock_guard lock(mutex_);
  if (guard >= guards_.size()) return {-1, -1};
  return {guards_[guard].first_failure, guards_[guard].failed_part};
}

std::vector<GuardRecord> RunScheduler::guard_records() const {
  std::lock_guard lock(mutex_);
  std::vector<GuardRecord> out;
  out.reserve(guards_.size());
  for (const Guard& guard : guards_) {
    out.push_back({guard.outer, guard.in_part, guard.failed, guard.recovered, guard.first_failure,
                   guard.failed_part, guard.kind, guard.left, guard.timed_out, guard.started});
  }
  return out;
}

std::size_t RunScheduler::guard_count() const {
  std::lock_guard lock(mutex_);
  return guards_.size();
}

}  // namespace zarn
