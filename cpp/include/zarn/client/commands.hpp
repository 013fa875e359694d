// Numbering rules of the records the client builds for its commands: which
// condition id names a device's condition, which entry of the output start
// bytes an IO module writes to, and what kind of command a record is for the
// command gate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "zarn/base/command_gate.hpp"

namespace zarn::commands {

// A condition id, or why the condition cannot be named.
struct ConditionId {
  std::optional<std::int32_t> id;
  // Set when there is no id; reads after "<type> of device <n> has no
  // condition id: ".
  std::string refusal;
};

// The condition id of a condition type (a MorvoConditionEnum value) for a
// device. The administration states (values from kConditionStart up) are the
// same for every device. Every other type names one of the ten ids that
// device `device_id` owns, 151 + 10 * (device_id - 1) + type; a type that
// would leave that block, a device id below 1 (whose "block" is another
// device's or below 151), an id that collides with an administration state
// (device 36) or that does not fit the record's 32-bit field has no id, so
// that a condition never names the wrong thing.
ConditionId device_condition_id(std::int64_t device_id, std::int64_t type_value);

// Where an IO module's output start byte is found among the start bytes of
// `module_count` modules.
struct OutputEntry {
  enum class Kind {
    Entry,          // `index` is the module's own entry
    NoStartByte,    // slot 0 or below, or one past the last module: no entry
    BeyondModules,  // a slot further out than that
  };
  Kind kind;
  std::size_t index = 0;
};

// `slot` is the module's Slot; `position` its place in slot order when known.
// Within slots 1 to module_count the module uses its own entry, its position,
// so a configuration whose slots have gaps still addresses the right byte;
// without a known position, entry slot - 1.
OutputEntry output_entry(std::int64_t slot, std::size_t module_count,
                         std::optional<std::size_t> position);

// The kind of an action record by its function code: every code that is not
// an output, a drive's stop or a condition, known or not, may make a drive act.
CommandKind kind_of(int function_code);

}  // namespace zarn::commands
