// A block and the chain that starts at it: the block's fields, the
// bookkeeping that keeps what is known about a chain up to date, and the
// operations that read, extend or flatten a chain. Every walk along
// next_block is a loop, never a recursion, so a chain of any length fits on
// the stack. Also the small helpers over actions and Python objects that the
// whole engine uses.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "_zarnaction.hpp"
#include "block_engine/engine.hpp"

namespace zarn::py {

namespace nb = nanobind;

// What a block knows about the chain that starts at it, so that the
// compiler's pattern (a chain built from its end, each new head resolved and
// checked) does not walk the whole tail again for every head. The facts are
// dropped whenever the block's list or next block is assigned, its flags are
// set, a block operation changes its list, or the same happens to any block
// further down its chain (through `predecessors`). They are also dropped when
// the block's own list has changed length. They are not refreshed by an
// in-place replacement of an item in a list deeper down the chain.
struct ChainFacts {
  bool valid = false;
  PyObject* seq = nullptr;  // identity of action_seq when computed (not owned)
  Py_ssize_t seq_length = 0;
  PyObject* next = nullptr;  // identity of next_block when computed (not owned)
  // Every block from here on is a plain block holding at least one item, and
  // every item is an action: evaluate() yields one flat list without error.
  bool clean = false;
  bool consistent = false;  // is_module_consistent(); meaningful when clean
  nb::object first_module;  // module of the chain's first action, when clean
};

enum class GroupKind { Parallel, Compete };

// A competing branch's markers: the turn waits for the module, the release
// hands it on.
struct CompeteMarkers {
  nb::object turn;
  nb::object release;
};

// A parallel or competing group (groups.hpp builds and wires it). Its
// branches are the blocks in the instance's `async_block_map` (parallel) or
// `compete_blocks` (compete); the group builds from them one wired list of
// actions, `flat`, which is also its action_seq: a start marker, the
// branches, and a join marker that finishes when every branch has (a
// competing branch lies between its turn and release markers).
struct GroupData {
  GroupKind kind = GroupKind::Parallel;
  nb::object start;
  nb::object join;
  nb::object competition;  // ZarnCompetition (compete) or None
  nb::object given;        // the blocks the group was made from: their local names
  nb::object flat;         // list
  nb::object rounds;       // list: groups appended by concat, part of the chain
  std::vector<CompeteMarkers> markers;
};

struct ZARN_ENGINE_API ZarnBlock {
  nb::object action_seq;
  nb::object next_block;
  nb::object id;
  nb::object module_name;

  ChainFacts facts;
  // Blocks whose next_block is this one: a change here drops their facts.
  std::vector<ZarnBlock*> predecessors;
  std::unique_ptr<GroupData> group;

  explicit ZarnBlock(nb::object identifier);
  ~ZarnBlock();
  ZarnBlock(const ZarnBlock&) = delete;
  ZarnBlock& operator=(const ZarnBlock&) = delete;
};

// The base construction of a block of any kind (ZarnBlock.__init__): refuses
// a kind that lacks an abstract member, sets the fields, then calls the
// kind's setup(**settings).
ZARN_ENGINE_API void construct_block(nb::handle self, nb::object identifier,
                                     const nb::kwargs& settings);

// --- helpers ------------------------------------------------------------------

ZARN_ENGINE_API bool is_identifier(nb::handle item);
ZARN_ENGINE_API bool is_action(nb::handle item);
ZARN_ENGINE_API bool is_block(nb::handle item);  // a constructed ZarnBlock
ZARN_ENGINE_API ZarnBlock& block_fields(nb::handle self);
ZARN_ENGINE_API ZarnAction& action_fields(nb::handle action);
// Whether an action's kind takes `name` from ZarnAction itself (overrides it
// nowhere), so that the engine may use the base's field or method directly.
ZARN_ENGINE_API bool takes_from_base(nb::handle action, const char* name);
// Marks an action finished and raises its finish signal.
ZARN_ENGINE_API void mark_finished(nb::handle action);
ZARN_ENGINE_API std::string describe(nb::handle obj);  // repr, for messages
ZARN_ENGINE_API bool truthy(nb::handle obj);
// len(sequence); a Python error when it has none.
ZARN_ENGINE_API Py_ssize_t length_of(nb::handle sequence);
ZARN_ENGINE_API bool attr_true(nb::handle obj, const char* name);

// Notices a walk along next_block that comes round to a block it passed
// already (Brent's method: constant memory, a few extra steps at most).
class LoopGuard {
 public:
  explicit LoopGuard(nb::handle head) : tortoise_(head) {}
  // True when `next` closes a loop; call it for every block stepped to.
  bool loops_at(nb::handle next) {
    if (next.is(tortoise_)) return true;
    if (power_ == steps_) {
      tortoise_ = next;
      power_ *= 2;
      steps_ = 0;
    }
    ++steps_;
    return false;
  }

 private:
  nb::handle tortoise_;  // borrowed: the walk holds every block it passed
  std::size_t power_ = 1;
  std::size_t steps_ = 1;
};

[[noreturn]] ZARN_ENGINE_API void raise_loop(nb::handle at);

// --- the chain ------------------------------------------------------------------

// The blocks of the chain that starts at `head`, in order, as far as they are
// ZarnBlocks; `rest` receives a following object that is not (or None).
// Raises ValueError when the chain loops back on itself.
ZARN_ENGINE_API std::vector<nb::object> chain_blocks(nb::handle head, nb::object* rest = nullptr);

ZARN_ENGINE_API void set_next(ZarnBlock& block, nb::object value);
ZARN_ENGINE_API void set_action_seq(ZarnBlock& block, nb::object value);
ZARN_ENGINE_API void drop_facts(ZarnBlock& block);
ZARN_ENGINE_API const ChainFacts& facts(nb::handle self);

ZARN_ENGINE_API void check_module_name(ZarnBlock& block, nb::handle default_name);
ZARN_ENGINE_API void add(nb::handle self, nb::handle item);
ZARN_ENGINE_API nb::object evaluate(nb::handle self);
ZARN_ENGINE_API bool is_resolved(ZarnBlock& block);
ZARN_ENGINE_API bool is_module_consistent(nb::handle self);
ZARN_ENGINE_API nb::object first(ZarnBlock& block);
ZARN_ENGINE_API nb::object last(nb::handle self);
ZARN_ENGINE_API nb::dict local_variables(nb::handle self);

}  // namespace zarn::py
