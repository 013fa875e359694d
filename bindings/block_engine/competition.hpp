// The arbiter of a competing group for Python: the core's Competition (which
// branch holds the module, which goes next by priority) with the turn
// markers and callbacks waiting for their turn. ZarnCompetition in
// Zarn._zarnblock.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "block_engine/engine.hpp"
#include "zarn/run/competition.hpp"

namespace zarn::py {

namespace nb = nanobind;

// A turn asked for and not yet given: the marker to finish and the callback
// to call once the module is the branch's. The arbiter keeps it out of the
// collector's sight, and it leads back to the competition (the marker holds
// it); the competition lists it as well, so that the collector can follow
// and break that cycle when the turn never comes, as when a run stops while
// another branch holds the module. Its objects are touched with the
// interpreter lock held.
struct ZARN_ENGINE_API WaitingTurn {
  nb::object marker = nb::none();
  nb::object callback = nb::none();

  WaitingTurn() = default;
  WaitingTurn(const WaitingTurn&) = delete;
  WaitingTurn& operator=(const WaitingTurn&) = delete;
  ~WaitingTurn();

  void clear() {
    marker = nb::none();
    callback = nb::none();
  }
};

struct CompetitionHandle {
  std::shared_ptr<Competition> core = std::make_shared<Competition>(std::vector<int>{});
  nb::object module_name = nb::none();
  nb::object priorities = nb::list();  // per branch, as the branch blocks carry them
  nb::object turns = nb::list();       // per branch, the turn marker
  std::vector<int> numbers;            // the priorities the arbiter was made with
  bool readiness_known = false;
  // The turns the arbiter may still give, seen by the collector through here.
  std::vector<std::shared_ptr<WaitingTurn>> waiting;
};

ZARN_ENGINE_API CompetitionHandle& competition_of(nb::handle competition);
// A new ZarnCompetition for the module (one per competing group and copy).
ZARN_ENGINE_API nb::object new_competition(nb::handle module_name);
// Gives the arbiter its branches: their priorities as the branch blocks carry
// them and their turn markers. An unchanged group keeps its arbiter, which
// may be under way.
ZARN_ENGINE_API void configure(CompetitionHandle& handle, nb::handle module_name,
                               nb::list priorities, nb::list turns);
// Blocks until the module is the branch's (other threads run meanwhile).
ZARN_ENGINE_API void acquire(CompetitionHandle& handle, std::size_t branch);
// Asks for the branch's turn without blocking: `marker` (None for none) is
// finished and `callback()` called once the module is the branch's.
ZARN_ENGINE_API void request_turn(CompetitionHandle& handle, std::size_t branch, nb::handle marker,
                                  nb::handle callback);

}  // namespace zarn::py
