// The simulated controller against a fake clock: every call names the
// simulated time, and the tests step from event to event.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "zarn/client/records.hpp"
#include "zarn/sim/controller.hpp"

namespace rec = zarn::records;
namespace sim = zarn::sim;

namespace {

const sim::MachineConfig& example() {
  static const sim::MachineConfig m =
      sim::load_machine(std::string(ZARN_SOURCE_DIR) + "/examples/handler_settings.yaml");
  return m;
}

sim::MachineConfig example_with(const std::string& simulator_settings) {
  std::string text = R"(
kvt_handler:
  IOModule:
    SlaveNo: 1
    Modules:
      - {MorvoID: 1, Slot: 1, InputBytes: 2, OutputBytes: 0}
      - {MorvoID: 10, Slot: 2, InputBytes: 0, OutputBytes: 4}
  Festo:
    - {MorvoID: 13, SlaveNo: 2, Params: {DistanceFactor: 1000, SpeedFactor: 50000, AccelerationFactor: 500000}}
  Akribis:
    - {MorvoID: 15, Axis: A, Params: {DistanceFactor: 10000, SpeedFactor: 500000, AccelerationFactor: 5000000}}
  Simulator:
)";
  return sim::machine_from_tree(zarn::yaml::load_string(text + simulator_settings), "test.yaml");
}

std::string action(int module, int func, std::vector<std::int64_t> args, const std::string& id,
                   std::vector<std::string> deps = {}) {
  rec::ActionValues values;
  values.integers = {module, func};
  values.integers.insert(values.integers.end(), args.begin(), args.end());
  values.cmd_id = id;
  values.dependencies = std::move(deps);
  return rec::pack_action(values);
}

// prefix + n, spelled so that GCC 12 does not warn falsely about
// "text" + std::to_string(n).
std::string numbered(const char* prefix, int n) {
  std::string id = prefix;
  id += std::to_string(n);
  return id;
}

int result_of(const std::string& record) {
  std::int32_t value;
  std::memcpy(&value, record.data() + 212, sizeof value);
  return value;
}

constexpr int kFesto = 2;  // module id of drive 13
constexpr int kHome = 3, kAbs = 1, kRel = 2, kStop = 4, kReset = 5, kDisable = 6;
const int kStatus13 = sim::condition_id(13, 0);
const int kPosition13 = sim::condition_id(13, 2);
const int kStatic13 = sim::condition_id(13, 6);

// Drives a controller through simulated time and notes when each result
// was published.
struct Rig {
  explicit Rig(const sim::MachineConfig& m) : controller(m) {}

  int send(const std::string& record, double t) {
    const std::string reply = controller.handle_action(record, t);
    EXPECT_EQ(reply.size(), rec::kActionRecordBytes);
    collect(t);
    return result_of(reply);
  }
  void run_to(double t) {
    while (const auto next = controller.next_event()) {
      if (*next > t) break;
      controller.advance(*next);
      collect(*next);
    }
    controller.advance(t);
    collect(t);
  }
  std::string logger(int device, int index, double t) {
    const std::string reply = controller.handle_logger(rec::pack_logger_request(device, index), t);
    EXPECT_EQ(reply.size(), rec::kLogRecordBytes);
    collect(t);
    return std::get<std::string>(rec::unpack(rec::kLogDatatype, reply)[2]);
  }
  void collect(double t) {
    std::vector<sim::Published> out;
    controller.take_published(out);
    for (const sim::Published& p : out) {
      EXPECT_EQ(p.record.size(), rec::kActionRecordBytes);
      EXPECT_EQ(p.record.substr(32, p.topic.size()), p.topic);
      results[p.topic] = result_of(p.record);
      when[p.topic] = t;
      order.push_back(p.topic);
    }
  }
  bool published(const std::string& id) const { return results.count(id) != 0; }

  sim::Controller controller;
  std::map<std::string, int> results;
  std::map<std::string, double> when;
  std::vector<std::string> order;
};

// The records of a blocking motion command, as the client sends them.
void blocking_motion(Rig& rig, const std::string& id, int func, std::vector<std::int64_t> args,
                     double t, bool homing) {
  ASSERT_EQ(rig.send(action(kFesto, func, std::move(args), id, {"502"}), t), 1);
  ASSERT_EQ(rig.send(action(0, kStatus13, {homing ? 4 : 1}, id + "-first", {id}), t), 1);
  ASSERT_EQ(rig.send(action(0, kStatus13, {homing ? 6 : 3}, id + "-end", {id}), t), 1);
}

}  // namespace

TEST(Controller, BlockingHomingAndMoveReportStartEndAndThenStandstill) {
  Rig rig(example());
  blocking_motion(rig, "H", kHome, {17}, 0.0, true);
  EXPECT_EQ(rig.logger(13, 0, 0.05), "4");  // START_HOMING
  EXPECT_EQ(rig.logger(13, 0, 0.3), "5");   // HOMING
  rig.run_to(2.0);
  ASSERT_EQ(rig.send(action(0, kStatic13, {}, "H-static", {"H", "H-first"}), 2.0), 1);
  EXPECT_EQ(rig.order, (std::vector<std::string>{"H", "H-first", "H-end", "H-static"}));
  EXPECT_DOUBLE_EQ(rig.when["H-end"], 0.5);
  EXPECT_EQ(rig.results["H-end"], 1);
  EXPECT_EQ(rig.logger(13, 0, 2.0), "0");  // CONTROLABLE once settled

  // 20 mm at 0.5 (25 mm/s, 250 mm/s^2) in counts: 0.9 s.
  blocking_motion(rig, "M", kAbs, {20000, 25000, 250000, 250000}, 3.0, false);
  ASSERT_EQ(rig.send(action(0, kStatic13, {}, "M-static", {"M", "M-first"}), 3.01), 1);
  EXPECT_EQ(rig.logger(13, 0, 3.05), "1");  // START_MOVING while accelerating
  EXPECT_EQ(rig.logger(13, 2, 3.5), "11250");
  EXPECT_EQ(rig.logger(13, 0, 3.5), "2");
  rig.run_to(3.95);
  EXPECT_EQ(rig.logger(13, 0, 3.95), "3");  // END_MOVING until settled
  EXPECT_EQ(rig.logger(13, 7, 3.95), "900");
  rig.run_to(5.0);
  EXPECT_NEAR(rig.when["M"], 3.9, 1e-9);
  EXPECT_NEAR(rig.when["M-end"], 3.9, 1e-9);
  EXPECT_EQ(rig.results["M-first"], 1);
  // Standstill is reported a settle time after the end, never before it.
  EXPECT_NEAR(rig.when["M-static"], 4.0, 1e-6);
  EXPECT_GT(rig.when["M-static"], rig.when["M-end"]);
  EXPECT_EQ(rig.logger(13, 2, 5.0), "20000");
  EXPECT_EQ(rig.logger(13, 6, 5.0), "1100");  // ms standing still
}

TEST(Controller, AbsoluteMovesNeedHomingAndTheFailureReachesTheConditions) {
  Rig rig(example());
  blocking_motion(rig, "M", kAbs, {20000, -1, -1, -1}, 0.0, false);
  rig.run_to(1.0);
  EXPECT_EQ(rig.results["M"], sim::result::kNotHomed);
  EXPECT_EQ(rig.results["M-end"], sim::result::kNotHomed);
  EXPECT_EQ(rig.logger(13, 1, 1.0), "110");  // error state
  ASSERT_EQ(rig.send(action(kFesto, kReset, {}, "R", {"502"}), 1.0), 1);
  EXPECT_EQ(rig.logger(13, 1, 1.0), "0");

  // Relative moves need no homing; the axis still needs it afterwards.
  ASSERT_EQ(rig.send(action(kFesto, kRel, {5000, -1, -1, -1}, "R1", {"502"}), 2.0), 1);
  rig.run_to(4.0);
  EXPECT_EQ(rig.results["R1"], 1);
  EXPECT_EQ(rig.logger(13, 2, 4.0), "5000");
  EXPECT_EQ(rig.logger(13, 0, 4.0), "-2");  // NEED_HOMING
}

TEST(Controller, AMoveEndingOutsideTheTravelFailsAndTheDriveStays) {
  Rig rig(example_with("    Travel: [{Device: 13, Min: 0, Max: 30}]\n"));  // 0 to 30000 counts
  blocking_motion(rig, "H", kHome, {17}, 0.0, true);
  rig.run_to(1.0);
  const int error13 = sim::condition_id(13, 1);
  ASSERT_EQ(rig.send(action(0, error13, {115}, "ERR"), 1.0), 1);
  blocking_motion(rig, "OUT", kAbs, {30001, -1, -1, -1}, 1.0, false);
  rig.run_to(2.0);
  EXPECT_EQ(rig.results["OUT"], sim::result::kOutsideTravel);
  EXPECT_EQ(rig.results["OUT-end"], sim::result::kOutsideTravel);
  EXPECT_EQ(rig.results["ERR"], 1);  // the error-state condition hears of it
  EXPECT_EQ(rig.logger(13, 2, 2.0), "0");
  EXPECT_EQ(rig.logger(13, 1, 2.0), "115");
  EXPECT_EQ(rig.logger(13, 0, 2.0), "0");  // still CONTROLABLE: it never started

  // The travel's ends are inside it.
  ASSERT_EQ(rig.send(action(kFesto, kReset, {}, "R"), 2.0), 1);
  ASSERT_EQ(rig.send(action(kFesto, kAbs, {30000, -1, -1, -1}, "EDGE"), 2.0), 1);
  rig.run_to(5.0);
  EXPECT_EQ(rig.results["EDGE"], 1);
  EXPECT_EQ(rig.logger(13, 2, 5.0), "30000");
}

TEST(Controller, ARelativeMoveIsCheckedAgainstTheTravelWhereItStarts) {
  Rig rig(example_with("    Travel: [{Device: 13, Min: 0, Max: 30}]\n"));
  blocking_motion(rig, "H", kHome, {17}, 0.0, true);
  rig.run_to(1.0);
  // Queued behind a move to 25000: +10000 would end inside from 0 but ends
  // outside from 25000, -20000 the other way round; -6000 from 5000 ends
  // below the travel.
  ASSERT_EQ(rig.send(action(kFesto, kAbs, {25000, 25000, 250000, 250000}, "A"), 1.0), 1);
  ASSERT_EQ(rig.send(action(kFesto, kRel, {10000, -1, -1, -1}, "UP"), 1.0), 1);
  ASSERT_EQ(rig.send(action(kFesto, kRel, {-20000, -1, -1, -1}, "DOWN"), 1.0), 1);
  ASSERT_EQ(rig.send(action(kFesto, kRel, {-6000, -1, -1, -1}, "BELOW"), 1.0), 1);
  EXPECT_FALSE(rig.published("UP"));
  rig.run_to(10.0);
  EXPECT_EQ(rig.results["A"], 1);
  EXPECT_EQ(rig.results["UP"], sim::result::kOutsideTravel);
  EXPECT_DOUBLE_EQ(rig.when["UP"], rig.when["A"]);
  EXPECT_EQ(rig.results["DOWN"], 1);
  EXPECT_EQ(rig.results["BELOW"], sim::result::kOutsideTravel);
  EXPECT_EQ(rig.logger(13, 2, 10.0), "5000");
}

TEST(Controller, RecordsItCannotTakeGetDocumentedResults) {
  Rig rig(example());
  struct Case {
    std::string record;
    int expected;
    const char* what;
  };
  std::string non_ascii = action(1, 0, {0, 0, 1}, "PC-1");
  non_ascii[33] = static_cast<char>(0xC3);
  const Case cases[] = {
      {action(1, 0, {0, 0, 1}, "PC-1", {"502"}), 1, "IO set on the coupler"},
      {action(2, 0, {0, 0, 1}, "PC-2"), sim::result::kUnknownModule, "IO set off the coupler"},
      {action(9, kHome, {17}, "PC-3"), sim::result::kUnknownModule, "no Festo drive 9"},
      {action(1, 53, {0}, "PC-4"), 1, "Akribis axis A is module 1"},
      {action(3, 53, {0}, "PC-5"), sim::result::kUnknownModule, "no Akribis axis 3"},
      {action(2, 8, {}, "PC-6"), sim::result::kUnknownFunction, "function code 8"},
      {action(2, 150, {}, "PC-7"), sim::result::kUnknownFunction, "blank condition"},
      {action(2, kStatus13, {1}, "PC-8"), sim::result::kUnknownModule, "condition not on 0"},
      {action(0, sim::condition_id(13, 7), {}, "PC-9"), sim::result::kUnknownFunction,
       "condition type 7"},
      {action(0, sim::condition_id(30, 0), {1}, "PC-10"), sim::result::kUnknownModule,
       "condition of a device that does not exist"},
      {action(0, sim::condition_id(1, 2), {0, 1}, "PC-11"), sim::result::kUnknownFunction,
       "position of an IO module"},
      {action(0, sim::condition_id(1, 3), {0, 0, 1}, "PC-12"), sim::result::kUnknownFunction,
       "outputs of an input module"},
      {action(0, kStatus13, {8}, "PC-13"), sim::result::kMalformed, "no state 8"},
      {action(1, 0, {32, 0, 1}, "PC-14"), sim::result::kMalformed, "pin beyond the module"},
      {action(1, 0, {0, 1, 1}, "PC-15"), sim::result::kMalformed, "no module starts at byte 1"},
      {action(1, 0, {0, 0, 2}, "PC-16"), sim::result::kMalformed, "pin value 2"},
      {action(0, sim::condition_id(1, 4), {1, 2147483647}, "PC-20"), sim::result::kMalformed,
       "analog channel far beyond the module (twice it overflows an int)"},
      {action(kFesto, kAbs, {100, 0, -1, -1}, "PC-17"), sim::result::kMalformed, "velocity 0"},
      {action(1, 0, {0, 0, 1}, ""), sim::result::kMalformed, "no command id"},
      {action(1, 0, {0, 0, 1}, "PC-18", {"271"}), sim::result::kMalformed,
       "condition code as dependency"},
      {action(1, 0, {0, 0, 1}, "PC-19", {"PC-19"}), sim::result::kMalformed, "waits for itself"},
      {non_ascii, sim::result::kMalformed, "non-ASCII command id"},
      {std::string(215, '\0'), sim::result::kWrongSize, "215 bytes"},
      {std::string(), sim::result::kWrongSize, "empty message"},
      {std::string(1000, 'x'), sim::result::kWrongSize, "1000 bytes"},
  };
  for (const Case& c : cases) EXPECT_EQ(rig.send(c.record, 0.0), c.expected) << c.what;
  EXPECT_EQ(rig.controller.stats().refused, std::size(cases) - 2);
  // Refused records are not published; the service keeps answering.
  rig.run_to(1.0);
  EXPECT_EQ(rig.order, (std::vector<std::string>{"PC-1", "PC-4"}));
}

TEST(Controller, ActionsWaitForTheirDependenciesAndTheDriveFamily) {
  Rig rig(example_with("    AkribisStartupDelay: 1.5\n"));
  // The IO set waits for the homing of drive 13; the Akribis homing for its
  // family to come up.
  ASSERT_EQ(rig.send(action(1, 0, {3, 0, 1}, "IO", {"H", "502"}), 0.0), 1);
  ASSERT_EQ(rig.send(action(kFesto, kHome, {17}, "H", {"502"}), 0.1), 1);
  ASSERT_EQ(rig.send(action(1, 53, {0}, "AK", {"503"}), 0.0), 1);
  ASSERT_EQ(rig.send(action(0, 503, {}, "UP"), 0.0), 1);
  EXPECT_EQ(rig.logger(10, 3, 0.5), "00 00 00 00");
  rig.run_to(3.0);
  EXPECT_DOUBLE_EQ(rig.when["IO"], 0.6);
  EXPECT_DOUBLE_EQ(rig.when["UP"], 1.5);
  EXPECT_DOUBLE_EQ(rig.when["AK"], 2.0);
  EXPECT_EQ(rig.logger(10, 3, 3.0), "08 00 00 00");

  // A failed dependency is passed on, down a whole chain.
  ASSERT_EQ(rig.send(action(kFesto, kDisable, {}, "D", {"502"}), 3.0), 1);
  ASSERT_EQ(rig.send(action(kFesto, kRel, {100, -1, -1, -1}, "X", {"D"}), 3.0), 1);
  ASSERT_EQ(rig.send(action(1, 0, {4, 0, 1}, "Y", {"X"}), 3.0), 1);
  ASSERT_EQ(rig.send(action(1, 0, {5, 0, 1}, "Z", {"Y"}), 3.0), 1);
  rig.run_to(3.1);
  EXPECT_EQ(rig.results["X"], sim::result::kDriveDisabled);
  EXPECT_EQ(rig.results["Z"], sim::result::kDriveDisabled);
  EXPECT_EQ(rig.logger(10, 3, 3.1), "08 00 00 00");
}

TEST(Controller, OutputsFeedWiredInputsAfterTheirDelay) {
  Rig rig(example());
  const int clamp_closed = sim::condition_id(1, 4);
  ASSERT_EQ(rig.send(action(0, clamp_closed, {0, 0, 1}, "C"), 0.0), 1);  // DIGITAL pin 0 = 1
  for (int pin : {0, 22, 23}) {
    ASSERT_EQ(rig.send(action(1, 0, {pin, 0, 1}, numbered("S", pin), {"502"}), 0.0), 1);
  }
  EXPECT_EQ(rig.logger(10, 3, 0.0), "01 00 C0 00");
  EXPECT_EQ(rig.logger(1, 4, 0.05), "00 00");
  EXPECT_FALSE(rig.published("C"));
  rig.run_to(0.5);
  EXPECT_NEAR(rig.when["C"], 0.1, 1e-9);
  EXPECT_EQ(rig.logger(1, 4, 0.5), "01 00");

  // Output conditions, and an input that follows its valve both ways.
  ASSERT_EQ(rig.send(action(0, sim::condition_id(10, 3), {0, 23, 0}, "O23"), 0.5), 1);
  ASSERT_EQ(rig.send(action(1, 0, {23, 0, 0}, "S23off"), 0.6), 1);
  ASSERT_EQ(rig.send(action(1, 0, {0, 4, 1}, "J"), 1.0), 1);  // gripper jaws, byte 4
  rig.run_to(1.1);
  EXPECT_NEAR(rig.when["O23"], 0.6, 1e-9);
  EXPECT_EQ(rig.logger(11, 4, 1.1), "02");  // open, until the jaws have closed
  rig.run_to(1.3);
  EXPECT_EQ(rig.logger(11, 4, 1.3), "01");
  EXPECT_EQ(rig.logger(11, 3, 1.3), "01");

  // Forced inputs (a sensor worked by hand) wake their conditions too.
  ASSERT_EQ(rig.send(action(0, clamp_closed, {0, 9, 1}, "P9"), 1.3), 1);
  EXPECT_EQ(rig.controller.force_input(1, 9, 1, 1.4), "");
  rig.collect(1.4);
  EXPECT_DOUBLE_EQ(rig.when["P9"], 1.4);
  EXPECT_NE(rig.controller.force_input(10, 0, 1, 1.4).find("not an IO module with inputs"),
            std::string::npos);
  EXPECT_NE(rig.controller.force_input(1, 16, 1, 1.4).find("not one of the 16 inputs"),
            std::string::npos);
}

TEST(Controller, AnInvertedWireStartsOnAndFollowsItsOutput) {
  // A jaws-open sensor: on while its valve rests, off a delay after it opens.
  Rig rig(example_with(
      "    Wiring:\n"
      "      - {FromDevice: 10, FromPin: 1, ToDevice: 1, ToPin: 11, Delay: 0.2, Invert: true}\n"));
  EXPECT_EQ(rig.logger(1, 4, 0.0), "00 08");
  const int inputs_of_1 = sim::condition_id(1, 4);
  ASSERT_EQ(rig.send(action(0, inputs_of_1, {0, 11, 1}, "Open"), 0.0), 1);
  EXPECT_TRUE(rig.published("Open"));  // true from the start
  ASSERT_EQ(rig.send(action(0, inputs_of_1, {0, 11, 0}, "Closed"), 0.0), 1);
  ASSERT_EQ(rig.send(action(1, 0, {1, 0, 1}, "Valve"), 0.5), 1);
  rig.run_to(1.0);
  EXPECT_NEAR(rig.when["Closed"], 0.7, 1e-9);
  EXPECT_EQ(rig.logger(1, 4, 1.0), "00 00");
}

TEST(Controller, PositionConditionsArriveWhenTheAxisPassesTheThreshold) {
  Rig rig(example());
  blocking_motion(rig, "H", kHome, {17}, 0.0, true);
  rig.run_to(1.0);
  ASSERT_EQ(rig.send(action(kFesto, kAbs, {20000, 25000, 250000, 250000}, "M"), 1.0), 1);
  ASSERT_EQ(rig.send(action(0, kPosition13, {0, 10000}, "GT"), 1.0), 1);        // > 10000
  ASSERT_EQ(rig.send(action(0, kPosition13, {2, 19990, -1}, "NEAR"), 1.0), 1);  // within 10
  ASSERT_EQ(rig.send(action(0, kPosition13, {3, 0}, "LT"), 1.0), 1);            // < 0
  ASSERT_EQ(rig.send(action(0, kPosition13, {1, 30000}, "EQ"), 1.0), 1);        // == 30000
  const auto next = rig.controller.next_event();
  ASSERT_TRUE(next.has_value());
  EXPECT_LE(*next, 1.1);  // the end of the acceleration comes first
  rig.run_to(3.0);
  // 10000.5 counts are passed 0.4 + 8750.5 / 25000 s after the start.
  EXPECT_NEAR(rig.when["GT"], 1.0 + 0.1 + 8750.5 / 25000.0, 1e-6);
  EXPECT_LT(rig.when["NEAR"], rig.when["M"]);
  EXPECT_GT(rig.when["NEAR"], rig.when["GT"]);
  EXPECT_FALSE(rig.published("LT"));
  EXPECT_FALSE(rig.published("EQ"));
}

TEST(Controller, StopBrakesTheAxisAndAbortsItsMotions) {
  Rig rig(example());
  blocking_motion(rig, "H", kHome, {17}, 0.0, true);
  rig.run_to(1.0);
  ASSERT_EQ(rig.send(action(kFesto, kAbs, {20000, 25000, 250000, 250000}, "M1"), 1.0), 1);
  ASSERT_EQ(rig.send(action(kFesto, kAbs, {0, -1, -1, -1}, "M2"), 1.0), 1);  // queued
  ASSERT_EQ(rig.send(action(0, kStatus13, {3}, "END", {"M1"}), 1.0), 1);
  ASSERT_EQ(rig.send(action(kFesto, kStop, {}, "S"), 1.5), 1);
  EXPECT_EQ(rig.results["M1"], sim::result::kAborted);
  EXPECT_EQ(rig.results["M2"], sim::result::kAborted);
  EXPECT_EQ(rig.results["END"], sim::result::kAborted);
  EXPECT_EQ(rig.results["S"], 1);
  EXPECT_EQ(rig.logger(13, 0, 1.5), "7");
  // Taken while the axis brakes: standing still counts from the end of braking.
  ASSERT_EQ(rig.send(action(0, kStatic13, {200}, "STILL"), 1.5), 1);
  rig.run_to(2.0);
  EXPECT_NEAR(rig.when["STILL"], 1.6 + 0.2, 1e-6);
  // From 25 mm/s at 250 mm/s^2: 1.25 mm of braking after 11.25 mm.
  EXPECT_EQ(rig.logger(13, 2, 2.0), "12500");
  EXPECT_EQ(rig.logger(13, 0, 2.0), "7");
  ASSERT_EQ(rig.send(action(kFesto, kReset, {}, "R"), 2.0), 1);
  EXPECT_EQ(rig.logger(13, 0, 2.0), "0");
}

TEST(Controller, MotionsOnOneDriveRunOneAfterTheOther) {
  Rig rig(example());
  blocking_motion(rig, "H", kHome, {17}, 0.0, true);
  rig.run_to(1.0);
  ASSERT_EQ(rig.send(action(kFesto, kAbs, {20000, 25000, 250000, 250000}, "A"), 1.0), 1);
  ASSERT_EQ(rig.send(action(kFesto, kRel, {-10000, 25000, 250000, 250000}, "B"), 1.0), 1);
  rig.run_to(4.0);
  EXPECT_NEAR(rig.when["A"], 1.9, 1e-9);
  EXPECT_NEAR(rig.when["B"], 1.9 + 0.5, 1e-9);
  EXPECT_EQ(rig.logger(13, 2, 4.0), "10000");

  // Disabled drives take no motion; enabling lets them move again.
  ASSERT_EQ(rig.send(action(kFesto, kDisable, {}, "D"), 4.0), 1);
  ASSERT_EQ(rig.send(action(kFesto, kRel, {10, -1, -1, -1}, "X"), 4.0), 1);
  EXPECT_EQ(rig.results["X"], sim::result::kDriveDisabled);
  ASSERT_EQ(rig.send(action(kFesto, 7, {}, "E"), 4.0), 1);
  EXPECT_EQ(rig.logger(13, 0, 4.0), "0");
  ASSERT_EQ(rig.send(action(kFesto, kRel, {10, -1, -1, -1}, "Y"), 4.0), 1);
  rig.run_to(5.0);
  EXPECT_EQ(rig.results["Y"], 1);
  EXPECT_EQ(rig.logger(13, 2, 5.0), "10010");
}

TEST(Controller, WaitingIsBoundedInCountAndTime) {
  Rig rig(example_with("    HoldTimeout: 2\n    MaxHeld: 3\n"));
  const int input = sim::condition_id(1, 4);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(rig.send(action(0, input, {0, i, 1}, numbered("W", i)), 0.0), 1);
  }
  EXPECT_EQ(rig.send(action(0, input, {0, 5, 1}, "W3"), 0.0), sim::result::kControllerFull);
  EXPECT_EQ(rig.controller.stats().held, 3u);
  rig.run_to(2.5);
  EXPECT_EQ(rig.results["W0"], sim::result::kExpired);
  EXPECT_DOUBLE_EQ(rig.when["W2"], 2.0);
  EXPECT_EQ(rig.controller.stats().held, 0u);
  EXPECT_EQ(rig.send(action(0, input, {0, 5, 1}, "W3"), 2.5), 1);
}

TEST(Controller, ManyRecordsLeaveNothingBehind) {
  Rig rig(example());
  // More records than the completed-id history keeps: memory stays bounded
  // and the oldest ids are forgotten, the newest remembered.
  for (int i = 0; i < 70000; ++i) {
    ASSERT_EQ(rig.send(action(1, 0, {i % 32, 0, i % 2}, numbered("PC-", i)), i * 1e-5), 1);
  }
  EXPECT_EQ(rig.controller.stats().held, 0u);
  EXPECT_LE(rig.controller.stats().timers, 1024u);
  EXPECT_EQ(rig.controller.stats().published, 70000u);
  ASSERT_EQ(rig.send(action(1, 0, {0, 0, 1}, "late-new", {"PC-69999"}), 1.0), 1);
  ASSERT_EQ(rig.send(action(1, 0, {0, 0, 1}, "late-old", {"PC-0"}), 1.0), 1);
  EXPECT_TRUE(rig.published("late-new"));
  EXPECT_FALSE(rig.published("late-old"));
  EXPECT_EQ(rig.controller.stats().held, 1u);
}

TEST(Controller, TimersOfFinishedConditionsDoNotAccumulate) {
  Rig rig(example());
  // Each condition waits a moment for its output, so each arms an expiry
  // that goes stale when the condition comes true.
  const int output = sim::condition_id(10, 3);
  for (int i = 0; i < 20000; ++i) {
    const double t = i * 1e-3;
    const std::string n = std::to_string(i);
    ASSERT_EQ(rig.send(action(0, output, {0, 5, i % 2 == 0 ? 1 : 0}, "C" + n), t), 1);
    ASSERT_EQ(rig.send(action(1, 0, {5, 0, i % 2 == 0 ? 1 : 0}, "S" + n), t), 1);
    ASSERT_EQ(rig.results["C" + n], 1);
  }
  EXPECT_EQ(rig.controller.stats().held, 0u);
  EXPECT_LE(rig.controller.stats().timers, 1024u + 1);
}

TEST(Controller, RandomRecordsAreAnsweredAndNeverBreakIt) {
  Rig rig(example());
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> small(-3, 60);
  for (int i = 0; i < 20000; ++i) {
    std::string record(rec::kActionRecordBytes, '\0');
    for (char& c : record) c = static_cast<char>(byte(rng));
    if (i % 2 == 0) {
      // Plausible records reach deeper: known codes and modules, small
      // arguments, sometimes out of range.
      static constexpr int kDevices[] = {1, 2, 10, 11, 13, 14, 15, 16, 30};
      int module = 0;
      int func = 0;
      switch (i / 2 % 4) {
        case 0:  // IO set on the coupler
          module = 1;
          break;
        case 1:  // a Festo drive
          module = 2 + small(rng) % 2;
          func = 1 + std::abs(small(rng)) % 7;
          break;
        case 2:  // an Akribis axis
          module = 1 + std::abs(small(rng)) % 2;
          func = 51 + std::abs(small(rng)) % 7;
          break;
        default:  // a condition of some device
          func = sim::condition_id(kDevices[std::abs(small(rng)) % 9], std::abs(small(rng)) % 10);
      }
      const std::vector<std::int64_t> args =
          func == 0 ? std::vector<std::int64_t>{small(rng) % 40, std::abs(small(rng)) % 6 - 1,
                                                small(rng) % 3}
                    : std::vector<std::int64_t>{small(rng) * 100, small(rng) * 1000,
                                                small(rng) * 10000, small(rng) * 10000};
      record = action(module, func, args, numbered("F", i),
                      {i % 5 == 0 ? "502" : "", i % 7 == 0 ? numbered("F", i - 2) : ""});
    }
    const std::string reply = rig.controller.handle_action(record, i * 1e-3);
    ASSERT_EQ(reply.size(), rec::kActionRecordBytes);
    ASSERT_EQ(reply.substr(0, 212), record.substr(0, 212));
    const std::string log = rig.controller.handle_logger(record.substr(0, 88), i * 1e-3);
    ASSERT_EQ(log.size(), rec::kLogRecordBytes);
    rig.collect(i * 1e-3);
  }
  EXPECT_GT(rig.controller.stats().accepted, 3000u);
  EXPECT_GT(rig.controller.stats().published, 2000u);
  // Far enough ahead every slow motion has ended and every waiting record
  // has expired.
  rig.run_to(1e8);
  EXPECT_EQ(rig.controller.stats().held, 0u);
}

TEST(Controller, LoggerAnswersEveryRequestWithText) {
  Rig rig(example());
  EXPECT_EQ(rig.logger(13, 0, 0.0), "-2");
  EXPECT_EQ(rig.logger(10, 0, 0.0), "-1");  // NOTMOTOR
  EXPECT_EQ(rig.logger(15, 5, 0.0), "25");
  EXPECT_EQ(rig.logger(99, 2, 0.0), "ERROR no device with MorvoID 99");
  EXPECT_EQ(rig.logger(13, 8, 0.0), "ERROR unknown data index 8 (0 to 7)");
  EXPECT_EQ(rig.logger(10, 2, 0.0), "ERROR device 10 is an IO module and has no such datum");
  EXPECT_EQ(rig.logger(13, 4, 0.0), "ERROR device 13 is a drive and has no inputs");
  EXPECT_EQ(rig.logger(1, 3, 0.0), "ERROR IO module 1 has no outputs");
  const std::string reply = rig.controller.handle_logger(std::string(87, '\0'), 0.0);
  ASSERT_EQ(reply.size(), rec::kLogRecordBytes);
  const auto fields = rec::unpack(rec::kLogDatatype, reply);
  EXPECT_EQ(std::get<std::int32_t>(fields[0]), -1);
  EXPECT_EQ(std::get<std::string>(fields[2]), "ERROR a logger request is 88 bytes, got 87");
}
