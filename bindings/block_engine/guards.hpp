// Guarded parts (try/except): ZarnGuard holds the exception part that handles
// a failure of the actions under it, and the guarded part around it.
#pragma once

#include <nanobind/nanobind.h>

#include "block_engine/engine.hpp"

namespace zarn::py {

namespace nb = nanobind;

struct Guard {
  nb::object exception;
  nb::object outer;
};

// Puts the actions of `sequence` from `start` on into the guarded part
// `guard`: an action that is in an inner part already has that part enclosed.
ZARN_ENGINE_API void guard_items(nb::handle sequence, Py_ssize_t start, nb::handle guard);

// The exception parts of the guarded actions of the chain that starts at
// `head`, and of those parts' own guarded actions, each once, in the order
// they are met (a compile checks and plans each of them).
ZARN_ENGINE_API nb::list exception_parts(nb::handle head);

// (action, ZarnId) for every wait name left unresolved in the chains of
// `head` and of `parts`, in script order.
ZARN_ENGINE_API nb::list unresolved_waits(nb::handle head, nb::handle parts);

}  // namespace zarn::py
