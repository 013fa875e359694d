#include "zarn/records.hpp"

#include <array>
#include <cstring>
#include <limits>

namespace zarn::records {
namespace {

constexpr std::array<EnumMember, 8> kFestoMembers{{
    {"IO_SET_IO", 0},
    {"MOTOR_MOVE_ABS", 1},
    {"MOTOR_MOVE_REL", 2},
    {"MOTOR_HOME", 3},
    {"MOTOR_STOP", 4},
    {"MOTOR_RESET", 5},
    {"MOTOR_DISABLE", 6},
    {"MOTOR_ENABLE", 7},
}};

constexpr std::array<EnumMember, 7> kAkribisMembers{{
    {"MOTOR_MOVE_ABS", 51},
    {"MOTOR_MOVE_REL", 52},
    {"MOTOR_HOME", 53},
    {"MOTOR_STOP", 54},
    {"MOTOR_RESET", 55},
    {"MOTOR_DISABLE", 56},
    {"MOTOR_ENABLE", 57},
}};

constexpr std::array<EnumMember, 8> kDataIndexMembers{{
    {"MORVO_ID_SLAVE_STATUS", 0},
    {"MORVO_ID_ERROR_STATE", 1},
    {"MORVO_ID_POS_DATA", 2},
    {"MORVO_ID_OUTPUT_DATA", 3},
    {"MORVO_ID_INPUT_DATA", 4},
    {"MORVO_ID_THERMAL_DATA", 5},
    {"MORVO_ID_STATIC_TIME_DATA", 6},
    {"MORVO_ID_MOVE_TIME_DATA", 7},
}};

// Declaration order matters: where names share a value, the first one is the
// canonical member and the later ones are its aliases.
constexpr std::array<EnumMember, 27> kConditionMembers{{
    // condition types
    {"MORBO_ID_SLAVE_STATUS_CONDITION", 0},
    {"MORVO_ID_ERROR_STATE_CONDITION", 1},
    {"MORVO_ID_POS_CONDITION", 2},
    {"MORVO_ID_OUTPUT_CONDITION", 3},
    {"MORVO_ID_INPUT_CONDITION", 4},
    {"MORVO_ID_THERMAL_CONDITION", 5},
    {"MORVO_ID_STATIC_TIME_CONDITION", 6},
    // position comparisons
    {"POS_GRATER", 0},
    {"POS_EQUAL", 1},
    {"POS_NEAR", 2},
    {"POS_LESSTHAN", 3},
    // signal comparisons
    {"DIGITAL", 0},
    {"ANALOG_GRATER", 1},
    {"ANALOG_EQUAL", 2},
    {"ANALOG_LESSTHAN", 3},
    // administration states
    {"ADMIN_FESTO_STATE_SPAWNED", 502},
    {"ADMIN_AKRIBIS_STATE_SPAWNED", 503},
    // device states
    {"NEED_HOMING", -2},
    {"NOTMOTOR", -1},
    {"CONTROLABLE", 0},
    {"START_MOVING", 1},
    {"MOVING", 2},
    {"END_MOVING", 3},
    {"START_HOMING", 4},
    {"HOMING", 5},
    {"END_HOMING", 6},
    {"STOP", 7},
}};

const Enumeration kFesto{"FestoFunctionEnum", kFestoMembers};
const Enumeration kAkribis{"AkribisFunctionEnum", kAkribisMembers};
const Enumeration kDataIndex{"MorvoDataIdxEnum", kDataIndexMembers};
const Enumeration kConditions{"MorvoConditionEnum", kConditionMembers};
const std::array<const Enumeration*, 4> kEnumerations{&kFesto, &kAkribis, &kDataIndex,
                                                      &kConditions};

void put_int32(std::string& out, std::int32_t value) {
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  out.append(bytes, sizeof value);
}

void put_text(std::string& out, std::string_view text, std::size_t width) {
  const std::size_t n = text.size() < width ? text.size() : width;
  out.append(text.data(), n);
  out.append(width - n, '\0');
}

std::string hex_byte(char c) {
  constexpr std::string_view digits = "0123456789abcdef";
  const auto byte = static_cast<unsigned char>(c);
  return {digits[byte >> 4], digits[byte & 0xf]};
}

struct LayoutItem {
  char kind;          // 'i' or 's'
  std::size_t count;  // repeats of 'i', width of 's'
};

std::vector<LayoutItem> parse_layout(std::string_view datatype) {
  std::vector<LayoutItem> items;
  std::size_t pos = 0;
  while (pos < datatype.size()) {
    const char c = datatype[pos];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
      ++pos;
      continue;
    }
    std::size_t count = 1;
    if (c >= '0' && c <= '9') {
      count = 0;
      while (pos < datatype.size() && datatype[pos] >= '0' && datatype[pos] <= '9') {
        // A count beyond 2^31 cannot describe a record anyone sends.
        if (count > (std::size_t{1} << 31) / 10) {
          throw FormatError("repeat count too large in record layout '" + std::string(datatype) +
                            "'");
        }
        count = count * 10 + static_cast<std::size_t>(datatype[pos] - '0');
        ++pos;
      }
      if (pos == datatype.size()) {
        throw FormatError("repeat count without an item at the end of record layout '" +
                          std::string(datatype) + "'");
      }
    }
    const char kind = datatype[pos];
    if (kind != 'i' && kind != 's') {
      throw FormatError("unsupported item '" + std::string(1, kind) + "' in record layout '" +
                        std::string(datatype) + "' (only 'i' and 's' items are known)");
    }
    items.push_back({kind, count});
    ++pos;
  }
  return items;
}

std::size_t size_of(const std::vector<LayoutItem>& items) {
  std::size_t size = 0;
  for (const LayoutItem& item : items) {
    if (item.kind == 'i') {
      size = (size + alignof(std::int32_t) - 1) / alignof(std::int32_t) * alignof(std::int32_t);
      size += item.count * sizeof(std::int32_t);
    } else {
      size += item.count;
    }
  }
  return size;
}

}  // namespace

std::optional<int> Enumeration::find(std::string_view member_name) const {
  for (const EnumMember& member : members) {
    if (member.name == member_name) return member.value;
  }
  return std::nullopt;
}

const Enumeration& festo_functions() { return kFesto; }
const Enumeration& akribis_functions() { return kAkribis; }
const Enumeration& data_indices() { return kDataIndex; }
const Enumeration& conditions() { return kConditions; }
std::span<const Enumeration* const> enumerations() { return kEnumerations; }

AsciiError::AsciiError(std::string field_bytes, std::size_t bad_position)
    : std::runtime_error("byte 0x" + hex_byte(field_bytes.at(bad_position)) + " at position " +
                         std::to_string(bad_position) + " of a text field is not ASCII"),
      bytes(std::move(field_bytes)),
      position(bad_position) {}

std::string action_field_name(std::size_t field) {
  switch (field) {
    case 0:
      return "module_id";
    case 1:
      return "func_id";
    default:
      return "argument " + std::to_string(field - 1);
  }
}

std::string range_message(std::size_t field, std::string_view value_text) {
  return "action record field " + action_field_name(field) + " is " + std::string(value_text) +
         ", outside the signed 32-bit range -2147483648 to 2147483647";
}

std::string pack_action(const ActionValues& values) {
  if (values.integers.size() < 2) {
    throw FormatError("an action record needs a module_id and a func_id");
  }
  const std::size_t arguments = values.integers.size() - 2;
  if (arguments > kMaxActionArguments) {
    throw FormatError("an action record takes at most 6 arguments, got " +
                      std::to_string(arguments));
  }
  std::string out;
  out.reserve(kActionRecordBytes);
  for (std::size_t i = 0; i < 2 + kMaxActionArguments; ++i) {
    std::int64_t value = -1;
    if (i < values.integers.size()) {
      value = values.integers[i];
      if (value < std::numeric_limits<std::int32_t>::min() ||
          value > std::numeric_limits<std::int32_t>::max()) {
        throw RangeError(i, range_message(i, std::to_string(value)));
      }
    }
    put_int32(out, static_cast<std::int32_t>(value));
  }
  put_text(out, values.cmd_id, kActionTextBytes);
  for (std::size_t i = 0; i < kActionDependencies; ++i) {
    put_text(out, i < values.dependencies.size() ? values.dependencies[i] : std::string_view{},
             kActionTextBytes);
  }
  put_int32(out, -1);
  return out;
}

std::string pack_logger_request(std::int32_t device_id, std::int32_t data_index) {
  std::string out;
  out.reserve(kLogRecordBytes);
  put_int32(out, device_id);
  put_int32(out, data_index);
  out.append(kLogTextBytes, '\0');
  return out;
}

std::size_t layout_size(std::string_view datatype) { return size_of(parse_layout(datatype)); }

std::vector<Field> unpack(std::string_view datatype, std::string_view data) {
  const std::vector<LayoutItem> items = parse_layout(datatype);
  const std::size_t expected = size_of(items);
  if (data.size() != expected) {
    throw FormatError("a record of layout '" + std::string(datatype) + "' is " +
                      std::to_string(expected) + " bytes long, got " + std::to_string(data.size()) +
                      " bytes");
  }
  std::vector<Field> fields;
  std::size_t offset = 0;
  for (const LayoutItem& item : items) {
    if (item.kind == 'i') {
      offset = (offset + alignof(std::int32_t) - 1) / alignof(std::int32_t) * alignof(std::int32_t);
      for (std::size_t k = 0; k < item.count; ++k) {
        std::int32_t value;
        std::memcpy(&value, data.data() + offset, sizeof value);
        fields.emplace_back(value);
        offset += sizeof value;
      }
      continue;
    }
    const std::string_view raw = data.substr(offset, item.count);
    offset += item.count;
    std::string text;
    text.reserve(raw.size());
    for (std::size_t k = 0; k < raw.size(); ++k) {
      const auto byte = static_cast<unsigned char>(raw[k]);
      if (byte >= 0x80) throw AsciiError(std::string(raw), k);
      if (byte != 0) text.push_back(static_cast<char>(byte));
    }
    fields.emplace_back(std::move(text));
  }
  return fields;
}

}  // namespace zarn::records
