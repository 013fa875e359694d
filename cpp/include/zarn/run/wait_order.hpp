// The order in which steps that wait for one another can run, and the circle
// that keeps some from ever running. One check for every plan: the run
// scheduler's and the block engine's run plan both ask here.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace zarn {

struct WaitOrder {
  // Per step, its level: the length of the longest chain of waits that ends
  // at it (0 for a step that waits for nothing). Meaningless when `circle`
  // is not empty.
  std::vector<std::size_t> level;
  // Steps that wait for one another in a circle, when some do: each waits for
  // the next and the last for the first. Found from the lowest-numbered step
  // that can never run, following the first of its waits that can never
  // finish either. Empty when every step can run.
  std::vector<std::size_t> circle;
};

// `waits_of(i)` lists the steps that step i waits for, each below `count`.
using WaitsOf = std::function<const std::vector<std::size_t>&(std::size_t step)>;

WaitOrder order_waits(std::size_t count, const WaitsOf& waits_of);

}  // namespace zarn
