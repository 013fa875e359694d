// The run plan of a compiled chain: every action with what it waits for, the
// competitions with their branches and priorities, and the guarded parts, all
// known before anything runs. An executor can count each action's unfinished
// waits, hand the action to a worker when the count reaches zero, and never
// needs a thread blocked per waiting action. Its records (ZarnRunPlan and its
// parts) are read by the run engine (_zarnexec) straight from these structs
// rather than through attribute lookups, since a plan may hold many thousands
// of steps.
#pragma once

#include <nanobind/nanobind.h>

#include "block_engine/engine.hpp"

namespace zarn::py {

namespace nb = nanobind;

struct RunStep {
  nb::object index, action, kind, waits, after, events, competition, branch, guard;
};
struct RunBranch {
  nb::object index, priority, turn, release, steps;
};
struct RunCompetition {
  nb::object competition, module_name, start, join, branches;
};
struct RunGuard {
  nb::object guard, exception, steps, outer;
};
struct RunPlan {
  nb::object steps, competitions, guards;
};

// The plan of the chain from `self` (ZarnBlock.run_plan()).
ZARN_ENGINE_API nb::object run_plan(nb::handle self);

}  // namespace zarn::py
