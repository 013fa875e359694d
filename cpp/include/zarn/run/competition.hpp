// Arbitration between the branches of a competing group: branches that
// contend for one machine module. The module serves one branch at a time
// (a branch holds it from its turn until its release), every branch gets
// exactly one turn, and whenever the module is free the next turn goes to the
// ready branch of highest priority, the earliest branch among equals.
//
// A branch is ready when it has asked for its turn, or when every event it
// waits for before asking is set already (its thread may simply not have got
// round to asking yet). Deciding by the events, not by who asks first, keeps
// the order independent of how threads happen to be scheduled.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "zarn/base/event.hpp"

namespace zarn {

// A branch asked twice, released a module it did not hold, or does not exist.
struct CompetitionError : std::logic_error {
  using std::logic_error::logic_error;
};

class Competition {
 public:
  // One entry per branch, in branch order; a greater number goes first.
  explicit Competition(std::vector<int> priorities);

  std::size_t size() const;

  // The events branch `branch` waits for before it asks for its turn, so that
  // it counts as ready as soon as they are all set. A branch without known
  // events is ready only once it asks.
  void set_ready_events(std::size_t branch, std::vector<std::shared_ptr<Event>> events);

  // Asks for the turn of `branch`; `on_granted` runs once the module is the
  // branch's, at once on this thread when it is free for it, otherwise on the
  // thread whose release hands it over. It runs outside the arbiter's lock.
  void request(std::size_t branch, std::function<void()> on_granted);

  // Ends the turn of `branch`, which must hold the module, and hands the
  // module to the next ready branch.
  void release(std::size_t branch);

  std::optional<std::size_t> holder() const;
  bool finished(std::size_t branch) const;

 private:
  struct Branch {
    int priority = 0;
    bool requested = false;
    bool finished = false;
    bool events_known = false;
    std::vector<std::shared_ptr<Event>> ready_when;
    std::function<void()> on_granted;
  };

  void check_branch(std::size_t branch) const;
  bool ready_locked(const Branch& branch) const;
  // Gives a free module to the best ready branch; returns the callback to run
  // when that branch has asked already.
  std::function<void()> hand_over_locked();

  mutable std::mutex mutex_;
  std::vector<Branch> branches_;
  std::optional<std::size_t> holder_;
};

}  // namespace zarn
