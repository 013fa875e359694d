// Fuzz target of the controller records: decoding of action and logger records
// (and of any record layout), and packing, checked by a round trip. The first
// byte chooses what the rest is:
//   0  a received action record (216 bytes to decode)
//   1  a received logger record (88 bytes)
//   2  a layout string, "|", then a record of that layout
//   3  values to pack: integer count, integers (8 bytes each), then texts
//      (cmd_id and dependencies) separated by "|"
// Decoding may only refuse with FormatError or AsciiError; a decoded action
// record packs back into the same bytes once its texts are made canonical.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "check.hpp"
#include "zarn/client/records.hpp"

namespace {

namespace rec = zarn::records;

std::int32_t int_at(std::string_view record, std::size_t offset) {
  std::int32_t value;
  std::memcpy(&value, record.data() + offset, sizeof value);
  return value;
}

// What packing a decoded text gives back: its characters without the zero
// bytes, zero-padded to the field's width.
std::string canonical_text(std::string_view raw) {
  std::string text;
  for (char c : raw) {
    if (c != '\0') text.push_back(c);
  }
  text.resize(raw.size(), '\0');
  return text;
}

void action_record(std::string_view data) {
  std::vector<rec::Field> fields;
  try {
    fields = rec::unpack(rec::kActionDatatype, data);
  } catch (const rec::FormatError&) {
    ZARN_FUZZ_CHECK(data.size() != rec::kActionRecordBytes);
    return;
  } catch (const rec::AsciiError& error) {
    ZARN_FUZZ_CHECK(error.position < error.bytes.size());
    ZARN_FUZZ_CHECK(static_cast<unsigned char>(error.bytes[error.position]) >= 0x80);
    return;
  }
  ZARN_FUZZ_CHECK(data.size() == rec::kActionRecordBytes && fields.size() == 14);
  rec::ActionValues values;
  for (std::size_t i = 0; i < 8; ++i) {
    values.integers.push_back(std::get<std::int32_t>(fields[i]));
    ZARN_FUZZ_CHECK(std::get<std::int32_t>(fields[i]) == int_at(data, 4 * i));
  }
  values.cmd_id = std::get<std::string>(fields[8]);
  for (std::size_t i = 9; i < 13; ++i)
    values.dependencies.push_back(std::get<std::string>(fields[i]));
  for (std::size_t i = 8; i < 13; ++i) {
    ZARN_FUZZ_CHECK(std::get<std::string>(fields[i]).find('\0') == std::string::npos);
  }
  ZARN_FUZZ_CHECK(std::get<std::int32_t>(fields[13]) == int_at(data, 212));

  const std::string packed = rec::pack_action(values);
  std::string expected(data.substr(0, 32));
  for (std::size_t i = 0; i < 5; ++i) expected += canonical_text(data.substr(32 + 36 * i, 36));
  const std::int32_t no_result = -1;
  expected.append(reinterpret_cast<const char*>(&no_result), sizeof no_result);
  ZARN_FUZZ_CHECK(packed == expected);

  std::vector<rec::Field> again = rec::unpack(rec::kActionDatatype, packed);
  fields.back() = std::int32_t{-1};
  ZARN_FUZZ_CHECK(again == fields);
}

void logger_record(std::string_view data) {
  std::vector<rec::Field> fields;
  try {
    fields = rec::unpack(rec::kLogDatatype, data);
  } catch (const rec::FormatError&) {
    ZARN_FUZZ_CHECK(data.size() != rec::kLogRecordBytes);
    return;
  } catch (const rec::AsciiError&) {
    return;
  }
  ZARN_FUZZ_CHECK(data.size() == rec::kLogRecordBytes && fields.size() == 3);
  const std::int32_t device = std::get<std::int32_t>(fields[0]);
  const std::int32_t index = std::get<std::int32_t>(fields[1]);
  ZARN_FUZZ_CHECK(std::get<std::string>(fields[2]).size() <= rec::kLogTextBytes);
  const std::string request = rec::pack_logger_request(device, index);
  ZARN_FUZZ_CHECK(request.size() == rec::kLogRecordBytes);
  ZARN_FUZZ_CHECK((rec::unpack(rec::kLogDatatype, request) ==
                   std::vector<rec::Field>{device, index, std::string()}));
}

void any_layout(std::string_view input) {
  const std::size_t bar = input.find('|');
  if (bar == std::string_view::npos) return;
  const std::string_view datatype = input.substr(0, bar);
  const std::string_view data = input.substr(bar + 1);
  rec::Layout layout;
  try {
    layout = rec::parse_layout(datatype);
  } catch (const rec::FormatError&) {
    return;
  }
  ZARN_FUZZ_CHECK(rec::layout_size(datatype) == layout.size);
  try {
    const std::vector<rec::Field> fields = rec::unpack(datatype, data);
    ZARN_FUZZ_CHECK(data.size() == layout.size && fields.size() == layout.fields);
  } catch (const rec::FormatError&) {
    ZARN_FUZZ_CHECK(data.size() != layout.size);
  } catch (const rec::AsciiError&) {
  }
}

void pack_values(std::string_view input) {
  if (input.empty()) return;
  const std::size_t count = static_cast<unsigned char>(input[0]) % 12;
  input.remove_prefix(1);
  rec::ActionValues values;
  for (std::size_t i = 0; i < count && input.size() >= 8; ++i) {
    std::int64_t value;
    std::memcpy(&value, input.data(), sizeof value);
    // Mostly small numbers, sometimes the edges of the 32-bit range.
    values.integers.push_back(value % 4 == 0 ? value : static_cast<std::int32_t>(value) / 4);
    input.remove_prefix(8);
  }
  std::vector<std::string> texts;
  std::size_t bar;
  while ((bar = input.find('|')) != std::string_view::npos) {
    texts.emplace_back(input.substr(0, bar));
    input.remove_prefix(bar + 1);
  }
  texts.emplace_back(input);
  values.cmd_id = texts.front();
  values.dependencies.assign(texts.begin() + 1, texts.end());

  std::string packed;
  try {
    packed = rec::pack_action(values);
  } catch (const rec::RangeError& error) {
    ZARN_FUZZ_CHECK(error.field < values.integers.size());
    const std::int64_t bad = values.integers[error.field];
    ZARN_FUZZ_CHECK(bad != static_cast<std::int32_t>(bad));
    return;
  } catch (const rec::FormatError&) {
    ZARN_FUZZ_CHECK(values.integers.size() < 2 || values.integers.size() > 8);
    return;
  }
  ZARN_FUZZ_CHECK(packed.size() == rec::kActionRecordBytes);
  for (std::size_t i = 0; i < 8; ++i) {
    const std::int64_t given = i < values.integers.size() ? values.integers[i] : -1;
    ZARN_FUZZ_CHECK(int_at(packed, 4 * i) == given);
  }
  for (std::size_t i = 0; i < 5; ++i) {
    std::string text = i < texts.size() ? texts[i] : std::string();
    text.resize(rec::kActionTextBytes, '\0');
    ZARN_FUZZ_CHECK(packed.compare(32 + 36 * i, 36, text) == 0);
  }
  ZARN_FUZZ_CHECK(int_at(packed, 212) == -1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      action_record(rest);
      break;
    case 1:
      logger_record(rest);
      break;
    case 2:
      any_layout(rest);
      break;
    default:
      pack_values(rest);
      break;
  }
  return 0;
}
