// Resolution of the names in a chain: global names (declared blocks) in the
// blocks' sequences, local names (labelled blocks) in the actions' waits.
#pragma once

#include <nanobind/nanobind.h>

#include "block_engine/engine.hpp"

namespace zarn::py {

namespace nb = nanobind;

// Resolves the waits of every action along the chain against `local_dep`
// (label -> actions); true when every item is an action.
ZARN_ENGINE_API bool resolve_local(nb::handle self, nb::handle local_dep);
// Replaces each name of a declared block by a copy of its actions, or hands
// the chain over to a substitute group (the result is then None).
ZARN_ENGINE_API nb::object resolve_global(nb::handle self, nb::handle extern_declaration);

}  // namespace zarn::py
