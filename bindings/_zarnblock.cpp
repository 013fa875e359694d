// Zarn._zarnblock, the Python face of the block engine (block_engine/):
// ZarnBlock, the arbiter and markers of groups, guarded parts and the run
// plan's records. Its import starts the engine and makes the block kinds of
// Zarn.blocks.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "block_engine/chain.hpp"
#include "block_engine/competition.hpp"
#include "block_engine/copy.hpp"
#include "block_engine/engine.hpp"
#include "block_engine/groups.hpp"
#include "block_engine/guards.hpp"
#include "block_engine/kinds.hpp"
#include "block_engine/markers.hpp"
#include "block_engine/plan.hpp"
#include "block_engine/resolve.hpp"
#include "common/abstract_base.hpp"
#include "common/core_errors.hpp"
#include "common/gc_fields.hpp"

namespace nb = nanobind;
using zarn::py::ZarnBlock;

namespace {

using namespace zarn::py;

// --- garbage collection and attribute hooks ----------------------------------------

int block_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  PyObject** dict = _PyObject_GetDictPtr(self);
  if (dict != nullptr && *dict != nullptr) Py_VISIT(*dict);
  if (!nb::inst_ready(self)) return 0;
  const ZarnBlock& block = *nb::inst_ptr<ZarnBlock>(self);
  for (const nb::object* field : {&block.action_seq, &block.next_block, &block.id,
                                  &block.module_name, &block.facts.first_module}) {
    if (field->is_valid()) Py_VISIT(field->ptr());
  }
  int result = 0;
  if (block.group) traverse_group(*block.group, visit, arg, result);
  return result;
}

int block_clear(PyObject* self) {
  PyObject** dict = _PyObject_GetDictPtr(self);
  if (dict != nullptr) Py_CLEAR(*dict);
  if (!nb::inst_ready(self)) return 0;
  ZarnBlock& block = *nb::inst_ptr<ZarnBlock>(self);
  // None rather than null: code that still reaches the block while a cycle is
  // torn down must find readable fields.
  set_next(block, nb::none());
  set_action_seq(block, nb::none());
  block.id = nb::none();
  block.module_name = nb::none();
  if (block.group) clear_group(*block.group);
  return 0;
}

// Resolution sets isAsync or isCompete on one block: what the chain facts
// know about its predecessors must go too.
int block_setattro(PyObject* self, PyObject* name, PyObject* value) {
  int result = PyObject_GenericSetAttr(self, name, value);
  if (result == 0 && nb::inst_ready(self) && PyUnicode_Check(name) &&
      (PyUnicode_CompareWithASCIIString(name, "isAsync") == 0 ||
       PyUnicode_CompareWithASCIIString(name, "isCompete") == 0)) {
    drop_facts(*nb::inst_ptr<ZarnBlock>(self));
  }
  return result;
}

PyType_Slot block_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&block_traverse)},
                             {Py_tp_clear, reinterpret_cast<void*>(&block_clear)},
                             {Py_tp_setattro, reinterpret_cast<void*>(&block_setattro)},
                             {0, nullptr}};

// --- construction -------------------------------------------------------------------

void init_block(nb::pointer_and_handle<ZarnBlock> self, nb::object identifier, nb::kwargs configs) {
  construct_block(self.h, std::move(identifier), configs);
}

std::string block_repr(nb::handle self) {
  ZarnBlock& block = block_fields(self);
  std::string text = "<" + kind_name(self);
  if (!block.id.is_none()) text += " " + describe(block.id);
  if (block.group) {
    nb::object branches =
        self.attr(block.group->kind == GroupKind::Parallel ? "async_block_map" : "compete_blocks");
    text += ": " + std::to_string(nb::len(branches)) + " branches";
  } else {
    Py_ssize_t size = PyObject_Length(block.action_seq.ptr());
    if (size < 0) {
      PyErr_Clear();
    } else {
      text += ": " + std::to_string(size) + " items";
    }
  }
  if (!block.module_name.is_none()) text += " on " + describe(block.module_name);
  if (!block.next_block.is_none()) text += ", then " + kind_name(block.next_block);
  return text + ">";
}

// --- the collector's view of a competition --------------------------------------------

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

// --- the classes of groups, guarded parts and plans -------------------------------------

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
            request_turn(self, branch, nb::none(), callback);
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
}

// The steps' fields as columns, so that a check of a whole plan reads it in
// one call rather than field by field.
nb::dict plan_columns(const RunPlan& plan) {
  const char* names[] = {"action", "kind", "waits", "guard", "competition", "branch"};
  nb::object RunStep::*fields[] = {&RunStep::action, &RunStep::kind,        &RunStep::waits,
                                   &RunStep::guard,  &RunStep::competition, &RunStep::branch};
  nb::list columns[6];
  for (nb::handle entry : plan.steps) {
    const RunStep& step = nb::cast<const RunStep&>(entry);
    for (std::size_t i = 0; i < 6; ++i) columns[i].append(step.*fields[i]);
  }
  nb::dict out;
  for (std::size_t i = 0; i < 6; ++i) out[names[i]] = columns[i];
  return out;
}

void bind_plan(nb::module_& m) {
  nb::class_<RunStep>(
      m, "ZarnRunStep",
      nb::type_slots(GcFields<RunStep, &RunStep::index, &RunStep::action, &RunStep::kind,
                              &RunStep::waits, &RunStep::after, &RunStep::events,
                              &RunStep::competition, &RunStep::branch, &RunStep::guard>::slots),
      "One action of a run plan.")
      .def_ro("index", &RunStep::index, "Its position in the plan's steps.")
      .def_ro("action", &RunStep::action, "The action to run.")
      .def_ro("kind", &RunStep::kind,
              "'action' for an action of the script; for the markers of a group:\n"
              "'start', 'join', 'turn' (request() it rather than run it on a\n"
              "worker: it finishes when its branch gets the module) and 'release'.")
      .def_ro("waits", &RunStep::waits,
              "Indices of the steps that must have finished before it starts: its\n"
              "dependencies, then its predecessor in script order.")
      .def_ro("after", &RunStep::after, "Index of its predecessor in script order, or None.")
      .def_ro("events", &RunStep::events,
              "Every event run() waits for: the dependencies' finish signals, then the\n"
              "predecessor's (an event from outside the plan for the first step, when\n"
              "one was set).")
      .def_ro("competition", &RunStep::competition,
              "Index into the plan's competitions of the innermost competing branch\n"
              "the step belongs to, or None.")
      .def_ro("branch", &RunStep::branch, "That branch's number, or None.")
      .def_ro("guard", &RunStep::guard,
              "Index into the plan's guards of the innermost guarded part, or None.")
      .def("__repr__", [](const RunStep& self) {
        return "<ZarnRunStep " + nb::cast<std::string>(nb::str(self.index)) + " " +
               nb::cast<std::string>(self.kind) + " " + describe(self.action) + " waits " +
               describe(self.waits) + ">";
      });
  nb::class_<RunBranch>(
      m, "ZarnRunBranch",
      nb::type_slots(GcFields<RunBranch, &RunBranch::index, &RunBranch::priority, &RunBranch::turn,
                              &RunBranch::release, &RunBranch::steps>::slots),
      "One branch of a competition in a run plan.")
      .def_ro("index", &RunBranch::index, "The branch's number in its competition.")
      .def_ro("priority", &RunBranch::priority,
              "Its priority as its block carries it (None counts as NORMAL).")
      .def_ro("turn", &RunBranch::turn, "Index of its turn step.")
      .def_ro("release", &RunBranch::release, "Index of its release step.")
      .def_ro("steps", &RunBranch::steps, "Indices of the steps between turn and release.");
  nb::class_<RunCompetition>(
      m, "ZarnRunCompetition",
      nb::type_slots(GcFields<RunCompetition, &RunCompetition::competition,
                              &RunCompetition::module_name, &RunCompetition::start,
                              &RunCompetition::join, &RunCompetition::branches>::slots),
      "A competing group in a run plan.")
      .def_ro("competition", &RunCompetition::competition,
              "Its arbiter, a ZarnCompetition (the turn markers use it).")
      .def_ro("module_name", &RunCompetition::module_name,
              "The machine module its branches contend for.")
      .def_ro("start", &RunCompetition::start, "Index of its start step.")
      .def_ro("join", &RunCompetition::join, "Index of its join step.")
      .def_ro("branches", &RunCompetition::branches, "Its branches (ZarnRunBranch), in order.");
  nb::class_<RunGuard>(m, "ZarnRunGuard",
                       nb::type_slots(GcFields<RunGuard, &RunGuard::guard, &RunGuard::exception,
                                               &RunGuard::steps, &RunGuard::outer>::slots),
                       "A guarded part in a run plan.")
      .def_ro("guard", &RunGuard::guard, "The ZarnGuard the actions carry.")
      .def_ro("exception", &RunGuard::exception, "The part that handles a failure.")
      .def_ro("steps", &RunGuard::steps,
              "Indices of every step inside it, inner guarded parts included.")
      .def_ro("outer", &RunGuard::outer, "Index of the enclosing guarded part, or None.");
  nb::class_<RunPlan>(
      m, "ZarnRunPlan",
      nb::type_slots(
          GcFields<RunPlan, &RunPlan::steps, &RunPlan::competitions, &RunPlan::guards>::slots),
      "Everything an executor needs to run a compiled chain; see\n"
      "ZarnBlock.run_plan().")
      .def_ro("steps", &RunPlan::steps, "Every action to run (ZarnRunStep), in script order.")
      .def_ro("competitions", &RunPlan::competitions,
              "The competing groups (ZarnRunCompetition), in script order.")
      .def_ro("guards", &RunPlan::guards,
              "The guarded parts (ZarnRunGuard), in the order they are met.")
      .def("__len__", [](const RunPlan& self) { return nb::len(self.steps); })
      .def("columns", &plan_columns,
           "The steps' fields as columns, in one call for a whole plan: a dict of\n"
           "lists, step by step: action, kind, waits, guard, competition, branch.");
  imports.run_step_type = nb::type<RunStep>().ptr();
}

}  // namespace

NB_MODULE(_zarnblock, m) {
  m.doc() =
      "The abstract block of a ZARN script: chains of blocks, their resolution,\n"
      "groups, copies and the run plan.";
  register_core_error_translator();
  start_engine(m);

  auto block_class = nb::class_<ZarnBlock>(
      m, "ZarnBlock", nb::dynamic_attr(), nb::type_slots(block_slots),
      "The object that holds the script's actions. Its sequence (action_seq) is\n"
      "a list whose items are actions or names not resolved yet; next_block is\n"
      "the next block of the chain. A block is module consistent: all its\n"
      "actions belong to one machine module. add() concatenates sequences,\n"
      "evaluate() returns the actions the chain stands for, resolve_global()\n"
      "and resolve_local() resolve names and report success.\n\n"
      "A concrete kind subclasses it and provides isAsync and isCompete (class\n"
      "attributes will do; resolution may set them on one block) and setup(),\n"
      "the initial setup of the parameters the block needs.");
  imports.block_type = block_class.ptr();

  block_class
      .def("__init__", &init_block, nb::arg("identifier").none() = nb::none(), nb::arg("configs"))
      .def(
          "isAsync",
          [](nb::handle) {
            throw nb::type_error("isAsync is abstract: the block's kind provides it");
          },
          "Abstract: true for a block whose branches run in parallel.")
      .def(
          "isCompete",
          [](nb::handle) {
            throw nb::type_error("isCompete is abstract: the block's kind provides it");
          },
          "Abstract: true for a block whose branches compete for one module.")
      .def(
          "setup", [](nb::handle, nb::kwargs) {}, nb::arg("settings"),
          "Abstract: takes the block's parameters from its settings.")
      .def_prop_rw(
          "action_seq", [](nb::handle self) { return block_fields(self).action_seq; },
          [](nb::handle self, nb::object value) { set_action_seq(block_fields(self), value); },
          nb::arg().none(), "The block's own sequence: a list, shared, never copied.")
      .def_prop_rw(
          "next_block", [](nb::handle self) { return block_fields(self).next_block; },
          [](nb::handle self, nb::object value) { set_next(block_fields(self), value); },
          nb::arg().none(), "The next block of the chain, or None.")
      .def_prop_rw(
          "id", [](nb::handle self) { return block_fields(self).id; },
          [](nb::handle self, nb::object value) { block_fields(self).id = std::move(value); },
          nb::arg().none(), "The block's local name (its label), or None.")
      .def_prop_rw(
          "module_name", [](nb::handle self) { return block_fields(self).module_name; },
          [](nb::handle self, nb::object value) {
            block_fields(self).module_name = std::move(value);
          },
          nb::arg().none(), "Name of the machine module of the block's actions.")
      .def(
          "_check_module_name",
          [](nb::handle self, nb::handle name) { check_module_name(block_fields(self), name); },
          nb::arg("default_name").none(),
          "Fixes module_name on first use; afterwards refuses (AssertionError) any\n"
          "other name.")
      .def(
          "add", [](nb::handle self, nb::handle item) { add(self, item); }, nb::arg("item").none(),
          "Appends the items of a list, or the evaluated actions of a block's\n"
          "chain; \";\" items are skipped and every action's module is checked.")
      .def("copy", &copy_flat,
           "One new block of this kind and id holding copies of all actions of the\n"
           "chain, their dependencies and script order kept inside the copy.")
      .def("evaluate", &evaluate,
           "The flat list of actions of the chain (the block's own list when it\n"
           "stands alone); links each block's first action to the finish signal of\n"
           "the last action before it. A competing block evaluates to the map of\n"
           "its branches' actions.")
      .def("resolve_local", &resolve_local, nb::arg("local_dep"),
           "Resolves the waits of every action along the chain against\n"
           "`local_dep` (label -> actions); true when every item is an action.")
      .def("resolve_global", &resolve_global, nb::arg("extern_declaration").none() = nb::none(),
           "Replaces each name of a declared block by a copy of its actions, or\n"
           "hands the chain over to a substitute group (the result is then None).")
      .def(
          "is_resolved", [](nb::handle self) { return is_resolved(block_fields(self)); },
          "True when every item of the sequence is an action.")
      .def("is_module_consistent", &is_module_consistent,
           "True when neighbouring actions of the evaluated chain share their module.")
      .def(
          "first", [](nb::handle self) { return first(block_fields(self)); },
          "The first item of this block's own sequence, or None.")
      .def("last", &last, "The last item of the last block of the chain.")
      .def("get_local_variables_map", &local_variables,
           "Map from each block id of the chain to that block's own list.")
      .def("run_plan", &run_plan,
           "The whole run of the chain, for an executor: a ZarnRunPlan with every\n"
           "action (its steps, in script order), what each waits for (step indices\n"
           "and events: its dependencies, then its predecessor in script order),\n"
           "the competing groups with their branches and priorities, and the\n"
           "guarded parts with their exception parts.\n\n"
           "It also completes the script order: every action of a sequence waits\n"
           "for the one before it (evaluate() links only the boundaries between\n"
           "blocks), so run() on every action, each on a thread of its own, runs\n"
           "the plan. Refuses (ValueError) names left unresolved, waits for\n"
           "actions outside the run, an action standing twice, and actions that\n"
           "wait for one another in a circle: nothing in a plan waits forever.")
      .def("__repr__", &block_repr);

  bind_groups(m);
  bind_plan(m);
  make_block_kinds();
}
