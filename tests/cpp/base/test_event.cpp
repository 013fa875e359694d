#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "zarn/base/event.hpp"

using namespace std::chrono_literals;

TEST(Event, StartsClearAndFollowsSetAndClear) {
  zarn::Event event;
  EXPECT_FALSE(event.is_set());
  EXPECT_FALSE(event.wait_for(1ms));
  event.set();
  EXPECT_TRUE(event.is_set());
  EXPECT_TRUE(event.wait_for(0ms));
  event.wait();  // returns at once when already set
  event.clear();
  EXPECT_FALSE(event.is_set());
}

TEST(Event, SetReleasesEveryWaiter) {
  zarn::Event event;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 8; ++i) {
    waiters.emplace_back([&] {
      event.wait();
      ++released;
    });
  }
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(released.load(), 0);
  event.set();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 8);
}

TEST(Event, TimedWaitReturnsEarlyWhenSet) {
  zarn::Event event;
  std::thread setter([&] {
    std::this_thread::sleep_for(10ms);
    event.set();
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(event.wait_for(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  setter.join();
}

TEST(Event, OnSetRunsOnceWhenRaisedAndAtOnceWhenAlreadyRaised) {
  zarn::Event event;
  std::vector<int> calls;
  event.add_on_set([&] { calls.push_back(1); });
  event.add_on_set([&] { calls.push_back(2); });
  EXPECT_TRUE(calls.empty());
  event.set();
  EXPECT_EQ(calls, (std::vector<int>{1, 2}));

  // Already raised: the callback runs on the spot.
  event.add_on_set([&] { calls.push_back(3); });
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 3}));

  // A callback runs only once, whatever happens to the flag later.
  event.clear();
  event.set();
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 3}));
}

TEST(Event, OnSetCallbackMayUseItsOwnEvent) {
  zarn::Event event;
  bool seen_set = false;
  bool nested_ran = false;
  event.add_on_set([&] {
    // Runs outside the event's lock: these calls must not deadlock.
    seen_set = event.is_set();
    event.add_on_set([&] { nested_ran = true; });
  });
  event.set();
  EXPECT_TRUE(seen_set);
  EXPECT_TRUE(nested_ran);
}

TEST(Event, HandsWorkOverOnceEveryAwaitedEventIsSet) {
  // What an executor does: count the unfinished predecessors of an action and
  // dispatch it from the callback that brings the count to zero.
  constexpr int kPredecessors = 6;
  std::vector<std::shared_ptr<zarn::Event>> finished;
  for (int i = 0; i < kPredecessors; ++i) finished.push_back(std::make_shared<zarn::Event>());
  std::atomic<int> pending{kPredecessors};
  std::atomic<int> dispatched{0};
  for (auto& event : finished) {
    event->add_on_set([&] {
      if (--pending == 0) ++dispatched;
    });
  }
  finished[0]->set();  // before the others start: still waiting
  EXPECT_EQ(dispatched.load(), 0);
  std::vector<std::thread> setters;
  for (int i = 1; i < kPredecessors; ++i) setters.emplace_back([&, i] { finished[i]->set(); });
  for (auto& setter : setters) setter.join();
  EXPECT_EQ(dispatched.load(), 1);
}

TEST(Event, AWaiterKeepsItsEventAliveWhenTheOwnerDropsIt) {
  auto owner = std::make_shared<zarn::Event>();
  std::weak_ptr<zarn::Event> observer = owner;
  std::atomic<bool> woke{false};
  std::thread waiter([event = owner, &woke] {
    event->wait();
    woke = true;
  });
  owner.reset();  // the waiter's share keeps the event
  std::this_thread::sleep_for(10ms);
  auto still_there = observer.lock();
  ASSERT_NE(still_there, nullptr);
  EXPECT_FALSE(woke.load());
  still_there->set();
  waiter.join();
  EXPECT_TRUE(woke.load());
  still_there.reset();
  EXPECT_TRUE(observer.expired());
}
