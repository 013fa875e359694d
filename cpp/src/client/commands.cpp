#include "zarn/client/commands.hpp"

#include <limits>

#include "zarn/client/records.hpp"

namespace zarn::commands {

namespace rec = zarn::records;

ConditionId device_condition_id(std::int64_t device_id, std::int64_t type_value) {
  constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
  if (type_value >= rec::kConditionStart) {
    if (type_value > kInt32Max) {
      return {std::nullopt, "its value " + std::to_string(type_value) +
                                " does not fit the record's 32-bit condition id"};
    }
    return {static_cast<std::int32_t>(type_value), {}};
  }
  if (type_value < 0 || type_value >= rec::kEachMorvoConditionNum) {
    return {std::nullopt, "its value " + std::to_string(type_value) +
                              " is not one of a device's condition types, 0 to " +
                              std::to_string(rec::kEachMorvoConditionNum - 1) +
                              ", so it would name a condition outside the device's own ids"};
  }
  if (device_id < 1) return {std::nullopt, "device ids start at 1"};
  // Checked before multiplying, so the arithmetic cannot overflow.
  constexpr std::int64_t kLastDevice =
      (kInt32Max - rec::kConditionStart - rec::kEachMorvoConditionNum + 1) /
          rec::kEachMorvoConditionNum +
      1;
  if (device_id > kLastDevice) {
    return {std::nullopt, "the device's condition ids would not fit the record's 32-bit field"};
  }
  const std::int64_t id =
      type_value + (device_id - 1) * rec::kEachMorvoConditionNum + rec::kConditionStart;
  if (id == rec::kAdminFestoState || id == rec::kAdminAkribisState) {
    return {std::nullopt, "its id " + std::to_string(id) + " is the administration state " +
                              (id == rec::kAdminFestoState ? "ADMIN_FESTO_STATE_SPAWNED"
                                                           : "ADMIN_AKRIBIS_STATE_SPAWNED") +
                              ", shared by every device"};
  }
  return {static_cast<std::int32_t>(id), {}};
}

OutputEntry output_entry(std::int64_t slot, std::size_t module_count,
                         std::optional<std::size_t> position) {
  const auto count = static_cast<std::int64_t>(module_count);
  if (slot <= 0 || slot == count + 1) return {OutputEntry::Kind::NoStartByte};
  if (slot > count + 1) return {OutputEntry::Kind::BeyondModules};
  if (position && *position < module_count) return {OutputEntry::Kind::Entry, *position};
  return {OutputEntry::Kind::Entry, static_cast<std::size_t>(slot - 1)};
}

CommandKind kind_of(int function_code) {
  static const int output = *rec::festo_functions().find("IO_SET_IO");
  static const int festo_stop = *rec::festo_functions().find("MOTOR_STOP");
  static const int akribis_stop = *rec::akribis_functions().find("MOTOR_STOP");
  if (function_code == output) return CommandKind::Output;
  if (function_code == festo_stop || function_code == akribis_stop) return CommandKind::Stop;
  if (function_code >= rec::kBlankCondition) return CommandKind::Condition;
  return CommandKind::Drive;
}

}  // namespace zarn::commands
