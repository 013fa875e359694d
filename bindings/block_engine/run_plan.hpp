// The records of a run plan (ZarnRunPlan and its parts): made by the block
// module's run_plan(), read by the run engine (_zarnexec), which takes the
// fields straight from these structs rather than through attribute lookups,
// since a plan may hold many thousands of steps.
#pragma once

#include <nanobind/nanobind.h>

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

}  // namespace zarn::py
