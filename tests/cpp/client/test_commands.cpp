#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

#include "zarn/client/commands.hpp"

namespace cmd = zarn::commands;

TEST(DeviceConditionId, EveryTypeStaysInsideItsDevicesBlockOfTen) {
  for (std::int64_t device = 1; device <= 200; ++device) {
    for (std::int64_t type = 0; type <= 9; ++type) {
      const cmd::ConditionId id = cmd::device_condition_id(device, type);
      const std::int64_t first = 151 + 10 * (device - 1);
      if (first + type == 502 || first + type == 503) {
        EXPECT_FALSE(id.id) << "device " << device << " type " << type;
        EXPECT_NE(id.refusal.find("administration state"), std::string::npos);
        continue;
      }
      ASSERT_TRUE(id.id) << "device " << device << " type " << type << ": " << id.refusal;
      EXPECT_EQ(*id.id, first + type);
    }
  }
  EXPECT_EQ(cmd::device_condition_id(13, 0).id, 271);
  EXPECT_EQ(cmd::device_condition_id(13, 6).id, 277);
  EXPECT_EQ(cmd::device_condition_id(1, 2).id, 153);
}

TEST(DeviceConditionId, RefusesWhatWouldNameAnotherDevicesCondition) {
  // Negative member values used as a type reach into the block below.
  EXPECT_FALSE(cmd::device_condition_id(13, -1).id);
  EXPECT_FALSE(cmd::device_condition_id(13, -2).id);
  EXPECT_FALSE(cmd::device_condition_id(13, 10).id);
  // Device ids below 1 own no block: 0 would reach 141 to 150.
  EXPECT_FALSE(cmd::device_condition_id(0, 0).id);
  EXPECT_FALSE(cmd::device_condition_id(-5, 3).id);
  EXPECT_EQ(cmd::device_condition_id(0, 0).refusal, "device ids start at 1");
  // Device 36 owns 501 to 510, which hold the two administration codes.
  EXPECT_EQ(cmd::device_condition_id(36, 0).id, 501);
  EXPECT_FALSE(cmd::device_condition_id(36, 1).id);
  EXPECT_FALSE(cmd::device_condition_id(36, 2).id);
  EXPECT_EQ(cmd::device_condition_id(36, 3).id, 504);
}

TEST(DeviceConditionId, AdministrationStatesAreTheSameForEveryDevice) {
  for (std::int64_t device : {std::int64_t{-3}, std::int64_t{0}, std::int64_t{13},
                              std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_EQ(cmd::device_condition_id(device, 502).id, 502);
    EXPECT_EQ(cmd::device_condition_id(device, 503).id, 503);
  }
}

TEST(DeviceConditionId, IdsThatDoNotFitTheRecordAreRefused) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  // The last device whose whole block fits in 32 bits, and the one after.
  const std::int64_t last = (kMax - 160) / 10 + 1;
  ASSERT_TRUE(cmd::device_condition_id(last, 9).id);
  EXPECT_LE(*cmd::device_condition_id(last, 9).id, kMax);
  EXPECT_FALSE(cmd::device_condition_id(last + 1, 0).id);
  EXPECT_FALSE(cmd::device_condition_id(std::numeric_limits<std::int64_t>::max(), 0).id);
  EXPECT_FALSE(cmd::device_condition_id(1, kMax + 1).id);
}

TEST(OutputEntry, SlotsOutsideTheModulesHaveNoEntry) {
  using Kind = cmd::OutputEntry::Kind;
  EXPECT_EQ(cmd::output_entry(0, 3, std::nullopt).kind, Kind::NoStartByte);
  EXPECT_EQ(cmd::output_entry(-1, 3, 0).kind, Kind::NoStartByte);
  EXPECT_EQ(cmd::output_entry(4, 3, 2).kind, Kind::NoStartByte);  // the image size's entry
  EXPECT_EQ(cmd::output_entry(5, 3, 2).kind, Kind::BeyondModules);
  EXPECT_EQ(cmd::output_entry(std::numeric_limits<std::int64_t>::max(), 3, 2).kind,
            Kind::BeyondModules);
  EXPECT_EQ(cmd::output_entry(1, 0, std::nullopt).kind, Kind::NoStartByte);
}

TEST(OutputEntry, AModuleUsesItsOwnPositionInSlotOrder) {
  using Kind = cmd::OutputEntry::Kind;
  // Slots 1, 3, 4: the slot 3 module is second in slot order.
  const cmd::OutputEntry third = cmd::output_entry(3, 3, 1);
  EXPECT_EQ(third.kind, Kind::Entry);
  EXPECT_EQ(third.index, 1u);
  // Without a known position (or an impossible one) the slot names the entry.
  EXPECT_EQ(cmd::output_entry(2, 3, std::nullopt).index, 1u);
  EXPECT_EQ(cmd::output_entry(2, 3, 7).index, 1u);
  EXPECT_EQ(cmd::output_entry(3, 3, std::nullopt).index, 2u);
}

TEST(CommandKind, ARecordsFunctionCodeTellsWhatTheGateLetsThrough) {
  EXPECT_EQ(cmd::kind_of(4), zarn::CommandKind::Stop);
  EXPECT_EQ(cmd::kind_of(54), zarn::CommandKind::Stop);
  EXPECT_EQ(cmd::kind_of(0), zarn::CommandKind::Output);
  EXPECT_EQ(cmd::kind_of(53), zarn::CommandKind::Drive);
  EXPECT_EQ(cmd::kind_of(161), zarn::CommandKind::Condition);
}
