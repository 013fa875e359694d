// What a run checks of a plan before it starts: waits in range and without a
// circle, parts that exist and enclose one another in a tree; and the plan's
// width, which sizes the pool.
#include <algorithm>
#include <string>

#include "scheduler_state.hpp"
#include "zarn/run/scheduler.hpp"
#include "zarn/run/wait_order.hpp"

namespace zarn {

// Checks waits and guards of steps that will be numbered from 0 within
// their own group, and that no guard encloses itself; returns the plan's width.
std::size_t check_plan(const std::vector<PlanStep>& steps, const std::vector<PlanGuard>& guards) {
  const long guard_count = static_cast<long>(guards.size());
  for (std::size_t g = 0; g < guards.size(); ++g) {
    long outer = guards[g].outer;
    if (outer >= guard_count) {
      throw PlanError("guarded part " + std::to_string(g) + " lies in guarded part " +
                      std::to_string(outer) + ", which does not exist");
    }
    for (long depth = 0; outer >= 0; outer = guards[static_cast<std::size_t>(outer)].outer) {
      if (++depth > guard_count) {
        throw PlanError("guarded parts enclose each other in a circle, starting at part " +
                        std::to_string(g));
      }
    }
  }
  for (std::size_t g = 0; g < guards.size(); ++g) {
    const PlanGuard& guard = guards[g];
    if (guard.kind == PartKind::Way &&
        (guard.decision < 0 || static_cast<std::size_t>(guard.decision) >= steps.size() ||
         !steps[static_cast<std::size_t>(guard.decision)].decides)) {
      throw PlanError("way " + std::to_string(g) + " has no deciding step");
    }
    if (guard.kind == PartKind::Attempt && guard.next >= guard_count) {
      throw PlanError("attempt " + std::to_string(g) + " is followed by part " +
                      std::to_string(guard.next) + ", which does not exist");
    }
  }
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].guard >= guard_count) {
      throw PlanError("step " + std::to_string(i) + " lies in guarded part " +
                      std::to_string(steps[i].guard) + ", which does not exist");
    }
  }
  return RunScheduler::plan_width(steps);  // the waits: in range, no circle
}

std::size_t RunScheduler::plan_width(const std::vector<PlanStep>& steps) {
  const std::size_t count = steps.size();
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j : steps[i].waits) {
      if (j >= count) {
        throw PlanError("step " + std::to_string(i) + " waits for step " + std::to_string(j) +
                        ", but the plan has " + std::to_string(count) + " steps");
      }
    }
  }
  const WaitOrder order = order_waits(
      count,
      [&steps](std::size_t step) -> const std::vector<std::size_t>& { return steps[step].waits; });
  if (!order.circle.empty()) throw PlanError("some steps wait for one another in a circle");
  std::vector<std::size_t> per_level;
  for (std::size_t level : order.level) {
    if (per_level.size() <= level) per_level.resize(level + 1, 0);
    ++per_level[level];
  }
  return per_level.empty() ? 0 : *std::max_element(per_level.begin(), per_level.end());
}

}  // namespace zarn
