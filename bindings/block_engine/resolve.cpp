#include "block_engine/resolve.hpp"

#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "block_engine/chain.hpp"
#include "block_engine/engine.hpp"

namespace zarn::py {

namespace {

// One step of a walk along the chain: the inner step's result for a block, or
// the result of a foreign next object's own method.
nb::object step_result(bool value) { return nb::bool_(value); }

nb::object lookup(nb::handle table, nb::handle key) {
  if (PyDict_Check(table.ptr())) {
    PyObject* found = PyDict_GetItemWithError(table.ptr(), key.ptr());
    if (found == nullptr && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(found != nullptr ? found : Py_None);
  }
  PyObject* found = PyObject_GetItem(table.ptr(), key.ptr());
  if (found == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
    return nb::none();
  }
  return nb::steal(found);
}

void warn_undeclared(nb::handle name, nb::handle table) {
  std::string line = "[WARN] Global variable: " + nb::cast<std::string>(nb::str(name)) +
                     " doesn't exist in " + nb::cast<std::string>(nb::str(table));
  nb::handle(imports.print)(nb::str(line.data(), line.size()));
}

const char* group_word(nb::handle declared) {
  return attr_true(declared, "isAsync") ? "a parallel group" : "a competing group";
}

// A name that stands for a parallel or competing group hands the whole rest
// of the chain over to a substitute; anything else in the same statement
// would be lost, so such a name must stand alone.
void refuse_crowded_group_name(nb::handle self, nb::handle sequence, nb::handle table) {
  const Py_ssize_t count = length_of(sequence);
  if (count < 2) return;
  for (nb::handle item : sequence) {
    if (!is_identifier(item)) continue;
    nb::object declared = lookup(table, item.attr("id"));
    if (declared.is_none()) continue;
    if (!attr_true(declared, "isAsync") && !attr_true(declared, "isCompete")) continue;
    throw nb::value_error(("block " + describe(block_fields(self).id) + ": " +
                           describe(item.attr("id")) + " names " + group_word(declared) +
                           ", which must stand alone in its statement; it shares the statement "
                           "with " +
                           std::to_string(count - 1) +
                           " other item(s). Put them into statements of their own after it, "
                           "or into the group's branches")
                              .c_str());
  }
}

// The end of the chain that starts at `head`.
ZarnBlock& chain_end(nb::handle head) { return block_fields(chain_blocks(head).back()); }

// Hands the chain over to a substitute group (the declared group's copy).
// `parallel` chooses between the two hand-overs, which differ only in the
// names of the kind's operations and the competing group's module check.
// The declared group and the chain's blocks may be of a user's kinds: their
// copies, rounds and first actions are asked for by name (a kind's own).
void hand_over(nb::handle self, nb::handle item, nb::handle declared, bool parallel) {
  ZarnBlock& block = block_fields(self);
  const char* flag = parallel ? "isAsync" : "isCompete";
  const char* copy_name = parallel ? "async_copy" : "compete_copy";
  nb::setattr(self, flag, nb::bool_(true));
  nb::object substitute = declared.attr(copy_name)();
  nb::setattr(self, parallel ? "tmp_async_block" : "tmp_compete_block", substitute);
  if (!block.next_block.is_none()) {
    nb::object rest = block.next_block.attr(copy_name)();
    // At the end of the substitute's own chain: a declared group may be
    // followed by statements of its own, which must not be lost either.
    if (is_block(substitute)) {
      set_next(chain_end(substitute), rest);
    } else {
      nb::setattr(substitute, "next_block", rest);
    }
  }
  nb::object rounds = substitute.attr(parallel ? "async_evaluate" : "compete_evaluate")();
  nb::list others;
  const Py_ssize_t count = length_of(rounds);
  for (Py_ssize_t i = 1; i < count; ++i) others.append(rounds[i]);
  substitute.attr(parallel ? "async_concat" : "compete_concat")(others);
  if (!parallel) {
    nb::object branch = declared.attr("compete_blocks")[0];
    nb::object module_name = branch.attr("evaluate")()[0].attr("module").attr("name");
    check_module_name(block, module_name);
  }
  // The name's wait clause applies to the whole group.
  nb::object waits = item.attr("dependency");
  if (length_of(waits) > 0) substitute.attr("first")().attr("add_dependencies")(waits);
  // So does the statement's label.
  if (!block.id.is_none()) nb::setattr(substitute, "id", block.id);
}

// The inner step of global resolution for one block: true, false, or None
// when the block was handed over to a substitute.
nb::object resolve_current_action_seq(nb::handle self, nb::handle table) {
  ZarnBlock& block = block_fields(self);
  nb::object sequence = block.action_seq;
  bool has_names = false;
  for (nb::handle item : sequence) {
    if (is_identifier(item)) {
      has_names = true;
      break;
    }
  }
  // Nothing to resolve: the list stays as it is (and stays shared).
  if (!has_names) return step_result(is_resolved(block));
  refuse_crowded_group_name(self, sequence, table);

  nb::list resolved_sequence;
  std::vector<nb::object> items;
  for (nb::handle item : sequence) items.push_back(nb::borrow(item));
  for (nb::object& item : items) {
    if (!is_identifier(item)) {
      resolved_sequence.append(item);
      continue;
    }
    nb::object declared = lookup(table, item.attr("id"));
    if (declared.is_none()) {
      warn_undeclared(item.attr("id"), table);
      continue;
    }
    if (attr_true(declared, "isAsync")) {
      hand_over(self, item, declared, true);
      return nb::none();
    }
    if (attr_true(declared, "isCompete")) {
      hand_over(self, item, declared, false);
      return nb::none();
    }
    nb::object copied = declared.attr("copy")();  // (a kind's own)
    copied.attr("first")().attr("add_dependencies")(item.attr("dependency"));
    for (nb::handle action : copied.attr("evaluate")()) resolved_sequence.append(action);
    check_module_name(block, resolved_sequence[0].attr("module").attr("name"));
  }
  set_action_seq(block, resolved_sequence);
  return step_result(is_resolved(block));
}

}  // namespace

bool resolve_local(nb::handle self, nb::handle local_dep) {
  nb::object rest;
  std::vector<nb::object> blocks = chain_blocks(self, &rest);
  for (nb::object& current : blocks) {
    ZarnBlock& block = block_fields(current);
    // A group's own wired list: a competing group's action_seq becomes a map
    // of its branches once evaluated.
    nb::object source = block.group ? block.group->flat : block.action_seq;
    std::vector<nb::object> items;
    for (nb::handle item : source) items.push_back(nb::borrow(item));
    bool resolved = true;
    for (nb::object& item : items) {
      item.attr("resolve_dependencies")(local_dep);  // (a kind's own)
      resolved = resolved && is_action(item);
    }
    if (!resolved) return false;
  }
  if (!rest.is_none()) return truthy(rest.attr("resolve_local")(local_dep));
  return true;
}

nb::object resolve_global(nb::handle self, nb::handle extern_declaration) {
  nb::object table =
      extern_declaration.is_none() ? nb::object(nb::dict()) : nb::borrow(extern_declaration);
  nb::object current = nb::borrow(self);
  LoopGuard guard(current);
  for (;;) {
    nb::object result = resolve_current_action_seq(current, table);
    if (!truthy(result)) return result;  // false, or None after a hand-over
    nb::object next = block_fields(current).next_block;
    if (next.is_none()) return result;
    if (!is_block(next)) return next.attr("resolve_global")(table);
    // A tail whose facts say it holds actions only (it was resolved when it
    // was built) would resolve to true without any change: skip the walk.
    if (facts(next).clean) return nb::bool_(true);
    if (guard.loops_at(next)) raise_loop(next);
    current = std::move(next);
  }
}

}  // namespace zarn::py
