#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "zarn/run/scheduler.hpp"

using namespace std::chrono_literals;
using zarn::Attention;
using zarn::PlanGuard;
using zarn::PlanStep;
using zarn::RunClock;
using zarn::RunScheduler;
using zarn::StepStatus;
using zarn::StopReason;

namespace {

// What a step of the test runner does when it runs.
struct Behaviour {
  bool succeeds = true;
  std::chrono::milliseconds takes{0};
  bool blocks = false;  // until the test releases it
  int decision = -1;    // a deciding step's result
};

// Runs steps as told, and notes when each ran and how many ran at once.
class ScriptedRunner : public zarn::StepRunner {
 public:
  std::weak_ptr<RunScheduler> scheduler;
  // Asynchronous steps are ended by the test (or at once, when listed here).
  std::set<std::size_t> grant_at_once;

  // Changes what a step will do; may be called while the run goes on.
  void tell(std::size_t step, const std::function<void(Behaviour&)>& change) {
    std::lock_guard lock(mutex_);
    change(behaviour_[step]);
  }

  Result run(std::size_t step, RunClock::time_point started) override {
    Behaviour what;
    {
      std::lock_guard lock(mutex_);
      if (behaviour_.count(step) != 0) what = behaviour_[step];
    }
    const int now = ++running_;
    int seen = max_running_.load();
    while (now > seen && !max_running_.compare_exchange_weak(seen, now)) {
    }
    {
      std::lock_guard lock(mutex_);
      starts_.push_back(step);
      begun_[step] = started;
    }
    changed_.notify_all();
    if (what.takes > 0ms) std::this_thread::sleep_for(what.takes);
    bool succeeded = what.succeeds;
    if (what.blocks) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return released_.count(step) != 0; });
      succeeded = released_[step];
    }
    --running_;
    const RunClock::time_point ended = RunClock::now();
    {
      std::lock_guard lock(mutex_);
      ends_.push_back(step);
      ended_[step] = ended;
    }
    changed_.notify_all();
    return {succeeded, ended, true, what.decision};
  }

  void start(std::size_t step) override {
    {
      std::lock_guard lock(mutex_);
      starts_.push_back(step);
    }
    changed_.notify_all();
    if (grant_at_once.count(step) != 0) {
      if (auto run = scheduler.lock()) run->complete(step, true);
    }
  }

  void release(std::size_t step, bool succeeded = true) {
    {
      std::lock_guard lock(mutex_);
      released_[step] = succeeded;
    }
    changed_.notify_all();
  }

  bool wait_started(std::size_t step, std::chrono::milliseconds within = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, within, [&] {
      return std::find(starts_.begin(), starts_.end(), step) != starts_.end();
    });
  }

  bool wait_ended(std::size_t step, std::chrono::milliseconds within = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, within, [&] { return ended_.count(step) != 0; });
  }

  std::vector<std::size_t> starts() {
    std::lock_guard lock(mutex_);
    return starts_;
  }
  bool started(std::size_t step) {
    std::lock_guard lock(mutex_);
    return std::find(starts_.begin(), starts_.end(), step) != starts_.end();
  }
  // Whether `later` began only after `earlier` had ended.
  bool after(std::size_t later, std::size_t earlier) {
    std::lock_guard lock(mutex_);
    return begun_.count(later) != 0 && ended_.count(earlier) != 0 &&
           begun_[later] >= ended_[earlier];
  }
  int max_running() const { return max_running_.load(); }
  std::atomic<int> threads_{0};

  void worker_started() override { ++threads_; }
  void worker_stopping() override { --threads_; }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::size_t, Behaviour> behaviour_;
  std::vector<std::size_t> starts_, ends_;
  std::map<std::size_t, RunClock::time_point> begun_, ended_;
  std::map<std::size_t, bool> released_;
  std::atomic<int> running_{0}, max_running_{0};
};

PlanStep step(std::vector<std::size_t> waits, long guard = -1) {
  PlanStep made;
  made.waits = std::move(waits);
  made.guard = guard;
  return made;
}

std::vector<PlanStep> chain(std::size_t length) {
  std::vector<PlanStep> steps;
  for (std::size_t i = 0; i < length; ++i) {
    steps.push_back(i == 0 ? step({}) : step({i - 1}));
  }
  return steps;
}

struct Harness {
  std::shared_ptr<ScriptedRunner> runner = std::make_shared<ScriptedRunner>();
  std::shared_ptr<RunScheduler> run;
  std::vector<Attention> seen;

  void make(std::vector<PlanStep> steps, std::vector<PlanGuard> guards = {},
            RunScheduler::Options options = {}) {
    run = RunScheduler::create(std::move(steps), std::move(guards), runner, options);
    runner->scheduler = run;
  }

  // Serves the run as its controlling thread until it finishes; `attend`
  // answers each batch of attention. False when the run did not finish.
  bool drive(const std::function<void(const Attention&)>& attend = {},
             std::chrono::seconds within = 10s) {
    const auto give_up = RunClock::now() + within;
    while (RunClock::now() < give_up) {
      if (!run->wait_until(std::min(give_up, RunClock::now() + 1s))) continue;
      Attention attention = run->take_attention();
      if (attend) attend(attention);
      const bool finished = attention.finished;
      seen.push_back(std::move(attention));
      if (finished) {
        run->join();
        return true;
      }
    }
    return false;
  }

  StepStatus status(std::size_t step) const { return run->record(step).status; }
};

}  // namespace

TEST(RunPlanWidth, CountsTheWidestLevel) {
  EXPECT_EQ(RunScheduler::plan_width({}), 0u);
  EXPECT_EQ(RunScheduler::plan_width(chain(50)), 1u);
  // A start, three lanes of different lengths, a join.
  std::vector<PlanStep> lanes{step({}),  step({0}), step({1}), step({0}),
                              step({0}), step({4}), step({5}), step({2, 3, 6})};
  EXPECT_EQ(RunScheduler::plan_width(lanes), 3u);
  // A wait that points forwards counts from where that step stands.
  EXPECT_EQ(RunScheduler::plan_width({step({1}), step({}), step({})}), 2u);
}

TEST(RunPlanWidth, RefusesCirclesAndWaitsForMissingSteps) {
  EXPECT_THROW(RunScheduler::plan_width({step({1}), step({0})}), zarn::PlanError);
  EXPECT_THROW(RunScheduler::plan_width({step({3})}), zarn::PlanError);
  auto runner = std::make_shared<ScriptedRunner>();
  EXPECT_THROW(RunScheduler::create({step({}, 2)}, {PlanGuard{}}, runner, {}), zarn::PlanError);
  EXPECT_THROW(RunScheduler::create({step({})}, {PlanGuard{1}, PlanGuard{0}}, runner, {}),
               zarn::PlanError);
}

TEST(RunScheduler, AChainRunsInOrderOnOneWorker) {
  Harness h;
  h.make(chain(200));
  EXPECT_EQ(h.run->worker_target(), 1u);
  h.run->start();
  ASSERT_TRUE(h.drive());
  std::vector<std::size_t> expected(200);
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = i;
  EXPECT_EQ(h.runner->starts(), expected);
  EXPECT_EQ(h.run->stop_reason(), StopReason::None);
  for (std::size_t i = 0; i < 200; ++i) EXPECT_EQ(h.status(i), StepStatus::Finished);
  EXPECT_EQ(h.runner->threads_.load(), 0) << "every worker has left";
}

TEST(RunScheduler, AnEmptyPlanFinishesAtOnce) {
  Harness h;
  h.make({});
  h.run->start();
  ASSERT_TRUE(h.drive());
  EXPECT_EQ(h.run->stop_reason(), StopReason::None);
}

TEST(RunScheduler, APlanWiderThanThePoolRunsOnThePool) {
  // Twelve lanes of three steps on two workers; each step of a lane waits
  // for the one before it, and the join waits for all.
  std::vector<PlanStep> steps{step({})};
  std::vector<std::size_t> ends;
  for (std::size_t lane = 0; lane < 12; ++lane) {
    std::size_t previous = 0;
    for (int k = 0; k < 3; ++k) {
      steps.push_back(step({previous}));
      previous = steps.size() - 1;
    }
    ends.push_back(previous);
  }
  steps.push_back(step(ends));
  Harness h;
  RunScheduler::Options options;
  options.max_workers = 2;
  h.make(steps, {}, options);
  for (std::size_t i = 1; i + 1 < steps.size(); ++i)
    h.runner->tell(i, [](Behaviour& b) { b.takes = 2ms; });
  EXPECT_EQ(h.run->worker_target(), 2u);
  h.run->start();
  ASSERT_TRUE(h.drive());
  EXPECT_LE(h.runner->max_running(), 2) << "never more at once than the pool holds";
  EXPECT_EQ(h.runner->starts().back(), steps.size() - 1);
  for (std::size_t end : ends) EXPECT_TRUE(h.runner->after(steps.size() - 1, end));
  EXPECT_EQ(h.run->threads_started(), 2u);
}

TEST(RunScheduler, IndependentStepsRunAtTheSameTime) {
  Harness h;
  h.make({step({}), step({}), step({}), step({0, 1, 2})});
  // Each holds its worker until the test lets it go: all three start only
  // if they run at once.
  for (std::size_t i = 0; i < 3; ++i) h.runner->tell(i, [](Behaviour& b) { b.blocks = true; });
  EXPECT_EQ(h.run->worker_target(), 3u);
  h.run->start();
  for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(h.runner->wait_started(i));
  EXPECT_FALSE(h.runner->started(3));
  for (std::size_t i = 0; i < 3; ++i) h.runner->release(i);
  ASSERT_TRUE(h.drive());
  EXPECT_EQ(h.runner->max_running(), 3);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(h.runner->after(3, i));
}

TEST(RunScheduler, AnAsynchronousStepHoldsNoWorkerUntilItEnds) {
  // One worker: the turn (step 1) is started and left; step 2, independent,
  // runs meanwhile; step 3 waits for the turn, which the test ends.
  Harness h;
  std::vector<PlanStep> steps{step({}), step({0}), step({0}), step({1})};
  steps[1].asynchronous = true;
  RunScheduler::Options options;
  options.workers = 1;
  h.make(steps, {}, options);
  h.runner->tell(2, [](Behaviour& b) { b.blocks = true; });
  h.run->start();
  ASSERT_TRUE(h.runner->wait_started(2));
  EXPECT_EQ(h.status(1), StepStatus::Running);
  h.run->complete(1, true);
  EXPECT_FALSE(h.runner->started(3));
  h.runner->release(2);
  ASSERT_TRUE(h.drive());
  EXPECT_EQ(h.status(1), StepStatus::Finished);
  EXPECT_EQ(h.status(3), StepStatus::Finished);
}

TEST(RunScheduler, AnUnguardedFailureStopsTheRunAndSkipsTheRest) {
  // 0 fails; 1 runs beside it and is in flight when the run stops; 2 and 3
  // wait for 0 and 1 and never start.
  Harness h;
  h.make({step({}), step({}), step({0}), step({1})});
  h.runner->tell(0, [](Behaviour& b) { b.blocks = true; });
  h.runner->tell(1, [](Behaviour& b) { b.blocks = true; });
  h.run->start();
  ASSERT_TRUE(h.runner->wait_started(0));
  ASSERT_TRUE(h.runner->wait_started(1));
  h.runner->release(0, false);
  std::vector<std::size_t> cancelled;
  ASSERT_TRUE(h.drive([&](const Attention& attention) {
    if (!attention.stopping) return;
    cancelled = attention.in_flight;
    for (std::size_t step : attention.in_flight) h.runner->release(step, false);
  }));
  EXPECT_EQ(h.run->stop_reason(), StopReason::Failure);
  EXPECT_EQ(h.run->fatal_step(), 0);
  EXPECT_EQ(cancelled, std::vector<std::size_t>{1});
  EXPECT_TRUE(h.run->record(1).cancel_requested);
  EXPECT_EQ(h.status(0), StepStatus::Failed);
  EXPECT_EQ(h.status(1), StepStatus::Failed);
  EXPECT_EQ(h.status(2), StepStatus::Skipped);
  EXPECT_EQ(h.status(3), StepStatus::Skipped);
  EXPECT_FALSE(h.runner->started(2));
}

TEST(RunScheduler, TheStopDecisionClosesTheGatesBeforeAnyoneIsTold) {
  // 0 fails while 1, in flight, holds a command in the gate: from the
  // decision on, only stops and conditions pass, and a stop waiting for the
  // gate to clear waits for 1's command to have gone.
  auto gate = std::make_shared<zarn::CommandGate>();
  RunScheduler::Options options;
  options.gates = {gate};
  Harness h;
  h.make({step({}), step({})}, {}, options);
  h.runner->tell(0, [](Behaviour& b) { b.blocks = true; });
  h.runner->tell(1, [](Behaviour& b) { b.blocks = true; });
  h.run->start();
  ASSERT_TRUE(h.runner->wait_started(0));
  ASSERT_TRUE(h.runner->wait_started(1));
  ASSERT_TRUE(gate->enter(zarn::CommandKind::Drive));  // 1 is sending
  h.runner->release(0, false);
  ASSERT_TRUE(h.run->wait_until(RunClock::now() + 5s));
  EXPECT_TRUE(gate->is_closed());
  EXPECT_FALSE(gate->enter(zarn::CommandKind::Drive));
  EXPECT_FALSE(gate->enter(zarn::CommandKind::Output));
  EXPECT_EQ(gate->refused(), 2u);
  EXPECT_FALSE(gate->wait_clear_until(RunClock::now() + 20ms));
  EXPECT_FALSE(gate->reopen());
  std::thread sender([&] {
    std::this_thread::sleep_for(30ms);
    gate->leave();
  });
  EXPECT_TRUE(gate->wait_clear_until(RunClock::now() + 5s));
  sender.join();
  for (auto kind : {zarn::CommandKind::Stop, zarn::CommandKind::Condition}) {
    ASSERT_TRUE(gate->enter(kind));
    gate->leave();
  }
  gate->let_outputs_through(true);  // a stop routine's outputs
  ASSERT_TRUE(gate->enter(zarn::CommandKind::Output));
  gate->leave();
  h.runner->release(1, false);
  ASSERT_TRUE(h.drive());
  EXPECT_TRUE(gate->reopen());
  EXPECT_TRUE(gate->enter(zarn::CommandKind::Drive));
  gate->leave();
}

TEST(RunScheduler, AGuardedFailureRunsTheExceptionPartThenGoesOn) {
  // 0 -> [1 fails -> 2] (guarded) -> 3; the exception part is one step.
  Harness h;
  h.make({step({}), step({0}, 0), step({1}, 0), step({2})}, {PlanGuard{}});
  h.runner->tell(1, [](Behaviour& b) { b.succeeds = false; });
  long base = -2;
  h.run->start();
  ASSERT_TRUE(h.drive([&](const Attention& attention) {
    for (std::size_t guard : attention.failed_guards) {
      EXPECT_EQ(guard, 0u);
      EXPECT_EQ(h.run->guard_cause(guard), std::make_pair(1L, -1L));
      EXPECT_EQ(h.status(2), StepStatus::Skipped);
      base = h.run->add_exception_part(guard, {step({})}, {});
    }
  }));
  ASSERT_EQ(base, 4);
  EXPECT_EQ(h.run->stop_reason(), StopReason::None);
  EXPECT_EQ(h.status(4), StepStatus::Finished);
  EXPECT_EQ(h.run->record(4).part_of, 0);
  EXPECT_EQ(h.status(3), StepStatus::Finished);
  EXPECT_TRUE(h.runner->after(3, 4)) << "the script goes on once the exception part is over";
  EXPECT_FALSE(h.runner->started(2));
}

TEST(RunScheduler, TheExceptionPartWaitsForTheGuardedPartsRunningSteps) {
  // A guarded parallel pair: 1 fails while 2 still runs; the exception part
  // must not start before 2 has returned.
  Harness h;
  h.make({step({}), step({0}, 0), step({0}, 0), step({1, 2}, 0), step({3})}, {PlanGuard{}});
  h.runner->tell(1, [](Behaviour& b) { b.blocks = true; });
  h.runner->tell(2, [](Behaviour& b) { b.takes = 80ms; });
  h.run->start();
  ASSERT_TRUE(h.runner->wait_started(1));
  ASSERT_TRUE(h.runner->wait_started(2));
  h.runner->release(1, false);
  ASSERT_TRUE(h.drive([&](const Attention& attention) {
    for (std::size_t guard : attention.failed_guards)
      h.run->add_exception_part(guard, {step({})}, {});
  }));
  EXPECT_EQ(h.status(2), StepStatus::Finished);
  EXPECT_EQ(h.status(3), StepStatus::Skipped);
  EXPECT_TRUE(h.runner->after(5, 2));
  EXPECT_TRUE(h.runner->after(4, 5));
}

TEST(RunScheduler, AFailingExceptionPartFailsThePartAroundIt) {
  // Outer part 0 holds inner part 1 (steps 1, 2) and step 3; 4 follows.
  // Inner fails; its exception part fails; so the outer part fails: 3 is
  // skipped, the outer exception part runs, and 4 runs after it.
  Harness h;
  h.make({step({}), step({0}, 1), step({1}, 1), step({2}, 0), step({3})},
         {PlanGuard{}, PlanGuard{0}});
  h.runner->tell(1, [](Behaviour& b) { b.succeeds = false; });
  std::vector<std::size_t> failed;
  long inner_base = -1, outer_base = -1;
  h.run->start();
  ASSERT_TRUE(h.drive([&](const Attention& attention) {
    for (std::size_t guard : attention.failed_guards) {
      failed.push_back(guard);
      if (guard == 1) {
        // Told before it is added: it may start at once.
        h.runner->tell(h.run->size(), [](Behaviour& b) { b.succeeds = false; });
        inner_base = h.run->add_exception_part(guard, {step({})}, {});
      } else {
        outer_base = h.run->add_exception_part(guard, {step({})}, {});
      }
    }
  }));
  EXPECT_EQ(failed, (std::vector<std::size_t>{1, 0}));
  ASSERT_EQ(inner_base, 5);
  ASSERT_EQ(outer_base, 6);
  EXPECT_EQ(h.run->guard_cause(0), std::make_pair(5L, -1L));
  EXPECT_EQ(h.status(3), StepStatus::Skipped);
  EXPECT_EQ(h.status(5), StepStatus::Failed);
  EXPECT_EQ(h.status(6), StepStatus::Finished);
  EXPECT_EQ(h.status(4), StepStatus::Finished);
  EXPECT_TRUE(h.runner->after(4, 6));
  EXPECT_EQ(h.run->stop_reason(), StopReason::None);
}

TEST(RunScheduler, AFailingTopExceptionPartStopsTheRun) {
  Harness h;
  h.make({step({}, 0), step({0})}, {PlanGuard{}});
  h.runner->tell(0, [](Behaviour& b) { b.succeeds = false; });
  h.run->start();
  ASSERT_TRUE(h.drive([&](const Attention& attention) {
    for (std::size_t guard : attention.failed_guards) {
      h.runner->tell(h.run->size(), [](Behaviour& b) { b.succeeds = false; });
      h.run->add_exception_part(guard, {step({})}, {});
    }
  }));
  EXPECT_EQ(h.run->stop_reason(), StopReason::Failure);
  EXPECT_EQ(h.run->fatal_step(), 2);
  EXPECT_EQ(h.status(1), StepStatus::Skipped);
}

TEST(RunScheduler, AnExceptionPartThatCannotBeMadeIsAFailure) {
  Harness h;
  h.make({step({}, 0), step({0})}, {PlanGuard{}});
  h.runner->tell(0, [](Behaviour& b) { b.succeeds = false; });
  h.run->start();
  ASSERT_TRUE(h.drive([&](const Attention& attention) {
    for (std::size_t guard : attention.failed_guards) {
      EXPECT_THROW(h.run->add_exception_part(guard, {step({1})}, {}), zarn::PlanError);
      h.run->exception_part_failed(guard);
    }
  }));
  EXPECT_EQ(h.run->stop_reason(), StopReason::Failure);
  EXPECT_EQ(h.run->fatal_step(), -1);
  EXPECT_EQ(h.run->fatal_guard(), 0);
  EXPECT_EQ(h.status(1), StepStatus::Skipped);
}

TEST(RunScheduler, AStepOverItsTimeLimitFailsAndIsReportedForCancelling) {
  Harness h;
  std::vector<PlanStep> steps{step({}), step({0})};
  steps[0].time_limit = 50ms;
  h.make(steps);
  h.runner->tell(0, [](Behaviour& b) { b.blocks = true; });
  std::vector<std::size_t> timed_out;
  const auto began = RunClock::now();
  h.run->start();
  ASSERT_TRUE(h.drive([&](const Attention& attention) {
    for (std::size_t step : attention.timed_out) {
      timed_out.push_back(step);
      h.runner->release(step, true);  // even a late success stays a time-out
    }
  }));
  EXPECT_GE(RunClock::now() - began, 50ms);
  EXPECT_EQ(timed_out, std::vector<std::size_t>{0});
  EXPECT_TRUE(h.run->record(0).timed_out);
  EXPECT_FALSE(h.run->record(0).abandoned);
  EXPECT_EQ(h.status(0), StepStatus::Failed);
  EXPECT_EQ(h.status(1), StepStatus::Skipped);
  EXPECT_EQ(h.run->stop_reason(), StopReason::Failure);
}

TEST(RunScheduler, AStepThatIgnoresItsCancelIsGivenUpOnAfterTheGrace) {
  // Step 0 times out and never returns; the guarded run goes on without it
  // on a replacement worker, and the stuck worker ends when released.
  Harness h;
  std::vector<PlanStep> steps{step({}, 0), step({0})};
  steps[0].time_limit = 30ms;
  RunScheduler::Options options;
  options.cancel_grace = 40ms;
  h.make(steps, {PlanGuard{}}, options);
  h.runner->tell(0, [](Behaviour& b) { b.blocks = true; });
  h.run->start();
  ASSERT_TRUE(h.drive([&](const Attention& attention) {
    for (std::size_t guard : attention.failed_guards) h.run->add_exception_part(guard, {}, {});
  }));
  EXPECT_TRUE(h.run->record(0).abandoned);
  EXPECT_EQ(h.status(1), StepStatus::Finished);
  EXPECT_EQ(h.run->threads_started(), 2u);
  EXPECT_EQ(h.run->stop_reason(), StopReason::None);
  h.runner->release(0);
  ASSERT_TRUE(h.runner->wait_ended(0));
  // The detached worker leaves on its own once its step returns.
  const auto give_up = RunClock::now() + 5s;
  while (h.runner->threads_.load() != 0 && RunClock::now() < give_up) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(h.runner->threads_.load(), 0);
}

TEST(RunScheduler, AStopRequestSkipsWhatHasNotStartedAndReportsWhatRuns) {
  Harness h;
  h.make({step({}), step({0}), step({})});
  h.runner->tell(0, [](Behaviour& b) { b.blocks = true; });
  h.runner->tell(2, [](Behaviour& b) { b.blocks = true; });
  h.run->start();
  ASSERT_TRUE(h.runner->wait_started(0));
  ASSERT_TRUE(h.runner->wait_started(2));
  h.run->stop(StopReason::Interrupted);
  std::vector<std::size_t> in_flight;
  ASSERT_TRUE(h.drive([&](const Attention& attention) {
    if (!attention.stopping) return;
    in_flight = attention.in_flight;
    h.runner->release(0, true);
    h.runner->release(2, false);
  }));
  std::sort(in_flight.begin(), in_flight.end());
  EXPECT_EQ(in_flight, (std::vector<std::size_t>{0, 2}));
  EXPECT_EQ(h.run->stop_reason(), StopReason::Interrupted);
  EXPECT_EQ(h.status(0), StepStatus::Finished);
  EXPECT_EQ(h.status(1), StepStatus::Skipped);
  EXPECT_EQ(h.status(2), StepStatus::Failed);
}

TEST(RunScheduler, AbandoningInFlightEndsTheRunWithoutWaiting) {
  Harness h;
  h.make({step({}), step({0})});
  h.runner->tell(0, [](Behaviour& b) { b.blocks = true; });
  h.run->start();
  ASSERT_TRUE(h.runner->wait_started(0));
  h.run->stop(StopReason::Interrupted);
  h.run->abandon_in_flight();
  ASSERT_TRUE(h.drive());
  EXPECT_TRUE(h.run->record(0).abandoned);
  h.runner->release(0);
  ASSERT_TRUE(h.runner->wait_ended(0));
}

TEST(RunScheduler, ARunThatCanNeverGoOnStopsAsStalled) {
  // A turn that nobody grants, and a step waiting for it.
  Harness h;
  std::vector<PlanStep> steps{step({}), step({0})};
  steps[0].asynchronous = true;
  h.make(steps);
  h.run->start();
  ASSERT_TRUE(h.drive());
  EXPECT_EQ(h.run->stop_reason(), StopReason::Stalled);
  EXPECT_EQ(h.status(0), StepStatus::Skipped);
  EXPECT_EQ(h.status(1), StepStatus::Skipped);
}

TEST(RunScheduler, ManyRunsInARowLeaveNoWorkers) {
  auto runner = std::make_shared<ScriptedRunner>();
  for (int round = 0; round < 50; ++round) {
    std::vector<PlanStep> steps{step({}), step({0}), step({0}), step({0}), step({1, 2, 3})};
    auto run = RunScheduler::create(steps, {}, runner, {});
    run->start();
    while (!run->wait_until(RunClock::now() + 5s) || !run->take_attention().finished) {
    }
    run->join();
    ASSERT_EQ(runner->threads_.load(), 0) << "round " << round;
  }
}

TEST(RunScheduler, AConditionLeavesTheWayItDoesNotTakeAndAFailedAttemptIsTriedAgain) {
  // 0 decides 0: way A (step 1, taken on 1) is left, way B (step 2) runs.
  // Then two attempts of one part: 3 fails, so 4 runs; 5 follows both.
  using zarn::PartKind;
  std::vector<PlanStep> steps = {step({}),     step({0}, 0), step({1}, 1),
                                 step({2}, 2), step({3}, 3), step({4})};
  steps[0].decides = true;
  std::vector<PlanGuard> guards(4);
  guards[0].kind = guards[1].kind = PartKind::Way;
  guards[0].decision = guards[1].decision = 0;
  guards[0].taken_when = true;
  guards[1].taken_when = false;
  guards[2].kind = guards[3].kind = PartKind::Attempt;
  guards[2].next = 3;
  Harness h;
  h.make(std::move(steps), std::move(guards));
  h.runner->tell(0, [](Behaviour& b) { b.decision = 0; });
  h.runner->tell(3, [](Behaviour& b) { b.succeeds = false; });
  h.run->start();
  ASSERT_TRUE(h.drive());
  EXPECT_EQ(h.run->stop_reason(), StopReason::None);
  EXPECT_EQ(h.status(1), StepStatus::NotTaken);
  EXPECT_EQ(h.status(2), StepStatus::Finished);
  EXPECT_EQ(h.status(3), StepStatus::Failed);
  EXPECT_EQ(h.status(4), StepStatus::Finished);
  EXPECT_EQ(h.status(5), StepStatus::Finished);
  EXPECT_FALSE(h.runner->started(1));
}

TEST(RunScheduler, APausedRunStartsNothingButTheStepsLetThroughAndAFailureWaitsForAChoice) {
  // A chain of four; the second fails once and the operator retries it.
  RunScheduler::Options options;
  options.ask_on_failure = true;
  Harness h;
  h.make(chain(4), {}, options);
  h.runner->tell(1, [](Behaviour& b) { b.succeeds = false; });
  ASSERT_TRUE(h.run->pause());
  h.run->start();
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(h.runner->starts().empty());
  h.run->step_once();
  ASSERT_TRUE(h.runner->wait_ended(0));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(h.runner->starts(), std::vector<std::size_t>{0});
  ASSERT_TRUE(h.run->resume());
  std::vector<std::size_t> asked;
  ASSERT_TRUE(h.drive([&](const Attention& attention) {
    for (std::size_t failed : attention.to_choose) {
      asked.push_back(failed);
      EXPECT_TRUE(h.run->paused());
      h.runner->tell(failed, [](Behaviour& b) { b.succeeds = true; });
      EXPECT_TRUE(h.run->choose(failed, zarn::FailureChoice::Retry));
    }
  }));
  EXPECT_EQ(asked, std::vector<std::size_t>{1});
  EXPECT_EQ(h.runner->starts(), (std::vector<std::size_t>{0, 1, 1, 2, 3}));
  EXPECT_EQ(h.run->stop_reason(), StopReason::None);
  EXPECT_EQ(h.run->pauses().size(), 2U);
}
