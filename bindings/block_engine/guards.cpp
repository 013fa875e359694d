#include "block_engine/guards.hpp"

#include <deque>
#include <unordered_set>

#include "block_engine/chain.hpp"

namespace zarn::py {
namespace {

// Calls `visit` for every item of the blocks of the chain at `head`: a
// block's list, or the lists of a competing group's evaluated map.
template <class Visit>
void for_each_item(nb::handle head, Visit&& visit) {
  for (const nb::object& block : chain_blocks(head)) {
    nb::object sequence = block_fields(block).action_seq;
    if (PyDict_Check(sequence.ptr())) {
      for (auto [key, actions] : nb::borrow<nb::dict>(sequence)) {
        for (nb::handle item : actions) visit(item);
      }
    } else if (!sequence.is_none()) {
      for (nb::handle item : sequence) visit(item);
    }
  }
}

const Guard* guard_fields(nb::handle guard) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(guard.ptr())) != imports.guard_type ||
      !nb::inst_ready(guard)) {
    return nullptr;
  }
  return nb::inst_ptr<Guard>(guard);
}

}  // namespace

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

nb::list exception_parts(nb::handle head) {
  nb::list found;
  std::unordered_set<PyObject*> parts, guards;
  std::deque<nb::object> waiting{nb::borrow(head)};
  while (!waiting.empty()) {
    nb::object chain = std::move(waiting.front());
    waiting.pop_front();
    for_each_item(chain, [&](nb::handle item) {
      if (!is_action(item)) return;
      // The guarded part the action stands in, and the ones around it.
      nb::object guard = action_fields(item).guard;
      while (!guard.is_none() && guards.insert(guard.ptr()).second) {
        const Guard* fields = guard_fields(guard);
        nb::object part = fields != nullptr ? fields->exception : nb::getattr(guard, "exception");
        if (is_block(part) && parts.insert(part.ptr()).second) {
          found.append(part);
          waiting.push_back(part);
        }
        guard = fields != nullptr ? fields->outer : nb::getattr(guard, "outer", nb::none());
      }
    });
  }
  return found;
}

nb::list unresolved_waits(nb::handle head, nb::handle parts) {
  nb::list found;
  auto walk = [&](nb::handle chain) {
    for_each_item(chain, [&](nb::handle item) {
      if (!is_action(item)) return;
      for (nb::handle name : action_fields(item).dependency) {
        if (is_identifier(name)) found.append(nb::make_tuple(item, name));
      }
    });
  };
  walk(head);
  for (nb::handle part : parts) walk(part);
  return found;
}

}  // namespace zarn::py
