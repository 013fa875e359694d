// Parallel and competing groups: building them from their branches, and
// their wiring.
//
// A group is wired once its branches are known, so that the actions of an
// evaluated chain can simply be run, each on a thread of its own:
//
//   parallel:  start -> every branch (its actions one after another) -> join
//   compete:   start -> turn_i -> branch i -> release_i -> join, for every i
//
// A branch's first action waits for the start marker (a competing branch's
// for its turn), the join waits for the last action of every branch (for
// every release), and whatever follows the group waits for the join. A turn
// finishes when the competition gives the branch the module; the release
// hands the module on. A turn also waits for everything its branch's actions
// wait for outside the branch, so that a branch never holds the module while
// it waits for something else: no competition can stall on itself.
#pragma once

#include <nanobind/nanobind.h>

#include "block_engine/chain.hpp"
#include "block_engine/engine.hpp"

namespace zarn::py {

namespace nb = nanobind;

// Makes `self` (a block just constructed) a group of `kind` over `blocks`:
// one branch per machine module (parallel) or per block (compete).
ZARN_ENGINE_API void init_group(nb::handle self, GroupKind kind, nb::handle blocks);
// Rebuilds the group's wired list from its branches; returns it.
ZARN_ENGINE_API nb::object rewire(nb::handle self);
// Resolves the waits across all branches (a branch may wait for a labelled
// block of another); true when every item is an action.
ZARN_ENGINE_API bool resolve_group(nb::handle self);
// The group and the groups appended to it as further rounds.
ZARN_ENGINE_API nb::list group_rounds(nb::handle self);
ZARN_ENGINE_API void concat_rounds(nb::handle self, nb::handle others);

// The actions of the chain from `head` in script order, groups expanded into
// their wired lists; raises for anything that is not an action.
ZARN_ENGINE_API nb::list flatten_chain(nb::handle head, const char* purpose);
// Links every action of `items` to its predecessor in script order; groups
// inside keep their own wiring. `start` is the event the first item waits
// for; with `keep_first` the first item's predecessor is left as it is.
ZARN_ENGINE_API void wire_sequence(nb::handle items, nb::handle start, bool keep_first);
// Makes every competing branch's turn in `items` wait for whatever the
// branch's actions wait for outside the branch, so that a branch holding its
// module never waits for anything else.
ZARN_ENGINE_API void lift_turn_waits(nb::handle items);

// The collector's view of a group's objects.
ZARN_ENGINE_API void traverse_group(const GroupData& group, visitproc visit, void* arg,
                                    int& result);
ZARN_ENGINE_API void clear_group(GroupData& group);

}  // namespace zarn::py
