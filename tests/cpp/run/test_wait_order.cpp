#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "zarn/run/wait_order.hpp"

namespace {

using Waits = std::vector<std::vector<std::size_t>>;

zarn::WaitOrder order(const Waits& waits) {
  return zarn::order_waits(
      waits.size(),
      [&waits](std::size_t step) -> const std::vector<std::size_t>& { return waits[step]; });
}

}  // namespace

TEST(WaitOrder, LevelsCountTheLongestChainOfWaits) {
  // 0 <- 1 <- 3, and 0 <- 2 <- 3 through a longer lane 2 <- 4.
  const zarn::WaitOrder found = order({{}, {0}, {0}, {1, 4}, {2}});
  EXPECT_TRUE(found.circle.empty());
  EXPECT_EQ(found.level, (std::vector<std::size_t>{0, 1, 1, 3, 2}));
}

TEST(WaitOrder, ACircleIsListedInTheOrderItsStepsWaitForOneAnother) {
  // 0 only waits behind the circle 1 -> 3 -> 2 -> 1; 4 stands apart.
  const zarn::WaitOrder found = order({{1}, {3}, {1}, {2}, {}});
  EXPECT_EQ(found.circle, (std::vector<std::size_t>{1, 3, 2}));
  EXPECT_EQ(order({{0}}).circle, (std::vector<std::size_t>{0}));
}
