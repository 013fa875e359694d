// The abstract action of a script and the event that signals its end.
#pragma once

#include <nanobind/nanobind.h>

namespace zarn::py {

namespace nb = nanobind;

// Base fields of every action. Concrete kinds are Python subclasses that add
// `setup` and `execute`.
struct ZarnAction {
  nb::object state;
  nb::object finish_signal;
  nb::object module;
  nb::object dependency;
  nb::object script_dep;
  nb::object params;
  // The guarded part (try/except) the action belongs to, or None: set by the
  // block layer, kept by copy(), read by the run plan.
  nb::object guard;
};

}  // namespace zarn::py
