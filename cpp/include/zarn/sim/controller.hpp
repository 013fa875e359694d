// The simulated controller: the state of the machine's drives and IO modules,
// the action records waiting on their dependencies, the conditions being
// watched, and the results to publish. It knows nothing of sockets or of the
// wall clock: callers hand it records and the simulated time (seconds), ask it
// when the next thing happens, and collect what it publishes. Not thread-safe;
// one thread drives it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <queue>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "zarn/sim/config.hpp"
#include "zarn/sim/motion.hpp"

namespace zarn::sim {

// The result field of reply records and published records. 1 is success; the
// rest are the controller's refusals and failures.
// Writes `result` into the result field of a 216-byte action record.
void set_result(std::string& record, int result);

namespace result {
inline constexpr int kOk = 1;
// In the reply to an action request (the record is not taken):
inline constexpr int kWrongSize = -101;         // the request is not 216 bytes
inline constexpr int kUnknownModule = -102;     // no device of that family at module_id
inline constexpr int kUnknownFunction = -103;   // function code or condition id not served there
inline constexpr int kMalformed = -104;         // a field holds a value the command cannot take
inline constexpr int kRejectedOnDemand = -105;  // a fault switched on for tests
inline constexpr int kControllerFull = -106;    // too many records waiting
// In a published record (the action was taken, then failed):
inline constexpr int kNotHomed = -110;       // absolute move on a drive that needs homing
inline constexpr int kDriveDisabled = -111;  // motion command on a disabled drive
inline constexpr int kOutOfRange = -112;     // a relative move beyond the 32-bit position range
inline constexpr int kAborted = -113;        // motion ended by stop, disable or restart
inline constexpr int kExpired = -114;        // still waiting after the hold timeout
inline constexpr int kOutsideTravel = -115;  // the motion's end lies outside the drive's travel
}  // namespace result

// What a result code means, for logs and documentation.
const char* result_text(int code);

// Slave states of the drives.
namespace state {
inline constexpr int kNeedHoming = -2;
inline constexpr int kNotMotor = -1;
inline constexpr int kControllable = 0;
inline constexpr int kStartMoving = 1;
inline constexpr int kMoving = 2;
inline constexpr int kEndMoving = 3;
inline constexpr int kStartHoming = 4;
inline constexpr int kHoming = 5;
inline constexpr int kEndHoming = 6;
inline constexpr int kStop = 7;
}  // namespace state

struct Published {
  std::string topic;   // the command id
  std::string record;  // 216 bytes, result field set
};

struct ControllerStats {
  std::uint64_t accepted = 0;
  std::uint64_t refused = 0;
  std::uint64_t published = 0;
  std::uint64_t logger_requests = 0;
  std::size_t held = 0;    // records waiting on dependencies, a drive or a condition
  std::size_t timers = 0;  // scheduled wake-ups and expiries, stale ones included
};

// One line for the verbose log.
using LogSink = void (*)(void* context, const std::string& line);

class Controller {
 public:
  // `start` is the simulated time at which the controller comes up; the
  // administration states follow after the configured start-up delays.
  Controller(const MachineConfig& machine, double start = 0.0);
  // Drives point into the controller's own copy of the machine.
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // Takes one action request at simulated time `now` and returns the reply
  // record (216 bytes): the request with its result field set.
  std::string handle_action(std::string_view request, double now);
  // Answers one logger request (88 bytes expected) at `now`.
  std::string handle_logger(std::string_view request, double now);

  // Runs everything due up to `now`.
  void advance(double now);
  // When the next motion, wiring, start-up or condition event is due;
  // nullopt when nothing will happen without a new record.
  std::optional<double> next_event() const;

  // Moves the results published since the last call into `out`.
  void take_published(std::vector<Published>& out);

  // What input `pin` of IO module `morvo_id` shows, or nullopt when the
  // module has no such input.
  std::optional<int> input(int morvo_id, int pin) const;

  // Forces an input pin (a sensor an operator or a test works by hand).
  // Returns an empty text, or why it cannot.
  std::string force_input(int morvo_id, int pin, int value, double now);

  ControllerStats stats() const;
  void set_log(LogSink sink, void* context) {
    log_ = sink;
    log_context_ = context;
  }

 private:
  enum class Kind : std::uint8_t {
    IoSet,
    Enable,
    Disable,
    Reset,
    Stop,
    MoveAbs,
    MoveRel,
    Home,
    Condition,
  };
  enum class Stage : std::uint8_t { WaitingDeps, Queued, Running, Watching };
  enum class Motion : std::uint8_t { None, Move, Home, Braking };

  struct Held {
    std::uint64_t serial = 0;
    std::string record;
    std::string cmd_id;
    Kind kind = Kind::IoSet;
    Stage stage = Stage::WaitingDeps;
    std::array<std::int32_t, 6> args{};
    std::vector<std::string> waiting_for;  // command ids not yet completed
    bool needs_festo = false;
    bool needs_akribis = false;
    bool registered = false;  // listed among the waiters of its dependencies
    bool expiry_armed = false;
    double expires = std::numeric_limits<double>::infinity();
    int drive = -1;   // index into drives_
    int module = -1;  // index into machine_.io_modules
    // Conditions:
    int condition_type = -1;  // 0..6 per device, 502 or 503
    std::uint64_t reference_seq = 0;
    double next_wake = std::numeric_limits<double>::infinity();
    std::uint64_t start_seq = 0;
    std::vector<std::string> dependency_ids;  // all command-id dependencies
  };

  struct Done {
    int result;
    std::uint64_t start_seq;
    std::uint64_t serial;
  };

  struct Drive {
    const DriveConfig* config = nullptr;
    bool enabled = true;
    bool homed = false;
    int state = state::kNeedHoming;
    int error = 0;
    Motion motion = Motion::None;
    bool in_first_phase = false;
    Profile profile;
    double motion_started = 0.0;
    double still_since = 0.0;
    double last_motion_time = 0.0;
    bool settling = false;      // END_MOVING or END_HOMING until settled
    std::uint64_t running = 0;  // serial of the action whose motion this is
    std::deque<std::uint64_t> queue;
    std::array<std::uint64_t, 10> entered{};  // event seq of the last entry per state
  };

  struct WireState {
    const Wire* wire;
    std::deque<std::pair<double, int>> pending;  // when, input value
  };

  struct Wake {
    double time;
    std::uint64_t serial;
    bool expiry;
    bool operator>(const Wake& other) const { return time > other.time; }
  };
  bool wake_is_live(const Wake& wake) const;

  int admit(std::string_view request, Held& held);
  int admit_condition(int module_id, int func, Held& held);
  int check_motion_args(const Held& held) const;
  void run_until(double now);
  void settle();
  void check(std::uint64_t serial);
  void start(Held& held);
  void begin_motion(Drive& drive, Held& held);
  void fail_motion(Drive& drive, const Held& held, int result);
  void finish(std::uint64_t serial, int result);
  void fail_drive_motions(Drive& drive, int result, bool include_running);
  void drive_events(Drive& drive, double now);
  void end_motion(Drive& drive);
  void enter(Drive& drive, int state);
  int idle_state(const Drive& drive) const;
  void set_output(int module, int pin, int value);
  void set_input_bit(int module, int pin, int value);
  void watch(Held& held);
  int watch_key(const Held& held) const;
  void evaluate_device(int morvo_id);
  bool evaluate(Held& held);
  void schedule_wake(Held& held, double time);
  void arm_expiry(Held& held);
  void log(const std::string& line) const;
  std::string describe(const Held& held) const;
  int drive_at(Family family, int module_id) const;
  int drive_of(int morvo_id) const;
  int module_of(int morvo_id) const;
  int module_at_output_byte(int byte) const;
  void forget_waiter(const Held& held);
  void remember(const std::string& cmd_id, const Done& done);
  void compact_wakes();

  MachineConfig machine_;
  double start_;
  double now_;
  std::uint64_t next_serial_ = 1;
  std::uint64_t seq_ = 0;
  bool festo_up_ = false;
  bool akribis_up_ = false;

  std::vector<Drive> drives_;
  std::vector<std::uint8_t> input_image_;
  std::vector<std::uint8_t> output_image_;
  std::vector<WireState> wires_;

  std::unordered_map<std::uint64_t, Held> held_;
  std::unordered_map<std::string, std::vector<std::uint64_t>> waiters_;
  std::vector<std::uint64_t> admin_waiters_;
  std::unordered_map<int, std::vector<std::uint64_t>> watchers_;  // by MorvoID
  // Mutable: next_event() drops the superseded wake-ups on top.
  mutable std::priority_queue<Wake, std::vector<Wake>, std::greater<Wake>> wakes_;

  std::unordered_map<std::string, Done> done_;
  std::deque<std::pair<std::string, std::uint64_t>> done_order_;
  std::size_t history_limit_ = 65536;

  std::deque<std::uint64_t> to_check_;
  std::vector<int> dirty_;  // MorvoIDs whose state changed
  std::vector<Published> outbox_;

  ControllerStats stats_;
  LogSink log_ = nullptr;
  void* log_context_ = nullptr;
};

}  // namespace zarn::sim
