// The devices of the simulated controller: which drive or IO module a record
// or an id names, what a result code means, and how a held record reads in
// the log. Below the rest of the controller: it calls nothing of it.

#include <cstring>
#include <string>

#include "controller_parts.hpp"
#include "zarn/client/records.hpp"
#include "zarn/sim/controller.hpp"

namespace zarn::sim {
namespace {

constexpr std::size_t kResultOffset = rec::kActionRecordBytes - sizeof(std::int32_t);

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

}  // namespace zarn::sim
