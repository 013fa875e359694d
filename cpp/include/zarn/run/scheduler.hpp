// The engine that runs a script's run plan: a dependency-counting scheduler
// with a small pool of worker threads.
//
// Every step has a count of the steps it still waits for; a step whose count
// reaches zero is handed to a worker, so no worker ever blocks waiting for
// another step, and a pool far narrower than the plan still runs it. An
// asynchronous step (a competing branch's turn) is only started by a worker,
// which moves on at once; the step ends when its owner reports it through
// complete().
//
// Failures follow the guarded parts (try/except) of the plan:
// - A step that fails inside a guarded part fails that part: the part's steps
//   that have not started are skipped, the ones running are let finish, and
//   the controlling thread is asked for the part's exception part
//   (add_exception_part), which runs once the part has come to rest. When the
//   exception part is over, whatever waited for the guarded part starts as if
//   the part had finished.
// - A failure in an exception part is a failure of the part around the
//   guarded part (or of the run, at the top).
// - A failure outside every guarded part stops the run: nothing new starts,
//   the steps running are reported to the controlling thread to be cancelled,
//   and the run ends once they have returned (or their grace has run out).
// - A step that runs longer than its time limit fails (time-out) at once; it
//   stays in flight until it returns or the grace after its cancel request
//   has passed, when it is given up on and its worker replaced.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "zarn/base/command_gate.hpp"
#include "zarn/base/virtual_clock.hpp"

namespace zarn {

using RunClock = std::chrono::steady_clock;

// A plan that cannot be run: a wait for a step that does not exist, a guard
// that does not exist, or steps that wait for one another in a circle.
struct PlanError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

struct PlanStep {
  std::vector<std::size_t> waits;          // steps that must have finished first
  long guard = -1;                         // innermost part (of any kind), or -1
  bool asynchronous = false;               // started, then ended through complete()
  std::chrono::nanoseconds time_limit{0};  // zero: no limit
  bool decides = false;                    // its result takes ways or leaves them
  // Starts while the run is paused too (a group's marker, a construct's
  // mark): only what commands the machine waits for the operator.
  bool free_in_pause = false;
};

// The kinds of parts a plan's steps may lie in. A part holds its members,
// the parts inside it included.
enum class PartKind : std::uint8_t {
  // A guarded part (try/except): a failure inside skips what has not
  // started, lets what runs finish, runs the exception part the controlling
  // thread adds, and then the script goes on after the part.
  Try,
  // One attempt of a retried part: a failure inside cancels what runs,
  // skips what has not started and, once nothing runs, lets the next
  // attempt (the part's successors) start; an attempt that finishes leaves
  // the attempts after it not taken. The last attempt's failure goes on.
  Attempt,
  // One way of a condition, or the rest of a loop from one round on: taken
  // or left (not taken) by its deciding step's result.
  Way,
  // A part with a time limit from the start of its first member: past it,
  // the part fails (what runs is cancelled).
  TimeLimit,
};
const char* to_string(PartKind kind);

struct PlanGuard {
  long outer = -1;  // the part around this one, or -1
  PartKind kind = PartKind::Try;
  long decision = -1;                      // Way: the deciding step
  bool taken_when = true;                  // Way: taken when the decision is this
  long next = -1;                          // Attempt: the next attempt's part, or -1
  std::chrono::nanoseconds time_limit{0};  // TimeLimit
};

enum class StepStatus : std::uint8_t {
  Waiting,  // for the steps it waits for
  Ready,    // queued for a worker
  Claimed,  // taken by a worker, not yet begun
  Running,  // executing (or, asynchronous, waiting for its end)
  Finished,
  Failed,
  Skipped,   // never started: what it depended on failed, or the run stopped
  NotTaken,  // never started: it lies on a way its condition did not take
};

enum class StopReason : std::uint8_t {
  None,         // the run went to its end
  Failure,      // a failure outside every guarded part
  Interrupted,  // Ctrl-C
  Requested,    // stop() from the program
  Stalled,      // nothing could ever start again (a fault in the plan's wiring)
};

const char* to_string(StopReason reason);

// What a worker does with a step. The scheduler calls these on its worker
// threads, never while holding its own lock.
class StepRunner {
 public:
  struct Result {
    bool succeeded = false;
    RunClock::time_point ended;
    // False for a step the runner did not begin because the run had begun
    // to stop: it counts as skipped, not as failed.
    bool begun = true;
    // A deciding step's result: 1 or 0 (-1: none).
    int decision = -1;
  };

  virtual ~StepRunner() = default;
  // Once on each worker thread, first and last.
  virtual void worker_started() {}
  virtual void worker_stopping() {}
  // Around every stretch of steps a worker runs back to back: enter() before
  // the first, leave() before it waits for more work.
  virtual void enter() {}
  virtual void leave() {}
  // Runs a step to its end.
  virtual Result run(std::size_t step, RunClock::time_point started) = 0;
  // Starts an asynchronous step; its end comes through RunScheduler::complete().
  virtual void start(std::size_t step) = 0;
};

struct StepRecord {
  StepStatus status = StepStatus::Waiting;
  bool timed_out = false;
  bool abandoned = false;         // given up on while it still ran
  bool cancel_requested = false;  // in flight when the run stopped
  long guard = -1;
  long part_of = -1;  // the guarded part whose exception part it belongs to
  std::optional<RunClock::time_point> started, ended;
};

struct GuardRecord {
  long outer = -1;
  long in_part = -1;  // the guarded part whose exception part holds it, or -1
  bool failed = false;
  bool recovered = false;   // its exception part is over and the script went on after it
  long first_failure = -1;  // the step whose failure failed it, or -1
  long failed_part = -1;    // or the part that failed it (an exception part that could
                            // not be made, a time limit that passed)
  PartKind kind = PartKind::Try;
  bool not_taken = false;                       // a way or an attempt that was left
  bool timed_out = false;                       // a time-limited part past its limit
  std::optional<RunClock::time_point> started;  // its first member's start
};

// What the controlling thread has to do; see take_attention().
struct Attention {
  std::vector<std::size_t> timed_out;      // cancel these steps
  std::vector<std::size_t> cancel;         // and these: an attempt or a time-limited part failed
  std::vector<std::size_t> failed_guards;  // give these guarded parts their exception part
  bool stopping = false;                   // the run has begun to stop (reported once)
  std::vector<std::size_t> in_flight;      // with `stopping`: the steps to cancel
  bool finished = false;
  // Failures held for the operator's choice (Options::ask_on_failure): the
  // run is paused; answer each with choose().
  std::vector<std::size_t> to_choose;
};

// What the operator chose for a failure held for a choice.
enum class FailureChoice : std::uint8_t {
  Retry,  // the step runs again (its owner gives it a fresh action first)
  Skip,   // it stays failed, and what waits for it goes on
  Stop,   // the run stops, as on any failure outside every guarded part
};

// A pause of a run: from `begun` to `ended` (none while it lasts).
struct Pause {
  RunClock::time_point begun;
  std::optional<RunClock::time_point> ended;
};

class RunScheduler : public std::enable_shared_from_this<RunScheduler> {
 public:
  struct Options {
    std::size_t workers = 0;  // 0: as many as the plan's widest level
    std::size_t max_workers = 16;
    std::chrono::nanoseconds cancel_grace = std::chrono::seconds(5);
    // Closed the moment the run decides to stop, before anyone is told, so
    // that no command of a step still in flight can leave after that.
    std::vector<std::shared_ptr<CommandGate>> gates;
    // A failure ends only its own step: what waits for it goes on (a stop
    // routine that sets what it can after a stop).
    bool keep_going = false;
    // Simulated seconds instead of the steady clock (a run against a model
    // of the machine): the run's times, time limits and graces count them,
    // and the run holds the clock while it has steps to start or work for
    // the controlling thread.
    std::shared_ptr<VirtualClock> clock;
    // A failure outside every guarded part pauses the run and waits for the
    // operator's choice (take_attention().to_choose, choose()) instead of
    // stopping it.
    bool ask_on_failure = false;
  };

  // Checks the plan (PlanError) and prepares the run; nothing starts yet.
  static std::shared_ptr<RunScheduler> create(std::vector<PlanStep> steps,
                                              std::vector<PlanGuard> guards,
                                              std::shared_ptr<StepRunner> runner, Options options);
  ~RunScheduler();
  RunScheduler(const RunScheduler&) = delete;
  RunScheduler& operator=(const RunScheduler&) = delete;

  // Starts the workers. Called once.
  void start();

  // --- the controlling thread ---------------------------------------------
  // Blocks until there is something to attend to (take_attention) or
  // `deadline` has passed; returns whether there is. Time limits and graces
  // are enforced while the controlling thread waits here.
  bool wait_until(RunClock::time_point deadline);
  Attention take_attention();
  // The exception part of failed guarded part `guard`: its steps' waits and
  // guards count from 0 within the part; a step without a guard of its own,
  // and a guard without an outer one, lie in the part around `guard`.
  // Returns the index of the part's first step, or -1 when the part will
  // not run (the run is stopping, or a part around `guard` failed too).
  long add_exception_part(std::size_t guard, std::vector<PlanStep> steps,
                          std::vector<PlanGuard> guards);
  // The exception part of `guard` could not be made: a failure of the part
  // around it.
  void exception_part_failed(std::size_t guard);
  // Stops the run (Interrupted or Requested); nothing new starts.
  void stop(StopReason reason);

  // --- the operator ---------------------------------------------------------
  // Pauses the run: nothing new starts but a group's markers and a
  // construct's marks, what runs finishes. The time limits of parts (not
  // those of the steps that run) stand still while it lasts. False when it
  // is paused or over already.
  bool pause();
  // Resumes a paused run; false when it is not paused (or a failure still
  // waits for a choice).
  bool resume();
  // Lets exactly one more step start, the run paused before and after it
  // (a run that runs is paused first).
  void step_once();
  bool paused() const;
  std::vector<Pause> pauses() const;
  // Answers a failure held for a choice; false when `step` waits for none.
  bool choose(std::size_t step, FailureChoice choice);
  // Gives up at once on every step still in flight.
  void abandon_in_flight();
  // Waits for the workers to exit; a worker stuck in a step given up on is
  // left to end on its own. Call once the run has finished.
  void join();

  // --- the steps' owners --------------------------------------------------
  // Ends an asynchronous step that start() began.
  void complete(std::size_t step, bool succeeded);

  // --- what happened ------------------------------------------------------
  std::size_t size() const;
  std::size_t worker_target() const;
  std::size_t threads_started() const;
  // Workers still inside a step given up on, of every run.
  static std::size_t stuck_workers_anywhere();
  bool finished() const;
  // Whether the run has begun to stop; read without the run's lock, so a
  // runner may ask it just before it begins a step.
  bool stopping() const { return stopping_flag_.load(std::memory_order_acquire); }
  StopReason stop_reason() const;
  long fatal_step() const;   // the failure that stopped the run, or -1
  long fatal_guard() const;  // the guarded part whose exception part could not be made, or -1
  RunClock::time_point started_at() const;
  // The run's clock: the steady clock, or the simulated one.
  RunClock::time_point now() const;
  StepRecord record(std::size_t step) const;
  std::vector<StepRecord> records() const;
  // What failed the guarded part: the step (or -1), and the guarded part
  // whose exception part could not be made (or -1).
  std::pair<long, long> guard_cause(std::size_t guard) const;
  std::vector<GuardRecord> guard_records() const;
  std::size_t guard_count() const;

  // The widest level of a plan: how many steps can run at once when every
  // step starts as soon as its waits allow. PlanError for a circle.
  static std::size_t plan_width(const std::vector<PlanStep>& steps);

 private:
  struct Step;
  struct Guard;
  struct Worker;
  class ClockSource;

  RunScheduler(std::shared_ptr<StepRunner> runner, Options options);

  // Appends steps (indices from `base`) and guards (from `guard_base`).
  void append_locked(std::vector<PlanStep>& steps, std::vector<PlanGuard>& guards,
                     long context_guard, long part_of);

  void work(std::size_t worker);
  std::optional<std::size_t> pop_locked();
  // `at`: when it starts, if known already.
  void begin_locked(std::size_t step, std::size_t worker,
                    std::optional<RunClock::time_point> at = std::nullopt);
  void finish_locked(std::size_t step, const StepRunner::Result& result,
                     std::optional<std::size_t>* keep);
  void ready_locked(std::size_t step, std::optional<std::size_t>* keep);
  void tell_successors_locked(std::size_t step, std::optional<std::size_t>* keep);
  void settle_locked(std::size_t step, bool was_running);
  void skip_locked(std::size_t step);
  void fail_locked(std::size_t step);
  void fail_guard_locked(std::size_t guard, long cause_step, long cause_guard);
  // A failed part's members: what has not started is skipped, what runs
  // counts as in flight (and, with `cancel_running`, is to be cancelled).
  void halt_members_locked(Guard& guard, bool cancel_running);
  void escalate_locked(long guard, long cause_step, long cause_guard);
  void open_part_locked(std::size_t guard);
  void try_resolve_locked(std::size_t guard);
  bool encloser_failed_locked(long guard) const;
  // The innermost part at or around `guard` that handles a failure (a Try
  // or an Attempt), or -1 for the run itself.
  long handler_of_locked(long guard) const;
  // A deciding step's result: leaves the ways it does not take.
  void decide_locked(std::size_t step, int decision);
  // Leaves a way or attempt: its members that have not started are not
  // taken, and what waits for them goes on as if they had finished.
  void leave_part_locked(std::size_t guard);
  // A step of a part not taken, reached: it counts as not taken and what
  // waits for it goes on.
  void pass_left_locked(std::size_t step);
  // A member of `guard` and of the parts around it has settled.
  void member_settled_locked(std::size_t step);
  // A member has begun: starts the clocks of the time-limited parts it opens.
  void member_began_locked(std::size_t step);
  // An attempt that failed and has come to rest: the next attempt starts,
  // or the failure goes on.
  void resolve_attempt_locked(std::size_t guard);
  // A time-limited part past its limit.
  void time_out_part_locked(std::size_t guard);
  void begin_stop_locked(StopReason reason, long step, long guard);
  void abandon_locked(std::size_t step);
  void expire_locked(RunClock::time_point now);
  void check_progress_locked();
  void spawn_locked();
  bool attention_locked() const;
  void forget_deadlines_locked(std::size_t step);
  bool asks_locked(std::size_t step) const;
  void hold_for_choice_locked(std::size_t step);
  void pause_locked();
  void resume_locked();
  // The controlling thread has something to attend to; on the simulated
  // clock it holds the clock from now until it waits again.
  void signal_control_locked();
  void drop_control_hold_locked();
  void hold_clock_locked(std::size_t count = 1) {
    if (options_.clock) options_.clock->hold(count);
  }
  void release_clock_locked(std::size_t count = 1) {
    if (options_.clock) options_.clock->release(count);
  }
  // The earliest time limit or grace still to come.
  std::optional<RunClock::time_point> next_deadline_locked();
  // Drops deadlines of steps that have ended from the top of the heap.
  void prune_deadlines_locked();

  const std::shared_ptr<StepRunner> runner_;
  const Options options_;

  mutable std::mutex mutex_;
  std::condition_variable work_cv_;     // workers wait for steps
  std::condition_variable control_cv_;  // the controlling thread waits for attention

  std::deque<Step> steps_;  // a deque: references stay valid as parts are appended
  std::deque<Guard> guards_;
  std::deque<std::size_t> ready_;  // may hold steps skipped since: checked on pop
  std::size_t ready_count_ = 0;
  std::size_t busy_ = 0;     // steps a worker has claimed and not yet put down
  std::size_t running_ = 0;  // synchronous steps running
  std::size_t settled_ = 0;
  std::size_t jobs_ = 0;  // exception parts asked for and not yet given
  // The time limits of running steps, soonest first: a heap whose entries
  // are dropped only when they come to the top (a step that finished in
  // time costs no removal), and the graces of steps asked to cancel.
  using Deadline = std::pair<RunClock::time_point, std::size_t>;
  std::vector<Deadline> deadlines_;
  std::set<Deadline> graces_;
  std::set<Deadline> part_deadlines_;  // time-limited parts under way, soonest first
  std::vector<std::size_t> passing_;   // steps not taken, to be passed on
  bool draining_ = false;
  // The ways each deciding step takes or leaves.
  std::vector<std::vector<std::size_t>> ways_of_;

  std::vector<std::unique_ptr<Worker>> workers_;
  std::size_t target_ = 1;
  std::size_t live_ = 0;  // workers in their loop and not stuck in a step given up on
  std::size_t idle_ = 0;
  bool started_ = false;
  bool shutdown_ = false;
  bool finished_ = false;
  bool stopping_ = false;
  std::atomic<bool> stopping_flag_{false};
  bool stop_reported_ = false;
  StopReason stop_reason_ = StopReason::None;
  long fatal_step_ = -1, fatal_guard_ = -1;
  RunClock::time_point started_at_{};
  RunClock::time_point latest_end_{};  // the latest end of a step so far
  // When the controlling thread will next wake by itself; min() while it is
  // awake, so that a new deadline always finds it able to see it.
  RunClock::time_point control_wake_ = RunClock::time_point::min();
  Attention attention_;
  std::shared_ptr<ClockSource> clock_source_;
  bool control_hold_ = false;
  bool paused_ = false;
  std::size_t step_allowance_ = 0;  // steps that may start while paused
  std::size_t choices_pending_ = 0;
  std::vector<Pause> pauses_;
};

}  // namespace zarn
