// The block engine: the C++ behind Zarn._zarnblock (blocks, their chains,
// groups, copies and run plans) and behind the block kinds of Zarn.blocks.
// It is one shared library, linked by _zarnblock, blocks, compiler and
// _zarnexec: the four work on one engine, whose state below exists once, and
// call its functions directly, never through Python attributes.
//
// Its units, each calling only units listed before it:
//   engine       the Python objects the engine works with (this header)
//   chain        a block and its chain: fields, bookkeeping, reading, adding
//   competition  the arbiter of a competing group's branches
//   markers      the actions that mark a group's structure, and how they run
//   guards       guarded parts (try/except)
//   groups       parallel and competing groups: building and wiring them
//   copy         copies of chains, with their groups and guarded parts
//   resolve      resolution of the names in a chain
//   plan         the run plan of a chain
//   kinds        the block kinds of Zarn.blocks
//
// A call on a block or an action goes through its Python method wherever the
// object may be of a user's kind that overrides the method (an action's
// copy(), a branch's evaluate()); those calls are marked "(a kind's own)".
#pragma once

#include <nanobind/nanobind.h>

// Marks what the engine's shared library offers the modules (and its own
// units to one another). Everything else stays hidden, as nanobind's own
// types are.
#define ZARN_ENGINE_API __attribute__((visibility("default")))

namespace zarn::py {

namespace nb = nanobind;

// The Python objects the engine works with, kept for the life of the
// interpreter. Zarn._zarnblock fills them when it is imported: start_engine()
// looks up the other modules' classes, the module adds the engine's own
// classes as it makes them, and make_block_kinds() adds the kinds.
struct EngineImports {
  PyObject* zarn_id_type = nullptr;    // ZarnId
  PyObject* action_type = nullptr;     // ZarnAction
  PyObject* finished_state = nullptr;  // ZarnState.Finished
  PyObject* print = nullptr;           // builtins.print
  PyObject* block_type = nullptr;      // ZarnBlock
  PyObject* marker_type = nullptr;     // ZarnMarker
  PyObject* guard_type = nullptr;      // ZarnGuard
  PyObject* competition_type = nullptr;
  PyObject* run_step_type = nullptr;  // ZarnRunStep
  // The kinds of Zarn.blocks; groups make their branches of the plain kind.
  PyObject* standard_kind = nullptr;
  PyObject* guarded_kind = nullptr;
  PyObject* parallel_kind = nullptr;
  PyObject* competing_kind = nullptr;
};
extern ZARN_ENGINE_API EngineImports imports;

// Called first by Zarn._zarnblock's import, with the module: sets up the
// engine's nanobind state, looks up the classes of the modules below the
// engine and prepares its waits.
ZARN_ENGINE_API void start_engine(nb::handle module);

// The engine, ready: imports Zarn._zarnblock when that has not happened yet.
// Every other module linking the engine calls it at its own import, so that
// no import order is asked of anyone.
ZARN_ENGINE_API const EngineImports& engine();

}  // namespace zarn::py
