#include "_zarnaction.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <memory>
#include <optional>
#include <string>

#include "_zarnprimitives.hpp"
#include "common/abstract_base.hpp"
#include "common/core_errors.hpp"
#include "common/waiting.hpp"
#include "zarn/base/event.hpp"

namespace nb = nanobind;
using zarn::Event;
using zarn::py::EventHandle;
using zarn::py::is_instance;
using zarn::py::ZarnAction;

namespace {

// Objects of the other modules this one works with, looked up once at import.
// They stay referenced for the life of the interpreter.
struct Imports {
  PyObject* zarn_id_type = nullptr;
  PyObject* zarn_state_type = nullptr;
  PyObject* not_executed = nullptr;
  PyObject* deepcopy = nullptr;
  PyObject* action_type = nullptr;
};
Imports imports;

bool is_identifier(nb::handle item) { return is_instance(item, imports.zarn_id_type); }

// An event made without __init__ (ZarnEvent.__new__) holds none.
const Event& event_of(const EventHandle& handle) {
  if (!handle.event) throw nb::type_error("this ZarnEvent was not initialised");
  return *handle.event;
}

Event& event_of(EventHandle& handle) {
  if (!handle.event) throw nb::type_error("this ZarnEvent was not initialised");
  return *handle.event;
}

// --- ZarnAction ----------------------------------------------------------------

ZarnAction& fields(nb::handle self) {
  return zarn::py::base_fields<ZarnAction>(self, "an action",
                                           "super().__init__(module, **settings)");
}

nb::list& dependency_list(ZarnAction& action) {
  if (!PyList_Check(action.dependency.ptr())) {
    throw nb::type_error("the dependency field of an action must be a list");
  }
  return static_cast<nb::list&>(action.dependency);
}

// Whether every setting is a value that a deep copy returns as it is (None,
// a bool, int, float, text or bytes object of the built-in types): the deep
// copy of such settings is a plain copy of the map, made without calling it.
bool atoms_only(PyObject* settings) {
  PyObject *key, *value;
  Py_ssize_t position = 0;
  while (PyDict_Next(settings, &position, &key, &value)) {
    if (value != Py_None && !PyBool_Check(value) && !PyLong_CheckExact(value) &&
        !PyFloat_CheckExact(value) && !PyUnicode_CheckExact(value) && !PyBytes_CheckExact(value)) {
      return false;
    }
  }
  return true;
}

void init_action(nb::pointer_and_handle<ZarnAction> self, nb::object module, nb::kwargs configs) {
  zarn::py::check_concrete(self.h, imports.action_type, {"execute", "setup"});
  nb::object params =
      nb::steal(atoms_only(configs.ptr()) ? PyDict_Copy(configs.ptr())
                                          : PyObject_CallOneArg(imports.deepcopy, configs.ptr()));
  if (!params.is_valid()) throw nb::python_error();
  new (self.p) ZarnAction{nb::borrow(imports.not_executed),
                          nb::cast(EventHandle{std::make_shared<Event>()}, nb::rv_policy::move),
                          std::move(module),
                          nb::list(),
                          nb::none(),
                          std::move(params),
                          nb::none()};
  zarn::py::finish_construction(self.h, configs);
}

bool dependency_is_resolved(ZarnAction& action) {
  for (nb::handle item : dependency_list(action)) {
    if (is_identifier(item)) return false;
  }
  return true;
}

void resolve_dependencies(nb::handle self, nb::handle declaration_table) {
  ZarnAction& action = fields(self);
  if (nb::cast<bool>(self.attr("dependency_is_resolved")())) return;
  nb::list deps = dependency_list(action);  // a new reference: safe if the field is replaced
  const Py_ssize_t count = PyList_GET_SIZE(deps.ptr());
  for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(deps.ptr()); ++i) {
    nb::object item = nb::borrow(PyList_GET_ITEM(deps.ptr(), i));
    if (!is_identifier(item)) continue;
    nb::object name = item.attr("id");
    nb::object sequence;
    if (PyDict_Check(declaration_table.ptr())) {
      PyObject* found = PyDict_GetItemWithError(declaration_table.ptr(), name.ptr());
      if (found == nullptr && PyErr_Occurred()) throw nb::python_error();
      sequence = nb::borrow(found ? found : Py_None);
    } else {
      sequence = declaration_table.attr("get")(name);
    }
    if (sequence.is_none()) continue;
    Py_ssize_t length = PyObject_Length(sequence.ptr());
    if (length < 0) throw nb::python_error();
    if (length == 0) {
      throw nb::index_error(("cannot depend on " + nb::cast<std::string>(nb::repr(name)) +
                             ": its block has no actions")
                                .c_str());
    }
    nb::object last = sequence[length - 1];
    if (PyList_SetItem(deps.ptr(), i, last.release().ptr()) != 0) throw nb::python_error();
  }
}

void wait_signals(ZarnAction& action) {
  nb::list deps = dependency_list(action);
  // Index by index: the list is only read, but a reference is held on each item
  // because the lock is released while waiting.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(deps.ptr()); ++i) {
    nb::object item = nb::borrow(PyList_GET_ITEM(deps.ptr(), i));
    zarn::py::wait_any(item.attr("finish_signal"));
  }
  // A reference of our own: another thread may replace the field meanwhile.
  nb::object predecessor = action.script_dep;
  if (!predecessor.is_none()) zarn::py::wait_any(predecessor);
}

void run(nb::handle self) {
  // Always checked, also under `python -O`: waiting on an identifier would fail
  // later and less clearly.
  if (!nb::cast<bool>(self.attr("dependency_is_resolved")())) {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
  }
  self.attr("wait_signals")();
  self.attr("execute")();
}

nb::object copy_action(nb::handle self) {
  ZarnAction& action = fields(self);
  if (!PyDict_Check(action.params.ptr())) {
    throw nb::type_error("the params field of an action must be a dict");
  }
  nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
  nb::object copied = type(action.module, **nb::borrow<nb::dict>(action.params));
  copied.attr("add_dependencies")(dependency_list(action));
  // A copy stays in the guarded part of its original; block copies, which
  // make new guarded parts, replace it.
  fields(copied).guard = action.guard;
  return copied;
}

}  // namespace

NB_MODULE(_zarnaction, m) {
  m.doc() = "The abstract action of a ZARN script and the event that signals its end.";

  zarn::py::register_core_error_translator();
  zarn::py::init_waiting();
  using zarn::py::import_attr;
  imports.zarn_state_type = import_attr("Zarn._zarnprimitives", "ZarnState");
  imports.zarn_id_type = import_attr("Zarn._zarnprimitives", "ZarnId");
  imports.not_executed =
      nb::object(nb::handle(imports.zarn_state_type).attr("NotExecuted")).release().ptr();
  imports.deepcopy = import_attr("copy", "deepcopy");

  // Held by shared ownership: a thread waiting on an event keeps it alive even
  // when every Python reference to it is dropped.
  nb::class_<EventHandle>(m, "ZarnEvent",
                          "A thread-safe flag: set() raises it, clear() lowers it, wait() blocks\n"
                          "until it is raised. Behaves like threading.Event.")
      .def("__init__", [](EventHandle* self) { new (self) EventHandle{std::make_shared<Event>()}; })
      .def(
          "set", [](EventHandle& self) { event_of(self).set(); },
          "Raises the flag and wakes every waiting thread.")
      .def("clear", [](EventHandle& self) { event_of(self).clear(); })
      .def("is_set", [](const EventHandle& self) { return event_of(self).is_set(); })
      .def(
          "wait",
          [](const EventHandle& self, std::optional<double> timeout) {
            event_of(self);
            std::shared_ptr<const Event> held = self.event;
            return zarn::py::wait_native(held, timeout);
          },
          nb::arg("timeout") = nb::none(),
          "Blocks until the flag is raised or `timeout` seconds have passed;\n"
          "returns the flag. Other Python threads run meanwhile.")
      .def("__repr__", [](const EventHandle& self) {
        return std::string("<ZarnEvent ") + (event_of(self).is_set() ? "set>" : "clear>");
      });

  auto action =
      nb::class_<ZarnAction>(
          m, "ZarnAction",
          nb::type_slots(zarn::py::GcFields<ZarnAction, &ZarnAction::state,
                                            &ZarnAction::finish_signal, &ZarnAction::module,
                                            &ZarnAction::dependency, &ZarnAction::script_dep,
                                            &ZarnAction::params, &ZarnAction::guard>::slots),
          "The basic action of a script. It stores its current state (ZarnState)\n"
          "and gives a finish signal. It is blocking: run() waits until the\n"
          "previous and the dependent signals are all resolved, then executes.\n\n"
          "A concrete kind subclasses it and implements setup(**settings), the\n"
          "initial setup of the parameters it needs, and execute(), which does the\n"
          "work, moves `state` and sets `finish_signal` when it has finished.")
          .def("__init__", &init_action, nb::arg("module").none(), nb::arg("configs"))
          .def_prop_rw(
              "state", [](const ZarnAction& self) { return self.state; },
              [](ZarnAction& self, nb::object value) {
                if (PyObject_IsInstance(value.ptr(), imports.zarn_state_type) != 1) {
                  PyErr_Clear();
                  throw nb::type_error(("an action's state must be a ZarnState, not " +
                                        nb::cast<std::string>(nb::repr(value)))
                                           .c_str());
                }
                self.state = std::move(value);
              })
          .def_rw("finish_signal", &ZarnAction::finish_signal, nb::arg().none())
          .def_rw("module", &ZarnAction::module, nb::arg().none())
          .def_prop_rw(
              "dependency", [](const ZarnAction& self) { return self.dependency; },
              [](ZarnAction& self, nb::list value) { self.dependency = std::move(value); })
          .def_rw("script_dep", &ZarnAction::script_dep, nb::arg().none())
          .def_prop_rw(
              "params", [](const ZarnAction& self) { return self.params; },
              [](ZarnAction& self, nb::dict value) { self.params = std::move(value); })
          .def_rw("guard", &ZarnAction::guard, nb::arg().none(),
                  "The guarded part (a ZarnGuard) the action runs in, or None.")
          .def("run", &run,
               "Waits for every dependency's finish signal, then for the script-order\n"
               "predecessor, then calls execute(). Raises AssertionError first if a\n"
               "dependency is still an unresolved identifier.")
          .def("copy", &copy_action,
               "A new action of the same kind, module and settings, with the same\n"
               "dependency items in a list of its own.")
          .def(
              "dependency_is_resolved",
              [](nb::handle self) { return dependency_is_resolved(fields(self)); },
              "True when no dependency is an identifier any more.")
          .def("resolve_dependencies", &resolve_dependencies, nb::arg("declaration_table"),
               "Replaces each identifier whose name is in the table by the last\n"
               "action of the sequence the table maps it to.")
          .def(
              "add_dependencies",
              [](nb::handle self,
                 nb::handle dep) { zarn::py::add_dependencies(fields(self).dependency, dep); },
              nb::arg("dep").none(),
              "Adds the items of a list (its first \";\" removed from it in place),\n"
              "or any other value as one item.")
          .def(
              "set_script_dep",
              [](nb::handle self, nb::object dep) { fields(self).script_dep = std::move(dep); },
              nb::arg("dep").none(), "Sets the event of the action that precedes this one.")
          .def(
              "wait_signals", [](nb::handle self) { wait_signals(fields(self)); },
              "Blocks until every dependency has finished, then until the script-order\n"
              "predecessor has.")
          .def(
              "setup", [](nb::handle, nb::kwargs) {}, nb::arg("settings"),
              "Abstract: takes the action's parameters from its settings.")
          .def(
              "execute", [](nb::handle) {},
              "Abstract: performs the action and sets finish_signal when done.")
          .def("__repr__", [](nb::handle self) {
            ZarnAction& fields_of_self = fields(self);
            nb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
            return "<" + nb::cast<std::string>(type.attr("__name__")) + " on " +
                   nb::cast<std::string>(nb::repr(fields_of_self.module)) + ", " +
                   nb::cast<std::string>(nb::str(fields_of_self.state)) + ">";
          });
  imports.action_type = action.ptr();
  Py_INCREF(imports.action_type);
}
