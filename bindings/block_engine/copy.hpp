// Copies of chains: the flattening copy (copy(): one block holding copies of
// the chain's actions) and the copy with structure (async_copy(),
// compete_copy(): every block of its own kind, groups as groups), each with
// fresh guarded parts and competitions of its own.
#pragma once

#include <nanobind/nanobind.h>

#include "block_engine/engine.hpp"

namespace zarn::py {

namespace nb = nanobind;

// A new empty block of the kind of `block` with its settings: the kind's
// `_blank_copy()` when it has one, else the kind called with the id.
ZARN_ENGINE_API nb::object blank_copy(nb::handle block);

// One new block of the kind and id of `self` holding copies of all actions of
// the chain, their dependencies and script order kept inside the copy.
ZARN_ENGINE_API nb::object copy_flat(nb::handle self);

// Copies the chain from `head` with its structure: every block of its own
// kind and id, groups as groups, every action copied, and every reference
// between the copied actions (dependencies, script order, guarded parts,
// competitions) pointing into the copy; references to anything outside the
// chain are kept as they are.
ZARN_ENGINE_API nb::object copy_structure(nb::handle head);

// The guard of a guarded part: a fresh one with a copy of the exception part.
ZARN_ENGINE_API nb::object clone_guard(nb::handle guard, nb::handle outer);
// An exception part's copy: a block's copy with structure; anything else as
// it is.
ZARN_ENGINE_API nb::object copy_exception_part(nb::handle exception);

}  // namespace zarn::py
