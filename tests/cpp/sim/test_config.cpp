#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "zarn/sim/config.hpp"

namespace sim = zarn::sim;

namespace {

sim::MachineConfig machine(const std::string& yaml) {
  return sim::machine_from_tree(zarn::yaml::load_string(yaml), "test.yaml");
}

std::string config_error(const std::string& yaml) {
  try {
    machine(yaml);
  } catch (const sim::ConfigError& e) {
    return e.what();
  }
  return "(no error)";
}

bool has_warning(const sim::MachineConfig& m, const std::string& part) {
  for (const std::string& w : m.warnings) {
    if (w.find(part) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

TEST(MachineConfig, ExampleMachineIsReadAsTheClientReadsIt) {
  const sim::MachineConfig m =
      sim::load_machine(std::string(ZARN_SOURCE_DIR) + "/examples/handler_settings.yaml");
  EXPECT_TRUE(m.warnings.empty()) << m.warnings.front();
  EXPECT_EQ(m.server_address, "localhost");
  EXPECT_EQ(m.coupler_slave_no, 1);
  ASSERT_EQ(m.io_modules.size(), 4u);
  EXPECT_EQ(m.io_modules[2].morvo_id, 10);
  EXPECT_EQ(m.io_modules[2].output_start, 0);
  EXPECT_EQ(m.io_modules[3].output_start, 4);
  EXPECT_EQ(m.io_modules[3].input_start, 10);
  EXPECT_EQ(m.io_modules[0].output_start, -1);
  EXPECT_EQ(m.input_image_bytes, 11);
  EXPECT_EQ(m.output_image_bytes, 5);

  ASSERT_EQ(m.drives.size(), 4u);
  const int ids[] = {13, 14, 15, 16};
  const int modules[] = {2, 3, 1, 2};
  const sim::Family families[] = {sim::Family::Festo, sim::Family::Festo, sim::Family::Akribis,
                                  sim::Family::Akribis};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(m.drives[i].morvo_id, ids[i]);
    EXPECT_EQ(m.drives[i].module_id, modules[i]);
    EXPECT_EQ(m.drives[i].family, families[i]);
  }
  // The merge key carries the gantry factors to Y, which overrides them.
  EXPECT_DOUBLE_EQ(m.drives[3].distance_factor, 5000.0);
  EXPECT_DOUBLE_EQ(m.drives[3].speed_factor, 250000.0);
  // A record's -1 means 0.5 user units.
  EXPECT_DOUBLE_EQ(m.drives[0].default_velocity, 25000.0);
  EXPECT_DOUBLE_EQ(m.drives[0].default_deceleration, 250000.0);
  EXPECT_DOUBLE_EQ(m.drives[0].position_tolerance, 10.0);
  // Travel in Y's own counts: 400 mm of 5000 counts each.
  EXPECT_DOUBLE_EQ(m.drives[3].travel_max, 400 * 5000.0);
  EXPECT_DOUBLE_EQ(m.drives[1].travel_min, -180 * 1000.0);
  ASSERT_EQ(m.settings.wiring.size(), 3u);
  EXPECT_EQ(m.settings.wiring[1].to_device, 11);
  EXPECT_DOUBLE_EQ(m.settings.wiring[1].delay, 0.2);
  // The gripper's open sensor reads its valve the other way round.
  EXPECT_EQ(m.settings.wiring[2].to_pin, 1);
  EXPECT_TRUE(m.settings.wiring[2].invert);
  EXPECT_FALSE(m.settings.wiring[1].invert);
}

TEST(MachineConfig, SharedAddressesAndRepeatedIdsAreReported) {
  const sim::MachineConfig m = machine(R"(
kvt_handler:
  IOModule: {SlaveNo: 1, Modules: [{MorvoID: 1, Slot: 2, InputBytes: 1, OutputBytes: 0}]}
  Festo:
    - {MorvoID: 13, SlaveNo: 2}
    - {MorvoID: 14, SlaveNo: 2}
  Akribis:
    - {MorvoID: 15, Axis: C}
    - {MorvoID: 15, Axis: D}
  Other: {MorvoID: "40"}
)");
  EXPECT_TRUE(has_warning(m, "Festo drives device 13 (kvt_handler/Festo[0]) and device 14"));
  EXPECT_TRUE(has_warning(m, "share module id 3"));
  EXPECT_TRUE(has_warning(m, "MorvoID 15 is used twice"));
  EXPECT_TRUE(has_warning(m, "device 40 (kvt_handler/Other): MorvoID outside 1 to 35"));
  EXPECT_TRUE(has_warning(m, "has Slot 2 but is module 1"));
  // A Festo drive is anything that is neither IO nor Akribis, text ids included.
  EXPECT_EQ(m.drives.back().morvo_id, 40);
  EXPECT_EQ(m.drives.back().family, sim::Family::Festo);
}

TEST(MachineConfig, SimulatorSectionIsCheckedStrictly) {
  const std::string head = R"(
kvt_handler:
  IOModule:
    SlaveNo: 1
    Modules:
      - {MorvoID: 1, Slot: 1, InputBytes: 1, OutputBytes: 0}
      - {MorvoID: 2, Slot: 2, InputBytes: 0, OutputBytes: 2}
  Simulator:
)";
  const sim::MachineConfig m = machine(head + R"(
    FestoStartupDelay: 2
    SettleTime: 0.25
    MaxHeld: 50
    Wiring: [{FromDevice: 2, FromPin: 15, ToDevice: 1, ToPin: 7, Delay: 0.5, Invert: true}]
)");
  EXPECT_DOUBLE_EQ(m.settings.festo_startup_delay, 2.0);
  EXPECT_DOUBLE_EQ(m.settings.settle_time, 0.25);
  EXPECT_EQ(m.settings.max_held, 50u);
  ASSERT_EQ(m.settings.wiring.size(), 1u);
  EXPECT_TRUE(m.settings.wiring[0].invert);

  EXPECT_NE(config_error(head + "    SettelTime: 1\n").find("SettelTime is not a setting"),
            std::string::npos);
  EXPECT_NE(config_error(head + "    HomingTime: -1\n").find("of zero or more"), std::string::npos);
  EXPECT_NE(config_error(head + "    DefaultVelocity: 0\n").find("above zero"), std::string::npos);
  EXPECT_NE(
      config_error(head + "    Wiring: [{FromDevice: 1, FromPin: 0, ToDevice: 1, ToPin: 0}]\n")
          .find("Wiring[0]: FromDevice 1 is not an IO module with outputs"),
      std::string::npos);
  EXPECT_NE(
      config_error(head + "    Wiring: [{FromDevice: 2, FromPin: 16, ToDevice: 1, ToPin: 0}]\n")
          .find("FromPin 16 is not a pin of the 16 outputs"),
      std::string::npos);
  EXPECT_NE(
      config_error(head + "    Wiring: [{FromDevice: 2, FromPin: 0, ToDevice: 1, ToPin: 8}]\n")
          .find("ToPin 8"),
      std::string::npos);
  EXPECT_NE(config_error(head + "    Wiring: [{FromDevice: 2, FromPin: 0, ToDevice: 1, Pin: 8}]\n")
                .find("Wiring[0]/Pin is not a key of a wire"),
            std::string::npos);
}

TEST(MachineConfig, TravelIsReadInCountsAndCheckedStrictly) {
  const std::string head = R"(
kvt_handler:
  IOModule: {SlaveNo: 1, Modules: [{MorvoID: 1, Slot: 1, InputBytes: 1, OutputBytes: 0}]}
  Festo:
    - {MorvoID: 13, SlaveNo: 2, Params: {DistanceFactor: 1000}}
    - {MorvoID: 14, SlaveNo: 3, Params: {DistanceFactor: 1000}}
  Simulator:
    Travel:
)";
  const sim::MachineConfig m = machine(head + "      - {Device: 13, Min: -1.5, Max: 120}\n");
  EXPECT_DOUBLE_EQ(m.drives[0].travel_min, -1500.0);
  EXPECT_DOUBLE_EQ(m.drives[0].travel_max, 120000.0);
  EXPECT_EQ(m.drives[1].travel_max, std::numeric_limits<double>::infinity());  // no entry

  const struct {
    const char* entries;
    const char* message;
  } bad[] = {
      {"      - {Device: 99, Min: 0, Max: 1}\n", "Travel[0]: Device 99 is not a drive"},
      {"      - {Device: 1, Min: 0, Max: 1}\n", "Travel[0]: Device 1 is an IO module"},
      {"      - {Device: 13, Min: 5, Max: 1}\n", "Travel[0]: Min 5 is above Max 1"},
      {"      - {Device: 13, Min: 0, Max: far}\n", "Travel[0]: Max 'far' is not a number"},
      {"      - {Device: 13, Min: 0}\n", "Travel[0] has no Max"},
      {"      - {MorvoID: 13, Min: 0, Max: 1}\n", "Travel[0]/MorvoID is not a key of a travel"},
      {"      - {Device: 13, Min: 0, Max: 1}\n      - {Device: 13, Min: 0, Max: 2}\n",
       "Travel[1]: Device 13 already has its travel at kvt_handler/Simulator/Travel[0]"},
  };
  for (const auto& b : bad) {
    const std::string error = config_error(head + b.entries);
    EXPECT_NE(error.find(b.message), std::string::npos) << error;
  }
}

TEST(MachineConfig, UnusableFilesNameTheProblem) {
  EXPECT_NE(config_error("- 1\n").find("not a map"), std::string::npos);
  EXPECT_NE(config_error("other: 1\n").find("no kvt_handler"), std::string::npos);
  EXPECT_NE(config_error("kvt_handler: {IOModule: {SlaveNo: 1, Modules: [{MorvoID: 1}]}}\n")
                .find("kvt_handler/IOModule/Modules[0] has no Slot"),
            std::string::npos);
  EXPECT_NE(config_error("kvt_handler: {Festo: [{MorvoID: abc}]}\n")
                .find("MorvoID 'abc' at kvt_handler/Festo[0] is not an integer"),
            std::string::npos);
  try {
    sim::load_machine("/nonexistent/zarn.yaml");
    FAIL() << "a missing file was loaded";
  } catch (const sim::ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
  }
}

TEST(MachineConfig, ConditionIdsOfADevice) {
  EXPECT_EQ(sim::condition_id(1, 2), 153);
  EXPECT_EQ(sim::condition_id(13, 0), 271);
  EXPECT_EQ(sim::condition_id(13, 6), 277);
}
