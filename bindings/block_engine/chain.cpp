#include "block_engine/chain.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <string>

#include "block_engine/engine.hpp"
#include "common/abstract_base.hpp"

namespace zarn::py {

namespace {

const char* const kNotResolved = "ZarnBlock not resolved... Can't evaluate. ";

}  // namespace

// --- small helpers -------------------------------------------------------------

bool is_identifier(nb::handle item) {
  return PyObject_TypeCheck(item.ptr(), reinterpret_cast<PyTypeObject*>(imports.zarn_id_type));
}

bool is_action(nb::handle item) {
  return PyObject_TypeCheck(item.ptr(), reinterpret_cast<PyTypeObject*>(imports.action_type));
}

bool is_block(nb::handle item) {
  return item.is_valid() &&
         PyObject_TypeCheck(item.ptr(), reinterpret_cast<PyTypeObject*>(imports.block_type)) &&
         nb::inst_ready(item);
}

ZarnBlock& block_fields(nb::handle self) {
  return base_fields<ZarnBlock>(self, "a block", "super().__init__(identifier, **settings)");
}

bool takes_from_base(nb::handle action, const char* name) {
  PyTypeObject* type = Py_TYPE(action.ptr());
  PyTypeObject* base = reinterpret_cast<PyTypeObject*>(imports.action_type);
  if (!PyType_IsSubtype(type, base)) return false;
  nb::str key(name);
  PyObject* own = _PyType_Lookup(type, key.ptr());
  return own != nullptr && own == _PyType_Lookup(base, key.ptr());
}

ZarnAction& action_fields(nb::handle action) {
  return base_fields<ZarnAction>(action, "an action", "super().__init__(module, **settings)");
}

void mark_finished(nb::handle action) {
  ZarnAction& fields = action_fields(action);
  fields.state = nb::borrow(imports.finished_state);
  nb::object signal = fields.finish_signal;
  signal.attr("set")();
}

std::string describe(nb::handle obj) {
  std::string text = nb::cast<std::string>(nb::repr(obj));
  constexpr std::size_t kLongest = 120;
  if (text.size() > kLongest) text = text.substr(0, kLongest - 3) + "...";
  return text;
}

bool truthy(nb::handle obj) {
  int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) throw nb::python_error();
  return result == 1;
}

bool attr_true(nb::handle obj, const char* name) { return truthy(obj.attr(name)); }

Py_ssize_t length_of(nb::handle sequence) {
  Py_ssize_t size = PyObject_Length(sequence.ptr());
  if (size < 0) throw nb::python_error();
  return size;
}

namespace {

bool differ(nb::handle a, nb::handle b) {
  int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
  if (result < 0) throw nb::python_error();
  return result == 1;
}

nb::object item_at(nb::handle sequence, Py_ssize_t index) {
  nb::object position = nb::int_(index);
  PyObject* item = PyObject_GetItem(sequence.ptr(), position.ptr());
  if (item == nullptr) throw nb::python_error();
  return nb::steal(item);
}

// The module of an item of a flattened chain, as the chain's algorithms read it.
nb::object module_of(nb::handle item) {
  if (is_action(item)) return action_fields(item).module;
  return item.attr("module");
}

void append_to(nb::handle sequence, nb::handle item) {
  if (PyList_CheckExact(sequence.ptr())) {
    if (PyList_Append(sequence.ptr(), item.ptr()) != 0) throw nb::python_error();
  } else {
    sequence.attr("append")(item);
  }
}

void extend(nb::list& target, nb::handle items) {
  if (PyList_Check(items.ptr())) {
    Py_ssize_t end = PyList_GET_SIZE(target.ptr());
    if (PyList_SetSlice(target.ptr(), end, end, items.ptr()) != 0) throw nb::python_error();
    return;
  }
  for (nb::handle item : items) target.append(item);
}

void forget_predecessor(nb::handle next, ZarnBlock* predecessor) {
  if (!is_block(next)) return;
  auto& list = nb::inst_ptr<ZarnBlock>(next)->predecessors;
  auto found = std::find(list.begin(), list.end(), predecessor);
  if (found != list.end()) list.erase(found);
}

}  // namespace

void raise_loop(nb::handle at) {
  throw nb::value_error(("the chain of blocks loops back on itself at " + describe(at) +
                         ": a block cannot follow itself")
                            .c_str());
}

// --- construction and bookkeeping -------------------------------------------------

ZarnBlock::ZarnBlock(nb::object identifier)
    : action_seq(nb::list()),
      next_block(nb::none()),
      id(std::move(identifier)),
      module_name(nb::none()) {}

ZarnBlock::~ZarnBlock() {
  // Dropping the head of a long chain would otherwise free the chain by one
  // nested deallocation per block: take the blocks off one by one instead.
  nb::object next = std::move(next_block);
  forget_predecessor(next, this);
  while (is_block(next) && Py_REFCNT(next.ptr()) == 1) {
    ZarnBlock& following = *nb::inst_ptr<ZarnBlock>(next);
    nb::object after = std::move(following.next_block);
    following.next_block = nb::none();
    forget_predecessor(after, &following);
    next = std::move(after);  // frees the block, whose next is None by now
  }
}

void construct_block(nb::handle self, nb::object identifier, const nb::kwargs& settings) {
  if (!PyObject_TypeCheck(self.ptr(), reinterpret_cast<PyTypeObject*>(imports.block_type))) {
    throw nb::type_error(("a block is made of a ZarnBlock kind, not " + kind_name(self)).c_str());
  }
  if (nb::inst_ready(self)) {
    throw nb::type_error((kind_name(self) + " is initialised already").c_str());
  }
  check_concrete(self, imports.block_type, {"isAsync", "isCompete", "setup"});
  new (nb::inst_ptr<ZarnBlock>(self)) ZarnBlock(std::move(identifier));
  finish_construction(self, settings);
}

void drop_facts(ZarnBlock& block) {
  std::vector<ZarnBlock*> work(block.predecessors.begin(), block.predecessors.end());
  block.facts.valid = false;
  block.facts.first_module = nb::object();
  while (!work.empty()) {
    ZarnBlock* current = work.back();
    work.pop_back();
    if (!current->facts.valid) continue;
    current->facts.valid = false;
    current->facts.first_module = nb::object();
    work.insert(work.end(), current->predecessors.begin(), current->predecessors.end());
  }
}

void set_next(ZarnBlock& block, nb::object value) {
  if (!value.is_valid()) value = nb::none();
  nb::object previous = std::move(block.next_block);
  forget_predecessor(previous, &block);
  block.next_block = value;
  if (is_block(value)) nb::inst_ptr<ZarnBlock>(value)->predecessors.push_back(&block);
  drop_facts(block);
  // `previous` goes here, possibly with a whole chain: freed without recursion.
}

void set_action_seq(ZarnBlock& block, nb::object value) {
  block.action_seq = std::move(value);
  drop_facts(block);
}

std::vector<nb::object> chain_blocks(nb::handle head, nb::object* rest) {
  std::vector<nb::object> blocks;
  nb::object current = nb::borrow(head);
  LoopGuard guard(current);
  for (;;) {
    blocks.push_back(current);
    nb::object next = block_fields(current).next_block;
    if (next.is_none()) {
      if (rest != nullptr) *rest = nb::none();
      break;
    }
    if (!is_block(next)) {
      if (rest == nullptr) {
        throw nb::type_error(("the next block of " + describe(current) + " is " + describe(next) +
                              ", which is not a ZarnBlock")
                                 .c_str());
      }
      *rest = next;
      break;
    }
    if (guard.loops_at(next)) raise_loop(next);
    current = std::move(next);
  }
  return blocks;
}

// --- chain facts ------------------------------------------------------------------

namespace {

bool own_state_unchanged(const ZarnBlock& block) {
  const ChainFacts& facts = block.facts;
  if (block.action_seq.ptr() != facts.seq || block.next_block.ptr() != facts.next) return false;
  if (PyList_Check(block.action_seq.ptr())) {
    return PyList_GET_SIZE(block.action_seq.ptr()) == facts.seq_length;
  }
  return true;
}

void compute_own_facts(nb::handle self) {
  ZarnBlock& block = block_fields(self);
  ChainFacts facts;
  facts.valid = true;
  facts.seq = block.action_seq.ptr();
  facts.next = block.next_block.ptr();
  PyObject* seq = block.action_seq.ptr();
  const bool is_list = PyList_Check(seq);
  facts.seq_length = is_list ? PyList_GET_SIZE(seq) : -1;

  bool clean = !block.group && is_list && facts.seq_length > 0 && !attr_true(self, "isCompete");
  for (Py_ssize_t i = 0; clean && i < facts.seq_length; ++i) {
    clean = is_action(PyList_GET_ITEM(seq, i));
  }
  const ChainFacts* tail = nullptr;
  if (clean && !block.next_block.is_none()) {
    if (is_block(block.next_block)) tail = &nb::inst_ptr<ZarnBlock>(block.next_block)->facts;
    clean = tail != nullptr && tail->valid && tail->clean;
  }
  if (clean) {
    bool consistent = true;
    for (Py_ssize_t i = 1; consistent && i < facts.seq_length; ++i) {
      consistent =
          !differ(module_of(PyList_GET_ITEM(seq, i)), module_of(PyList_GET_ITEM(seq, i - 1)));
    }
    if (consistent && tail != nullptr) {
      consistent =
          tail->consistent &&
          !differ(tail->first_module, module_of(PyList_GET_ITEM(seq, facts.seq_length - 1)));
    }
    facts.consistent = consistent;
    facts.first_module = module_of(PyList_GET_ITEM(seq, 0));
  }
  facts.clean = clean;
  block.facts = std::move(facts);
}

}  // namespace

const ChainFacts& facts(nb::handle self) {
  std::vector<nb::object> stale;  // blocks to compute, head first
  nb::object current = nb::borrow(self);
  LoopGuard guard(current);
  for (;;) {
    ZarnBlock& block = block_fields(current);
    if (block.facts.valid) {
      if (own_state_unchanged(block)) break;
      drop_facts(block);
    }
    stale.push_back(current);
    nb::object next = block.next_block;
    if (!is_block(next)) break;
    if (guard.loops_at(next)) {
      // A looping chain is never clean; the full walks report the loop.
      for (nb::object& looped : stale) {
        ZarnBlock& entry = block_fields(looped);
        entry.facts = ChainFacts{};
        entry.facts.valid = true;
        entry.facts.seq = entry.action_seq.ptr();
        entry.facts.next = entry.next_block.ptr();
        entry.facts.seq_length =
            PyList_Check(entry.action_seq.ptr()) ? PyList_GET_SIZE(entry.action_seq.ptr()) : -1;
      }
      return block_fields(self).facts;
    }
    current = std::move(next);
  }
  for (auto it = stale.rbegin(); it != stale.rend(); ++it) compute_own_facts(*it);
  return block_fields(self).facts;
}

// --- Part of the chain API ----------------------------------------------------------

void check_module_name(ZarnBlock& block, nb::handle default_name) {
  if (block.module_name.is_none()) {
    block.module_name = nb::borrow(default_name);
    return;
  }
  int equal = PyObject_RichCompareBool(block.module_name.ptr(), default_name.ptr(), Py_EQ);
  if (equal < 0) throw nb::python_error();
  if (equal == 0) {
    // Made whatever Python's optimisation flags: a mixed block would drive
    // two modules from one sequence.
    std::string message = "an action of module " + describe(default_name) +
                          " cannot join a block of module " + describe(block.module_name) +
                          ": all actions of a block belong to one machine module";
    PyErr_SetString(PyExc_AssertionError, message.c_str());
    throw nb::python_error();
  }
}

namespace {

void refuse_groups(nb::handle item) {
  for (nb::object& block : chain_blocks(item)) {
    ZarnBlock& fields = block_fields(block);
    bool competing =
        fields.group ? fields.group->kind == GroupKind::Compete : attr_true(block, "isCompete");
    if (fields.group || competing) {
      throw nb::type_error(("cannot add " + describe(block) + " to a block: a " +
                            (competing ? "competing" : "parallel") +
                            " group spans branches and cannot be flattened into one sequence; "
                            "declare it and name it in a statement of its own")
                               .c_str());
    }
  }
}

}  // namespace

void add(nb::handle self, nb::handle item) {
  ZarnBlock& block = block_fields(self);
  nb::object items;
  if (is_block(item)) {
    refuse_groups(item);
    items = item.attr("evaluate")();  // (a kind's own)
  } else {
    items = nb::borrow(item);
  }
  // A snapshot: the items may be this block's own list, which grows below.
  nb::object snapshot = nb::steal(PySequence_List(items.ptr()));
  if (!snapshot.is_valid()) throw nb::python_error();
  nb::str separator(";");
  for (nb::handle element : nb::borrow<nb::list>(snapshot)) {
    if (is_action(element)) check_module_name(block, module_of(element).attr("name"));
    int equal = PyObject_RichCompareBool(element.ptr(), separator.ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    if (equal == 1) continue;
    append_to(block.action_seq, element);
  }
  drop_facts(block);
}

bool is_resolved(ZarnBlock& block) {
  for (nb::handle item : block.action_seq) {
    if (!is_action(item)) return false;
  }
  return true;
}

nb::object first(ZarnBlock& block) {
  if (length_of(block.action_seq) == 0) return nb::none();
  return item_at(block.action_seq, 0);
}

nb::object last(nb::handle self) {
  nb::object rest;
  std::vector<nb::object> blocks = chain_blocks(self, &rest);
  if (!rest.is_none()) return rest.attr("last")();
  ZarnBlock& end = block_fields(blocks.back());
  Py_ssize_t size = length_of(end.action_seq);
  if (size == 0) {
    throw nb::index_error(
        ("last(): the chain ends with " + describe(blocks.back()) + ", which holds no actions")
            .c_str());
  }
  return item_at(end.action_seq, size - 1);
}

namespace {

nb::object evaluate_competing(nb::handle self) {
  ZarnBlock& block = block_fields(self);
  nb::object branches = self.attr("compete_blocks");
  set_action_seq(block, nb::dict());
  nb::object map = block.action_seq;
  const Py_ssize_t count = length_of(branches);
  for (Py_ssize_t index = 0; index < count; ++index) {
    nb::object evaluated = item_at(branches, index).attr("evaluate")();  // (a kind's own)
    nb::object key = nb::int_(index);
    if (PyObject_SetItem(map.ptr(), key.ptr(), evaluated.ptr()) != 0) throw nb::python_error();
  }
  return map;
}

// What evaluate() does at the boundary between a block and the next: the next
// block's first action waits for the last action of this one.
void link_to_next(nb::handle block, ZarnBlock& fields, nb::handle next_first) {
  Py_ssize_t size = length_of(fields.action_seq);
  if (size == 0) {
    throw nb::index_error(("cannot evaluate " + describe(block) +
                           ": it holds no actions, so nothing links it to the next block")
                              .c_str());
  }
  nb::object last_item = item_at(fields.action_seq, size - 1);
  if (next_first.is_none()) {
    throw nb::attribute_error(("cannot evaluate " + describe(block) +
                               ": the next block holds no actions to link to "
                               "('NoneType' object has no attribute 'set_script_dep')")
                                  .c_str());
  }
  if (takes_from_base(next_first, "set_script_dep") &&
      takes_from_base(last_item, "finish_signal")) {
    // The base's own method and field: set without a call through Python.
    action_fields(next_first).script_dep = action_fields(last_item).finish_signal;
    return;
  }
  next_first.attr("set_script_dep")(last_item.attr("finish_signal"));  // (a kind's own)
}

[[noreturn]] void raise_not_resolved() {
  PyErr_SetString(PyExc_Exception, kNotResolved);
  throw nb::python_error();
}

}  // namespace

nb::object evaluate(nb::handle self) {
  if (attr_true(self, "isCompete")) return evaluate_competing(self);
  nb::object rest;
  std::vector<nb::object> blocks = chain_blocks(self, &rest);
  if (blocks.size() == 1 && rest.is_none()) {
    ZarnBlock& only = block_fields(self);
    if (!is_resolved(only)) raise_not_resolved();
    return only.action_seq;
  }
  nb::list out;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    ZarnBlock& block = block_fields(blocks[i]);
    if (i > 0 && attr_true(blocks[i], "isCompete")) {
      throw nb::type_error(("cannot evaluate the chain: " + describe(blocks[i]) +
                            " is a competing group, which evaluates to a map of its branches "
                            "and cannot be joined to a list; run_plan() covers such chains")
                               .c_str());
    }
    if (!is_resolved(block)) raise_not_resolved();
    if (i + 1 < blocks.size()) {
      link_to_next(blocks[i], block, first(block_fields(blocks[i + 1])));
    } else if (!rest.is_none()) {
      link_to_next(blocks[i], block, rest.attr("first")());
    }
    extend(out, block.action_seq);
  }
  if (!rest.is_none()) extend(out, rest.attr("evaluate")());
  return out;
}

bool is_module_consistent(nb::handle self) {
  const ChainFacts& known = facts(self);
  if (known.clean) {
    // The tail was evaluated and checked when it was built; only this block's
    // own boundary is linked again, as evaluate() would.
    ZarnBlock& block = block_fields(self);
    if (is_block(block.next_block)) {
      link_to_next(self, block, first(block_fields(block.next_block)));
    }
    return known.consistent;
  }
  nb::object actions = evaluate(self);
  const Py_ssize_t size = length_of(actions);
  nb::object previous;
  for (Py_ssize_t i = 0; i < size; ++i) {
    nb::object module = module_of(item_at(actions, i));
    if (i > 0 && differ(module, previous)) return false;
    previous = std::move(module);
  }
  return true;
}

nb::dict local_variables(nb::handle self) {
  nb::object rest;
  std::vector<nb::object> blocks = chain_blocks(self, &rest);
  nb::object map = rest.is_none() ? nb::object(nb::dict()) : rest.attr("get_local_variables_map")();
  // From the end towards the head, so that an earlier block's entry replaces
  // a later one's under the same id, in the order a recursive walk would build.
  for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
    ZarnBlock& block = block_fields(*it);
    if (block.id.is_none()) continue;
    if (PyObject_SetItem(map.ptr(), block.id.ptr(), block.action_seq.ptr()) != 0) {
      throw nb::python_error();
    }
  }
  return nb::borrow<nb::dict>(map);
}

}  // namespace zarn::py
