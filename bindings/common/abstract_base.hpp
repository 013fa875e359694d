// Machinery shared by the package's abstract bases (ZarnAction, ZarnBlock) and
// the kinds built on them: refusing kinds that lack an abstract member, ending
// the base construction by calling the kind's `setup`, a clear error for a
// subclass whose __init__ skipped the base construction, and the objects of
// other modules that a module looks up once at import.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <climits>
#include <initializer_list>
#include <string>

#include "common/gc_fields.hpp"

namespace zarn::py {

namespace nb = nanobind;

// `module.name`, looked up now and kept for the life of the interpreter (a
// module's lookups live in plain pointers that are never released).
inline PyObject* import_attr(const char* module, const char* name) {
  return nb::object(nb::module_::import_(module).attr(name)).release().ptr();
}

// The class name of `obj` as Python shows it.
inline std::string kind_name(nb::handle obj) {
  return nb::cast<std::string>(
      nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

inline bool is_instance(nb::handle obj, PyObject* type) {
  int result = PyObject_IsInstance(obj.ptr(), type);
  if (result < 0) throw nb::python_error();
  return result == 1;
}

// A kind must replace every abstract member of `base_type`: finding the base's
// own placeholder on the kind means that member is missing. The message reads
// like Python's own for abstract classes.
inline void check_concrete(nb::handle self, PyObject* base_type,
                           std::initializer_list<const char*> members) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
  std::string missing;
  for (const char* name : members) {
    nb::object own = nb::steal(PyObject_GetAttrString(type, name));
    if (!own.is_valid()) throw nb::python_error();
    nb::object placeholder = nb::steal(PyObject_GetAttrString(base_type, name));
    if (!placeholder.is_valid()) throw nb::python_error();
    if (own.is(placeholder)) missing += std::string(missing.empty() ? "'" : ", '") + name + "'";
  }
  if (!missing.empty()) {
    throw nb::type_error(("Can't instantiate abstract class " + kind_name(self) +
                          " without an implementation for abstract methods " + missing)
                             .c_str());
  }
}

// The base fields of `self`. Methods that take `self` as a plain handle call
// this: a subclass whose __init__ skips the base construction leaves no fields,
// and touching them would crash instead of telling the user what to fix.
// `what` names the base ("an action"), `base_init` the call that was missed.
template <typename T>
T& base_fields(nb::handle self, const char* what, const char* base_init) {
  if (!nb::inst_ready(self)) {
    throw nb::type_error((kind_name(self) + " was not initialised as " + what +
                          ": its __init__ must call " + base_init)
                             .c_str());
  }
  return *nb::inst_ptr<T>(self);
}

// Ends a base construction once every base field is set: `setup` may read and
// write them, so the instance counts as constructed before it runs. The kind's
// `setup` receives the settings exactly as the caller gave them.
inline void finish_construction(nb::handle self, const nb::kwargs& configs) {
  nb::inst_mark_ready(self);
  self.attr("setup")(**configs);
}

// A priority given as a ZarnPriority or any integer, as a C++ int; `what`
// names it in the message ("a priority", "a branch's priority").
inline int priority_as_int(nb::handle priority, const char* what) {
  nb::object number = nb::steal(PyNumber_Index(priority.ptr()));
  if (!number.is_valid()) {
    PyErr_Clear();
    throw nb::type_error((std::string(what) + " must be a ZarnPriority or an integer, not " +
                          nb::cast<std::string>(nb::repr(priority)))
                             .c_str());
  }
  int overflow = 0;
  long value = PyLong_AsLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
    throw nb::value_error(
        (std::string(what) + " must lie within the range of a 32-bit integer").c_str());
  }
  return static_cast<int>(value);
}

}  // namespace zarn::py
