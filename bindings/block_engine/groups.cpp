// Parallel and competing groups: their markers, their wiring, the arbiter of
// a competition, and the guards of guarded parts.
//
// A group is wired once its branches are known, so that the actions of an
// evaluated chain can simply be run, each on a thread of its own:
//
//   parallel:  start -> every branch (its actions one after another) -> join
//   compete:   start -> turn_i -> branch i -> release_i -> join, for every i
//
// A branch's first action waits for the start marker (a competing branch's
// for its turn), the join waits for the last action of every branch (for
// every release), and whatever follows the group waits for the join. A turn
// finishes when the competition gives the branch the module; the release
// hands the module on. A turn also waits for everything its branch's actions
// wait for outside the branch, so that a branch never holds the module while
// it waits for something else: no competition can stall on itself.

#include <nanobind/stl/string.h>

#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "block_engine/engine.hpp"
#include "common/abstract_base.hpp"
#include "common/waiting.hpp"
#include "zarn/run/competition.hpp"

namespace zarn::py {

// --- markers ----------------------------------------------------------------------

nb::object make_marker(const char* role, nb::handle module) {
  nb::object marker = nb::handle(imports.marker_type)(module, nb::arg("role") = role);
  return marker;
}

std::string marker_role(nb::handle item) {
  if (!PyObject_TypeCheck(item.ptr(), reinterpret_cast<PyTypeObject*>(imports.marker_type))) {
    return "";
  }
  return nb::cast<std::string>(item.attr("role"));
}

namespace {

nb::object finish_signal_of(nb::handle action) { return action_fields(action).finish_signal; }

void set_waits(nb::handle action, nb::list dependency, nb::handle script_dep) {
  ZarnAction& fields = action_fields(action);
  fields.dependency = std::move(dependency);
  fields.script_dep = nb::borrow(script_dep);
}

}  // namespace

void wire_sequence(nb::handle items, nb::handle start, bool keep_first) {
  int depth = 0;
  nb::object previous = nb::borrow(start.is_valid() ? start : nb::handle(Py_None));
  bool first = true;
  for (nb::handle item : items) {
    const std::string role = marker_role(item);
    if (depth == 0) {
      if (!(first && keep_first)) action_fields(item).script_dep = previous;
      first = false;
    }
    if (role == "start") {
      ++depth;
    } else if (role == "join") {
      if (--depth < 0)
        throw nb::value_error("a group's markers are out of order: a join without its start");
    }
    if (depth == 0) previous = finish_signal_of(item);
  }
  if (depth != 0)
    throw nb::value_error("a group's markers are out of order: a start without its join");
}

void lift_turn_waits(nb::handle items) {
  struct Open {
    nb::object turn;
    std::size_t from;
  };
  std::vector<Open> open;
  std::vector<nb::object> seen;
  for (nb::handle item : items) seen.push_back(nb::borrow(item));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const std::string role = marker_role(seen[i]);
    if (role == "turn") {
      open.push_back({seen[i], i});
      continue;
    }
    if (role != "release") continue;
    if (open.empty())
      throw nb::value_error("a group's markers are out of order: a release without its turn");
    Open branch = std::move(open.back());
    open.pop_back();
    // Innermost branches close first, so an inner turn's waits are known
    // when the branch around it is looked at.
    std::unordered_set<PyObject*> inside;
    for (std::size_t k = branch.from + 1; k < i; ++k) inside.insert(seen[k].ptr());
    std::unordered_set<PyObject*> known;
    nb::list outside;
    for (std::size_t k = branch.from + 1; k < i; ++k) {
      for (nb::handle dependency : action_fields(seen[k]).dependency) {
        if (!is_action(dependency) || inside.count(dependency.ptr()) != 0) continue;
        if (known.insert(dependency.ptr()).second) outside.append(dependency);
      }
    }
    action_fields(branch.turn).dependency = outside;
  }
  if (!open.empty())
    throw nb::value_error("a group's markers are out of order: a turn without its release");
}

// --- the competition ------------------------------------------------------------------

namespace {

// A turn asked for and not yet given: the marker to finish and the callback
// to call once the module is the branch's. The arbiter keeps it out of the
// collector's sight, and it leads back to the competition (the marker holds
// it); the competition lists it as well, so that the collector can follow
// and break that cycle when the turn never comes, as when a run stops while
// another branch holds the module. Its objects are touched with the
// interpreter lock held.
struct WaitingTurn {
  nb::object marker = nb::none();
  nb::object callback = nb::none();

  WaitingTurn() = default;
  WaitingTurn(const WaitingTurn&) = delete;
  WaitingTurn& operator=(const WaitingTurn&) = delete;
  ~WaitingTurn() {
    // Let go of wherever the arbiter lets go of it. With the interpreter lock
    // held, as from Python and in the collections of the interpreter's own
    // shutdown (when Py_IsInitialized() is false already), the references go
    // at once; a thread without the lock must not ask for it once shutdown
    // has begun: it would never get it back.
    const bool shutting_down = interpreter_finishing();
    if ((Py_IsInitialized() || shutting_down) && PyGILState_Check()) {
      marker.reset();
      callback.reset();
      return;
    }
    if (!Py_IsInitialized() || shutting_down) {
      (void)marker.release();
      (void)callback.release();
      return;
    }
    PyGILState_STATE state = PyGILState_Ensure();
    marker.reset();
    callback.reset();
    PyGILState_Release(state);
  }

  void clear() {
    marker = nb::none();
    callback = nb::none();
  }
};

}  // namespace

struct CompetitionHandle {
  std::shared_ptr<Competition> core = std::make_shared<Competition>(std::vector<int>{});
  nb::object module_name = nb::none();
  nb::object priorities = nb::list();  // per branch, as the branch blocks carry them
  nb::object turns = nb::list();       // per branch, the turn marker
  std::vector<int> numbers;            // the priorities the arbiter was made with
  bool readiness_known = false;
  // The turns the arbiter may still give, seen by the collector through here.
  std::vector<std::shared_ptr<WaitingTurn>> waiting;
};

namespace {

int priority_number(nb::handle priority) {
  if (priority.is_none()) return 1;  // NORMAL
  return priority_as_int(priority, "a branch's priority");
}

CompetitionHandle& competition_of(nb::handle competition) {
  return nb::cast<CompetitionHandle&>(competition);
}

// A turn is ready as soon as everything it waits for has finished; the
// competition reads that from the events themselves where they are ours.
void learn_readiness(CompetitionHandle& handle) {
  if (handle.readiness_known) return;
  std::size_t branch = 0;
  for (nb::handle turn : handle.turns) {
    ZarnAction& fields = action_fields(turn);
    std::vector<std::shared_ptr<Event>> events;
    bool all_ours = true;
    for (nb::handle item : fields.dependency) {
      if (!is_action(item)) {
        all_ours = false;
        break;
      }
      std::shared_ptr<Event> event = native_event(action_fields(item).finish_signal);
      if (!event) all_ours = false;
      events.push_back(std::move(event));
    }
    if (all_ours && !fields.script_dep.is_none()) {
      std::shared_ptr<Event> event = native_event(fields.script_dep);
      if (!event) all_ours = false;
      events.push_back(std::move(event));
    }
    if (all_ours) handle.core->set_ready_events(branch, std::move(events));
    ++branch;
  }
  handle.readiness_known = true;
}

void acquire(CompetitionHandle& handle, std::size_t branch) {
  learn_readiness(handle);
  std::shared_ptr<Competition> core = handle.core;
  auto granted = std::make_shared<Event>();
  core->request(branch, [granted] { granted->set(); });
  wait_native(granted, std::nullopt);
}

void finish_marker(nb::handle marker);

void give_turn(WaitingTurn& turn) {
  nb::gil_scoped_acquire acquire;
  // Taken out first: a cell once given holds nothing, whatever the calls do.
  nb::object marker = std::exchange(turn.marker, nb::none());
  nb::object callback = std::exchange(turn.callback, nb::none());
  nb::handle running = marker;
  try {
    if (!marker.is_none()) finish_marker(marker);
    running = callback;
    if (!callback.is_none()) callback();
  } catch (nb::python_error& e) {
    // Whoever released the module is not the one to hear of it.
    e.restore();
    PyErr_WriteUnraisable(running.ptr());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    PyErr_WriteUnraisable(running.ptr());
  }
}

void request_turn(CompetitionHandle& handle, std::size_t branch, nb::handle marker,
                  nb::handle callback) {
  learn_readiness(handle);
  // The turns given (or whose arbiter is gone) are held here alone.
  std::erase_if(handle.waiting, [](const auto& turn) { return turn.use_count() == 1; });
  auto turn = std::make_shared<WaitingTurn>();
  turn->marker = nb::borrow(marker);
  turn->callback = nb::borrow(callback);
  handle.waiting.push_back(turn);
  std::shared_ptr<Competition> core = handle.core;
  try {
    core->request(branch, [turn] { give_turn(*turn); });
  } catch (...) {
    std::erase(handle.waiting, turn);
    throw;
  }
}

void request(CompetitionHandle& handle, std::size_t branch, nb::handle callback) {
  request_turn(handle, branch, nb::none(), callback);
}

void configure(CompetitionHandle& handle, nb::handle module_name, nb::list priorities,
               nb::list turns) {
  std::vector<int> numbers;
  for (nb::handle priority : priorities) numbers.push_back(priority_number(priority));
  // Rewiring an unchanged group (run_plan() again, a copy taken) must not
  // reset a competition that may be under way.
  if (numbers != handle.numbers) {
    handle.core = std::make_shared<Competition>(numbers);
    handle.numbers = std::move(numbers);
  }
  handle.module_name = nb::borrow(module_name);
  handle.priorities = std::move(priorities);
  handle.turns = std::move(turns);
  handle.readiness_known = false;
}

void finish_marker(nb::handle marker) {
  ZarnAction& fields = action_fields(marker);
  fields.state = nb::borrow(imports.finished_state);
  nb::object signal = fields.finish_signal;
  signal.attr("set")();
}

std::size_t branch_index(nb::handle marker) { return nb::cast<std::size_t>(marker.attr("branch")); }

void marker_execute(nb::handle self) {
  const std::string role = marker_role(self);
  if (role == "turn") {
    nb::object competition = self.attr("competition");
    acquire(competition_of(competition), branch_index(self));
  } else if (role == "release") {
    nb::object competition = self.attr("competition");
    competition_of(competition).core->release(branch_index(self));
  }
  finish_marker(self);
}

void marker_request(nb::handle self, nb::handle callback) {
  if (marker_role(self) != "turn") {
    marker_execute(self);
    if (!callback.is_none()) callback();
    return;
  }
  nb::object competition = self.attr("competition");
  request_turn(competition_of(competition), branch_index(self), self, callback);
}

}  // namespace

nb::object new_competition(nb::handle module_name) {
  nb::object competition = nb::handle(imports.competition_type)();
  competition_of(competition).module_name = nb::borrow(module_name);
  return competition;
}

// --- guards ---------------------------------------------------------------------------

struct Guard {
  nb::object exception;
  nb::object outer;
};

nb::object copy_exception_part(nb::handle exception) {
  if (is_block(exception)) return copy_structure(exception);
  return nb::borrow(exception);
}

nb::object clone_guard(nb::handle guard, nb::handle outer) {
  return nb::handle(imports.guard_type)(copy_exception_part(guard.attr("exception")), outer);
}

namespace {

// Puts the actions of `sequence` from `start` on into the guarded part
// `guard`: an action that is in an inner part already has that part enclosed.
void guard_items(nb::handle sequence, Py_ssize_t start, nb::handle guard) {
  const Py_ssize_t size = length_of(sequence);
  for (Py_ssize_t i = start; i < size; ++i) {
    nb::object item = sequence[i];
    if (!is_action(item)) continue;
    ZarnAction& fields = action_fields(item);
    if (fields.guard.is_none()) {
      fields.guard = nb::borrow(guard);
      continue;
    }
    nb::object part = fields.guard;
    for (int depth = 0; !part.is(guard); ++depth) {
      if (depth > 10000) throw nb::value_error("guarded parts enclose each other in a loop");
      nb::object outer = part.attr("outer");
      if (outer.is_none()) {
        nb::setattr(part, "outer", guard);
        break;
      }
      part = std::move(outer);
    }
  }
}

}  // namespace

// --- building a group --------------------------------------------------------------------

nb::list flatten_chain(nb::handle head, const char* purpose) {
  nb::list out;
  for (nb::object& block : chain_blocks(head)) {
    ZarnBlock& fields = block_fields(block);
    if (fields.group) {
      for (nb::handle item : rewire(block)) out.append(item);
      continue;
    }
    if (attr_true(block, "isCompete")) {
      throw nb::type_error((std::string(purpose) + ": " + describe(block) +
                            " is a competing block without branches of its own")
                               .c_str());
    }
    for (nb::handle item : fields.action_seq) {
      if (is_action(item)) {
        out.append(item);
      } else if (is_identifier(item)) {
        throw nb::value_error((std::string(purpose) + ": " + describe(block) +
                               " still holds the unresolved name " + describe(item.attr("id")))
                                  .c_str());
      } else {
        throw nb::type_error((std::string(purpose) + ": " + describe(block) + " holds " +
                              describe(item) + ", which is not an action")
                                 .c_str());
      }
    }
  }
  return out;
}

namespace {

nb::object module_of_action(nb::handle item) { return action_fields(item).module; }

// The one module name of a branch's actions.
nb::object branch_module_name(nb::handle items, std::size_t index, const char* kind) {
  nb::object name = nb::none();
  for (nb::handle item : items) {
    const std::string role = marker_role(item);
    if ((role == "start" || role == "join") && item.attr("competition").is_none()) {
      throw nb::value_error(("branch " + std::to_string(index) + " of a " + kind +
                             " group holds a parallel group: a branch runs on one machine "
                             "module, so parallel groups cannot be nested in a branch")
                                .c_str());
    }
    nb::object module = module_of_action(item);
    if (module.is_none()) continue;
    nb::object own = module.attr("name");
    if (name.is_none()) {
      name = own;
    } else {
      int equal = PyObject_RichCompareBool(name.ptr(), own.ptr(), Py_EQ);
      if (equal < 0) throw nb::python_error();
      if (equal == 0) {
        throw nb::value_error(("branch " + std::to_string(index) + " of a " + kind +
                               " group holds actions of module " + describe(name) + " and of " +
                               describe(own) + ": a branch runs on one machine module")
                                  .c_str());
      }
    }
  }
  return name;
}

nb::object new_branch_block(nb::handle items, nb::handle module_name) {
  if (imports.plain_kind == nullptr) {
    throw nb::type_error("groups need the block kinds: import Zarn.blocks first");
  }
  nb::object branch = nb::handle(imports.plain_kind)();
  ZarnBlock& fields = block_fields(branch);
  set_action_seq(fields, nb::borrow(items));
  fields.module_name = nb::borrow(module_name);
  return branch;
}

nb::object first_module(nb::handle items) {
  for (nb::handle item : items) {
    nb::object module = module_of_action(item);
    if (!module.is_none()) return module;
  }
  return nb::none();
}

}  // namespace

void init_group(nb::handle self, GroupKind kind, nb::handle blocks) {
  ZarnBlock& block = block_fields(self);
  auto group = std::make_unique<GroupData>();
  group->kind = kind;
  group->start = make_marker("start", nb::none());
  group->join = make_marker("join", nb::none());
  group->competition = kind == GroupKind::Compete ? new_competition(nb::none()) : nb::none();
  nb::setattr(group->start, "competition", group->competition);
  nb::setattr(group->join, "competition", group->competition);
  group->given = nb::borrow(blocks);
  group->flat = nb::list();
  group->rounds = nb::list();
  block.group = std::move(group);
  set_action_seq(block, block.group->flat);

  const char* word = kind == GroupKind::Parallel ? "parallel" : "competing";
  std::size_t index = 0;
  if (kind == GroupKind::Parallel) {
    // One branch per machine module; blocks of one module join its branch in
    // the order they are given.
    nb::dict by_module;
    for (nb::handle given : blocks) {
      if (!is_block(given)) {
        throw nb::type_error(("branch " + std::to_string(index) +
                              " of a parallel group must be "
                              "a block, not " +
                              describe(given))
                                 .c_str());
      }
      nb::list items = flatten_chain(given, "a branch of a parallel group");
      if (nb::len(items) > 0) {
        nb::object name = branch_module_name(items, index, word);
        if (by_module.contains(name)) {
          nb::list joined = nb::borrow<nb::list>(by_module[name]);
          for (nb::handle item : items) joined.append(item);
        } else {
          by_module[name] = items;
        }
      }
      ++index;
    }
    nb::dict map;
    for (auto [name, items] : by_module) map[name] = new_branch_block(items, name);
    nb::setattr(self, "async_block_map", map);
  } else {
    nb::list branches;
    for (nb::handle given : blocks) {
      if (!is_block(given)) {
        throw nb::type_error(("branch " + std::to_string(index) +
                              " of a competing group must "
                              "be a block, not " +
                              describe(given))
                                 .c_str());
      }
      nb::list items = flatten_chain(given, "a branch of a competing group");
      nb::object branch = new_branch_block(items, branch_module_name(items, index, word));
      if (PyObject_HasAttrString(given.ptr(), "priority")) {
        nb::setattr(branch, "priority", given.attr("priority"));
      }
      branches.append(branch);
      ++index;
    }
    nb::setattr(self, "compete_blocks", branches);
  }
  rewire(self);
}

nb::object rewire(nb::handle self) {
  ZarnBlock& block = block_fields(self);
  GroupData& group = *block.group;
  nb::list flat;
  flat.append(group.start);
  nb::list ends;
  nb::object start_signal = finish_signal_of(group.start);

  if (group.kind == GroupKind::Parallel) {
    nb::object map = self.attr("async_block_map");
    for (nb::handle branch : map.attr("values")()) {
      nb::list items = flatten_chain(branch, "a branch of a parallel group");
      if (nb::len(items) == 0) continue;
      wire_sequence(items, start_signal, false);
      ends.append(items[nb::len(items) - 1]);
      for (nb::handle item : items) flat.append(item);
    }
  } else {
    nb::object branches = self.attr("compete_blocks");
    const std::size_t count = static_cast<std::size_t>(length_of(branches));
    std::vector<nb::list> contents;
    for (std::size_t i = 0; i < count; ++i) {
      contents.push_back(flatten_chain(branches[i], "a branch of a competing group"));
    }
    nb::object module = nb::none();
    for (nb::list& items : contents) {
      module = first_module(items);
      if (!module.is_none()) break;
    }
    while (group.markers.size() < count) {
      CompeteMarkers markers{make_marker("turn", module), make_marker("release", module)};
      for (nb::handle marker : {markers.turn, markers.release}) {
        nb::setattr(marker, "competition", group.competition);
        nb::setattr(marker, "branch", nb::int_(group.markers.size()));
      }
      group.markers.push_back(std::move(markers));
    }
    group.markers.resize(count);
    action_fields(group.start).module = module;
    action_fields(group.join).module = module;

    nb::list priorities, turns;
    for (std::size_t i = 0; i < count; ++i) {
      nb::handle branch = branches[i];
      nb::object priority =
          PyObject_HasAttrString(branch.ptr(), "priority") ? branch.attr("priority") : nb::none();
      priorities.append(priority);
      nb::list& items = contents[i];
      const CompeteMarkers& markers = group.markers[i];
      action_fields(markers.turn).module = module;
      action_fields(markers.release).module = module;
      turns.append(markers.turn);

      set_waits(markers.turn, nb::list(), start_signal);  // lift_turn_waits() adds the rest
      wire_sequence(items, finish_signal_of(markers.turn), false);
      nb::object last = nb::len(items) > 0 ? nb::object(items[nb::len(items) - 1]) : markers.turn;
      set_waits(markers.release, nb::list(), finish_signal_of(last));
      flat.append(markers.turn);
      for (nb::handle item : items) flat.append(item);
      flat.append(markers.release);
      ends.append(markers.release);
    }
    nb::object module_name = block.module_name.is_none() && !module.is_none()
                                 ? nb::object(module.attr("name"))
                                 : block.module_name;
    configure(competition_of(group.competition), module_name, priorities, turns);
  }
  set_waits(group.join, ends, nb::len(ends) == 0 ? start_signal : nb::none());
  flat.append(group.join);
  lift_turn_waits(flat);

  const Py_ssize_t old_size = PyList_GET_SIZE(group.flat.ptr());
  if (PyList_SetSlice(group.flat.ptr(), 0, old_size, flat.ptr()) != 0) throw nb::python_error();
  if (!block.action_seq.is(group.flat) && !PyDict_Check(block.action_seq.ptr())) {
    set_action_seq(block, group.flat);
  }
  drop_facts(block);
  return group.flat;
}

bool resolve_group(nb::handle self) {
  ZarnBlock& block = block_fields(self);
  GroupData& group = *block.group;
  // The labelled blocks of every branch; where two branches use one label,
  // the branch given first wins, as the earlier block does along a chain.
  nb::dict names;
  for (nb::handle given : group.given) {
    if (!is_block(given)) continue;
    for (auto [name, actions] : local_variables(given)) {
      if (!names.contains(name)) names[name] = actions;
    }
  }
  nb::object flat = rewire(self);
  const Py_ssize_t size = length_of(flat);
  bool resolved = true;
  for (Py_ssize_t i = 1; i + 1 < size; ++i) {
    nb::object item = flat[i];
    if (!is_action(item)) {
      resolved = false;
      continue;
    }
    item.attr("resolve_dependencies")(names);
  }
  if (group.kind == GroupKind::Compete) {
    nb::object branches = self.attr("compete_blocks");
    const Py_ssize_t count = length_of(branches);
    for (Py_ssize_t i = 0; i < count; ++i) {
      for (nb::handle item : block_fields(branches[i]).action_seq) {
        nb::object module = module_of_action(item);
        if (module.is_none()) continue;
        nb::object name = module.attr("name");
        if (block.module_name.is_none()) block.module_name = name;
        int equal = PyObject_RichCompareBool(block.module_name.ptr(), name.ptr(), Py_EQ);
        if (equal < 0) throw nb::python_error();
        if (equal == 0) {
          throw nb::value_error(("branch " + std::to_string(i) + " of the competition for module " +
                                 describe(block.module_name) + " holds an action of module " +
                                 describe(name) +
                                 ": competing branches contend for one machine module")
                                    .c_str());
        }
      }
    }
  }
  rewire(self);  // the turns now wait for what the resolved names stand for
  return resolved;
}

nb::list group_rounds(nb::handle self) {
  nb::list rounds;
  rounds.append(self);
  for (nb::handle round : block_fields(self).group->rounds) rounds.append(round);
  return rounds;
}

void concat_rounds(nb::handle self, nb::handle others) {
  std::vector<nb::object> chain = chain_blocks(self);
  std::unordered_set<PyObject*> in_chain;
  for (nb::object& block : chain) in_chain.insert(block.ptr());
  nb::object end = chain.back();
  GroupData& group = *block_fields(self).group;
  for (nb::handle other : others) {
    if (in_chain.count(other.ptr()) != 0) continue;  // already one of this chain's rounds
    if (!is_block(other)) {
      throw nb::type_error(
          ("only blocks can be appended as rounds, not " + describe(other)).c_str());
    }
    std::vector<nb::object> appended = chain_blocks(other);
    for (nb::object& block : appended) {
      if (in_chain.count(block.ptr()) != 0) {
        throw nb::value_error(("cannot append " + describe(other) + ": its chain runs into " +
                               describe(block) + ", which is part of this chain already")
                                  .c_str());
      }
    }
    set_next(block_fields(end), nb::borrow(other));
    for (nb::object& block : appended) in_chain.insert(block.ptr());
    end = appended.back();
    nb::borrow<nb::list>(group.rounds).append(other);
  }
}

void traverse_group(const GroupData& group, visitproc visit, void* arg, int& result) {
  auto visit_one = [&](const nb::object& field) {
    if (result == 0 && field.is_valid()) result = visit(field.ptr(), arg);
  };
  for (const nb::object* field :
       {&group.start, &group.join, &group.competition, &group.given, &group.flat, &group.rounds}) {
    visit_one(*field);
  }
  for (const CompeteMarkers& markers : group.markers) {
    visit_one(markers.turn);
    visit_one(markers.release);
  }
}

void clear_group(GroupData& group) {
  for (nb::object* field :
       {&group.start, &group.join, &group.competition, &group.given, &group.flat, &group.rounds}) {
    *field = nb::none();
  }
  group.markers.clear();
}

// --- the collector's view of a competition --------------------------------------------

namespace {

using CompetitionFields = GcFields<CompetitionHandle, &CompetitionHandle::module_name,
                                   &CompetitionHandle::priorities, &CompetitionHandle::turns>;

int traverse_competition(PyObject* self, visitproc visit, void* arg) {
  if (int failed = CompetitionFields::traverse(self, visit, arg)) return failed;
  if (!nb::inst_ready(self)) return 0;
  for (const auto& turn : nb::inst_ptr<CompetitionHandle>(self)->waiting) {
    Py_VISIT(turn->marker.ptr());
    Py_VISIT(turn->callback.ptr());
  }
  return 0;
}

int clear_competition(PyObject* self) {
  CompetitionFields::clear(self);
  if (!nb::inst_ready(self)) return 0;
  // The arbiter keeps the emptied cells; a turn given after this finds nothing to do.
  for (const auto& turn : nb::inst_ptr<CompetitionHandle>(self)->waiting) turn->clear();
  return 0;
}

PyType_Slot competition_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&traverse_competition)},
                                   {Py_tp_clear, reinterpret_cast<void*>(&clear_competition)},
                                   {0, nullptr}};

}  // namespace

// --- bindings of this part -----------------------------------------------------------------

void bind_groups(nb::module_& m) {
  nb::class_<CompetitionHandle>(
      m, "ZarnCompetition", nb::type_slots(competition_slots),
      "The arbiter of a competing group: its branches contend for one machine\n"
      "module, which serves one branch at a time, each branch once. When the\n"
      "module is free it goes to the ready branch of highest priority (the\n"
      "earliest branch among equals); a branch is ready when everything its\n"
      "turn waits for has finished.")
      .def(nb::init<>())
      .def_prop_ro("module_name", [](const CompetitionHandle& self) { return self.module_name; })
      .def_prop_ro(
          "priorities", [](const CompetitionHandle& self) { return self.priorities; },
          "Each branch's priority as its block carries it (None: NORMAL).")
      .def_prop_ro(
          "holder",
          [](const CompetitionHandle& self) -> nb::object {
            auto holder = self.core->holder();
            return holder ? nb::object(nb::int_(*holder)) : nb::none();
          },
          "The branch that holds the module now, or None.")
      .def("__len__", [](const CompetitionHandle& self) { return self.core->size(); })
      .def(
          "finished",
          [](const CompetitionHandle& self, std::size_t branch) {
            return self.core->finished(branch);
          },
          nb::arg("branch"), "Whether the branch has had its turn and released the module.")
      .def(
          "acquire", [](CompetitionHandle& self, std::size_t branch) { acquire(self, branch); },
          nb::arg("branch"),
          "Blocks until the module is the branch's (other threads run meanwhile).")
      .def(
          "request",
          [](CompetitionHandle& self, std::size_t branch, nb::handle callback) {
            request(self, branch, callback);
          },
          nb::arg("branch"), nb::arg("callback"),
          "Asks for the branch's turn without blocking; `callback()` runs once\n"
          "the module is the branch's (maybe at once, maybe on the thread that\n"
          "releases the module).")
      .def(
          "release",
          [](CompetitionHandle& self, std::size_t branch) { self.core->release(branch); },
          nb::arg("branch"), "Ends the branch's turn and hands the module on.")
      .def("__repr__", [](const CompetitionHandle& self) {
        return "<ZarnCompetition for " + describe(self.module_name) + ", " +
               std::to_string(self.core->size()) + " branches>";
      });

  nb::class_<Guard>(m, "ZarnGuard",
                    nb::type_slots(GcFields<Guard, &Guard::exception, &Guard::outer>::slots),
                    "A guarded part (try/except): its actions run under it, and `exception`\n"
                    "is the part that handles their failure. `outer` is the guarded part\n"
                    "that encloses this one, or None.")
      .def(
          "__init__",
          [](Guard* self, nb::object exception, nb::object outer) {
            new (self) Guard{std::move(exception), std::move(outer)};
          },
          nb::arg("exception").none() = nb::none(), nb::arg("outer").none() = nb::none())
      .def_rw("exception", &Guard::exception, nb::arg().none())
      .def_rw("outer", &Guard::outer, nb::arg().none())
      .def("__repr__",
           [](const Guard& self) { return "<ZarnGuard except " + describe(self.exception) + ">"; });
  imports.guard_type = nb::type<Guard>().ptr();
  imports.competition_type = nb::type<CompetitionHandle>().ptr();

  // The markers are actions of their own kind, so that the wired list can be
  // run like any other: each finishes at once, except a turn, which waits for
  // the module.
  nb::dict ns;
  ns["__module__"] = "Zarn._zarnblock";
  ns["__qualname__"] = "ZarnMarker";
  ns["__doc__"] =
      "An action that marks the structure of a group in its wired list:\n"
      "role 'start' and 'join' (begin and end of a group), 'turn' (a competing\n"
      "branch waits for its module) and 'release' (it hands the module on).\n"
      "run() executes it like any action; request() is the non-blocking form of a\n"
      "turn for executors that run actions on a pool: the marker finishes (and\n"
      "`callback()` runs) when the module is the branch's.";
  ns["setup"] = nb::cpp_function(
      [](nb::handle self, nb::object role) {
        nb::setattr(self, "role", role);
        nb::setattr(self, "competition", nb::none());
        nb::setattr(self, "branch", nb::none());
      },
      nb::is_method(), nb::name("setup"), nb::arg("role"));
  ns["execute"] = nb::cpp_function(&marker_execute, nb::is_method(), nb::name("execute"));
  ns["request"] = nb::cpp_function(&marker_request, nb::is_method(), nb::name("request"),
                                   nb::arg("callback").none() = nb::none());
  ns["__repr__"] = nb::cpp_function(
      [](nb::handle self) {
        std::string text = "<ZarnMarker " + marker_role(self);
        nb::object branch = self.attr("branch");
        if (!branch.is_none()) text += " " + nb::cast<std::string>(nb::str(branch));
        return text + ">";
      },
      nb::is_method(), nb::name("__repr__"));
  nb::handle action_type = imports.action_type;
  nb::handle metaclass = reinterpret_cast<PyObject*>(Py_TYPE(action_type.ptr()));
  nb::object marker_type = metaclass("ZarnMarker", nb::make_tuple(action_type), ns);
  m.attr("ZarnMarker") = marker_type;
  imports.marker_type = marker_type.release().ptr();

  m.def("_guard_items", &guard_items, nb::arg("sequence"), nb::arg("start"), nb::arg("guard"));
}

}  // namespace zarn::py
