// The one way out for commands to the machine. Every record that would make a
// device act passes the gate while it is sent; a run's stop closes the gate,
// waits until whatever was passing has left, and only then sends its stops.
// So a command is either fully sent before the stop (and then stopped with
// its drive) or never sent at all: no command can overtake a stop.
//
// A closed gate still lets through what the stop itself sends (drive stops)
// and what commands nothing (conditions, which only watch). Outputs may be
// let through again once the axes are stopped, for the script's own stop
// routine, which sets lamps and valves to a safe state.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace zarn {

enum class CommandKind : std::uint8_t {
  Drive,      // motion and drive state: moves, homing, enable, disable, reset
  Stop,       // a drive's stop
  Output,     // setting an output
  Condition,  // a condition on a device: commands nothing
};

// What a client answers for a record its gate did not let through: the
// record was not sent.
inline constexpr int kRefusedByGate = -4;

// The kind of a record by its function code is the client's to tell
// (zarn::commands::kind_of): the gate knows kinds, not records.
const char* to_string(CommandKind kind);

class CommandGate {
 public:
  CommandGate() = default;
  CommandGate(const CommandGate&) = delete;
  CommandGate& operator=(const CommandGate&) = delete;

  // Whether a command of `kind` may be sent now; when it may, it counts as
  // passing until leave(). A refusal is counted.
  bool enter(CommandKind kind);
  void leave();

  // From now on only stops and conditions pass (and outputs while
  // let_outputs_through is on). Returns at once; safe under other locks, as
  // the gate never takes one of its callers'.
  void close();
  bool is_closed() const;
  // Waits until nothing that entered is still passing; false when `deadline`
  // came first.
  bool wait_clear_until(std::chrono::steady_clock::time_point deadline) const;
  // Outputs pass a closed gate while this is on (the stop routine's path).
  void let_outputs_through(bool on);
  bool outputs_let_through() const;
  // Opens the gate for a new run. Refused (false) while commands are passing.
  bool reopen();

  std::size_t passing() const;
  std::uint64_t refused() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cleared_;
  bool closed_ = false;
  bool outputs_through_ = false;
  std::size_t passing_ = 0;
  std::uint64_t refused_ = 0;
};

}  // namespace zarn
