// The requests the simulated controller answers: action records taken in
// (checked, then held until they run), logger requests, inputs forced by
// hand, and what it publishes. Above the rest of the controller, which it
// calls.

#include <algorithm>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "controller_parts.hpp"
#include "zarn/client/records.hpp"
#include "zarn/sim/controller.hpp"

namespace zarn::sim {
namespace {

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

}  // namespace

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
      } else if (a[1] < 0 || std::int64_t{a[1]} * 2 + 1 >= bytes) {  // a[1] is any int32
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

std::optional<int> Controller::input(int morvo_id, int pin) const {
  const int m = module_of(morvo_id);
  if (m < 0 || pin < 0 || pin >= machine_.io_modules[m].input_bytes * 8) return std::nullopt;
  const IoModuleConfig& module = machine_.io_modules[m];
  const std::uint8_t byte = input_image_[static_cast<std::size_t>(module.input_start + pin / 8)];
  return (byte >> (pin % 8)) & 1;
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

}  // namespace zarn::sim
