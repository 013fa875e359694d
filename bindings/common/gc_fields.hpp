// Garbage-collector support for bound classes whose C++ fields hold Python
// objects. Such an object can sit in a reference cycle (an action listed in its
// own dependencies, a list that holds the record built from it), so the
// collector must be able to see and break its fields.
#pragma once

#include <nanobind/nanobind.h>

namespace zarn::py {

namespace nb = nanobind;

// GcFields<T, &T::a, &T::b>::slots, passed as nb::type_slots(...), makes the
// listed nb::object fields of T visible to the collector.
template <typename T, nb::object T::*... Fields>
struct GcFields {
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    // The collector may look before the constructor has filled the fields.
    if (!nb::inst_ready(self)) return 0;
    T* object = nb::inst_ptr<T>(self);
    for (PyObject* field : {(object->*Fields).ptr()...}) Py_VISIT(field);
    return 0;
  }

  static int clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    T* object = nb::inst_ptr<T>(self);
    // None rather than null: code that still reaches the object while the
    // cycle is torn down must find readable fields.
    ((object->*Fields = nb::none()), ...);
    return 0;
  }

  static inline PyType_Slot slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(&traverse)},
                                       {Py_tp_clear, reinterpret_cast<void*>(&clear)},
                                       {0, nullptr}};
};

}  // namespace zarn::py
