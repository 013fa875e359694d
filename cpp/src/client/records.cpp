#include "zarn/client/records.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
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
    {"ADMIN_FESTO_STATE_SPAWNED", kAdminFestoState},
    {"ADMIN_AKRIBIS_STATE_SPAWNED", kAdminAkribisState},
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

std::string hex_byte(char c) {
  constexpr std::string_view digits = "0123456789abcdef";
  const auto byte = static_cast<unsigned char>(c);
  return {digits[byte >> 4], digits[byte & 0xf]};
}

char* put_int32(char* out, std::int32_t value) {
  std::memcpy(out, &value, sizeof value);
  return out + sizeof value;
}

char* put_text(char* out, std::string_view text, std::size_t width) {
  const std::size_t n = text.size() < width ? text.size() : width;
  // An empty view may have no data at all (a missing dependency), and memcpy
  // from a null source is undefined even for zero bytes.
  if (n != 0) std::memcpy(out, text.data(), n);
  std::memset(out + n, 0, width - n);
  return out + width;
}

std::size_t align_int(std::size_t offset) {
  return (offset + alignof(std::int32_t) - 1) / alignof(std::int32_t) * alignof(std::int32_t);
}

Layout finish_layout(std::vector<LayoutItem> items) {
  Layout layout;
  for (const LayoutItem& item : items) {
    if (item.kind == 'i') {
      layout.size = align_int(layout.size) + item.count * sizeof(std::int32_t);
      layout.fields += item.count;
    } else {
      layout.size += item.count;
      layout.fields += 1;
    }
  }
  layout.items = std::move(items);
  return layout;
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

void write_action_record(char* out, const std::int32_t (&integers)[8], std::string_view cmd_id,
                         std::span<const std::string_view> dependencies) {
  for (std::int32_t value : integers) out = put_int32(out, value);
  out = put_text(out, cmd_id, kActionTextBytes);
  for (std::size_t i = 0; i < kActionDependencies; ++i) {
    out = put_text(out, i < dependencies.size() ? dependencies[i] : std::string_view{},
                   kActionTextBytes);
  }
  put_int32(out, -1);
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
  std::int32_t integers[2 + kMaxActionArguments];
  for (std::size_t i = 0; i < std::size(integers); ++i) {
    std::int64_t value = -1;
    if (i < values.integers.size()) {
      value = values.integers[i];
      if (value < std::numeric_limits<std::int32_t>::min() ||
          value > std::numeric_limits<std::int32_t>::max()) {
        throw RangeError(i, range_message(i, std::to_string(value)));
      }
    }
    integers[i] = static_cast<std::int32_t>(value);
  }
  std::string_view dependencies[kActionDependencies];
  const std::size_t given = std::min(values.dependencies.size(), kActionDependencies);
  for (std::size_t i = 0; i < given; ++i) dependencies[i] = values.dependencies[i];
  std::string out(kActionRecordBytes, '\0');
  write_action_record(out.data(), integers, values.cmd_id, std::span(dependencies, given));
  return out;
}

std::string pack_logger_request(std::int32_t device_id, std::int32_t data_index) {
  std::string out(kLogRecordBytes, '\0');
  put_int32(put_int32(out.data(), device_id), data_index);
  return out;
}

Layout parse_layout(std::string_view datatype) {
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
  return finish_layout(std::move(items));
}

const Layout* protocol_layout(std::string_view datatype) {
  static const Layout action = parse_layout(kActionDatatype);
  static const Layout log = parse_layout(kLogDatatype);
  if (datatype == kActionDatatype) return &action;
  if (datatype == kLogDatatype) return &log;
  return nullptr;
}

std::size_t layout_size(std::string_view datatype) {
  if (const Layout* known = protocol_layout(datatype)) return known->size;
  return parse_layout(datatype).size;
}

void check_record_size(const Layout& layout, std::string_view datatype, std::size_t data_size) {
  if (data_size != layout.size) {
    throw FormatError("a record of layout '" + std::string(datatype) + "' is " +
                      std::to_string(layout.size) + " bytes long, got " +
                      std::to_string(data_size) + " bytes");
  }
}

std::size_t ascii_text(std::string_view raw, char* out) {
  std::size_t length = 0;
  for (std::size_t k = 0; k < raw.size(); ++k) {
    const auto byte = static_cast<unsigned char>(raw[k]);
    if (byte >= 0x80) throw AsciiError(std::string(raw), k);
    out[length] = static_cast<char>(byte);
    length += byte != 0;
  }
  return length;
}

std::vector<Field> unpack(std::string_view datatype, std::string_view data) {
  Layout parsed;
  const Layout* layout = protocol_layout(datatype);
  if (layout == nullptr) {
    parsed = parse_layout(datatype);
    layout = &parsed;
  }
  check_record_size(*layout, datatype, data.size());
  std::vector<Field> fields;
  fields.reserve(layout->fields);
  std::size_t offset = 0;
  for (const LayoutItem& item : layout->items) {
    if (item.kind == 'i') {
      offset = align_int(offset);
      for (std::size_t k = 0; k < item.count; ++k) {
        std::int32_t value;
        std::memcpy(&value, data.data() + offset, sizeof value);
        fields.emplace_back(value);
        offset += sizeof value;
      }
      continue;
    }
    std::string text(item.count, '\0');
    text.resize(ascii_text(data.substr(offset, item.count), text.data()));
    offset += item.count;
    fields.emplace_back(std::move(text));
  }
  return fields;
}

}  // namespace zarn::records
