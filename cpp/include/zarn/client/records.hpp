// Vocabulary of the controller service: function codes, data indices,
// condition codes, and the two fixed-layout binary records (action record and
// logger record) that travel between the client and the service.
//
// Records use the host's native byte order and alignment, the way the
// service's own packed structures are laid out on the same machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zarn::records {

struct EnumMember {
  std::string_view name;
  int value;
};

// A named set of integer constants. Several members may share a value; every
// name stays valid.
struct Enumeration {
  std::string_view name;
  std::span<const EnumMember> members;

  std::optional<int> find(std::string_view member_name) const;
};

const Enumeration& festo_functions();
const Enumeration& akribis_functions();
const Enumeration& data_indices();
const Enumeration& conditions();
// All four, in the order above.
std::span<const Enumeration* const> enumerations();

inline constexpr int kBlankCondition = 150;
inline constexpr int kConditionStart = 151;
// The administration states: a drive family is up. Valid as a dependency and
// as a condition id for every device.
inline constexpr int kAdminFestoState = 502;
inline constexpr int kAdminAkribisState = 503;
inline constexpr int kEachMorvoConditionNum = 10;

inline constexpr std::string_view kActionDatatype = "iiiiiiii36s36s36s36s36si";
inline constexpr std::string_view kLogDatatype = "ii80s";
inline constexpr std::size_t kActionRecordBytes = 216;
inline constexpr std::size_t kLogRecordBytes = 88;

inline constexpr std::size_t kMaxActionArguments = 6;
inline constexpr std::size_t kActionDependencies = 4;
inline constexpr std::size_t kActionTextBytes = 36;
inline constexpr std::size_t kLogTextBytes = 80;

// A record cannot be packed or unpacked with the given values or layout
// (wrong number of values, an integer that does not fit, a data length that
// does not match, an unknown layout item).
struct FormatError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An integer field's value lies outside the signed 32-bit range. `field` is
// the index of the integer among those given (0 module id, 1 function code,
// 2 to 7 the arguments).
struct RangeError : FormatError {
  RangeError(std::size_t field_index, const std::string& message)
      : FormatError(message), field(field_index) {}
  std::size_t field;
};

// A text field of a received record holds a byte outside ASCII. `bytes` is the
// whole field as received, `position` the offset of the first bad byte in it.
struct AsciiError : std::runtime_error {
  AsciiError(std::string field_bytes, std::size_t bad_position);
  std::string bytes;
  std::size_t position;
};

// The values of one action record, already converted to their C++ types.
struct ActionValues {
  // Module id, function code, then the arguments (at most six). Missing
  // arguments are written as -1.
  std::vector<std::int64_t> integers;
  std::string cmd_id;  // UTF-8; cut or zero-padded to 36 bytes
  // Text forms of the dependencies (UTF-8); only the first four are written,
  // missing ones as zero bytes.
  std::vector<std::string> dependencies;
};

// The name of integer `field` of ActionValues::integers, for messages.
std::string action_field_name(std::size_t field);

// Message used for a RangeError; `value_text` is the value in decimal.
std::string range_message(std::size_t field, std::string_view value_text);

// Packs an action record (216 bytes). The result field is always -1.
// Throws FormatError for more than six arguments, RangeError for an integer
// outside the signed 32-bit range.
std::string pack_action(const ActionValues& values);

// Packs a logger request (88 bytes): device id, data index, 80 zero bytes.
std::string pack_logger_request(std::int32_t device_id, std::int32_t data_index);

// Writes an action record (216 bytes) into `out`: the eight integers (module
// id, function code, six arguments), the command id and up to four
// dependency texts (missing ones zero), then the result field -1. Texts are
// cut or zero-padded to 36 bytes. Nothing is checked: the integers are
// already in range.
void write_action_record(char* out, const std::int32_t (&integers)[8], std::string_view cmd_id,
                         std::span<const std::string_view> dependencies);

// One item of a record layout: kind 'i' (`count` 32-bit integers) or 's' (a
// byte string of `count` bytes).
struct LayoutItem {
  char kind;
  std::size_t count;
};

struct Layout {
  std::vector<LayoutItem> items;
  std::size_t size = 0;    // bytes, with native alignment
  std::size_t fields = 0;  // values it decodes into
};

// Parses a layout string made of the items "i" and "Ns", each with an
// optional repeat count ("3i"), whitespace between items allowed. Throws
// FormatError for a bad layout.
Layout parse_layout(std::string_view datatype);

// The parsed layout when `datatype` is one of the two protocol layouts, so
// the hot path parses nothing; null for any other layout.
const Layout* protocol_layout(std::string_view datatype);

// Throws FormatError unless `data_size` matches the layout.
void check_record_size(const Layout& layout, std::string_view datatype, std::size_t data_size);

// The text of a received string field: ASCII with every zero byte removed,
// written to `out` (room for raw.size() bytes); returns its length. Throws
// AsciiError for a byte of 0x80 or above.
std::size_t ascii_text(std::string_view raw, char* out);

using Field = std::variant<std::int32_t, std::string>;

// Splits `data` by a layout string (see parse_layout). Text fields are decoded
// strictly as ASCII with every zero character removed.
// Throws FormatError for a bad layout or a data length that does not match
// it, AsciiError for a byte of 0x80 or above in a text field.
std::vector<Field> unpack(std::string_view datatype, std::string_view data);

// Size in bytes of a layout; throws FormatError for a bad layout.
std::size_t layout_size(std::string_view datatype);

}  // namespace zarn::records
