#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "zarn/client/records.hpp"

namespace rec = zarn::records;

namespace {

std::int32_t int_at(const std::string& record, std::size_t offset) {
  std::int32_t value;
  std::memcpy(&value, record.data() + offset, sizeof value);
  return value;
}

}  // namespace

TEST(Enumerations, AliasesKeepTheirOwnNamesAndValues) {
  const rec::Enumeration& conditions = rec::conditions();
  EXPECT_EQ(conditions.members.size(), 27u);
  EXPECT_EQ(conditions.find("MORBO_ID_SLAVE_STATUS_CONDITION"), 0);
  EXPECT_EQ(conditions.find("POS_GRATER"), 0);
  EXPECT_EQ(conditions.find("ANALOG_LESSTHAN"), 3);
  EXPECT_EQ(conditions.find("ADMIN_AKRIBIS_STATE_SPAWNED"), 503);
  EXPECT_EQ(conditions.find("NEED_HOMING"), -2);
  EXPECT_EQ(conditions.find("STOP"), 7);
  EXPECT_FALSE(conditions.find("MORVO_ID_SLAVE_STATUS_CONDITION").has_value());
  EXPECT_EQ(rec::festo_functions().find("MOTOR_HOME"), 3);
  EXPECT_EQ(rec::akribis_functions().find("MOTOR_HOME"), 53);
  EXPECT_FALSE(rec::akribis_functions().find("IO_SET_IO").has_value());
  EXPECT_EQ(rec::data_indices().find("MORVO_ID_MOVE_TIME_DATA"), 7);
}

// Byte-level layout is checked from Python against the struct module; here
// the limits that decide between packing and refusing.
TEST(PackAction, LimitsOfArgumentsDependenciesAndRange) {
  rec::ActionValues values{
      {INT32_MIN, INT32_MAX, 1, 2, 3, 4, 5, 6}, std::string(40, 'c'), {"a", "b", "c", "d", "e"}};
  const std::string record = rec::pack_action(values);
  ASSERT_EQ(record.size(), rec::kActionRecordBytes);
  EXPECT_EQ(int_at(record, 0), INT32_MIN);
  EXPECT_EQ(int_at(record, 28), 6);
  EXPECT_EQ(record.substr(32, 37), std::string(36, 'c') + "a");
  EXPECT_EQ(record.find('e'), std::string::npos);
  EXPECT_EQ(int_at(record, 212), -1);

  values.integers.push_back(7);
  EXPECT_THROW(rec::pack_action(values), rec::FormatError);
  values.integers = {0, 0, 0, std::int64_t{INT32_MAX} + 1};
  try {
    rec::pack_action(values);
    FAIL() << "out-of-range argument was packed";
  } catch (const rec::RangeError& e) {
    EXPECT_EQ(e.field, 3u);
    EXPECT_NE(std::string(e.what()).find("argument 2 is 2147483648"), std::string::npos);
  }
}

TEST(Unpack, ActionRecordRoundTripAndZeroRemoval) {
  std::string record = rec::pack_action({{7, 8, -5}, "PC1205090307-12", {"502"}});
  record.replace(104, 6, std::string("AB\0XY\0", 6));
  const auto fields = rec::unpack(rec::kActionDatatype, record);
  ASSERT_EQ(fields.size(), 14u);
  EXPECT_EQ(std::get<std::int32_t>(fields[0]), 7);
  EXPECT_EQ(std::get<std::int32_t>(fields[2]), -5);
  EXPECT_EQ(std::get<std::int32_t>(fields[3]), -1);
  EXPECT_EQ(std::get<std::string>(fields[8]), "PC1205090307-12");
  EXPECT_EQ(std::get<std::string>(fields[9]), "502");
  EXPECT_EQ(std::get<std::string>(fields[10]), "ABXY");
  EXPECT_EQ(std::get<std::int32_t>(fields[13]), -1);
}

TEST(Unpack, RejectsWrongLengthAndNonAscii) {
  const std::string request = rec::pack_logger_request(13, 2);
  ASSERT_EQ(request.size(), rec::kLogRecordBytes);
  EXPECT_EQ(rec::unpack(rec::kLogDatatype, request).size(), 3u);
  EXPECT_THROW(rec::unpack(rec::kLogDatatype, request.substr(0, 87)), rec::FormatError);
  EXPECT_THROW(rec::unpack(rec::kLogDatatype, request + '\0'), rec::FormatError);

  std::string reply = request;
  reply[8] = '2';
  reply[10] = static_cast<char>(0xc3);
  try {
    rec::unpack(rec::kLogDatatype, reply);
    FAIL() << "non-ASCII text was decoded";
  } catch (const rec::AsciiError& e) {
    EXPECT_EQ(e.position, 2u);
    EXPECT_EQ(e.bytes.size(), 80u);
  }
}

TEST(Layout, CountsAlignmentAndBadItems) {
  EXPECT_EQ(rec::layout_size(rec::kActionDatatype), 216u);
  EXPECT_EQ(rec::layout_size(rec::kLogDatatype), 88u);
  EXPECT_EQ(rec::layout_size("3i 2s"), 14u);
  EXPECT_EQ(rec::layout_size("5si"), 12u);  // the integer is aligned to 4 bytes
  EXPECT_EQ(rec::layout_size("i0s"), 4u);
  const auto fields = rec::unpack("2s3i", std::string("ok\0\0", 4) + std::string(12, '\0'));
  ASSERT_EQ(fields.size(), 4u);
  EXPECT_EQ(std::get<std::string>(fields[0]), "ok");
  EXPECT_THROW(rec::layout_size("iq"), rec::FormatError);
  EXPECT_THROW(rec::layout_size("<i"), rec::FormatError);
  EXPECT_THROW(rec::layout_size("12"), rec::FormatError);
  // A huge count must fail as a bad layout, not try to allocate.
  EXPECT_THROW(rec::unpack("99999999999999999999i", "abcd"), rec::FormatError);
  EXPECT_THROW(rec::unpack("2000000000i", "abcd"), rec::FormatError);
}
