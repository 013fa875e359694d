#include "block_engine/engine.hpp"

#include "common/abstract_base.hpp"
#include "common/waiting.hpp"

namespace zarn::py {

EngineImports imports;

void start_engine(nb::handle module) {
  // nanobind keeps some state per library, which this library shares with
  // the module that starts it; nothing of nanobind works here before.
  if (!nb::register_module(module)) throw nb::python_error();
  // The engine's waits have their own copy of this, as every module has.
  init_waiting();
  imports.zarn_id_type = import_attr("Zarn._zarnprimitives", "ZarnId");
  imports.action_type = import_attr("Zarn._zarnaction", "ZarnAction");
  imports.finished_state =
      nb::object(nb::module_::import_("Zarn._zarnprimitives").attr("ZarnState").attr("Finished"))
          .release()
          .ptr();
  imports.print = import_attr("builtins", "print");
}

const EngineImports& engine() {
  if (imports.standard_kind == nullptr) {
    // Plain Python calls: until Zarn._zarnblock has started the engine, its
    // nanobind state is not there to use.
    PyObject* module = PyImport_ImportModule("Zarn._zarnblock");
    if (module == nullptr) throw nb::python_error();
    Py_DECREF(module);
  }
  if (imports.standard_kind == nullptr) {
    throw nb::import_error("Zarn._zarnblock was imported but did not start the block engine");
  }
  return imports;
}

}  // namespace zarn::py
