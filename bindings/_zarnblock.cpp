// Python face of the block engine: ZarnBlock, the markers and arbiter of
// groups, guarded parts, the run plan, and the private hooks the kinds of
// Zarn.blocks are built on.

#include "block_engine/engine.hpp"

#include <nanobind/stl/string.h>

#include <string>

#include "common/abstract_base.hpp"
#include "common/core_errors.hpp"
#include "common/waiting.hpp"

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
  check_concrete(self.h, imports.block_type, {"isAsync", "isCompete", "setup"});
  new (self.p) ZarnBlock(std::move(identifier));
  finish_construction(self.h, configs);
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

GroupKind kind_from(const std::string& word) {
  if (word == "parallel") return GroupKind::Parallel;
  if (word == "compete") return GroupKind::Compete;
  throw nb::value_error(("a group is 'parallel' or 'compete', not '" + word + "'").c_str());
}

void require_group(nb::handle block) {
  if (!block_fields(block).group) {
    throw nb::type_error((describe(block) + " is not a parallel or competing group").c_str());
  }
}

}  // namespace

NB_MODULE(_zarnblock, m) {
  m.doc() =
      "The abstract block of a ZARN script: chains of blocks, their resolution,\n"
      "groups, copies and the run plan.";
  register_core_error_translator();
  init_waiting();
  imports.zarn_id_type = import_attr("Zarn._zarnprimitives", "ZarnId");
  imports.action_type = import_attr("Zarn._zarnaction", "ZarnAction");
  imports.finished_state =
      nb::object(nb::module_::import_("Zarn._zarnprimitives").attr("ZarnState").attr("Finished"))
          .release()
          .ptr();
  imports.print = import_attr("builtins", "print");

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

  // Hooks of the kinds in Zarn.blocks.
  m.def(
      "_register_plain_kind", [](nb::handle kind) { imports.plain_kind = kind.inc_ref().ptr(); },
      nb::arg("kind"));
  m.def(
      "_make_group",
      [](nb::handle block, const std::string& kind, nb::handle blocks) {
        init_group(block, kind_from(kind), blocks);
      },
      nb::arg("block"), nb::arg("kind"), nb::arg("blocks"));
  m.def(
      "_resolve_group",
      [](nb::handle block) {
        require_group(block);
        return resolve_group(block);
      },
      nb::arg("block"));
  m.def("_copy_structure", &copy_structure, nb::arg("block"));
  m.def(
      "_group_rounds",
      [](nb::handle block) {
        require_group(block);
        return group_rounds(block);
      },
      nb::arg("block"));
  m.def(
      "_concat_rounds",
      [](nb::handle block, nb::handle others) {
        require_group(block);
        concat_rounds(block, others);
      },
      nb::arg("block"), nb::arg("others"));
  m.def("_copy_exception_part", &copy_exception_part, nb::arg("exception").none());
}
