// The markers of a group's wired list: actions of their own kind
// (ZarnMarker) with a role. 'start' and 'join' begin and end a group; in a
// competing group, 'turn' waits for the branch's module and 'release' hands
// it on. Each finishes at once, but a turn, which finishes when the
// competition gives its branch the module.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "block_engine/engine.hpp"

namespace zarn::py {

namespace nb = nanobind;

ZARN_ENGINE_API nb::object make_marker(const char* role, nb::handle module);
ZARN_ENGINE_API std::string marker_role(nb::handle item);  // "" for an ordinary action

// What a marker does when run (ZarnMarker.execute): a turn blocks until the
// module is its branch's, a release hands the module on; then it finishes.
ZARN_ENGINE_API void marker_execute(nb::handle self);
// The non-blocking form (ZarnMarker.request): a turn finishes, and
// `callback()` runs, once the module is its branch's; any other marker does
// both at once.
ZARN_ENGINE_API void marker_request(nb::handle self, nb::handle callback);

}  // namespace zarn::py
