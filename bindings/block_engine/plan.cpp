#include "block_engine/plan.hpp"

#include <nanobind/stl/string.h>

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "block_engine/chain.hpp"
#include "block_engine/groups.hpp"
#include "block_engine/markers.hpp"
#include "zarn/run/wait_order.hpp"

namespace zarn::py {

namespace {

nb::object index_or_none(long value) {
  return value < 0 ? nb::none() : nb::object(nb::int_(value));
}

// Refuses a plan in which some actions wait for one another in a circle.
void refuse_circles(const std::vector<std::vector<std::size_t>>& waits, nb::handle items) {
  const WaitOrder order = order_waits(
      waits.size(),
      [&waits](std::size_t step) -> const std::vector<std::size_t>& { return waits[step]; });
  if (order.circle.empty()) return;
  std::string circle;
  constexpr std::size_t kShown = 8;
  for (std::size_t k = 0; k < order.circle.size() && k < kShown; ++k) {
    circle += describe(items[order.circle[k]]) + " waits for ";
  }
  if (order.circle.size() > kShown) circle += "... ";
  circle += describe(items[order.circle.front()]);
  throw nb::value_error(("run_plan(): these actions wait for one another, so none of them could "
                         "ever start: " +
                         circle)
                            .c_str());
}

}  // namespace

nb::object run_plan(nb::handle self) {
  nb::list items = flatten_chain(self, "run_plan()");
  wire_sequence(items, nb::none(), true);
  lift_turn_waits(items);
  const std::size_t count = nb::len(items);

  // One int object per step, shared by every record that names the step: a
  // plan of many thousands of steps would otherwise hold several of each.
  std::vector<nb::object> step_numbers;
  step_numbers.reserve(count);
  for (std::size_t i = 0; i < count; ++i) step_numbers.push_back(nb::int_(i));
  auto step_number = [&](long step) { return step_numbers[static_cast<std::size_t>(step)]; };

  std::unordered_map<PyObject*, long> action_at, signal_at;
  for (std::size_t i = 0; i < count; ++i) {
    nb::handle action = items[i];
    if (!action_at.emplace(action.ptr(), static_cast<long>(i)).second) {
      throw nb::value_error(("run_plan(): " + describe(action) +
                             " stands twice in the run, but an action runs once; repeat a "
                             "block by copying it")
                                .c_str());
    }
    signal_at.emplace(action_fields(action).finish_signal.ptr(), static_cast<long>(i));
  }

  struct Frame {
    long competition;  // -1 for a parallel group
  };
  std::vector<RunCompetition> competitions;
  std::vector<std::vector<RunBranch>> branches_of;  // per competition
  std::vector<Frame> frames;
  std::vector<std::pair<std::size_t, std::size_t>> open;  // (competition, branch slot)
  std::vector<std::vector<std::size_t>> waits(count);
  nb::list steps;

  std::unordered_map<PyObject*, long> guard_at;
  std::vector<nb::object> guards;
  std::vector<std::vector<long>> guard_steps;
  auto guard_index = [&](nb::handle guard) -> long {
    auto found = guard_at.find(guard.ptr());
    if (found != guard_at.end()) return found->second;
    long index = static_cast<long>(guards.size());
    guard_at.emplace(guard.ptr(), index);
    guards.push_back(nb::borrow(guard));
    guard_steps.emplace_back();
    return index;
  };

  for (std::size_t i = 0; i < count; ++i) {
    nb::handle action = items[i];
    ZarnAction& fields = action_fields(action);
    const std::string role = marker_role(action);
    const long here = static_cast<long>(i);

    // What the action waits for: its dependencies, then its predecessor.
    std::unordered_set<long> known;
    nb::list events;
    for (nb::handle dependency : fields.dependency) {
      if (is_identifier(dependency)) {
        throw nb::value_error(("run_plan(): " + describe(action) +
                               " waits for the unresolved name " + describe(dependency.attr("id")))
                                  .c_str());
      }
      if (!is_action(dependency)) {
        throw nb::type_error(("run_plan(): " + describe(action) + " waits for " +
                              describe(dependency) + ", which is not an action")
                                 .c_str());
      }
      nb::object signal = action_fields(dependency).finish_signal;
      events.append(signal);
      auto found = action_at.find(dependency.ptr());
      if (found == action_at.end()) {
        if (!truthy(signal.attr("is_set")())) {
          throw nb::value_error(("run_plan(): " + describe(action) + " waits for " +
                                 describe(dependency) +
                                 ", which is not part of this run, so it could never start")
                                    .c_str());
        }
        continue;
      }
      if (known.insert(found->second).second) {
        waits[i].push_back(static_cast<std::size_t>(found->second));
      }
    }
    long after = -1;
    if (!fields.script_dep.is_none()) {
      events.append(fields.script_dep);
      auto found = signal_at.find(fields.script_dep.ptr());
      if (found != signal_at.end()) {
        after = found->second;
        if (known.insert(after).second) waits[i].push_back(static_cast<std::size_t>(after));
      }
    }

    // Where the action stands: its competition and branch, its guarded part.
    long competition = -1, branch = -1;
    auto record_in_open = [&](long step) {
      for (auto& [c, b] : open) {
        nb::borrow<nb::list>(branches_of[c][b].steps).append(step_number(step));
      }
    };
    if (role == "start") {
      record_in_open(here);
      nb::object arbiter = action.attr("competition");
      if (arbiter.is_none()) {
        frames.push_back({-1});
      } else {
        frames.push_back({static_cast<long>(competitions.size())});
        competitions.push_back(
            {arbiter, arbiter.attr("module_name"), step_number(here), nb::none(), nb::list()});
        branches_of.emplace_back();
      }
    } else if (role == "join") {
      if (frames.empty()) throw nb::value_error("run_plan(): a group's join without its start");
      Frame frame = frames.back();
      frames.pop_back();
      if (frame.competition >= 0) {
        competitions[static_cast<std::size_t>(frame.competition)].join = step_number(here);
      }
      record_in_open(here);
    } else if (role == "turn") {
      record_in_open(here);
      if (frames.empty() || frames.back().competition < 0) {
        throw nb::value_error("run_plan(): a competing branch's turn outside its competition");
      }
      const std::size_t c = static_cast<std::size_t>(frames.back().competition);
      const long number = nb::cast<long>(action.attr("branch"));
      nb::object priorities = competitions[c].competition.attr("priorities");
      nb::object priority = number < static_cast<long>(nb::len(priorities))
                                ? nb::object(priorities[number])
                                : nb::none();
      branches_of[c].push_back(
          {nb::int_(number), priority, step_number(here), nb::none(), nb::list()});
      open.emplace_back(c, branches_of[c].size() - 1);
      competition = static_cast<long>(c);
      branch = number;
    } else if (role == "release") {
      if (open.empty()) throw nb::value_error("run_plan(): a release without its turn");
      auto [c, b] = open.back();
      open.pop_back();
      branches_of[c][b].release = step_number(here);
      competition = static_cast<long>(c);
      branch = nb::cast<long>(branches_of[c][b].index);
      record_in_open(here);
    } else {
      record_in_open(here);
    }
    if (competition < 0 && !open.empty()) {
      competition = static_cast<long>(open.back().first);
      branch = nb::cast<long>(branches_of[open.back().first][open.back().second].index);
    }

    long guard = -1;
    nb::object part = fields.guard;
    for (int depth = 0; !part.is_none(); ++depth) {
      if (depth > 10000)
        throw nb::value_error("run_plan(): guarded parts enclose each other in a loop");
      long index = guard_index(part);
      if (guard < 0) guard = index;
      guard_steps[static_cast<std::size_t>(index)].push_back(here);
      part = part.attr("outer");
    }

    nb::list wait_list;
    for (std::size_t j : waits[i]) wait_list.append(step_numbers[j]);
    // The kinds are a handful of words: interned, every step shares them.
    nb::object kind = nb::steal(PyUnicode_InternFromString(role.empty() ? "action" : role.c_str()));
    if (!kind.is_valid()) throw nb::python_error();
    steps.append(
        nb::cast(RunStep{step_number(here), nb::borrow(action), kind, wait_list,
                         after < 0 ? nb::none() : step_number(after), events,
                         index_or_none(competition), index_or_none(branch), index_or_none(guard)},
                 nb::rv_policy::move));
  }
  if (!frames.empty() || !open.empty()) {
    throw nb::value_error("run_plan(): a group's markers are out of order");
  }
  refuse_circles(waits, items);

  nb::list competition_list;
  for (std::size_t c = 0; c < competitions.size(); ++c) {
    nb::list branch_list;
    for (RunBranch& entry : branches_of[c])
      branch_list.append(nb::cast(entry, nb::rv_policy::copy));
    competitions[c].branches = branch_list;
    competition_list.append(nb::cast(competitions[c], nb::rv_policy::copy));
  }
  nb::list guard_list;
  for (std::size_t g = 0; g < guards.size(); ++g) {
    nb::list members;
    for (long step : guard_steps[g]) members.append(step_number(step));
    nb::object outer = guards[g].attr("outer");
    long outer_index = -1;
    if (!outer.is_none()) {
      auto found = guard_at.find(outer.ptr());
      if (found != guard_at.end()) outer_index = found->second;
    }
    guard_list.append(nb::cast(
        RunGuard{guards[g], guards[g].attr("exception"), members, index_or_none(outer_index)},
        nb::rv_policy::move));
  }
  return nb::cast(RunPlan{steps, competition_list, guard_list}, nb::rv_policy::move);
}

}  // namespace zarn::py
