// Taking the exception that is being raised, so that it can become the cause
// of another one (Python's `raise ... from`).
#pragma once

#include <nanobind/nanobind.h>

namespace zarn::py {

namespace nb = nanobind;

// The exception set now, normalised and with its traceback; the error
// indicator is cleared.
inline nb::object take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return nb::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  nb::object raised = nb::steal(value);
  Py_XDECREF(type);
  if (traceback != nullptr) {
    PyException_SetTraceback(raised.ptr(), traceback);
    Py_DECREF(traceback);
  }
  return raised;
#endif
}

}  // namespace zarn::py
