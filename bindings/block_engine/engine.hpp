// The block engine behind Zarn._zarnblock: the abstract block, its chains,
// the parallel and competing groups, copies and the run plan. The kinds of
// Zarn.blocks are thin classes over the functions declared here.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "_zarnaction.hpp"

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

// A parallel or competing group. Its branches are the blocks in the
// instance's `async_block_map` (parallel) or `compete_blocks` (compete); the
// group builds from them one wired list of actions, `flat`, which is also its
// action_seq: a start marker, the branches, and a join marker that finishes
// when every branch has (a competing branch lies between its turn and release
// markers).
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

struct ZarnBlock {
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

// Objects looked up or created at import.
struct BlockImports {
  PyObject* zarn_id_type = nullptr;
  PyObject* action_type = nullptr;
  PyObject* block_type = nullptr;
  PyObject* marker_type = nullptr;
  PyObject* guard_type = nullptr;
  PyObject* competition_type = nullptr;
  PyObject* finished_state = nullptr;
  PyObject* print = nullptr;
  // The plain kind that groups make their branch blocks of; Zarn.blocks
  // registers StandardBlock here when it is imported.
  PyObject* plain_kind = nullptr;
};
extern BlockImports imports;

extern const char* const kNotResolved;  // "ZarnBlock not resolved... Can't evaluate. "

// --- helpers (block_chain.cpp) -----------------------------------------------

bool is_identifier(nb::handle item);
bool is_action(nb::handle item);
bool is_block(nb::handle item);  // a constructed ZarnBlock
ZarnBlock& block_fields(nb::handle self);
ZarnAction& action_fields(nb::handle action);
std::string describe(nb::handle obj);  // repr, for messages
bool truthy(nb::handle obj);
// len(sequence); a Python error when it has none.
Py_ssize_t length_of(nb::handle sequence);
bool attr_true(nb::handle obj, const char* name);

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

[[noreturn]] void raise_loop(nb::handle at);

// The blocks of the chain that starts at `head`, in order, as far as they are
// ZarnBlocks; `rest` receives a following object that is not (or None).
// Raises ValueError when the chain loops back on itself.
std::vector<nb::object> chain_blocks(nb::handle head, nb::object* rest = nullptr);

void set_next(ZarnBlock& block, nb::object value);
void set_action_seq(ZarnBlock& block, nb::object value);
void drop_facts(ZarnBlock& block);

void check_module_name(ZarnBlock& block, nb::handle default_name);
void add(nb::handle self, nb::handle item);
nb::object evaluate(nb::handle self);
nb::object copy_flat(nb::handle self);
bool is_resolved(ZarnBlock& block);
bool is_module_consistent(nb::handle self);
nb::object first(ZarnBlock& block);
nb::object last(nb::handle self);
nb::dict local_variables(nb::handle self);
const ChainFacts& facts(nb::handle self);

// A new empty block of the kind of `block` with its settings: the kind's
// `_blank_copy()` when it has one, else the kind called with the id.
nb::object blank_copy(nb::handle block);

// Copies the chain from `head` with its structure: every block of its own
// kind and id, groups as groups, every action copied, and every reference
// between the copied actions (dependencies, script order, guarded parts,
// competitions) pointing into the copy; references to anything outside the
// chain are kept as they are.
nb::object copy_structure(nb::handle head);

// --- resolution (block_resolve.cpp) --------------------------------------------

bool resolve_local(nb::handle self, nb::handle local_dep);
nb::object resolve_global(nb::handle self, nb::handle extern_declaration);

// --- groups (block_groups.cpp) ---------------------------------------------------

nb::object make_marker(const char* role, nb::handle module);
std::string marker_role(nb::handle item);  // "" for an ordinary action
void init_group(nb::handle self, GroupKind kind, nb::handle blocks);
// Rebuilds the group's wired list from its branches; returns it.
nb::object rewire(nb::handle self);
bool resolve_group(nb::handle self);
nb::list group_rounds(nb::handle self);
void concat_rounds(nb::handle self, nb::handle others);
// The actions of the chain from `head` in script order, groups expanded into
// their wired lists; raises for anything that is not an action.
nb::list flatten_chain(nb::handle head, const char* purpose);
// Links every action of `items` to its predecessor in script order; groups
// inside keep their own wiring. `start` is the event the first item waits
// for; with `keep_first` the first item's predecessor is left as it is.
void wire_sequence(nb::handle items, nb::handle start, bool keep_first);
// Makes every competing branch's turn in `items` wait for whatever the
// branch's actions wait for outside the branch, so that a branch holding its
// module never waits for anything else.
void lift_turn_waits(nb::handle items);
// Makes a new ZarnCompetition (one per competing group and copy).
nb::object new_competition(nb::handle module_name);
void traverse_group(const GroupData& group, visitproc visit, void* arg, int& result);
void bind_groups(nb::module_& m);
void clear_group(GroupData& group);

// The guard of a guarded part: a fresh one with a copy of the exception part.
nb::object clone_guard(nb::handle guard, nb::handle outer);
nb::object copy_exception_part(nb::handle exception);

// --- run plan (block_plan.cpp) ------------------------------------------------------

nb::object run_plan(nb::handle self);
void bind_plan(nb::module_& m);

}  // namespace zarn::py
