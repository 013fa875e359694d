// The core's exception types as Python sees them. Every extension module
// registers the same translator at import, so a core failure reaches Python
// as the same exception whichever module's function let it through; a
// function catches a core exception itself only to add what it alone knows.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>

#include "zarn/base/yaml_tree.hpp"
#include "zarn/client/records.hpp"
#include "zarn/run/competition.hpp"

namespace zarn::py {

namespace nb = nanobind;

// Python's struct.error: what callers who know the standard packed-structure
// module expect for a record that cannot be packed or decoded.
inline void set_struct_error(const char* message) {
  nb::object error_type = nb::module_::import_("struct").attr("error");
  PyErr_SetString(error_type.ptr(), message);
}

inline void translate_core_error(const std::exception_ptr& failure, void*) {
  try {
    std::rethrow_exception(failure);
  } catch (const records::AsciiError& e) {
    PyObject* error = PyUnicodeDecodeError_Create(
        "ascii", e.bytes.data(), static_cast<Py_ssize_t>(e.bytes.size()),
        static_cast<Py_ssize_t>(e.position), static_cast<Py_ssize_t>(e.position + 1),
        "ordinal not in range(128)");
    if (error == nullptr) return;  // the failure to build it is the error now
    PyErr_SetObject(PyExc_UnicodeDecodeError, error);
    Py_DECREF(error);
  } catch (const records::FormatError& e) {
    set_struct_error(e.what());
  } catch (const yaml::FileError& e) {
    PyErr_SetString(PyExc_OSError, e.what());
  } catch (const yaml::Error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const CompetitionError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  // Anything else propagates to nanobind's own translation.
}

inline void register_core_error_translator() {
  nb::register_exception_translator(&translate_core_error);
}

}  // namespace zarn::py
