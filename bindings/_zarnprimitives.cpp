#include "_zarnprimitives.hpp"

#include <nanobind/stl/string.h>

#include "common/gc_fields.hpp"

namespace nb = nanobind;
using zarn::py::ZarnId;
using zarn::py::ZarnState;

namespace {}  // namespace

NB_MODULE(_zarnprimitives, m) {
  m.doc() = "Identifiers of the ZARN language and the states of an action.";

  nb::enum_<ZarnState>(m, "ZarnState", "The state of an action.")
      .value("NotExecuted", ZarnState::NotExecuted, "every new action")
      .value("Executing", ZarnState::Executing, "set by an action while it executes")
      .value("Finished", ZarnState::Finished, "set by an action when it has finished")
      .value("Error", ZarnState::Error, "set by an action that failed");

  nb::class_<ZarnId>(
      m, "ZarnId",
      nb::type_slots(
          zarn::py::GcFields<ZarnId, &ZarnId::id, &ZarnId::dependency, &ZarnId::source>::slots),
      "A name written in a script that refers to a block, with the\n"
      "dependencies written next to it. Compared by identity.")
      .def(
          "__init__",
          [](ZarnId* self, nb::object identifier) {
            new (self) ZarnId{std::move(identifier), nb::list(), nb::none()};
          },
          nb::arg("identifier").none())
      .def_rw("id", &ZarnId::id, nb::arg().none())
      .def_rw("source", &ZarnId::source, nb::arg().none(),
              "Where the script names it, (line, column), or None.")
      .def_prop_rw(
          "dependency", [](const ZarnId& self) { return self.dependency; },
          [](ZarnId& self, nb::list value) { self.dependency = std::move(value); })
      .def(
          "add_dependencies",
          [](ZarnId& self, nb::handle dep) { zarn::py::add_dependencies(self.dependency, dep); },
          nb::arg("dep").none(),
          "Adds the items of a list (its first \";\" removed from it in place),\n"
          "or any other value as one item.")
      .def("__repr__", [](const ZarnId& self) {
        return "ZarnId(" + nb::cast<std::string>(nb::repr(self.id)) + ")";
      });
}
