#include "zarn/sim/controller.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "zarn/client/records.hpp"

namespace zarn::sim {
namespace {

namespace rec = zarn::records;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Wake-ups are never scheduled closer than this, so that rounding in a
// computed crossing time cannot make the event loop spin on one instant.
constexpr double kMinimumStep = 1e-6;
constexpr std::size_t kResultOffset = rec::kActionRecordBytes - sizeof(std::int32_t);
constexpr std::size_t kWirePendingLimit = 1024;
constexpr int kConditionTypes = 7;  // slave status .. static time

enum Comparison { kGreater = 0, kEqual = 1, kNear = 2, kLess = 3 };
enum Signal { kDigital = 0, kAnalogGreater = 1, kAnalogEqual = 2, kAnalogLess = 3 };
enum ConditionType {
  kSlaveStatus = 0,
  kErrorState = 1,
  kPosition = 2,
  kOutput = 3,
  kInput = 4,
  kThermal = 5,
  kStaticTime = 6,
  kFestoUp = rec::kAdminFestoState,
  kAkribisUp = rec::kAdminAkribisState,
};

std::int32_t int_at(std::string_view record, std::size_t offset) {
  std::int32_t value;
  std::memcpy(&value, record.data() + offset, sizeof value);
  return value;
}

// The position a drive reports: rounded to the nearest count, halves up.
long long rounded(double position) { return static_cast<long long>(std::floor(position + 0.5)); }

// Counts as a log line shows them: whole counts without decimals.
std::string count_text(double counts) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", counts);
  return text;
}

bool decimal_integer(const std::string& text, long long& value) {
  if (text.empty() || text.size() > 12) return false;
  std::size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  value = text[0] == '-' ? -v : v;
  return true;
}

std::string hex_bytes(const std::vector<std::uint8_t>& image, int start, int count) {
  constexpr char digits[] = "0123456789ABCDEF";
  // Spaced while the text fits the logger field, packed beyond that.
  const bool spaced = count * 3 - 1 <= static_cast<int>(rec::kLogTextBytes);
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (spaced && i > 0) text.push_back(' ');
    const std::uint8_t byte = image[static_cast<std::size_t>(start + i)];
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0xf]);
  }
  return text.substr(0, rec::kLogTextBytes);
}

std::string logger_record(std::int32_t device, std::int32_t index, const std::string& text) {
  std::string record = rec::pack_logger_request(device, index);
  const std::size_t n = std::min(text.size(), rec::kLogTextBytes);
  std::memcpy(record.data() + 8, text.data(), n);
  return record;
}

// A Festo function's name, as the client's enumeration gives it.
std::string_view function_name(int code) {
  for (const rec::EnumMember& member : rec::festo_functions().members) {
    if (member.value == code) return member.name;
  }
  return "?";
}

const char* condition_name(int type) {
  switch (type) {
    case kSlaveStatus:
      return "slave status";
    case kErrorState:
      return "error state";
    case kPosition:
      return "position";
    case kOutput:
      return "output";
    case kInput:
      return "input";
    case kThermal:
      return "thermal";
    case kStaticTime:
      return "static time";
    case kFestoUp:
      return "Festo drives up";
    case kAkribisUp:
      return "Akribis drives up";
    default:
      return "?";
  }
}

}  // namespace

void set_result(std::string& record, int result) {
  const std::int32_t value = result;
  std::memcpy(record.data() + kResultOffset, &value, sizeof value);
}

const char* result_text(int code) {
  switch (code) {
    case result::kOk:
      return "accepted / done";
    case result::kWrongSize:
      return "the request is not a 216-byte action record";
    case result::kUnknownModule:
      return "no device of that family at that module id";
    case result::kUnknownFunction:
      return "function code or condition not served by that device";
    case result::kMalformed:
      return "a field holds a value the command cannot take";
    case result::kRejectedOnDemand:
      return "rejected by a fault switched on for tests";
    case result::kControllerFull:
      return "too many records waiting in the controller";
    case result::kNotHomed:
      return "absolute move on a drive that needs homing";
    case result::kDriveDisabled:
      return "motion command on a disabled drive";
    case result::kOutOfRange:
      return "target beyond the 32-bit position range";
    case result::kAborted:
      return "motion ended by stop, disable or restart";
    case result::kExpired:
      return "still waiting after the hold timeout";
    case result::kOutsideTravel:
      return "the motion's end lies outside the drive's travel";
    default:
      return "unknown result";
  }
}

Controller::Controller(const MachineConfig& machine, double start)
    : machine_(machine), start_(start), now_(start) {
  drives_.resize(machine_.drives.size());
  for (std::size_t i = 0; i < drives_.size(); ++i) {
    Drive& drive = drives_[i];
    drive.config = &machine_.drives[i];
    drive.profile = Profile::standstill(start, 0.0);
    drive.still_since = start;
    drive.entered[state::kNeedHoming + 2] = ++seq_;
  }
  input_image_.assign(static_cast<std::size_t>(machine_.input_image_bytes), 0);
  output_image_.assign(static_cast<std::size_t>(machine_.output_image_bytes), 0);
  for (const Wire& wire : machine_.settings.wiring) {
    wires_.push_back({&wire, {}});
    // Outputs start off, so an inverted wire's input starts on: a sensor
    // that reports the valve's rest position must read so from the start,
    // or a script waiting for it would wait for ever.
    if (wire.invert) set_input_bit(module_of(wire.to_device), wire.to_pin, 1);
  }
  dirty_.clear();  // nothing watches yet
  festo_up_ = machine_.settings.festo_startup_delay <= 0.0;
  akribis_up_ = machine_.settings.akribis_startup_delay <= 0.0;
}

// ---------------------------------------------------------------------------
// Lookups
// ---------------------------------------------------------------------------

int Controller::drive_at(Family family, int module_id) const {
  for (std::size_t i = 0; i < drives_.size(); ++i) {
    const DriveConfig& c = *drives_[i].config;
    if (c.family == family && c.module_id == module_id) return static_cast<int>(i);
  }
  return -1;
}

int Controller::drive_of(int morvo_id) const {
  for (std::size_t i = 0; i < drives_.size(); ++i) {
    if (drives_[i].config->morvo_id == morvo_id) return static_cast<int>(i);
  }
  return -1;
}

int Controller::module_of(int morvo_id) const {
  const auto& modules = machine_.io_modules;
  for (std::size_t i = 0; i < modules.size(); ++i) {
    if (modules[i].morvo_id == morvo_id) return static_cast<int>(i);
  }
  return -1;
}

int Controller::module_at_output_byte(int byte) const {
  const auto& modules = machine_.io_modules;
  for (std::size_t i = 0; i < modules.size(); ++i) {
    if (modules[i].output_bytes > 0 && modules[i].output_start == byte) return static_cast<int>(i);
  }
  return -1;
}

int Controller::idle_state(const Drive& drive) const {
  return drive.homed ? state::kControllable : state::kNeedHoming;
}

void Controller::log(const std::string& line) const {
  if (log_ != nullptr) log_(log_context_, line);
}

std::string Controller::describe(const Held& held) const {
  std::string text = held.cmd_id + " ";
  if (held.kind == Kind::Condition) {
    text += std::string("condition ") + condition_name(held.condition_type);
    if (held.condition_type < kFestoUp) {
      text += " of device " + std::to_string(held.module >= 0
                                                 ? machine_.io_modules[held.module].morvo_id
                                                 : drives_[held.drive].config->morvo_id);
    }
  } else if (held.kind == Kind::IoSet) {
    text += "IO_SET_IO device " + std::to_string(machine_.io_modules[held.module].morvo_id) +
            " pin " + std::to_string(held.args[0]) + " = " + std::to_string(held.args[2]);
    return text;
  } else {
    const int code = static_cast<int>(held.kind) - static_cast<int>(Kind::IoSet);
    static constexpr int kCodes[] = {0, 7, 6, 5, 4, 1, 2, 3};
    text += std::string(function_name(kCodes[code])) + " drive " +
            std::to_string(drives_[held.drive].config->morvo_id);
  }
  text += " [";
  for (std::size_t i = 0; i < held.args.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(held.args[i]);
  }
  return text + "]";
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

std::string Controller::handle_action(std::string_view request, double now) {
  run_until(now);
  std::string reply;
  Held held;
  int code;
  if (request.size() != rec::kActionRecordBytes) {
    reply = rec::pack_action({{-1, -1}, "", {}});
    code = result::kWrongSize;
  } else {
    reply.assign(request);
    code = admit(request, held);
  }
  set_result(reply, code);
  if (code != result::kOk) {
    ++stats_.refused;
    if (log_ != nullptr) {
      log("refused " + (held.cmd_id.empty() ? std::string("a record") : held.cmd_id) + " of " +
          std::to_string(request.size()) + " bytes: " + std::to_string(code) + " (" +
          result_text(code) + ")");
    }
    return reply;
  }
  ++stats_.accepted;
  held.record.assign(request);
  held.serial = next_serial_++;
  const double timeout = machine_.settings.hold_timeout;
  if (timeout > 0.0) held.expires = now_ + timeout;
  if (log_ != nullptr) log("accepted " + describe(held));
  const std::uint64_t serial = held.serial;
  held_.emplace(serial, std::move(held));
  to_check_.push_back(serial);
  // Also what the record set off at this instant (a motion of no length).
  run_until(now_);
  return reply;
}

int Controller::admit(std::string_view request, Held& held) {
  std::vector<rec::Field> fields;
  try {
    fields = rec::unpack(rec::kActionDatatype, request);
  } catch (const rec::AsciiError&) {
    return result::kMalformed;
  }
  const int module_id = std::get<std::int32_t>(fields[0]);
  const int func = std::get<std::int32_t>(fields[1]);
  for (std::size_t i = 0; i < held.args.size(); ++i) {
    held.args[i] = std::get<std::int32_t>(fields[2 + i]);
  }
  held.cmd_id = std::get<std::string>(fields[8]);
  if (held.cmd_id.empty()) return result::kMalformed;
  for (std::size_t i = 9; i < 13; ++i) {
    const std::string& dep = std::get<std::string>(fields[i]);
    if (dep.empty()) continue;
    long long code = 0;
    if (decimal_integer(dep, code)) {
      // Numbers are administration states; any other condition code as a
      // dependency would wait for something that never completes.
      if (code == kFestoUp) {
        held.needs_festo = true;
      } else if (code == kAkribisUp) {
        held.needs_akribis = true;
      } else {
        return result::kMalformed;
      }
      continue;
    }
    if (dep == held.cmd_id) return result::kMalformed;
    held.dependency_ids.push_back(dep);
  }
  held.waiting_for = held.dependency_ids;

  int code;
  if (func == 0) {
    if (!machine_.has_io_coupler || module_id != machine_.coupler_slave_no) {
      return result::kUnknownModule;
    }
    const int module = module_at_output_byte(held.args[1]);
    if (module < 0) return result::kMalformed;
    const int pins = machine_.io_modules[module].output_bytes * 8;
    if (held.args[0] < 0 || held.args[0] >= pins) return result::kMalformed;
    if (held.args[2] != 0 && held.args[2] != 1) return result::kMalformed;
    held.kind = Kind::IoSet;
    held.module = module;
    code = result::kOk;
  } else if ((func >= 1 && func <= 7) || (func >= 51 && func <= 57)) {
    const Family family = func > 50 ? Family::Akribis : Family::Festo;
    held.drive = drive_at(family, module_id);
    if (held.drive < 0) return result::kUnknownModule;
    static constexpr Kind kKinds[] = {Kind::MoveAbs, Kind::MoveRel, Kind::Home,  Kind::Stop,
                                      Kind::Reset,   Kind::Disable, Kind::Enable};
    held.kind = kKinds[(func > 50 ? func - 50 : func) - 1];
    code = check_motion_args(held);
  } else if (func >= rec::kConditionStart) {
    code = admit_condition(module_id, func, held);
  } else {
    return result::kUnknownFunction;
  }
  if (code != result::kOk) return code;
  if (held_.size() >= machine_.settings.max_held) return result::kControllerFull;
  return result::kOk;
}

int Controller::check_motion_args(const Held& held) const {
  if (held.kind != Kind::MoveAbs && held.kind != Kind::MoveRel) return result::kOk;
  for (std::size_t i = 1; i <= 3; ++i) {
    if (held.args[i] != -1 && held.args[i] <= 0) return result::kMalformed;
  }
  return result::kOk;
}

int Controller::admit_condition(int module_id, int func, Held& held) {
  held.kind = Kind::Condition;
  if (module_id != 0) return result::kUnknownModule;
  if (func == kFestoUp || func == kAkribisUp) {
    held.condition_type = func;
    return result::kOk;
  }
  const int offset = func - rec::kConditionStart;
  const int device = offset / rec::kEachMorvoConditionNum + 1;
  const int type = offset % rec::kEachMorvoConditionNum;
  if (device > kLastConditionDevice || type >= kConditionTypes) return result::kUnknownFunction;
  held.drive = drive_of(device);
  held.module = held.drive >= 0 ? -1 : module_of(device);
  if (held.drive < 0 && held.module < 0) return result::kUnknownModule;
  held.condition_type = type;
  const auto& a = held.args;
  const bool drive = held.drive >= 0;
  switch (type) {
    case kSlaveStatus:
      return a[0] >= state::kNeedHoming && a[0] <= state::kStop ? result::kOk : result::kMalformed;
    case kErrorState:
      return result::kOk;
    case kPosition:
      if (!drive) return result::kUnknownFunction;
      if (a[0] < kGreater || a[0] > kLess) return result::kMalformed;
      if (a[0] == kNear && a[2] < -1) return result::kMalformed;
      return result::kOk;
    case kOutput:
    case kInput: {
      if (drive) return result::kUnknownFunction;
      const IoModuleConfig& m = machine_.io_modules[held.module];
      const int bytes = type == kOutput ? m.output_bytes : m.input_bytes;
      if (bytes == 0) return result::kUnknownFunction;
      if (a[0] < kDigital || a[0] > kAnalogLess) return result::kMalformed;
      if (a[0] == kDigital) {
        if (a[1] < 0 || a[1] >= bytes * 8) return result::kMalformed;
        if (a[2] < -1 || a[2] > 1) return result::kMalformed;
      } else if (a[1] < 0 || a[1] * 2 + 1 >= bytes) {
        return result::kMalformed;
      }
      return result::kOk;
    }
    case kThermal:
      if (!drive) return result::kUnknownFunction;
      return a[0] >= kAnalogGreater && a[0] <= kAnalogLess ? result::kOk : result::kMalformed;
    case kStaticTime:
      if (!drive) return result::kUnknownFunction;
      return a[0] >= -1 ? result::kOk : result::kMalformed;
    default:
      return result::kUnknownFunction;
  }
}

std::string Controller::handle_logger(std::string_view request, double now) {
  run_until(now);
  ++stats_.logger_requests;
  if (request.size() != rec::kLogRecordBytes) {
    return logger_record(
        -1, -1, "ERROR a logger request is 88 bytes, got " + std::to_string(request.size()));
  }
  const std::int32_t id = int_at(request, 0);
  const std::int32_t index = int_at(request, 4);
  const int d = drive_of(id);
  const int m = d >= 0 ? -1 : module_of(id);
  const std::string device = std::to_string(id);
  std::string text;
  if (d < 0 && m < 0) {
    text = "ERROR no device with MorvoID " + device;
  } else if (index < 0 || index > 7) {
    text = "ERROR unknown data index " + std::to_string(index) + " (0 to 7)";
  } else if (d >= 0) {
    const Drive& drive = drives_[d];
    switch (index) {
      case 0:
        text = std::to_string(drive.state);
        break;
      case 1:
        text = std::to_string(drive.error);
        break;
      case 2:
        text = std::to_string(rounded(drive.profile.position(now_)));
        break;
      case 3:
      case 4:
        text = "ERROR device " + device + " is a drive and has no " +
               (index == 3 ? "outputs" : "inputs");
        break;
      case 5:
        text = std::to_string(rounded(machine_.settings.temperature));
        break;
      case 6:
        text = std::to_string(
            drive.motion != Motion::None ? 0 : rounded((now_ - drive.still_since) * 1000.0));
        break;
      default:
        text = std::to_string(rounded(
            (drive.motion != Motion::None ? now_ - drive.motion_started : drive.last_motion_time) *
            1000.0));
        break;
    }
  } else {
    const IoModuleConfig& module = machine_.io_modules[m];
    if (index == 0) {
      text = std::to_string(state::kNotMotor);
    } else if (index == 1) {
      text = "0";
    } else if (index == 3 || index == 4) {
      const bool outputs = index == 3;
      const int count = outputs ? module.output_bytes : module.input_bytes;
      if (count == 0) {
        text = "ERROR IO module " + device + " has no " + (outputs ? "outputs" : "inputs");
      } else {
        text = hex_bytes(outputs ? output_image_ : input_image_,
                         outputs ? module.output_start : module.input_start, count);
      }
    } else {
      text = "ERROR device " + device + " is an IO module and has no such datum";
    }
  }
  return logger_record(id, index, text);
}

std::string Controller::force_input(int morvo_id, int pin, int value, double now) {
  run_until(now);
  const int m = module_of(morvo_id);
  if (m < 0 || machine_.io_modules[m].input_bytes == 0) {
    return "device " + std::to_string(morvo_id) + " is not an IO module with inputs";
  }
  if (pin < 0 || pin >= machine_.io_modules[m].input_bytes * 8) {
    return "pin " + std::to_string(pin) + " is not one of the " +
           std::to_string(machine_.io_modules[m].input_bytes * 8) + " inputs of device " +
           std::to_string(morvo_id);
  }
  if (value != 0 && value != 1) return "a pin is set to 0 or 1";
  set_input_bit(m, pin, value);
  run_until(now_);
  return "";
}

ControllerStats Controller::stats() const {
  ControllerStats s = stats_;
  s.held = held_.size();
  s.timers = wakes_.size();
  return s;
}

void Controller::take_published(std::vector<Published>& out) {
  for (Published& published : outbox_) out.push_back(std::move(published));
  outbox_.clear();
}

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------

std::optional<double> Controller::next_event() const {
  double next = kInfinity;
  const double settle_time = machine_.settings.settle_time;
  for (const Drive& drive : drives_) {
    if (drive.motion != Motion::None) {
      if (drive.in_first_phase) next = std::min(next, drive.profile.acceleration_end());
      next = std::min(next, drive.profile.end_time());
    } else if (drive.settling) {
      next = std::min(next, drive.still_since + settle_time);
    }
  }
  for (const WireState& wire : wires_) {
    if (!wire.pending.empty()) next = std::min(next, wire.pending.front().first);
  }
  if (!festo_up_) next = std::min(next, start_ + machine_.settings.festo_startup_delay);
  if (!akribis_up_) next = std::min(next, start_ + machine_.settings.akribis_startup_delay);
  if (!wakes_.empty()) next = std::min(next, wakes_.top().time);
  if (next == kInfinity) return std::nullopt;
  return next;
}

void Controller::advance(double now) { run_until(now); }

void Controller::run_until(double now) {
  settle();
  for (;;) {
    const std::optional<double> next = next_event();
    if (!next || *next > now) break;
    now_ = std::max(now_, *next);

    for (Drive& drive : drives_) drive_events(drive, now_);
    for (WireState& wire : wires_) {
      while (!wire.pending.empty() && wire.pending.front().first <= now_) {
        set_input_bit(module_of(wire.wire->to_device), wire.wire->to_pin,
                      wire.pending.front().second);
        wire.pending.pop_front();
      }
    }
    const Family families[] = {Family::Festo, Family::Akribis};
    for (Family family : families) {
      bool& up = family == Family::Festo ? festo_up_ : akribis_up_;
      const double delay = family == Family::Festo ? machine_.settings.festo_startup_delay
                                                   : machine_.settings.akribis_startup_delay;
      if (!up && start_ + delay <= now_) {
        up = true;
        log(std::string(family_name(family)) + " drives are up");
        for (std::uint64_t serial : admin_waiters_) to_check_.push_back(serial);
        dirty_.push_back(family == Family::Festo ? -kFestoUp : -kAkribisUp);  // see watch_key
      }
    }
    if (festo_up_ && akribis_up_) admin_waiters_.clear();
    while (!wakes_.empty() && wakes_.top().time <= now_) {
      const Wake wake = wakes_.top();
      wakes_.pop();
      const auto it = held_.find(wake.serial);
      if (it == held_.end()) continue;
      Held& held = it->second;
      if (wake.expiry) {
        if (held.expires <= now_ &&
            (held.stage == Stage::WaitingDeps || held.stage == Stage::Watching)) {
          finish(wake.serial, result::kExpired);
        }
      } else if (held.stage == Stage::Watching && held.next_wake == wake.time) {
        held.next_wake = kInfinity;
        if (evaluate(held)) finish(wake.serial, result::kOk);
      }
    }
    settle();
  }
  now_ = std::max(now_, now);
  settle();
}

void Controller::settle() {
  while (!to_check_.empty() || !dirty_.empty()) {
    while (!to_check_.empty()) {
      const std::uint64_t serial = to_check_.front();
      to_check_.pop_front();
      check(serial);
    }
    if (!dirty_.empty()) {
      std::vector<int> devices;
      devices.swap(dirty_);
      std::sort(devices.begin(), devices.end());
      devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
      for (int device : devices) evaluate_device(device);
    }
  }
}

// ---------------------------------------------------------------------------
// Dependencies and execution
// ---------------------------------------------------------------------------

void Controller::check(std::uint64_t serial) {
  const auto it = held_.find(serial);
  if (it == held_.end() || it->second.stage != Stage::WaitingDeps) return;
  Held& held = it->second;
  for (auto id = held.waiting_for.begin(); id != held.waiting_for.end();) {
    const auto done = done_.find(*id);
    if (done == done_.end()) {
      ++id;
      continue;
    }
    if (done->second.result != result::kOk) {
      // Nothing runs after a failed action; its failure is passed on.
      if (log_ != nullptr) log(held.cmd_id + " not run: its dependency " + *id + " failed");
      finish(serial, done->second.result);
      return;
    }
    id = held.waiting_for.erase(id);
  }
  if (!held.waiting_for.empty()) {
    if (!held.registered) {
      for (const std::string& id : held.waiting_for) waiters_[id].push_back(serial);
      held.registered = true;
    }
    arm_expiry(held);
    return;
  }
  if ((held.needs_festo && !festo_up_) || (held.needs_akribis && !akribis_up_)) {
    if (std::find(admin_waiters_.begin(), admin_waiters_.end(), serial) == admin_waiters_.end()) {
      admin_waiters_.push_back(serial);
    }
    arm_expiry(held);
    return;
  }
  start(held);
}

void Controller::start(Held& held) {
  held.start_seq = seq_;
  const std::uint64_t serial = held.serial;
  if (held.kind == Kind::Condition) {
    watch(held);
    return;
  }
  if (held.kind == Kind::IoSet) {
    set_output(held.module, held.args[0], held.args[2]);
    finish(serial, result::kOk);
    return;
  }
  Drive& drive = drives_[held.drive];
  switch (held.kind) {
    case Kind::Enable:
      drive.enabled = true;
      if (drive.motion == Motion::None && drive.state == state::kStop) {
        enter(drive, idle_state(drive));
      }
      finish(serial, result::kOk);
      return;
    case Kind::Disable:
      fail_drive_motions(drive, result::kAborted, true);
      if (drive.motion != Motion::None) {
        // A disabled servo holds no position control: it stops where it is.
        const double here = drive.profile.position(now_);
        drive.profile = Profile::standstill(now_, here);
        drive.motion = Motion::None;
        drive.still_since = now_;
        drive.last_motion_time = now_ - drive.motion_started;
      }
      drive.settling = false;
      drive.enabled = false;
      enter(drive, state::kStop);
      finish(serial, result::kOk);
      return;
    case Kind::Reset:
      drive.error = 0;
      dirty_.push_back(drive.config->morvo_id);  // for the error-state conditions
      if (drive.motion == Motion::None && drive.enabled && drive.state == state::kStop) {
        enter(drive, idle_state(drive));
      }
      finish(serial, result::kOk);
      return;
    case Kind::Stop:
      fail_drive_motions(drive, result::kAborted, false);
      if (drive.motion == Motion::Move || drive.motion == Motion::Home) {
        if (drive.running != 0) finish(drive.running, result::kAborted);
        drive.running = 0;
        drive.profile = Profile::braking(drive.profile, now_, drive.profile.deceleration());
        drive.motion = Motion::Braking;
        drive.in_first_phase = false;
      }
      drive.settling = false;
      enter(drive, state::kStop);
      finish(serial, result::kOk);
      return;
    default:
      break;
  }
  // Motion commands run one after the other on their drive.
  held.expires = kInfinity;
  if (drive.motion != Motion::None || !drive.queue.empty()) {
    held.stage = Stage::Queued;
    drive.queue.push_back(serial);
    return;
  }
  begin_motion(drive, held);
}

void Controller::begin_motion(Drive& drive, Held& held) {
  if (!drive.enabled) return fail_motion(drive, held, result::kDriveDisabled);
  if (held.kind == Kind::MoveAbs && !drive.homed) {
    return fail_motion(drive, held, result::kNotHomed);
  }
  const DriveConfig& config = *drive.config;
  const double from = drive.profile.position(now_);
  // A relative move's end is known only now, after the motions queued before it.
  long long target = held.args[0];
  if (held.kind == Kind::MoveRel) target += rounded(from);
  if (held.kind != Kind::Home) {
    if (target < std::numeric_limits<std::int32_t>::min() ||
        target > std::numeric_limits<std::int32_t>::max()) {
      return fail_motion(drive, held, result::kOutOfRange);
    }
    const double end = static_cast<double>(target);
    if (end < config.travel_min || end > config.travel_max) {
      if (log_ != nullptr) {
        log(held.cmd_id + " not run: its end " + std::to_string(target) +
            " lies outside the travel of drive " + std::to_string(config.morvo_id) + ", " +
            count_text(config.travel_min) + " to " + count_text(config.travel_max));
      }
      return fail_motion(drive, held, result::kOutsideTravel);
    }
  }
  const std::uint64_t serial = held.serial;
  held.stage = Stage::Running;
  held.start_seq = seq_;
  drive.running = serial;
  drive.motion_started = now_;
  drive.in_first_phase = true;
  drive.settling = false;
  if (held.kind == Kind::Home) {
    // Methods 35 and 37 take the present position as home without moving.
    const int method = held.args[0];
    const double duration = method == 35 || method == 37 ? 0.0 : machine_.settings.homing_time;
    drive.profile = Profile::timed(now_, from, 0.0, duration);
    drive.motion = Motion::Home;
    enter(drive, state::kStartHoming);
    return;
  }
  const auto rate = [](std::int32_t given, double fallback) {
    return given == -1 ? fallback : static_cast<double>(given);
  };
  drive.profile = Profile::trapezoid(now_, from, static_cast<double>(target),
                                     rate(held.args[1], config.default_velocity),
                                     rate(held.args[2], config.default_acceleration),
                                     rate(held.args[3], config.default_deceleration));
  drive.motion = Motion::Move;
  enter(drive, state::kStartMoving);
}

// A motion that cannot begin leaves the drive as it was, but for its error
// state, which the error-state conditions must hear of.
void Controller::fail_motion(Drive& drive, const Held& held, int result) {
  drive.error = -result;
  dirty_.push_back(drive.config->morvo_id);
  finish(held.serial, result);
}

void Controller::fail_drive_motions(Drive& drive, int result, bool include_running) {
  std::deque<std::uint64_t> queued;
  queued.swap(drive.queue);
  for (std::uint64_t serial : queued) finish(serial, result);
  if (include_running && drive.running != 0) {
    const std::uint64_t running = drive.running;
    drive.running = 0;
    finish(running, result);
  }
}

void Controller::drive_events(Drive& drive, double now) {
  for (;;) {
    if (drive.motion == Motion::None) {
      if (drive.settling && drive.still_since + machine_.settings.settle_time <= now) {
        drive.settling = false;
        enter(drive, idle_state(drive));
      }
      return;
    }
    if (drive.in_first_phase && drive.profile.acceleration_end() <= now) {
      drive.in_first_phase = false;
      if (drive.motion != Motion::Braking) {
        enter(drive, drive.motion == Motion::Home ? state::kHoming : state::kMoving);
      }
    }
    if (drive.profile.end_time() > now) return;
    end_motion(drive);
    if (drive.motion == Motion::None && drive.settling &&
        drive.still_since + machine_.settings.settle_time > now) {
      return;
    }
  }
}

void Controller::end_motion(Drive& drive) {
  const Motion motion = drive.motion;
  const double end = drive.profile.end_time();
  drive.profile =
      Profile::standstill(end, motion == Motion::Home ? 0.0 : drive.profile.end_position());
  drive.motion = Motion::None;
  drive.in_first_phase = false;
  drive.still_since = end;
  drive.last_motion_time = end - drive.motion_started;
  const std::uint64_t running = drive.running;
  drive.running = 0;
  if (motion == Motion::Home) {
    drive.homed = true;
    enter(drive, state::kEndHoming);
    drive.settling = true;
  } else if (motion == Motion::Move) {
    enter(drive, state::kEndMoving);
    drive.settling = true;
  } else {
    // Braking ends in the STOP state it began in, so no state change
    // announces it; the conditions on standing still must hear of it.
    dirty_.push_back(drive.config->morvo_id);
  }
  if (running != 0) finish(running, result::kOk);
  while (drive.motion == Motion::None && !drive.queue.empty()) {
    const std::uint64_t next = drive.queue.front();
    drive.queue.pop_front();
    const auto it = held_.find(next);
    if (it != held_.end()) begin_motion(drive, it->second);
  }
}

void Controller::enter(Drive& drive, int new_state) {
  drive.entered[static_cast<std::size_t>(new_state + 2)] = ++seq_;
  drive.state = new_state;
  dirty_.push_back(drive.config->morvo_id);
}

void Controller::finish(std::uint64_t serial, int result) {
  const auto it = held_.find(serial);
  if (it == held_.end()) return;
  Held held = std::move(it->second);
  held_.erase(it);
  if (held.stage == Stage::WaitingDeps) forget_waiter(held);
  if (held.stage == Stage::Watching) {
    const int key = watch_key(held);
    auto& list = watchers_[key];
    list.erase(std::remove(list.begin(), list.end(), serial), list.end());
    if (list.empty()) watchers_.erase(key);
  }
  set_result(held.record, result);
  if (log_ != nullptr) {
    log("published " + held.cmd_id + " result " + std::to_string(result) +
        (result == result::kOk ? "" : std::string(" (") + result_text(result) + ")"));
  }
  outbox_.push_back({held.cmd_id, std::move(held.record)});
  ++stats_.published;
  // An action that never ran counts as begun when it was given up.
  if (held.stage == Stage::WaitingDeps) held.start_seq = seq_;
  remember(held.cmd_id, {result, held.start_seq, serial});
  if (const auto waiting = waiters_.find(held.cmd_id); waiting != waiters_.end()) {
    std::vector<std::uint64_t> serials = std::move(waiting->second);
    waiters_.erase(waiting);
    for (std::uint64_t s : serials) to_check_.push_back(s);
  }
}

void Controller::remember(const std::string& cmd_id, const Done& done) {
  done_[cmd_id] = done;
  done_order_.emplace_back(cmd_id, done.serial);
  while (done_order_.size() > history_limit_) {
    const auto& [id, serial] = done_order_.front();
    const auto it = done_.find(id);
    if (it != done_.end() && it->second.serial == serial) done_.erase(it);
    done_order_.pop_front();
  }
}

void Controller::forget_waiter(const Held& held) {
  for (const std::string& id : held.waiting_for) {
    const auto it = waiters_.find(id);
    if (it == waiters_.end()) continue;
    auto& list = it->second;
    list.erase(std::remove(list.begin(), list.end(), held.serial), list.end());
    if (list.empty()) waiters_.erase(it);
  }
  admin_waiters_.erase(std::remove(admin_waiters_.begin(), admin_waiters_.end(), held.serial),
                       admin_waiters_.end());
}

// ---------------------------------------------------------------------------
// IO
// ---------------------------------------------------------------------------

void Controller::set_output(int module, int pin, int value) {
  const IoModuleConfig& m = machine_.io_modules[module];
  std::uint8_t& byte = output_image_[static_cast<std::size_t>(m.output_start + pin / 8)];
  const auto mask = static_cast<std::uint8_t>(1u << (pin % 8));
  const bool was = (byte & mask) != 0;
  if (was == (value != 0)) return;
  byte = static_cast<std::uint8_t>(value != 0 ? byte | mask : byte & ~mask);
  dirty_.push_back(m.morvo_id);
  for (WireState& wire : wires_) {
    if (wire.wire->from_device != m.morvo_id || wire.wire->from_pin != pin) continue;
    if (wire.pending.size() >= kWirePendingLimit) {
      // Bounded: the oldest change lands at once rather than being lost.
      set_input_bit(module_of(wire.wire->to_device), wire.wire->to_pin,
                    wire.pending.front().second);
      wire.pending.pop_front();
    }
    const int follows = (value != 0) != wire.wire->invert ? 1 : 0;
    wire.pending.emplace_back(now_ + wire.wire->delay, follows);
  }
}

void Controller::set_input_bit(int module, int pin, int value) {
  const IoModuleConfig& m = machine_.io_modules[module];
  std::uint8_t& byte = input_image_[static_cast<std::size_t>(m.input_start + pin / 8)];
  const auto mask = static_cast<std::uint8_t>(1u << (pin % 8));
  const auto updated = static_cast<std::uint8_t>(value != 0 ? byte | mask : byte & ~mask);
  if (updated == byte) return;
  byte = updated;
  dirty_.push_back(m.morvo_id);
}

// ---------------------------------------------------------------------------
// Conditions
// ---------------------------------------------------------------------------

int Controller::watch_key(const Held& held) const {
  // Conditions are listed under their device's MorvoID; those on a drive
  // family's start-up under minus the administration code.
  if (held.condition_type >= kFestoUp) return -held.condition_type;
  return held.drive >= 0 ? drives_[held.drive].config->morvo_id
                         : machine_.io_modules[held.module].morvo_id;
}

void Controller::watch(Held& held) {
  held.stage = Stage::Watching;
  // A state counts when it was entered after the actions this condition
  // waited for began, so a short move's START_MOVING is not missed; with no
  // such action, only from now on.
  held.reference_seq = seq_;
  if (!held.dependency_ids.empty()) {
    std::uint64_t latest = 0;
    for (const std::string& id : held.dependency_ids) {
      const auto done = done_.find(id);
      if (done != done_.end()) latest = std::max(latest, done->second.start_seq);
    }
    held.reference_seq = latest;
  }
  const int key = watch_key(held);
  watchers_[key].push_back(held.serial);
  if (evaluate(held)) {
    finish(held.serial, result::kOk);
    return;
  }
  arm_expiry(held);
}

void Controller::evaluate_device(int morvo_id) {
  const auto it = watchers_.find(morvo_id);
  if (it == watchers_.end()) return;
  const std::vector<std::uint64_t> serials = it->second;
  for (std::uint64_t serial : serials) {
    const auto held = held_.find(serial);
    if (held == held_.end() || held->second.stage != Stage::Watching) continue;
    if (evaluate(held->second)) finish(serial, result::kOk);
  }
}

bool Controller::evaluate(Held& held) {
  const auto& a = held.args;
  switch (held.condition_type) {
    case kFestoUp:
      return festo_up_;
    case kAkribisUp:
      return akribis_up_;
    case kSlaveStatus: {
      if (held.drive < 0) return a[0] == state::kNotMotor;
      const Drive& drive = drives_[held.drive];
      return drive.state == a[0] ||
             drive.entered[static_cast<std::size_t>(a[0] + 2)] > held.reference_seq;
    }
    case kErrorState: {
      const int error = held.drive >= 0 ? drives_[held.drive].error : 0;
      return a[0] == -1 ? error != 0 : error == a[0];
    }
    case kPosition: {
      const Drive& drive = drives_[held.drive];
      // Comparisons of the reported (rounded) position, as intervals of the
      // exact one.
      const double x = a[1];
      double lo = -kInfinity;
      double hi = kInfinity;
      if (a[0] == kGreater) {
        lo = x + 0.5;
      } else if (a[0] == kLess) {
        hi = x - 0.5;
      } else {
        const double tolerance =
            a[0] == kEqual ? 0.0
                           : (a[2] == -1 ? std::floor(drive.config->position_tolerance) : a[2]);
        lo = x - tolerance - 0.5;
        hi = x + tolerance + 0.5;
      }
      const double here = drive.profile.position(now_);
      if (here >= lo && here < hi) return true;
      if (drive.motion != Motion::None) {
        if (const auto when = drive.profile.first_time_within(lo, hi, now_)) {
          schedule_wake(held, *when);
        }
      }
      return false;
    }
    case kOutput:
    case kInput: {
      const IoModuleConfig& m = machine_.io_modules[held.module];
      const bool output = held.condition_type == kOutput;
      const auto& image = output ? output_image_ : input_image_;
      const int start = output ? m.output_start : m.input_start;
      if (a[0] == kDigital) {
        const int bit = (image[static_cast<std::size_t>(start + a[1] / 8)] >> (a[1] % 8)) & 1;
        return bit == (a[2] == -1 ? 1 : a[2]);
      }
      const std::size_t at = static_cast<std::size_t>(start + a[1] * 2);
      const int word = image[at] | (image[at + 1] << 8);
      if (a[0] == kAnalogGreater) return word > a[2];
      if (a[0] == kAnalogEqual) return word == a[2];
      return word < a[2];
    }
    case kThermal: {
      const double t = machine_.settings.temperature;
      if (a[0] == kAnalogGreater) return t > a[1];
      if (a[0] == kAnalogEqual) return rounded(t) == a[1];
      return t < a[1];
    }
    case kStaticTime: {
      const Drive& drive = drives_[held.drive];
      if (drive.motion != Motion::None) return false;
      const double needed = a[0] == -1 ? machine_.settings.settle_time : a[0] / 1000.0;
      if (now_ - drive.still_since >= needed) return true;
      schedule_wake(held, drive.still_since + needed);
      return false;
    }
    default:
      return false;
  }
}

void Controller::schedule_wake(Held& held, double time) {
  time = std::max(time, now_ + kMinimumStep);
  if (time == held.next_wake) return;
  held.next_wake = time;
  wakes_.push({time, held.serial, false});
  compact_wakes();
}

void Controller::arm_expiry(Held& held) {
  // Only records that really wait get a timer: one per record taken would
  // fill the heap for a whole hold timeout under a steady stream of records.
  if (held.expiry_armed || held.expires == kInfinity) return;
  held.expiry_armed = true;
  wakes_.push({held.expires, held.serial, true});
  compact_wakes();
}

void Controller::compact_wakes() {
  // Superseded wake-ups stay in the heap until their time; rebuild it when
  // they would outgrow what is held.
  if (wakes_.size() <= 4 * held_.size() + 1024) return;
  std::priority_queue<Wake, std::vector<Wake>, std::greater<Wake>> fresh;
  for (const auto& [serial, held] : held_) {
    if (held.stage == Stage::Watching && held.next_wake != kInfinity) {
      fresh.push({held.next_wake, serial, false});
    }
    if (held.expiry_armed && held.expires != kInfinity &&
        (held.stage == Stage::WaitingDeps || held.stage == Stage::Watching)) {
      fresh.push({held.expires, serial, true});
    }
  }
  wakes_.swap(fresh);
}

}  // namespace zarn::sim
