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
};

}  // namespace zarn::py
