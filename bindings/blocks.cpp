// Zarn.blocks: the block kinds of a compiled script (StandardBlock,
// RunExceptBlock, AsyncBlock, CompeteBlock). The block engine makes them
// (block_engine/kinds.cpp), so that groups and the compiler have them
// whether or not this module was ever imported; this module offers them,
// with the priorities of competing branches.

#include <nanobind/nanobind.h>

#include "block_engine/engine.hpp"
#include "block_engine/guards.hpp"
#include "common/core_errors.hpp"

namespace nb = nanobind;

NB_MODULE(blocks, m) {
  m.doc() = "The block kinds of a compiled ZARN script.";
  zarn::py::register_core_error_translator();
  const zarn::py::EngineImports& engine = zarn::py::engine();

  nb::module_ priorities = nb::module_::import_("Zarn._zarnpq");
  m.attr("ZarnPriority") = priorities.attr("ZarnPriority");
  m.attr("ZarnPriorityQueue") = priorities.attr("ZarnPriorityQueue");

  m.attr("StandardBlock") = nb::handle(engine.standard_kind);
  m.attr("RunExceptBlock") = nb::handle(engine.guarded_kind);
  m.attr("AsyncBlock") = nb::handle(engine.parallel_kind);
  m.attr("CompeteBlock") = nb::handle(engine.competing_kind);

  m.def("exception_parts", &zarn::py::exception_parts, nb::arg("head"),
        "The exception parts of the guarded actions of the chain that starts at head,\n"
        "and of those parts' own guarded actions, each once, in the order met.");
  m.def("unresolved_waits", &zarn::py::unresolved_waits, nb::arg("head"), nb::arg("parts"),
        "(action, ZarnId) for every wait name left unresolved in the chains of head\n"
        "and of parts, in script order.");
}
