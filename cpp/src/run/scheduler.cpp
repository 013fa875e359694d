#include "zarn/run/scheduler.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>

#include "scheduler_state.hpp"

#ifdef __linux__
#include <pthread.h>
#endif

namespace zarn {

namespace {

constexpr auto kLongWait = std::chrono::hours(1);

RunClock::time_point from_seconds(double seconds) {
  return RunClock::time_point{} +
         std::chrono::duration_cast<RunClock::duration>(std::chrono::duration<double>(seconds));
}

double to_seconds(RunClock::time_point when) {
  return std::chrono::duration<double>(when.time_since_epoch()).count();
}

}  // namespace

// The run's time limits and graces as times of the simulated clock, which
// brings the run up to each one as it comes.
class RunScheduler::ClockSource final : public VirtualClock::Source {
 public:
  explicit ClockSource(std::weak_ptr<RunScheduler> run) : run_(std::move(run)) {}

  std::optional<double> next_event() override {
    std::shared_ptr<RunScheduler> run = run_.lock();
    if (!run) return std::nullopt;
    std::lock_guard lock(run->mutex_);
    const std::optional<RunClock::time_point> next = run->next_deadline_locked();
    if (!next) return std::nullopt;
    return to_seconds(*next);
  }

  void advance_to(double now) override {
    if (std::shared_ptr<RunScheduler> run = run_.lock()) {
      std::lock_guard lock(run->mutex_);
      run->expire_locked(from_seconds(now));
    }
  }

 private:
  std::weak_ptr<RunScheduler> run_;
};

RunScheduler::RunScheduler(std::shared_ptr<StepRunner> runner, Options options)
    : runner_(std::move(runner)), options_(options) {}

std::shared_ptr<RunScheduler> RunScheduler::create(std::vector<PlanStep> steps,
                                                   std::vector<PlanGuard> guards,
                                                   std::shared_ptr<StepRunner> runner,
                                                   Options options) {
  if (!runner) throw std::invalid_argument("a run needs a step runner");
  const std::size_t width = check_plan(steps, guards);
  std::shared_ptr<RunScheduler> run(new RunScheduler(std::move(runner), options));
  const std::size_t cap = std::max<std::size_t>(1, options.max_workers);
  run->target_ = options.workers > 0 ? options.workers : std::clamp<std::size_t>(width, 1, cap);
  std::lock_guard lock(run->mutex_);
  run->append_locked(steps, guards, -1, -1);
  return run;
}

RunScheduler::~RunScheduler() {
  if (options_.clock) {
    if (clock_source_) options_.clock->remove_source(clock_source_.get());
    // A run made and never run, or left early, leaves the time free.
    options_.clock->release(ready_count_ + busy_ + (control_hold_ ? 1 : 0));
  }
  for (auto& worker : workers_) {
    if (!worker->thread.joinable()) continue;
    // The last share may be dropped by a worker on its way out.
    if (worker->thread.get_id() == std::this_thread::get_id()) {
      worker->thread.detach();
    } else {
      worker->thread.join();
    }
  }
}

void RunScheduler::append_locked(std::vector<PlanStep>& steps, std::vector<PlanGuard>& guards,
                                 long context_guard, long part_of) {
  const long guard_base = static_cast<long>(guards_.size());
  const std::size_t base = steps_.size();
  for (PlanGuard& given : guards) {
    Guard& guard = guards_.emplace_back();
    guard.outer = given.outer < 0 ? context_guard : guard_base + given.outer;
    guard.in_part = part_of;
    guard.kind = given.kind;
    guard.decision = given.decision < 0 ? -1 : static_cast<long>(base) + given.decision;
    guard.taken_when = given.taken_when;
    guard.next = given.next < 0 ? -1 : guard_base + given.next;
    guard.time_limit = given.time_limit;
  }
  ways_of_.resize(base + steps.size());
  for (std::size_t g = static_cast<std::size_t>(guard_base); g < guards_.size(); ++g) {
    if (guards_[g].kind == PartKind::Way) {
      ways_of_[static_cast<std::size_t>(guards_[g].decision)].push_back(g);
    }
  }
  for (std::size_t i = 0; i < steps.size(); ++i) {
    PlanStep& given = steps[i];
    Step& step = steps_.emplace_back();
    step.guard = given.guard < 0 ? context_guard : guard_base + given.guard;
    step.part_of = part_of;
    step.asynchronous = given.asynchronous;
    step.time_limit = given.time_limit;
    step.decides = given.decides;
    step.free_in_pause = given.free_in_pause;
  }
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const std::size_t index = base + i;
    Step& step = steps_[index];
    const std::vector<std::size_t>& waits = steps[i].waits;
    for (std::size_t k = 0; k < waits.size(); ++k) {
      // A step waited for twice counts once (the lists are short).
      if (std::find(waits.begin(), waits.begin() + static_cast<std::ptrdiff_t>(k), waits[k]) !=
          waits.begin() + static_cast<std::ptrdiff_t>(k)) {
        continue;
      }
      steps_[base + waits[k]].successors.push_back(index);
      ++step.pending;
    }
    for (long g = step.guard; g >= 0; g = guards_[static_cast<std::size_t>(g)].outer) {
      guards_[static_cast<std::size_t>(g)].members.push_back(index);
      ++guards_[static_cast<std::size_t>(g)].unsettled;
    }
    if (step.pending > 0) continue;
    if (part_of >= 0) {
      // Held back until the guarded part's running steps have returned.
      step.pending = 1;
      guards_[static_cast<std::size_t>(part_of)].part_roots.push_back(index);
    } else {
      ready_locked(index, nullptr);
    }
  }
}

void RunScheduler::start() {
  std::lock_guard lock(mutex_);
  if (started_) throw std::logic_error("a run starts once");
  started_ = true;
  started_at_ = now();
  if (options_.clock) {
    clock_source_ = std::make_shared<ClockSource>(weak_from_this());
    options_.clock->add_source(clock_source_);
  }
  for (std::size_t i = 0; i < target_; ++i) spawn_locked();
  check_progress_locked();
}

void RunScheduler::spawn_locked() {
  const std::size_t id = workers_.size();
  workers_.push_back(std::make_unique<Worker>());
  ++live_;
  workers_.back()->thread = std::thread([self = shared_from_this(), id] { self->work(id); });
}

// --- workers -----------------------------------------------------------------------

void RunScheduler::work(std::size_t worker) {
#ifdef __linux__
  // Named, so that a look at the process's threads tells what they are.
  pthread_setname_np(pthread_self(), "zarn-worker");
#endif
  runner_->worker_started();
  bool entered = false;
  std::optional<std::size_t> next;
  // When the step just finished ended: the start of the one this worker
  // runs right after it, which saves a reading of the clock per step.
  std::optional<RunClock::time_point> handed_over;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!next) next = pop_locked();
    if (!next) {
      if (entered) {
        lock.unlock();
        runner_->leave();
        entered = false;
        lock.lock();
        continue;  // work may have come meanwhile
      }
      if (shutdown_ || live_ > target_) break;
      ++idle_;
      work_cv_.wait(lock);
      --idle_;
      continue;
    }
    const std::size_t index = *next;
    next.reset();
    const std::optional<RunClock::time_point> at = std::exchange(handed_over, std::nullopt);
    const bool entered_now = !entered;
    if (entered_now) {
      lock.unlock();
      runner_->enter();
      entered = true;
      lock.lock();
    }
    Step& step = steps_[index];
    if (step.status != StepStatus::Claimed) {  // skipped while it was being taken
      --busy_;
      release_clock_locked();
      check_progress_locked();
      continue;
    }
    begin_locked(index, worker, entered_now ? std::nullopt : at);
    const RunClock::time_point started = *step.started;
    lock.unlock();
    if (step.asynchronous) {
      bool begun = true;
      try {
        runner_->start(index);
      } catch (const std::exception&) {
        begun = false;
      }
      if (!begun) complete(index, false);
      lock.lock();
      // Waiting for its turn, it does nothing at the present time.
      --busy_;
      release_clock_locked();
      check_progress_locked();
      continue;
    }
    StepRunner::Result result;
    try {
      // The step's hold on the clock is this thread's while it runs: its
      // waits for the machine let that hold go.
      std::optional<zarn::VirtualClock::HeldHere> held;
      if (options_.clock) held.emplace(*options_.clock);
      result = runner_->run(index, started);
    } catch (const std::exception&) {
      result = {false, now()};
    }
    lock.lock();
    if (step.abandoned) {
      // Back from a step given up on: the run has moved on without it.
      workers_[worker]->stuck = false;
      --stuck_anywhere;
      ++live_;
      release_clock_locked();
      continue;
    }
    if (options_.clock) result.ended = now();
    finish_locked(index, result, &next);
    // Not before any step it waited for ended, whichever thread ran those.
    if (next) handed_over = latest_end_;
    --busy_;
    release_clock_locked();
    check_progress_locked();
  }
  --live_;
  lock.unlock();
  if (entered) runner_->leave();
  runner_->worker_stopping();
}

std::optional<std::size_t> RunScheduler::pop_locked() {
  // Paused, only what commands nothing starts, and the steps let through
  // one by one; a stopping run skips whatever is queued.
  const bool held_back = paused_ && !stopping_;
  for (auto it = ready_.begin(); it != ready_.end();) {
    const std::size_t index = *it;
    Step& step = steps_[index];
    if (step.status != StepStatus::Ready) {
      it = ready_.erase(it);
      continue;
    }
    if (held_back && !step.free_in_pause) {
      if (step_allowance_ == 0) {
        ++it;
        continue;
      }
      --step_allowance_;
    }
    ready_.erase(it);
    step.status = StepStatus::Claimed;
    --ready_count_;
    ++busy_;
    return index;
  }
  return std::nullopt;
}

void RunScheduler::begin_locked(std::size_t index, std::size_t worker,
                                std::optional<RunClock::time_point> at) {
  Step& step = steps_[index];
  step.status = StepStatus::Running;
  step.worker = worker;
  step.started = at ? *at : now();
  member_began_locked(index);
  if (step.asynchronous) return;
  ++running_;
  if (step.time_limit > std::chrono::nanoseconds::zero()) {
    step.deadline = *step.started + step.time_limit;
    deadlines_.emplace_back(step.deadline, index);
    std::push_heap(deadlines_.begin(), deadlines_.end(), std::greater<>());
    // Wake the controlling thread only when it would sleep past the deadline.
    if (step.deadline < control_wake_) control_cv_.notify_all();
  }
}

void RunScheduler::ready_locked(std::size_t index, std::optional<std::size_t>* keep) {
  if (stopping_) return;
  Step& step = steps_[index];
  if (step.left) {
    pass_left_locked(index);
    return;
  }
  // Paused, it waits in the queue (pop_locked lets it through).
  const bool held_back = paused_ && !stopping_ && !step.free_in_pause;
  if (keep != nullptr && !*keep && !held_back) {
    // The worker that made it ready runs it next: no hand-over.
    step.status = StepStatus::Claimed;
    ++busy_;
    hold_clock_locked();
    *keep = index;
    return;
  }
  step.status = StepStatus::Ready;
  ++ready_count_;
  hold_clock_locked();
  ready_.push_back(index);
  if (idle_ > 0) work_cv_.notify_one();
}

void RunScheduler::tell_successors_locked(std::size_t index, std::optional<std::size_t>* keep) {
  Step& step = steps_[index];
  if (step.released) return;
  step.released = true;
  for (std::size_t successor : step.successors) {
    Step& next = steps_[successor];
    if (next.pending > 0) --next.pending;
    if (next.pending == 0 && next.status == StepStatus::Waiting) ready_locked(successor, keep);
  }
}

void RunScheduler::finish_locked(std::size_t index, const StepRunner::Result& result,
                                 std::optional<std::size_t>* keep) {
  Step& step = steps_[index];
  step.ended = result.ended;
  latest_end_ = std::max(latest_end_, result.ended);
  forget_deadlines_locked(index);
  --running_;
  if (!result.begun) {
    step.started.reset();
    step.ended.reset();
    step.status = StepStatus::Skipped;
    settle_locked(index, true);
    return;
  }
  if (result.succeeded && !step.timed_out) {
    step.status = StepStatus::Finished;
    settle_locked(index, true);
    // The ways it leaves are left before anything that waits for it is told.
    if (step.decides && result.decision >= 0) decide_locked(index, result.decision);
    tell_successors_locked(index, keep);
    return;
  }
  fail_locked(index);  // while it still counts as running in its guarded parts
  step.status = StepStatus::Failed;
  if (asks_locked(index)) {
    hold_for_choice_locked(index);
    return;
  }
  settle_locked(index, true);
  if (options_.keep_going && !stopping_) tell_successors_locked(index, keep);
}

void RunScheduler::complete(std::size_t index, bool succeeded) {
  std::lock_guard lock(mutex_);
  if (index >= steps_.size()) return;
  Step& step = steps_[index];
  if (step.status != StepStatus::Running || !step.asynchronous) return;  // skipped since
  step.ended = now();
  latest_end_ = std::max(latest_end_, *step.ended);
  if (succeeded) {
    step.status = StepStatus::Finished;
    settle_locked(index, false);
    tell_successors_locked(index, nullptr);
  } else {
    step.status = StepStatus::Failed;
    fail_locked(index);
    settle_locked(index, false);
  }
  check_progress_locked();
}

// --- settling, skipping, failing ---------------------------------------------------

void RunScheduler::settle_locked(std::size_t index, bool was_running) {
  Step& step = steps_[index];
  if (step.settled) return;
  step.settled = true;
  ++settled_;
  member_settled_locked(index);
  if (was_running) {
    // Every failed part around it counted it as in flight when it failed.
    for (long g = step.guard; g >= 0; g = guards_[static_cast<std::size_t>(g)].outer) {
      Guard& guard = guards_[static_cast<std::size_t>(g)];
      if (guard.failed && !guard.resolved && guard.in_flight > 0 && --guard.in_flight == 0) {
        if (guard.kind == PartKind::Attempt) {
          resolve_attempt_locked(static_cast<std::size_t>(g));
        } else if (guard.kind == PartKind::Try) {
          open_part_locked(static_cast<std::size_t>(g));
          try_resolve_locked(static_cast<std::size_t>(g));
        }
      }
    }
  }
  for (long p = step.part_of; p >= 0; p = guards_[static_cast<std::size_t>(p)].in_part) {
    Guard& part = guards_[static_cast<std::size_t>(p)];
    if (part.part_pending > 0) --part.part_pending;
    try_resolve_locked(static_cast<std::size_t>(p));
  }
}

void RunScheduler::skip_locked(std::size_t index) {
  Step& step = steps_[index];
  if (step.status == StepStatus::Ready) {
    --ready_count_;
    release_clock_locked();
  }
  step.status = StepStatus::Skipped;
  settle_locked(index, false);
}

void RunScheduler::fail_locked(std::size_t index) {
  Step& step = steps_[index];
  if (step.failed) return;
  // Asked about once it has returned (a step past its time limit fails
  // here while it still runs).
  if (asks_locked(index)) return;
  step.failed = true;
  if (options_.keep_going) return;  // the failure ends only this step
  escalate_locked(step.guard, static_cast<long>(index), -1);
}

bool RunScheduler::asks_locked(std::size_t index) const {
  const Step& step = steps_[index];
  return options_.ask_on_failure && !options_.keep_going && !stopping_ && !step.asynchronous &&
         step.part_of < 0 && handler_of_locked(step.guard) < 0 &&
         !encloser_failed_locked(step.guard);
}

void RunScheduler::hold_for_choice_locked(std::size_t index) {
  // Neither settled nor released: what waits for it waits for the choice.
  steps_[index].awaiting_choice = true;
  ++choices_pending_;
  pause_locked();
  attention_.to_choose.push_back(index);
  signal_control_locked();
  control_cv_.notify_all();
}

bool RunScheduler::choose(std::size_t index, FailureChoice choice) {
  std::lock_guard lock(mutex_);
  if (index >= steps_.size() || !steps_[index].awaiting_choice) return false;
  Step& step = steps_[index];
  step.awaiting_choice = false;
  --choices_pending_;
  switch (choice) {
    case FailureChoice::Stop:
      step.failed = true;
      settle_locked(index, true);
      begin_stop_locked(StopReason::Failure, static_cast<long>(index), -1);
      break;
    case FailureChoice::Skip:
      step.failed = true;
      settle_locked(index, true);
      tell_successors_locked(index, nullptr);
      if (choices_pending_ == 0) resume_locked();
      break;
    case FailureChoice::Retry:
      step.failed = false;
      step.timed_out = false;
      step.in_grace = false;
      step.started.reset();
      step.ended.reset();
      step.status = StepStatus::Waiting;
      ready_locked(index, nullptr);
      if (choices_pending_ == 0) resume_locked();
      break;
  }
  check_progress_locked();
  signal_control_locked();
  return true;
}

bool RunScheduler::pause() {
  std::lock_guard lock(mutex_);
  if (paused_ || finished_ || stopping_) return false;
  pause_locked();
  return true;
}

bool RunScheduler::resume() {
  std::lock_guard lock(mutex_);
  if (!paused_ || choices_pending_ > 0) return false;
  resume_locked();
  return true;
}

void RunScheduler::step_once() {
  std::lock_guard lock(mutex_);
  if (finished_ || stopping_ || choices_pending_ > 0) return;
  if (!paused_) pause_locked();
  step_allowance_ = 1;
  work_cv_.notify_all();
}

bool RunScheduler::paused() const {
  std::lock_guard lock(mutex_);
  return paused_;
}

std::vector<Pause> RunScheduler::pauses() const {
  std::lock_guard lock(mutex_);
  return pauses_;
}

void RunScheduler::pause_locked() {
  if (paused_) return;
  paused_ = true;
  step_allowance_ = 0;
  pauses_.push_back({now(), std::nullopt});
}

void RunScheduler::resume_locked() {
  if (!paused_) return;
  paused_ = false;
  step_allowance_ = 0;
  const RunClock::time_point at = now();
  Pause& pause = pauses_.back();
  pause.ended = at;
  // The parts' time limits did not count while the run stood still.
  const RunClock::duration stood = at - pause.begun;
  std::set<Deadline> shifted;
  for (const Deadline& each : part_deadlines_) {
    Guard& part = guards_[each.second];
    part.deadline += stood;
    shifted.emplace(part.deadline, each.second);
  }
  part_deadlines_.swap(shifted);
  work_cv_.notify_all();
  control_cv_.notify_all();
}

void RunScheduler::escalate_locked(long guard, long cause_step, long cause_guard) {
  if (stopping_) return;
  // Inside a part that has failed already, a failure is part of that one.
  if (encloser_failed_locked(guard)) return;
  const long handler = handler_of_locked(guard);
  if (handler < 0) {
    begin_stop_locked(StopReason::Failure, cause_step, cause_guard);
    return;
  }
  fail_guard_locked(static_cast<std::size_t>(handler), cause_step, cause_guard);
}

long RunScheduler::handler_of_locked(long guard) const {
  for (long g = guard; g >= 0; g = guards_[static_cast<std::size_t>(g)].outer) {
    const PartKind kind = guards_[static_cast<std::size_t>(g)].kind;
    if (kind == PartKind::Try || kind == PartKind::Attempt) return g;
  }
  return -1;
}

bool RunScheduler::encloser_failed_locked(long guard) const {
  for (long g = guard; g >= 0; g = guards_[static_cast<std::size_t>(g)].outer) {
    if (guards_[static_cast<std::size_t>(g)].failed) return true;
  }
  return false;
}

void RunScheduler::halt_members_locked(Guard& guard, bool cancel_running) {
  for (std::size_t member : guard.members) {
    Step& step = steps_[member];
    switch (step.status) {
      case StepStatus::Waiting:
      case StepStatus::Ready:
      case StepStatus::Claimed:
        skip_locked(member);
        break;
      case StepStatus::Running:
        // A competing branch's turn not yet granted holds no worker: drop it.
        if (step.asynchronous) {
          skip_locked(member);
        } else {
          ++guard.in_flight;
          if (cancel_running) attention_.cancel.push_back(member);
        }
        break;
      default:
        break;
    }
  }
}

void RunScheduler::fail_guard_locked(std::size_t g, long cause_step, long cause_guard) {
  Guard& guard = guards_[g];
  guard.failed = true;
  guard.first_failure = cause_step;
  guard.failed_part = cause_guard;
  if (guard.kind == PartKind::Attempt) {
    // The attempt is over at once: what runs is cancelled (its axes are
    // stopped; the run goes on), what has not started never will.
    halt_members_locked(guard, true);
    if (!attention_.cancel.empty()) signal_control_locked();
    if (guard.in_flight == 0) resolve_attempt_locked(g);
    return;
  }
  guard.job_pending = true;
  ++jobs_;
  // The part this one lies in is not over before this one's exception part is.
  for (long p = guard.in_part; p >= 0; p = guards_[static_cast<std::size_t>(p)].in_part) {
    ++guards_[static_cast<std::size_t>(p)].part_pending;
  }
  halt_members_locked(guard, false);
  attention_.failed_guards.push_back(g);
  signal_control_locked();
}

long RunScheduler::add_exception_part(std::size_t g, std::vector<PlanStep> steps,
                                      std::vector<PlanGuard> guards) {
  const std::size_t width = check_plan(steps, guards);
  std::lock_guard lock(mutex_);
  if (g >= guards_.size()) {
    throw PlanError("there is no guarded part " + std::to_string(g));
  }
  Guard& guard = guards_[g];
  if (!guard.job_pending) return -1;  // the run is stopping, or it was given already
  guard.job_pending = false;
  --jobs_;
  const bool runs = !stopping_ && !encloser_failed_locked(guard.outer);
  long base = -1;
  if (runs) {
    base = static_cast<long>(steps_.size());
    for (long p = static_cast<long>(g); p >= 0; p = guards_[static_cast<std::size_t>(p)].in_part) {
      guards_[static_cast<std::size_t>(p)].part_pending += steps.size();
    }
    append_locked(steps, guards, guard.outer, static_cast<long>(g));
    if (options_.workers == 0) {
      const std::size_t cap = std::max<std::size_t>(1, options_.max_workers);
      target_ = std::min(cap, std::max(target_, width));
    }
    while (started_ && !shutdown_ && live_ < target_) spawn_locked();
  }
  for (long p = guard.in_part; p >= 0; p = guards_[static_cast<std::size_t>(p)].in_part) {
    Guard& part = guards_[static_cast<std::size_t>(p)];
    if (part.part_pending > 0) --part.part_pending;
  }
  guard.part_added = true;
  open_part_locked(g);
  try_resolve_locked(g);
  for (long p = guard.in_part; p >= 0; p = guards_[static_cast<std::size_t>(p)].in_part) {
    try_resolve_locked(static_cast<std::size_t>(p));
  }
  check_progress_locked();
  return base;
}

void RunScheduler::exception_part_failed(std::size_t g) {
  std::lock_guard lock(mutex_);
  if (g >= guards_.size()) return;
  Guard& guard = guards_[g];
  if (!guard.job_pending) return;
  guard.job_pending = false;
  --jobs_;
  guard.part_added = true;
  for (long p = guard.in_part; p >= 0; p = guards_[static_cast<std::size_t>(p)].in_part) {
    Guard& part = guards_[static_cast<std::size_t>(p)];
    if (part.part_pending > 0) --part.part_pending;
  }
  escalate_locked(guard.outer, -1, static_cast<long>(g));
  try_resolve_locked(g);
  for (long p = guard.in_part; p >= 0; p = guards_[static_cast<std::size_t>(p)].in_part) {
    try_resolve_locked(static_cast<std::size_t>(p));
  }
  check_progress_locked();
}

void RunScheduler::open_part_locked(std::size_t g) {
  Guard& guard = guards_[g];
  if (guard.part_open || !guard.part_added || guard.in_flight > 0) return;
  guard.part_open = true;
  for (std::size_t root : guard.part_roots) {
    Step& step = steps_[root];
    if (step.status != StepStatus::Waiting || step.pending == 0) continue;
    if (--step.pending == 0) ready_locked(root, nullptr);
  }
}

void RunScheduler::try_resolve_locked(std::size_t g) {
  Guard& guard = guards_[g];
  if (!guard.failed || guard.resolved || !guard.part_added || guard.in_flight > 0 ||
      guard.part_pending > 0) {
    return;
  }
  guard.resolved = true;
  // Inside a part that failed too, that part's end releases what waited.
  if (stopping_ || encloser_failed_locked(guard.outer)) return;
  // The script goes on after the guarded part as if it had finished.
  guard.recovered = true;
  for (std::size_t member : guard.members) {
    Step& step = steps_[member];
    if ((step.status == StepStatus::Failed || step.status == StepStatus::Skipped) && step.settled) {
      tell_successors_locked(member, nullptr);
    }
  }
}

// --- ways, attempts and time limits -------------------------------------------------

void RunScheduler::decide_locked(std::size_t index, int decision) {
  for (std::size_t g : ways_of_[index]) {
    Guard& way = guards_[g];
    if ((decision != 0) != way.taken_when) leave_part_locked(g);
  }
}

void RunScheduler::leave_part_locked(std::size_t g) {
  Guard& part = guards_[g];
  if (part.left) return;
  part.left = true;
  for (std::size_t member : part.members) {
    Step& step = steps_[member];
    if (step.status != StepStatus::Waiting && step.status != StepStatus::Ready) continue;
    // Not taken once it would start: what waits for it then goes on, and
    // never before what it waits for itself has ended.
    step.left = true;
    if (step.status == StepStatus::Ready) {
      --ready_count_;
      release_clock_locked();
      step.status = StepStatus::Waiting;
      step.pending = 0;
    }
    if (step.pending == 0) ready_locked(member, nullptr);
  }
  if (part.kind == PartKind::Attempt && part.next >= 0) {
    leave_part_locked(static_cast<std::size_t>(part.next));
  }
}

void RunScheduler::pass_left_locked(std::size_t index) {
  passing_.push_back(index);
  if (draining_) return;
  draining_ = true;
  // A loop, not a recursion: a loop's rounds not taken may be thousands of
  // steps, each releasing the next.
  while (!passing_.empty()) {
    const std::size_t next = passing_.back();
    passing_.pop_back();
    Step& step = steps_[next];
    if (step.status != StepStatus::Waiting) continue;
    step.status = StepStatus::NotTaken;
    settle_locked(next, false);
    tell_successors_locked(next, nullptr);
  }
  draining_ = false;
}

void RunScheduler::member_settled_locked(std::size_t index) {
  for (long g = steps_[index].guard; g >= 0; g = guards_[static_cast<std::size_t>(g)].outer) {
    Guard& part = guards_[static_cast<std::size_t>(g)];
    if (part.unsettled == 0 || --part.unsettled > 0) continue;
    // Every member has settled.
    if (part.kind == PartKind::TimeLimit && part.clock_started) {
      part_deadlines_.erase({part.deadline, static_cast<std::size_t>(g)});
    }
    if (part.kind == PartKind::Attempt && !part.failed && !part.left && part.next >= 0) {
      // It finished: the attempts after it are not needed.
      leave_part_locked(static_cast<std::size_t>(part.next));
    }
  }
}

void RunScheduler::member_began_locked(std::size_t index) {
  for (long g = steps_[index].guard; g >= 0; g = guards_[static_cast<std::size_t>(g)].outer) {
    Guard& part = guards_[static_cast<std::size_t>(g)];
    if (!part.started) part.started = steps_[index].started;
    if (part.kind != PartKind::TimeLimit || part.clock_started ||
        part.time_limit <= std::chrono::nanoseconds::zero()) {
      continue;
    }
    part.clock_started = true;
    part.deadline = *steps_[index].started + part.time_limit;
    part_deadlines_.emplace(part.deadline, static_cast<std::size_t>(g));
    if (part.deadline < control_wake_) control_cv_.notify_all();
  }
}

void RunScheduler::resolve_attempt_locked(std::size_t g) {
  Guard& attempt = guards_[g];
  if (attempt.resolved) return;
  attempt.resolved = true;
  if (stopping_ || encloser_failed_locked(attempt.outer)) return;
  if (attempt.next < 0) {
    // The last attempt: its failure is one of the part around the retry.
    escalate_locked(attempt.outer, attempt.first_failure, attempt.failed_part);
    return;
  }
  // The next attempt follows the failed one as it would a finished one.
  attempt.recovered = true;
  for (std::size_t member : attempt.members) {
    Step& step = steps_[member];
    if ((step.status == StepStatus::Failed || step.status == StepStatus::Skipped) && step.settled) {
      tell_successors_locked(member, nullptr);
    }
  }
}

void RunScheduler::time_out_part_locked(std::size_t g) {
  Guard& part = guards_[g];
  if (part.failed || part.left || part.unsettled == 0) return;
  part.failed = true;
  part.timed_out = true;
  for (std::size_t member : part.members) {
    Step& step = steps_[member];
    if (step.status == StepStatus::Running && !step.asynchronous) {
      step.timed_out = true;
      attention_.cancel.push_back(member);
    }
  }
  signal_control_locked();
  // A failure of the part around it; what has not started is skipped there.
  escalate_locked(part.outer, -1, static_cast<long>(g));
  if (handler_of_locked(part.outer) < 0 || stopping_) return;
  for (std::size_t member : part.members) {
    Step& step = steps_[member];
    if (step.status == StepStatus::Waiting || step.status == StepStatus::Ready ||
        step.status == StepStatus::Claimed) {
      skip_locked(member);
    }
  }
}

// --- stopping, time limits -----------------------------------------------------------

void RunScheduler::begin_stop_locked(StopReason reason, long step, long guard) {
  if (stopping_) return;
  stopping_ = true;
  stopping_flag_.store(true, std::memory_order_release);
  for (const std::shared_ptr<CommandGate>& gate : options_.gates) gate->close();
  stop_reason_ = reason;
  fatal_step_ = step;
  fatal_guard_ = guard;
  paused_ = false;
  if (!pauses_.empty() && !pauses_.back().ended) pauses_.back().ended = now();
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    Step& each = steps_[i];
    if (!each.awaiting_choice) continue;
    each.awaiting_choice = false;
    each.failed = true;
    settle_locked(i, true);
  }
  choices_pending_ = 0;
  attention_.to_choose.clear();
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    Step& each = steps_[i];
    switch (each.status) {
      case StepStatus::Waiting:
      case StepStatus::Ready:
      case StepStatus::Claimed:
        skip_locked(i);
        break;
      case StepStatus::Running:
        if (each.asynchronous) skip_locked(i);
        break;
      default:
        break;
    }
  }
  jobs_ = 0;
  for (Guard& each : guards_) each.job_pending = false;
  deadlines_.clear();
  part_deadlines_.clear();
  const RunClock::time_point grace = now() + options_.cancel_grace;
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    Step& each = steps_[i];
    if (each.status != StepStatus::Running || each.asynchronous || each.in_grace) continue;
    each.in_grace = true;
    each.grace = grace;
    graces_.emplace(grace, i);
  }
  signal_control_locked();
}

void RunScheduler::stop(StopReason reason) {
  std::lock_guard lock(mutex_);
  if (reason == StopReason::None || reason == StopReason::Failure) reason = StopReason::Requested;
  if (finished_) return;
  begin_stop_locked(reason, -1, -1);
  check_progress_locked();
}

void RunScheduler::forget_deadlines_locked(std::size_t index) {
  Step& step = steps_[index];
  if (step.in_grace) graces_.erase({step.grace, index});
}

void RunScheduler::prune_deadlines_locked() {
  while (!deadlines_.empty()) {
    const auto& [when, index] = deadlines_.front();
    const Step& step = steps_[index];
    if (step.status == StepStatus::Running && !step.timed_out && step.deadline == when) return;
    std::pop_heap(deadlines_.begin(), deadlines_.end(), std::greater<>());
    deadlines_.pop_back();
  }
}

void RunScheduler::abandon_locked(std::size_t index) {
  Step& step = steps_[index];
  step.abandoned = true;
  step.ended = now();
  forget_deadlines_locked(index);
  --running_;
  --busy_;
  workers_[step.worker]->stuck = true;
  ++stuck_anywhere;
  --live_;
  fail_locked(index);
  step.status = StepStatus::Failed;
  settle_locked(index, true);
  if (!stopping_ && !finished_ && !shutdown_ && live_ < target_) spawn_locked();
}

void RunScheduler::abandon_in_flight() {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    Step& step = steps_[i];
    if (step.status == StepStatus::Running && !step.asynchronous) abandon_locked(i);
  }
  check_progress_locked();
}

void RunScheduler::expire_locked(RunClock::time_point now) {
  for (prune_deadlines_locked(); !deadlines_.empty() && deadlines_.front().first <= now;
       prune_deadlines_locked()) {
    const std::size_t index = deadlines_.front().second;
    std::pop_heap(deadlines_.begin(), deadlines_.end(), std::greater<>());
    deadlines_.pop_back();
    Step& step = steps_[index];
    step.timed_out = true;
    step.in_grace = true;
    step.grace = now + options_.cancel_grace;
    graces_.emplace(step.grace, index);
    attention_.timed_out.push_back(index);
    fail_locked(index);
  }
  while (!paused_ && !part_deadlines_.empty() && part_deadlines_.begin()->first <= now) {
    const std::size_t g = part_deadlines_.begin()->second;
    part_deadlines_.erase(part_deadlines_.begin());
    time_out_part_locked(g);
  }
  while (!graces_.empty() && graces_.begin()->first <= now) {
    const std::size_t index = graces_.begin()->second;
    Step& step = steps_[index];
    if (step.status != StepStatus::Running) {
      graces_.erase(graces_.begin());
      continue;
    }
    abandon_locked(index);
  }
  check_progress_locked();
  signal_control_locked();
}

void RunScheduler::check_progress_locked() {
  if (finished_ || !started_) return;
  if (settled_ == steps_.size() && jobs_ == 0) {
    finished_ = true;
    // Nothing of the run is due any more.
    drop_control_hold_locked();
    if (clock_source_) options_.clock->remove_source(clock_source_.get());
    control_cv_.notify_all();
    work_cv_.notify_all();
    return;
  }
  if (!stopping_ && busy_ == 0 && running_ == 0 && ready_count_ == 0 && jobs_ == 0 &&
      choices_pending_ == 0) {
    // Nothing runs, nothing is queued and nothing is asked for, yet steps
    // remain: they would wait for ever.
    begin_stop_locked(StopReason::Stalled, -1, -1);
    check_progress_locked();
  }
}

// --- the controlling thread -------------------------------------------------------------

bool RunScheduler::attention_locked() const {
  return !attention_.timed_out.empty() || !attention_.cancel.empty() ||
         !attention_.failed_guards.empty() || !attention_.to_choose.empty() ||
         (stopping_ && !stop_reported_) || finished_;
}

void RunScheduler::signal_control_locked() {
  if (options_.clock && !control_hold_ && !finished_ && attention_locked()) {
    options_.clock->hold();
    control_hold_ = true;
  }
  control_cv_.notify_all();
}

void RunScheduler::drop_control_hold_locked() {
  if (!control_hold_) return;
  control_hold_ = false;
  options_.clock->release();
}

std::optional<RunClock::time_point> RunScheduler::next_deadline_locked() {
  prune_deadlines_locked();
  std::optional<RunClock::time_point> next;
  auto consider = [&next](RunClock::time_point when) {
    if (!next || when < *next) next = when;
  };
  if (!deadlines_.empty()) consider(deadlines_.front().first);
  if (!graces_.empty()) consider(graces_.begin()->first);
  if (!paused_ && !part_deadlines_.empty()) consider(part_deadlines_.begin()->first);
  return next;
}

RunClock::time_point RunScheduler::now() const {
  return options_.clock ? from_seconds(options_.clock->now()) : RunClock::now();
}

bool RunScheduler::wait_until(RunClock::time_point deadline) {
  std::unique_lock lock(mutex_);
  if (options_.clock) {
    // The simulated clock brings the time limits up itself; `deadline` is
    // the caller's, on the steady clock. While there is something to attend
    // to, the controlling thread holds the clock: the time does not move on
    // before it has done what it is asked.
    for (;;) {
      if (attention_locked()) {
        if (finished_) {
          drop_control_hold_locked();
        } else if (!control_hold_) {
          options_.clock->hold();
          control_hold_ = true;
        }
        return true;
      }
      drop_control_hold_locked();
      const RunClock::time_point now = RunClock::now();
      if (now >= deadline) return false;
      control_cv_.wait_until(lock, deadline - now > kLongWait ? now + kLongWait : deadline);
    }
  }
  for (;;) {
    const RunClock::time_point now = RunClock::now();
    expire_locked(now);
    if (attention_locked()) return true;
    if (now >= deadline) return false;
    // A bounded sleep: a far deadline would overflow the clock's arithmetic.
    RunClock::time_point wake = deadline - now > kLongWait ? now + kLongWait : deadline;
    prune_deadlines_locked();
    if (!deadlines_.empty()) wake = std::min(wake, deadlines_.front().first);
    if (!graces_.empty()) wake = std::min(wake, graces_.begin()->first);
    if (!paused_ && !part_deadlines_.empty()) {
      wake = std::min(wake, part_deadlines_.begin()->first);
    }
    control_wake_ = wake;
    control_cv_.wait_until(lock, wake);
    control_wake_ = RunClock::time_point::min();
  }
}

Attention RunScheduler::take_attention() {
  std::lock_guard lock(mutex_);
  Attention taken;
  taken.timed_out.swap(attention_.timed_out);
  taken.cancel.swap(attention_.cancel);
  taken.failed_guards.swap(attention_.failed_guards);
  taken.to_choose.swap(attention_.to_choose);
  if (stopping_ && !stop_reported_) {
    stop_reported_ = true;
    taken.stopping = true;
    for (std::size_t i = 0; i < steps_.size(); ++i) {
      Step& step = steps_[i];
      if (step.status != StepStatus::Running || step.asynchronous) continue;
      step.cancel_requested = true;
      taken.in_flight.push_back(i);
    }
  }
  taken.finished = finished_;
  return taken;
}

void RunScheduler::join() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    if (!finished_) {
      // Never wait here for a step that nobody will end.
      begin_stop_locked(StopReason::Requested, -1, -1);
      for (std::size_t i = 0; i < steps_.size(); ++i) {
        Step& step = steps_[i];
        if (step.status == StepStatus::Running && !step.asynchronous) abandon_locked(i);
      }
      check_progress_locked();
    }
    shutdown_ = true;
    if (options_.clock) drop_control_hold_locked();
    work_cv_.notify_all();
    for (auto& worker : workers_) {
      if (!worker->thread.joinable()) continue;
      if (worker->stuck) {
        worker->thread.detach();  // it ends when its step returns
      } else {
        threads.push_back(std::move(worker->thread));
      }
    }
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace zarn
