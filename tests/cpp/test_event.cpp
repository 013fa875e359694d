#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "zarn/event.hpp"

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
