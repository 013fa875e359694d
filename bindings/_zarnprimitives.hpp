// Identifiers of the script language and the states of an action.
#pragma once

#include <nanobind/nanobind.h>

namespace zarn::py {

namespace nb = nanobind;

enum class ZarnState : int { NotExecuted = 1, Executing = 2, Finished = 3, Error = 4 };

// A name written in a script, with the dependencies written next to it.
struct ZarnId {
  nb::object id;          // exactly the object the parser gave, never normalised
  nb::object dependency;  // a Python list, items in the order they were added
  // Where the parser read the name (a SourcePosition), for the messages that
  // name it; None for a name made elsewhere.
  nb::object source;
};

// Adds dependencies to `target` (a Python list). A list contributes its items,
// after losing its first ";" separator in place (the caller sees the change);
// anything else, tuples and texts included, is one single item.
inline void add_dependencies(nb::handle target, nb::handle dep) {
  if (!target.is_valid() || !PyList_Check(target.ptr())) {
    throw nb::type_error("the dependency field must be a list");
  }
  if (!PyList_Check(dep.ptr())) {
    if (PyList_Append(target.ptr(), dep.ptr()) != 0) throw nb::python_error();
    return;
  }
  nb::str separator(";");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dep.ptr()); ++i) {
    nb::object item = nb::borrow(PyList_GET_ITEM(dep.ptr(), i));
    int equal = PyObject_RichCompareBool(item.ptr(), separator.ptr(), Py_EQ);
    if (equal < 0) throw nb::python_error();
    if (equal) {
      if (PySequence_DelItem(dep.ptr(), i) != 0) throw nb::python_error();
      break;
    }
  }
  // Slice assignment copes with `dep` being `target` itself.
  Py_ssize_t end = PyList_GET_SIZE(target.ptr());
  if (PyList_SetSlice(target.ptr(), end, end, dep.ptr()) != 0) throw nb::python_error();
}

}  // namespace zarn::py
