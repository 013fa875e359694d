// The simulated controller (zarn/sim/controller.hpp): construction, lookups,
// the requests it answers and the passing of simulated time. How held records
// run is in controller_execution.cpp; the IO image and the conditions are in
// controller_conditions.cpp.

#include "zarn/sim/controller.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "controller_parts.hpp"
#include "zarn/client/records.hpp"

namespace zarn::sim {
namespace {

constexpr std::size_t kResultOffset = rec::kActionRecordBytes - sizeof(std::int32_t);

std::int32_t int_at(std::string_view record, std::size_t offset) {
  std::int32_t value;
  std::memcpy(&value, record.data() + offset, sizeof value);
  return value;
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

}  // namespace zarn::sim
