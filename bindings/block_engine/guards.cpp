#include "block_engine/guards.hpp"

#include "block_engine/chain.hpp"

namespace zarn::py {

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

}  // namespace zarn::py
