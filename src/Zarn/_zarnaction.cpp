#include "_zarnaction.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <string>

#include "_zarnprimitives.hpp"
#include "gc_fields.hpp"
#include "native_wait.hpp"
#include "zarn/event.hpp"

namespace nb = nanobind;
using zarn::Event;
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
  unsigned long main_thread_ident = 0;
};
Imports imports;

bool is_identifier(nb::handle item) {
  int result = PyObject_IsInstance(item.ptr(), imports.zarn_id_type);
  if (result < 0) throw nb::python_error();
  return result == 1;
}

// --- waiting -----------------------------------------------------------------

bool wait_native(const Event& event, std::optional<double> timeout_seconds) {
  if (event.is_set()) return true;
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> deadline;
  if (timeout_seconds) {
    double seconds = *timeout_seconds;
    if (std::isnan(seconds)) throw nb::value_error("timeout must be a number, not nan");
    if (seconds <= 0) return event.is_set();
    // Beyond a year counts as forever; it also keeps the arithmetic in range.
    if (seconds < 365.0 * 24 * 3600) {
      deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(seconds));
    }
  }
  const bool on_main_thread = PyThread_get_thread_ident() == imports.main_thread_ident;
  const bool raised = zarn::py::wait_releasing(
      [&](Clock::time_point until) { return event.wait_for(until - Clock::now()); }, deadline,
      on_main_thread);
  return raised || event.is_set();
}

// Waits on the package's own events natively, on anything else through its
// `wait()` method (a threading.Event, say).
void wait_any(nb::handle event) {
  Event* native = nullptr;
  if (nb::try_cast<Event*>(event, native) && native != nullptr) {
    wait_native(*native, std::nullopt);
  } else {
    event.attr("wait")();
  }
}

// --- ZarnAction ----------------------------------------------------------------

// Methods that take `self` as a plain handle must check themselves that the
// base construction ran: a subclass whose __init__ skips it leaves no fields.
ZarnAction& fields(nb::handle self) {
  if (!nb::inst_ready(self)) {
    std::string kind = nb::cast<std::string>(nb::handle(Py_TYPE(self.ptr())).attr("__name__"));
    throw nb::type_error((kind + " was not initialised as an action: its __init__ must call "
                                 "super().__init__(module, **settings)")
                             .c_str());
  }
  return *nb::inst_ptr<ZarnAction>(self);
}

nb::list& dependency_list(ZarnAction& action) {
  if (!PyList_Check(action.dependency.ptr())) {
    throw nb::type_error("the dependency field of an action must be a list");
  }
  return static_cast<nb::list&>(action.dependency);
}

// A concrete kind must define both abstract operations; the base defines
// neither for real, so finding the base's own function means it is missing.
void check_concrete(nb::handle self) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
  std::string missing;
  for (const char* name : {"execute", "setup"}) {
    nb::object own = nb::steal(PyObject_GetAttrString(type, name));
    if (!own.is_valid()) throw nb::python_error();
    nb::object base = nb::steal(PyObject_GetAttrString(imports.action_type, name));
    if (!base.is_valid()) throw nb::python_error();
    if (own.is(base)) missing += std::string(missing.empty() ? "'" : ", '") + name + "'";
  }
  if (!missing.empty()) {
    std::string type_name = nb::cast<std::string>(nb::handle(type).attr("__name__"));
    throw nb::type_error(("Can't instantiate abstract class " + type_name +
                          " without an implementation for abstract methods " + missing)
                             .c_str());
  }
}

void init_action(nb::pointer_and_handle<ZarnAction> self, nb::object module, nb::kwargs configs) {
  check_concrete(self.h);
  nb::object params = nb::steal(PyObject_CallOneArg(imports.deepcopy, configs.ptr()));
  if (!params.is_valid()) throw nb::python_error();
  new (self.p) ZarnAction{nb::borrow(imports.not_executed),
                          nb::cast(new Event(), nb::rv_policy::take_ownership),
                          std::move(module),
                          nb::list(),
                          nb::none(),
                          std::move(params)};
  // `setup` may read and write the base fields, so the instance must count as
  // constructed before it runs.
  nb::inst_mark_ready(self.h);
  self.h.attr("setup")(**configs);
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
    wait_any(item.attr("finish_signal"));
  }
  if (!action.script_dep.is_none()) wait_any(action.script_dep);
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
  return copied;
}

nb::object import_attr(const char* module, const char* name) {
  return nb::module_::import_(module).attr(name);
}

}  // namespace

NB_MODULE(_zarnaction, m) {
  m.doc() = "The abstract action of a ZARN script and the event that signals its end.";

  nb::object state_type = import_attr("Zarn._zarnprimitives", "ZarnState");
  imports.zarn_id_type = import_attr("Zarn._zarnprimitives", "ZarnId").release().ptr();
  imports.not_executed = nb::object(state_type.attr("NotExecuted")).release().ptr();
  imports.zarn_state_type = state_type.release().ptr();
  imports.deepcopy = import_attr("copy", "deepcopy").release().ptr();
  imports.main_thread_ident = nb::cast<unsigned long>(
      nb::module_::import_("threading").attr("main_thread")().attr("ident"));

  nb::class_<Event>(m, "ZarnEvent",
                    "A thread-safe flag: set() raises it, clear() lowers it, wait() blocks\n"
                    "until it is raised. Behaves like threading.Event.")
      .def(nb::init<>())
      .def("set", &Event::set, "Raises the flag and wakes every waiting thread.")
      .def("clear", &Event::clear)
      .def("is_set", &Event::is_set)
      .def(
          "wait",
          [](const Event& self, std::optional<double> timeout) {
            return wait_native(self, timeout);
          },
          nb::arg("timeout") = nb::none(),
          "Blocks until the flag is raised or `timeout` seconds have passed;\n"
          "returns the flag. Other Python threads run meanwhile.")
      .def("__repr__", [](const Event& self) {
        return std::string("<ZarnEvent ") + (self.is_set() ? "set>" : "clear>");
      });

  auto action =
      nb::class_<ZarnAction>(
          m, "ZarnAction",
          nb::type_slots(
              zarn::py::GcFields<ZarnAction, &ZarnAction::state, &ZarnAction::finish_signal,
                                 &ZarnAction::module, &ZarnAction::dependency,
                                 &ZarnAction::script_dep, &ZarnAction::params>::slots),
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
