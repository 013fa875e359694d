// The simulated controller on its simulated clock, as an estimate runs it:
// the time moves on only while every waiting thread waits, and jumps to
// the next event.
#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "zarn/base/virtual_clock.hpp"
#include "zarn/client/records.hpp"
#include "zarn/sim/local.hpp"

namespace rec = zarn::records;
namespace sim = zarn::sim;
using Woken = zarn::VirtualClock::Woken;

namespace {

std::string action(int module, int func, std::vector<std::int64_t> args, const std::string& id,
                   std::vector<std::string> deps) {
  rec::ActionValues values;
  values.integers = {module, func};
  values.integers.insert(values.integers.end(), args.begin(), args.end());
  values.cmd_id = id;
  values.dependencies = std::move(deps);
  return rec::pack_action(values);
}

}  // namespace

TEST(VirtualClock, JumpsToWhatIsDueWaitsForHoldersAndEndsWaitsNothingCanEnd) {
  zarn::VirtualClock clock;
  // One hold for the test: nothing may move yet. One for the early waiter,
  // which lets it go while it waits and keeps it from its wake until it has
  // read the time (a wait's own hold ends with the wait, and the clock would
  // be free to jump on to 5 before the read).
  clock.hold(2);
  auto late = std::async(std::launch::async, [&] { return clock.block({}, 5.0); });
  auto early = std::async(std::launch::async, [&] {
    const zarn::VirtualClock::HeldHere held_here(clock);
    const Woken woken = clock.block({}, 2.0);
    const double woke_at = clock.now();
    clock.release();
    return std::make_pair(woken, woke_at);
  });
  EXPECT_EQ(early.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_EQ(clock.now(), 0.0);
  clock.release();
  EXPECT_EQ(early.get(), std::make_pair(Woken::Due, 2.0));
  EXPECT_EQ(late.get(), Woken::Due);
  EXPECT_EQ(clock.now(), 5.0);
  // A waiter outside any run holds the clock for itself while it waits:
  // the holds are as they were once it is back.
  EXPECT_EQ(clock.holds(), 0U);

  bool set = false;
  const std::function<bool()> is_set = [&] { return set; };
  EXPECT_EQ(clock.block(is_set, std::nullopt), Woken::Stuck);
  EXPECT_EQ(clock.standstills(), 1U);
  // Held by the test, the time cannot reach the wait's end before the flag.
  clock.hold();
  auto waiting = std::async(std::launch::async, [&] { return clock.block(is_set, 60.0); });
  clock.with_lock([&] {
    set = true;
    clock.changed_locked();
  });
  EXPECT_EQ(waiting.get(), Woken::Ready);
  clock.release();
  clock.close();
  EXPECT_EQ(clock.block(is_set, 70.0), Woken::Closed);
}

TEST(LocalController, CommandsTakeTheirModelledTimeAndAnInputNoOneSetsIsStuck) {
  sim::LocalController local(
      sim::load_machine(std::string(ZARN_SOURCE_DIR) + "/examples/handler_settings.yaml"));
  const double start = local.clock()->now();
  // A homing of drive 13 (HomingTime 0.5 s in the example machine).
  const std::string reply = local.exchange_action(action(2, 3, {17}, "home", {"502"}));
  ASSERT_EQ(reply.size(), rec::kActionRecordBytes);
  const sim::LocalController::Awaited homed = local.await_result("home");
  EXPECT_EQ(homed.ending, sim::LocalController::Ending::Published);
  EXPECT_DOUBLE_EQ(local.clock()->now() - start, 0.5);

  // The start button (device 1, input 9): nothing in the machine sets it.
  EXPECT_EQ(local.await_input(1, 9, 1, std::nullopt, nullptr), Woken::Stuck);
  const double stuck_at = local.clock()->now();  // once the drive has settled
  EXPECT_EQ(local.await_input(1, 9, 1, 3.0, nullptr), Woken::Due);
  EXPECT_DOUBLE_EQ(local.clock()->now() - stuck_at, 3.0);
  EXPECT_EQ(local.force_input(1, 9, 1), "");
  EXPECT_EQ(local.await_input(1, 9, 1, std::nullopt, nullptr), Woken::Ready);
  EXPECT_NE(local.force_input(1, 99, 1), "");

  // A cancel ends a result wait that nothing else would end, a flag a sleep
  // (the test holds the clock meanwhile: no time may pass).
  local.clock()->hold();
  auto awaited = std::async(std::launch::async, [&] { return local.await_result("never"); });
  bool cancelled = false;
  auto slept = std::async(std::launch::async, [&] { return local.sleep(100.0, &cancelled); });
  local.set_flag(cancelled);
  EXPECT_EQ(slept.get(), Woken::Ready);
  local.cancel_all();
  local.clock()->release();
  EXPECT_NE(awaited.get().ending, sim::LocalController::Ending::Published);
}
