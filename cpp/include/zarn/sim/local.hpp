// The simulated controller in the client's own process, on a simulated
// clock: records go to the controller's model as calls instead of messages,
// and its time moves on only when everything of the run waits for it. A job
// run against it takes its machine time without sleeping through it: what
// an estimate of a cycle needs. The model is the simulator's own, so the
// estimate and the simulated controller cannot drift apart.
//
// Every wait here is made by a thread that holds the clock (a run's step);
// it lets the clock go while it waits. The waits end as the simulator's own
// would, or as stuck when nothing could ever end them (an input that no one
// sets): the clock then has nothing left to do.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "zarn/base/virtual_clock.hpp"
#include "zarn/sim/config.hpp"
#include "zarn/sim/controller.hpp"

namespace zarn::sim {

class LocalController {
 public:
  // The controller comes up at simulated time 0; the clock starts once its
  // drives' start-up delays have passed, as a client would find a
  // simulator that has been running for a while.
  explicit LocalController(const MachineConfig& machine);
  ~LocalController();
  LocalController(const LocalController&) = delete;
  LocalController& operator=(const LocalController&) = delete;

  const std::shared_ptr<VirtualClock>& clock() const { return clock_; }

  // A request on the action or the logger channel and the controller's
  // reply, at the present simulated time.
  std::string exchange_action(std::string_view request);
  std::string exchange_logger(std::string_view request);

  enum class Ending : std::uint8_t {
    Published,  // the record is in `record`
    Cancelled,  // cancel_all() ended it
    Stuck,      // nothing could ever publish it
    Closed,
  };
  struct Awaited {
    Ending ending = Ending::Closed;
    std::string record;
  };
  // The published record of command `cmd_id`.
  Awaited await_result(const std::string& cmd_id);

  // Waits until input `pin` of IO module `morvo_id` shows `value`, for at
  // most `seconds` of simulated time (none: as long as it takes), or until
  // `*cancelled` (read under the clock's lock; see set_flag). Answers how
  // it ended: Ready, Due (the time ran out), Stuck or Closed; an input that
  // does not exist is Stuck at once.
  VirtualClock::Woken await_input(int morvo_id, int pin, int value, std::optional<double> seconds,
                                  const bool* cancelled);
  // Waits `seconds` of simulated time or until `*cancelled`.
  VirtualClock::Woken sleep(double seconds, const bool* cancelled);
  // Sets a flag that waits read, and lets them look.
  void set_flag(bool& flag);

  // What input `pin` of `morvo_id` shows now, or nullopt for no such input.
  std::optional<int> input(int morvo_id, int pin);
  // An input set by hand (an operator's button): empty, or why it cannot be.
  std::string force_input(int morvo_id, int pin, int value);

  // Ends every await_result in flight (Cancelled), as a client's cancel ends
  // its blocking calls.
  void cancel_all();

 private:
  void collect_locked();

  Controller controller_;
  std::shared_ptr<VirtualClock> clock_;
  // Published records not yet taken, by command id; the oldest are dropped
  // past a bound, as a client drops results nobody waits for.
  std::unordered_map<std::string, std::string> published_;
  std::deque<std::string> published_order_;
  std::uint64_t cancels_ = 0;
};

}  // namespace zarn::sim
