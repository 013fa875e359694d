#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zarn/run/competition.hpp"
#include "zarn/run/priority_queue.hpp"

using namespace std::chrono_literals;

TEST(PriorityQueue, HigherPriorityFirstThenFirstComeFirstServed) {
  zarn::PriorityQueue<std::string> queue;
  queue.push("low", 0);
  queue.push("normal-1", 1);
  queue.push("high", 2);
  queue.push("normal-2", 1);
  queue.push("normal-3", 1);
  EXPECT_EQ(queue.size(), 5u);
  std::vector<std::string> order;
  while (auto item = queue.try_pop()) order.push_back(*item);
  EXPECT_EQ(order, (std::vector<std::string>{"high", "normal-1", "normal-2", "normal-3", "low"}));
  EXPECT_FALSE(queue.try_pop());
  EXPECT_FALSE(queue.pop_for(1ms));
}

TEST(PriorityQueue, PopWaitsForAProducer) {
  zarn::PriorityQueue<int> queue;
  std::thread producer([&] {
    std::this_thread::sleep_for(10ms);
    queue.push(7, 0);
  });
  EXPECT_EQ(queue.pop(), 7);
  producer.join();
  queue.push(1, 0);
  queue.push(2, 5);
  EXPECT_EQ(queue.take_all(), (std::vector<int>{2, 1}));
  EXPECT_EQ(queue.size(), 0u);
}

namespace {

// Records the order of grants; each grant is released by the test.
struct Journal {
  std::mutex mutex;
  std::vector<std::size_t> grants;
  void note(std::size_t branch) {
    std::lock_guard lock(mutex);
    grants.push_back(branch);
  }
};

}  // namespace

TEST(Competition, FreeModuleGoesToTheFirstAskerWhenNothingElseIsReady) {
  zarn::Competition competition({0, 2, 1});
  Journal journal;
  competition.request(0, [&] { journal.note(0); });
  EXPECT_EQ(journal.grants, (std::vector<std::size_t>{0}));
  EXPECT_EQ(competition.holder(), 0u);

  // While 0 holds the module, the others queue; the higher priority goes next.
  competition.request(2, [&] { journal.note(2); });
  competition.request(1, [&] { journal.note(1); });
  EXPECT_EQ(journal.grants.size(), 1u);
  competition.release(0);
  EXPECT_EQ(journal.grants, (std::vector<std::size_t>{0, 1}));
  competition.release(1);
  EXPECT_EQ(journal.grants, (std::vector<std::size_t>{0, 1, 2}));
  competition.release(2);
  EXPECT_FALSE(competition.holder());
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(competition.finished(i));
}

TEST(Competition, BranchesReadyByTheirEventsWinOverAnEarlierLowerAsker) {
  auto start = std::make_shared<zarn::Event>();
  zarn::Competition competition({0, 2, 1});
  for (std::size_t i = 0; i < 3; ++i) competition.set_ready_events(i, {start});
  Journal journal;
  start->set();
  // The low branch asks first, but the high one is ready too: it gets the turn
  // and the low one waits although it asked first.
  competition.request(0, [&] { journal.note(0); });
  EXPECT_TRUE(journal.grants.empty());
  EXPECT_EQ(competition.holder(), 1u);
  competition.request(1, [&] { journal.note(1); });
  EXPECT_EQ(journal.grants, (std::vector<std::size_t>{1}));
  competition.request(2, [&] { journal.note(2); });
  competition.release(1);
  competition.release(2);
  competition.release(0);
  EXPECT_EQ(journal.grants, (std::vector<std::size_t>{1, 2, 0}));
}

TEST(Competition, ABranchWhoseEventsAreNotSetDoesNotHoldUpTheOthers) {
  auto start = std::make_shared<zarn::Event>();
  auto late = std::make_shared<zarn::Event>();
  zarn::Competition competition({5, 0});
  competition.set_ready_events(0, {start, late});
  competition.set_ready_events(1, {start});
  start->set();
  Journal journal;
  competition.request(1, [&] { journal.note(1); });
  EXPECT_EQ(journal.grants, (std::vector<std::size_t>{1}));
  late->set();
  competition.request(0, [&] { journal.note(0); });
  EXPECT_EQ(journal.grants.size(), 1u);
  competition.release(1);
  EXPECT_EQ(journal.grants, (std::vector<std::size_t>{1, 0}));
}

TEST(Competition, RefusesRepeatedTurnsAndForeignReleases) {
  zarn::Competition competition({0, 0});
  competition.request(0, [] {});
  EXPECT_THROW(competition.request(0, [] {}), zarn::CompetitionError);
  EXPECT_THROW(competition.release(1), zarn::CompetitionError);
  EXPECT_THROW(competition.request(2, [] {}), zarn::CompetitionError);
  competition.release(0);
  EXPECT_THROW(competition.release(0), zarn::CompetitionError);
  EXPECT_THROW(competition.request(0, [] {}), zarn::CompetitionError);
}

TEST(Competition, ThreadsNeverShareTheModuleAndEachRunsOnce) {
  constexpr std::size_t kBranches = 8;
  zarn::Competition competition(std::vector<int>(kBranches, 0));
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::vector<int> runs(kBranches, 0);
  std::vector<std::thread> threads;
  for (std::size_t b = 0; b < kBranches; ++b) {
    threads.emplace_back([&, b] {
      auto granted = std::make_shared<zarn::Event>();
      competition.request(b, [granted] { granted->set(); });
      ASSERT_TRUE(granted->wait_for(10s));
      if (++inside != 1) ++overlaps;
      std::this_thread::sleep_for(1ms);
      ++runs[b];
      --inside;
      competition.release(b);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(runs, std::vector<int>(kBranches, 1));
}
