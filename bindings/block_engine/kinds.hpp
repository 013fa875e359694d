// The block kinds of a compiled script, made by the engine and offered by
// Zarn.blocks: StandardBlock (a plain sequence), RunExceptBlock (a guarded
// sequence), AsyncBlock (a parallel group) and CompeteBlock (a competing
// group). Each is a subclass of ZarnBlock with methods written in C++, and
// can itself be subclassed in Python.
#pragma once

#include <nanobind/nanobind.h>

#include "block_engine/engine.hpp"

namespace zarn::py {

namespace nb = nanobind;

// Makes the kinds into imports (standard_kind, ...). Called once, by
// Zarn._zarnblock's import, after ZarnBlock exists.
ZARN_ENGINE_API void make_block_kinds();

// RunExceptBlock.add: appends as ZarnBlock.add does, and puts every action
// appended (even before a failure) into the block's guarded part.
ZARN_ENGINE_API void add_guarded(nb::handle self, nb::handle item);

}  // namespace zarn::py
