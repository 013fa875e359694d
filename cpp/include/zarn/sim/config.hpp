// The machine as the simulated controller sees it: the devices of a client
// configuration file (IO modules, Festo and Akribis drives) with the addresses
// that action records use, and the simulator's own settings from the optional
// section kvt_handler/Simulator, which the client never reads.
//
// Devices are found the way the client finds them: every map with a MorvoID
// anywhere in the document is a device (maps nested in it are not searched); a
// device beneath an IOModule key is an IO module, one beneath an Akribis key an
// Akribis drive, any other a Festo drive.
#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "zarn/base/yaml_tree.hpp"

namespace zarn::sim {

enum class Family { Festo, Akribis };

const char* family_name(Family family);

struct IoModuleConfig {
  int morvo_id = 0;
  std::string name;
  std::string where;  // place in the file, e.g. kvt_handler/IOModule/Modules[2]
  int slot = 0;
  int input_bytes = 0;
  int output_bytes = 0;
  // First byte in the combined images (modules laid out in slot order, as the
  // client lays them out), or -1 when the module has none.
  int input_start = -1;
  int output_start = -1;
};

struct DriveConfig {
  int morvo_id = 0;
  std::string name;
  std::string where;
  Family family = Family::Festo;
  // The module_id of the drive's records: SlaveNo for Festo, from Axis for
  // Akribis (A 1, B 2, anything else 3). -1 when a Festo drive has no
  // SlaveNo: its commands cannot reach it.
  int module_id = -1;
  // Unit factors of the drive's Params (user unit to controller unit).
  double distance_factor = 1.0;
  double speed_factor = 0.0;         // 0 when the drive has none
  double acceleration_factor = 0.0;  // 0 when the drive has none
  // What a record's -1 means for this drive, in controller units
  // (counts/s, counts/s^2), and the default POS_NEAR tolerance in counts.
  double default_velocity = 0.0;
  double default_acceleration = 0.0;
  double default_deceleration = 0.0;
  double position_tolerance = 1.0;
  // The positions a motion may end at, in counts (kvt_handler/Simulator/
  // Travel); without an entry for the drive, any.
  double travel_min = -std::numeric_limits<double>::infinity();
  double travel_max = std::numeric_limits<double>::infinity();
};

// An input pin that follows an output pin after a delay (a sensor that sees
// what a valve did).
struct Wire {
  int from_device = 0;  // MorvoID of the IO module with the output
  int from_pin = 0;     // pin counted from the module's first output byte
  int to_device = 0;    // MorvoID of the IO module with the input
  int to_pin = 0;
  double delay = 0.0;  // seconds of simulated time
  bool invert = false;
  std::string where;
};

// kvt_handler/Simulator. Times in seconds of simulated time; the velocity and
// acceleration defaults in user units, converted with each drive's factors.
struct SimSettings {
  double festo_startup_delay = 0.0;
  double akribis_startup_delay = 0.0;
  double settle_time = 0.1;
  double homing_time = 0.5;
  double default_velocity = 0.5;
  double default_acceleration = 0.5;
  double default_deceleration = 0.5;
  double position_tolerance = 0.01;
  double hold_timeout = 3600.0;  // 0: waiting records never expire
  std::size_t max_held = 10000;
  double temperature = 25.0;
  std::vector<Wire> wiring;
};

struct MachineConfig {
  std::string source;          // the file name, for messages
  std::string server_address;  // empty when the file gives none
  bool has_io_coupler = false;
  int coupler_slave_no = -1;
  std::vector<IoModuleConfig> io_modules;  // in slot order
  int input_image_bytes = 0;
  int output_image_bytes = 0;
  std::vector<DriveConfig> drives;  // in document order
  SimSettings settings;
  // Problems that do not stop the simulator but that the user should fix:
  // two drives of one family on one address, a repeated MorvoID, ids whose
  // condition ids collide, gaps in the slot numbers.
  std::vector<std::string> warnings;
};

// The configuration cannot be simulated; what() names the file and the place.
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

MachineConfig machine_from_tree(const yaml::Node& root, const std::string& source);
// Loads the file with the client's loader; loader errors become ConfigError.
MachineConfig load_machine(const std::string& path);

// The id of condition `type` (0 to 9) of device `morvo_id`.
int condition_id(int morvo_id, int type);

// Devices after this one would have condition ids that reach the shared
// administration codes 502 and 503.
inline constexpr int kLastConditionDevice = 35;

}  // namespace zarn::sim
