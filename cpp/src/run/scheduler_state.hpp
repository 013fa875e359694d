// The run scheduler's own records of its steps, parts and workers, shared by
// its units (scheduler.cpp runs them, scheduler_records.cpp reports them).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <thread>
#include <vector>

#include "zarn/run/scheduler.hpp"

namespace zarn {

// Checks waits and parts of steps that will be numbered from 0 within their
// own group (PlanError); returns the plan's width.
std::size_t check_plan(const std::vector<PlanStep>& steps, const std::vector<PlanGuard>& guards);

// Workers of every run still inside a step given up on.
extern std::atomic<std::size_t> stuck_anywhere;

struct RunScheduler::Step {
  std::vector<std::size_t> successors;
  std::size_t pending = 0;
  long guard = -1;
  long part_of = -1;
  bool asynchronous = false;
  std::chrono::nanoseconds time_limit{0};
  StepStatus status = StepStatus::Waiting;
  bool failed = false;  // its failure has been dealt with
  bool timed_out = false;
  bool abandoned = false;
  bool cancel_requested = false;
  bool released = false;  // its successors have been told
  bool decides = false;
  bool free_in_pause = false;
  bool awaiting_choice = false;  // failed, held for the operator's choice
  bool left = false;             // on a way or attempt not taken: passes when it would start
  bool settled = false;          // in a final state and no longer in flight
  bool in_grace = false;
  std::size_t worker = 0;
  std::optional<RunClock::time_point> started, ended;
  RunClock::time_point deadline{}, grace{};
};

struct RunScheduler::Guard {
  PartKind kind = PartKind::Try;
  long decision = -1;
  bool taken_when = true;
  long next = -1;
  std::chrono::nanoseconds time_limit{0};
  std::size_t unsettled = 0;  // members not yet settled
  bool left = false;          // a way or attempt not taken
  bool timed_out = false;
  bool clock_started = false;
  RunClock::time_point deadline{};
  std::optional<RunClock::time_point> started;
  long outer = -1;
  long in_part = -1;                 // the guarded part whose exception part this one lies in
  std::vector<std::size_t> members;  // its steps, those of the parts inside it included
  bool failed = false;
  bool resolved = false;
  bool recovered = false;
  bool job_pending = false;  // its exception part has been asked for
  bool part_added = false;
  bool part_open = false;
  std::size_t in_flight = 0;            // members still running since it failed
  std::size_t part_pending = 0;         // unsettled steps of its exception part (and parts inside)
  std::vector<std::size_t> part_roots;  // held back until in_flight reaches 0
  long first_failure = -1;              // the step whose failure failed it, or -1
  long failed_part = -1;  // or the guarded part whose exception part could not be made
};

struct RunScheduler::Worker {
  std::thread thread;
  bool stuck = false;  // in a step given up on
};

}  // namespace zarn
