#include "zarn/sim/config.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>

#include "zarn/client/records.hpp"
#include "zarn/client/units.hpp"

namespace zarn::sim {
namespace {

// The first of the ten condition ids of a device, in 64 bits: the warning
// about a MorvoID far outside 1 to 35 shows ids that an int cannot hold.
std::int64_t first_condition_id(std::int64_t morvo_id) {
  return (morvo_id - 1) * records::kEachMorvoConditionNum + records::kConditionStart;
}

using Kind = yaml::Node::Kind;

std::string key_text(const yaml::Node& key) {
  switch (key.kind) {
    case Kind::String:
      return key.text;
    case Kind::Int:
      return key.big_integer.empty() ? std::to_string(key.integer) : key.big_integer;
    case Kind::Bool:
      return key.boolean ? "True" : "False";
    case Kind::Null:
      return "None";
    case Kind::Float: {
      std::string text = std::to_string(key.real);
      return text;
    }
    default:
      return "?";
  }
}

std::string scalar_text(const yaml::Node& node) {
  if (node.kind == Kind::String) return "'" + node.text + "'";
  if (node.kind == Kind::Map) return "a map";
  if (node.kind == Kind::Sequence) return "a list";
  return key_text(node);
}

// Python's int() of a scalar: integers as they are, reals truncated toward
// zero, decimal text parsed; nullopt for anything else or a value beyond int.
std::optional<long long> integer_value(const yaml::Node& node) {
  switch (node.kind) {
    case Kind::Int:
      if (!node.big_integer.empty()) return std::nullopt;
      return node.integer;
    case Kind::Bool:
      return node.boolean ? 1 : 0;
    case Kind::Float:
      if (!std::isfinite(node.real) || std::fabs(node.real) > 9e18) return std::nullopt;
      return static_cast<long long>(std::trunc(node.real));
    case Kind::String: {
      std::string_view text = node.text;
      while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
      std::size_t i = 0;
      if (!text.empty() && (text[0] == '-' || text[0] == '+')) i = 1;
      if (i == text.size()) return std::nullopt;
      long long value = 0;
      for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_' && i > 0 && i + 1 < text.size()) continue;
        if (c < '0' || c > '9') return std::nullopt;
        if (value > (std::numeric_limits<long long>::max() - 9) / 10) return std::nullopt;
        value = value * 10 + (c - '0');
      }
      return text[0] == '-' ? -value : value;
    }
    default:
      return std::nullopt;
  }
}

std::optional<double> number_value(const yaml::Node* node) {
  if (node == nullptr) return std::nullopt;
  if (node->kind == Kind::Int && node->big_integer.empty()) {
    return static_cast<double>(node->integer);
  }
  if (node->kind == Kind::Float && std::isfinite(node->real)) return node->real;
  return std::nullopt;
}

// A number as a message shows it: 600, not 600.000000.
std::string number_text(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// A user-unit position or distance of `drive` in its counts.
double distance_counts(const DriveConfig& drive, double user) {
  return units::scaled(user, drive.distance_factor);
}

int int_in_range(long long value, const std::string& what) {
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
    throw ConfigError(what + " is " + std::to_string(value) + ", outside the 32-bit range");
  }
  return static_cast<int>(value);
}

struct FoundDevice {
  const yaml::Node* entry;
  std::string where;
  bool io;       // an IOModule key on the way down or in the entry
  bool akribis;  // an Akribis key on the way down or in the entry
};

class DeviceWalk {
 public:
  explicit DeviceWalk(std::string source) : source_(std::move(source)) {}

  void walk(const yaml::Node& node, const std::string& where, bool io, bool akribis) {
    if (node.kind == Kind::Sequence) {
      for (std::size_t i = 0; i < node.items.size(); ++i) {
        walk(node.items[i], where + "[" + std::to_string(i) + "]", io, akribis);
      }
      return;
    }
    if (node.kind != Kind::Map) return;
    if (node.find("MorvoID") != nullptr) {
      found.push_back({&node, where.empty() ? "the top of the document" : where,
                       io || node.find("IOModule") != nullptr,
                       akribis || node.find("Akribis") != nullptr});
      return;
    }
    for (const auto& [key, value] : node.entries) {
      const std::string name = key_text(key);
      const bool is_text = key.kind == Kind::String;
      walk(value, where.empty() ? name : where + "/" + name, io || (is_text && name == "IOModule"),
           akribis || (is_text && name == "Akribis"));
    }
  }

  std::vector<FoundDevice> found;

 private:
  std::string source_;
};

class Reader {
 public:
  Reader(const yaml::Node& root, std::string source) : root_(root) {
    machine_.source = std::move(source);
  }

  MachineConfig read() {
    if (root_.kind != Kind::Map) {
      fail("the document is not a map with a kvt_handler section");
    }
    const yaml::Node* handler = root_.find("kvt_handler");
    if (handler == nullptr || handler->kind != Kind::Map) {
      fail("there is no kvt_handler section (a map)");
    }
    if (const yaml::Node* address = handler->find("server_address")) {
      if (address->kind != Kind::String) fail("kvt_handler/server_address is not text");
      machine_.server_address = address->text;
    }
    read_io(*handler);
    read_settings(handler->find("Simulator"));
    read_devices();
    read_wiring(handler->find("Simulator"));
    read_travel(handler->find("Simulator"));
    return std::move(machine_);
  }

 private:
  [[noreturn]] void fail(const std::string& message) const {
    throw ConfigError("configuration '" + machine_.source + "': " + message);
  }
  void warn(const std::string& message) { machine_.warnings.push_back(message); }

  int required_int(const yaml::Node& map, const char* key, const std::string& where) const {
    const yaml::Node* value = map.find(key);
    if (value == nullptr) fail(where + " has no " + key);
    const std::optional<long long> number = integer_value(*value);
    if (!number) fail(where + ": " + key + " " + scalar_text(*value) + " is not an integer");
    try {
      return int_in_range(*number, where + ": " + key);
    } catch (const ConfigError& e) {
      fail(e.what());
    }
  }

  void read_io(const yaml::Node& handler) {
    const yaml::Node* coupler = handler.find("IOModule");
    if (coupler == nullptr) return;
    if (coupler->kind != Kind::Map) fail("kvt_handler/IOModule is not a map");
    machine_.has_io_coupler = true;
    machine_.coupler_slave_no = required_int(*coupler, "SlaveNo", "kvt_handler/IOModule");
    const yaml::Node* modules = coupler->find("Modules");
    if (modules == nullptr) fail("kvt_handler/IOModule has no Modules list");
    if (modules->kind != Kind::Sequence) fail("kvt_handler/IOModule/Modules is not a list");
    std::vector<IoModuleConfig> read;
    for (std::size_t i = 0; i < modules->items.size(); ++i) {
      const yaml::Node& entry = modules->items[i];
      const std::string where = "kvt_handler/IOModule/Modules[" + std::to_string(i) + "]";
      if (entry.kind != Kind::Map) fail(where + " is not a map");
      IoModuleConfig module;
      module.where = where;
      module.morvo_id = required_int(entry, "MorvoID", where);
      module.slot = required_int(entry, "Slot", where);
      module.input_bytes = required_int(entry, "InputBytes", where);
      module.output_bytes = required_int(entry, "OutputBytes", where);
      if (module.input_bytes < 0 || module.output_bytes < 0) {
        fail(where + " has a negative byte count");
      }
      if (module.input_bytes > 4096 || module.output_bytes > 4096) {
        fail(where + " has more than 4096 input or output bytes");
      }
      if (const yaml::Node* name = entry.find("Name"); name && name->kind == Kind::String) {
        module.name = name->text;
      }
      read.push_back(std::move(module));
    }
    // The client's layout: a stable sort by slot, bytes one after the other.
    std::stable_sort(
        read.begin(), read.end(),
        [](const IoModuleConfig& a, const IoModuleConfig& b) { return a.slot < b.slot; });
    int input = 0;
    int output = 0;
    for (std::size_t i = 0; i < read.size(); ++i) {
      IoModuleConfig& module = read[i];
      if (module.slot != static_cast<int>(i) + 1) {
        warn("IO module " + std::to_string(module.morvo_id) + " at " + module.where + " has Slot " +
             std::to_string(module.slot) + " but is module " + std::to_string(i + 1) +
             " in slot order: the client addresses its outputs through the start byte of slot " +
             std::to_string(module.slot) + ", so number the slots 1 to N without gaps");
      }
      if (module.input_bytes > 0) {
        module.input_start = input;
        input += module.input_bytes;
      }
      if (module.output_bytes > 0) {
        module.output_start = output;
        output += module.output_bytes;
      }
    }
    machine_.io_modules = std::move(read);
    machine_.input_image_bytes = input;
    machine_.output_image_bytes = output;
  }

  void read_settings(const yaml::Node* section) {
    if (section == nullptr) return;
    if (section->kind != Kind::Map) fail("kvt_handler/Simulator is not a map");
    SimSettings& s = machine_.settings;
    struct Seconds {
      const char* key;
      double* value;
      bool positive;  // must be above zero, not just zero or more
    };
    const Seconds numbers[] = {
        {"FestoStartupDelay", &s.festo_startup_delay, false},
        {"AkribisStartupDelay", &s.akribis_startup_delay, false},
        {"SettleTime", &s.settle_time, false},
        {"HomingTime", &s.homing_time, false},
        {"DefaultVelocity", &s.default_velocity, true},
        {"DefaultAcceleration", &s.default_acceleration, true},
        {"DefaultDeceleration", &s.default_deceleration, true},
        {"PositionTolerance", &s.position_tolerance, false},
        {"HoldTimeout", &s.hold_timeout, false},
        {"Temperature", &s.temperature, false},
    };
    for (const auto& [key, value] : section->entries) {
      const std::string name = key_text(key);
      const std::string where = "kvt_handler/Simulator/" + name;
      if (name == "Wiring" || name == "Travel") continue;  // read once the devices are known
      if (name == "MaxHeld") {
        const std::optional<long long> held = integer_value(value);
        if (!held || *held < 1 || *held > 10'000'000) {
          fail(where + " must be a whole number from 1 to 10000000");
        }
        s.max_held = static_cast<std::size_t>(*held);
        continue;
      }
      const Seconds* known = nullptr;
      for (const Seconds& candidate : numbers) {
        if (name == candidate.key) known = &candidate;
      }
      if (known == nullptr) {
        fail(where +
             " is not a setting of the simulator (known: FestoStartupDelay, "
             "AkribisStartupDelay, SettleTime, HomingTime, DefaultVelocity, "
             "DefaultAcceleration, DefaultDeceleration, PositionTolerance, HoldTimeout, "
             "MaxHeld, Temperature, Wiring, Travel)");
      }
      const std::optional<double> number = number_value(&value);
      if (!number || *number < 0 || (known->positive && *number == 0)) {
        fail(where + " must be a number " + (known->positive ? "above zero" : "of zero or more") +
             ", not " + scalar_text(value));
      }
      *known->value = *number;
    }
  }

  void read_devices() {
    DeviceWalk walk(machine_.source);
    walk.walk(root_, "", false, false);
    std::map<int, std::string> ids;
    std::map<std::pair<Family, int>, std::string> addresses;
    std::set<int> io_ids;
    for (const IoModuleConfig& module : machine_.io_modules) io_ids.insert(module.morvo_id);

    for (const FoundDevice& device : walk.found) {
      const yaml::Node& entry = *device.entry;
      const yaml::Node* id_node = entry.find("MorvoID");
      const std::optional<long long> id_value = integer_value(*id_node);
      if (!id_value) {
        fail("MorvoID " + scalar_text(*id_node) + " at " + device.where + " is not an integer");
      }
      const int id = int_in_range(*id_value, "MorvoID at " + device.where);
      std::string name;
      if (const yaml::Node* n = entry.find("Name"); n && n->kind == Kind::String) name = n->text;
      const std::string label = "device " + std::to_string(id) + " (" + device.where + ")";

      if (const auto seen = ids.find(id); seen != ids.end()) {
        warn("MorvoID " + std::to_string(id) + " is used twice, at " + seen->second + " and at " +
             device.where + ": conditions and logger requests reach only the first");
      } else {
        ids.emplace(id, device.where);
      }
      if (id < 1 || id > kLastConditionDevice) {
        warn(label + ": MorvoID outside 1 to 35, so its condition ids " +
             std::to_string(first_condition_id(id)) + " to " +
             std::to_string(first_condition_id(id) + 9) +
             " are outside the per-device range and its conditions are refused");
      }

      if (device.io) {
        if (io_ids.count(id) == 0) {
          warn(label +
               " lies beneath an IOModule key but is not in kvt_handler/IOModule/Modules, "
               "so it has no process image and is not simulated");
        }
        continue;
      }

      DriveConfig drive;
      drive.morvo_id = id;
      drive.name = name;
      drive.where = device.where;
      drive.family = device.akribis ? Family::Akribis : Family::Festo;
      if (drive.family == Family::Akribis) {
        const yaml::Node* axis = entry.find("Axis");
        if (axis == nullptr) {
          warn(label + " is an Akribis drive without Axis: the client cannot address it");
        } else if (axis->kind == Kind::String && axis->text == "A") {
          drive.module_id = 1;
        } else if (axis->kind == Kind::String && axis->text == "B") {
          drive.module_id = 2;
        } else {
          drive.module_id = 3;
        }
      } else if (const yaml::Node* slave = entry.find("SlaveNo")) {
        const std::optional<long long> number = integer_value(*slave);
        if (!number) fail(label + ": SlaveNo " + scalar_text(*slave) + " is not an integer");
        drive.module_id = int_in_range(*number, label + ": SlaveNo");
      } else {
        warn(label + " is a Festo drive without SlaveNo: its commands cannot reach it");
      }
      read_params(entry, label, drive);

      if (drive.module_id >= 0) {
        const auto key = std::make_pair(drive.family, drive.module_id);
        if (const auto seen = addresses.find(key); seen != addresses.end()) {
          warn(std::string(family_name(drive.family)) + " drives " + seen->second + " and " +
               label + " share module id " + std::to_string(drive.module_id) +
               ": records for that module reach only the first");
        } else {
          addresses.emplace(key, label);
        }
      }
      machine_.drives.push_back(std::move(drive));
    }
  }

  void read_params(const yaml::Node& entry, const std::string& label, DriveConfig& drive) {
    const SimSettings& s = machine_.settings;
    if (const yaml::Node* params = entry.find("Params"); params && params->kind == Kind::Map) {
      if (auto f = number_value(params->find("DistanceFactor")); f && *f > 0) {
        drive.distance_factor = *f;
      }
      if (auto f = number_value(params->find("SpeedFactor")); f && *f > 0) drive.speed_factor = *f;
      if (auto f = number_value(params->find("AccelerationFactor")); f && *f > 0) {
        drive.acceleration_factor = *f;
      }
    } else {
      warn(label + " has no Params map: positions count in controller units");
    }
    // Without factors, a user unit of velocity is taken as one distance unit
    // per second and of acceleration as one per second squared.
    const double speed = drive.speed_factor > 0 ? drive.speed_factor : drive.distance_factor;
    const double acceleration =
        drive.acceleration_factor > 0 ? drive.acceleration_factor : drive.distance_factor;
    drive.default_velocity = units::scaled(s.default_velocity, speed);
    drive.default_acceleration = units::scaled(s.default_acceleration, acceleration);
    drive.default_deceleration = units::scaled(s.default_deceleration, acceleration);
    drive.position_tolerance = std::max(0.0, distance_counts(drive, s.position_tolerance));
  }

  const IoModuleConfig* io_module(int id) const {
    for (const IoModuleConfig& module : machine_.io_modules) {
      if (module.morvo_id == id) return &module;
    }
    return nullptr;
  }

  // One end of a wire: an output pin (`output`) or an input pin of a module.
  void check_wire_end(const std::string& where, const char* end, int device, int pin,
                      bool output) const {
    const char* kind = output ? "outputs" : "inputs";
    const IoModuleConfig* module = io_module(device);
    const int pins =
        module == nullptr ? 0 : 8 * (output ? module->output_bytes : module->input_bytes);
    if (pins == 0) {
      fail(where + ": " + end + "Device " + std::to_string(device) + " is not an IO module with " +
           kind);
    }
    if (pin < 0 || pin >= pins) {
      fail(where + ": " + end + "Pin " + std::to_string(pin) + " is not a pin of the " +
           std::to_string(pins) + " " + kind + " of device " + std::to_string(device));
    }
  }

  void read_wiring(const yaml::Node* section) {
    if (section == nullptr) return;
    const yaml::Node* wiring = section->find("Wiring");
    if (wiring == nullptr) return;
    if (wiring->kind != Kind::Sequence) fail("kvt_handler/Simulator/Wiring is not a list");
    for (std::size_t i = 0; i < wiring->items.size(); ++i) {
      const yaml::Node& item = wiring->items[i];
      Wire wire;
      wire.where = "kvt_handler/Simulator/Wiring[" + std::to_string(i) + "]";
      if (item.kind != Kind::Map) fail(wire.where + " is not a map");
      for (const auto& [key, value] : item.entries) {
        const std::string name = key_text(key);
        if (name != "FromDevice" && name != "FromPin" && name != "ToDevice" && name != "ToPin" &&
            name != "Delay" && name != "Invert") {
          fail(wire.where + "/" + name +
               " is not a key of a wire (known: FromDevice, FromPin, ToDevice, ToPin, Delay, "
               "Invert)");
        }
      }
      wire.from_device = required_int(item, "FromDevice", wire.where);
      wire.from_pin = required_int(item, "FromPin", wire.where);
      wire.to_device = required_int(item, "ToDevice", wire.where);
      wire.to_pin = required_int(item, "ToPin", wire.where);
      if (const yaml::Node* delay = item.find("Delay")) {
        const std::optional<double> seconds = number_value(delay);
        if (!seconds || *seconds < 0) {
          fail(wire.where + "/Delay must be a number of seconds of zero or more");
        }
        wire.delay = *seconds;
      }
      if (const yaml::Node* invert = item.find("Invert")) {
        if (invert->kind != Kind::Bool) fail(wire.where + "/Invert must be true or false");
        wire.invert = invert->boolean;
      }
      check_wire_end(wire.where, "From", wire.from_device, wire.from_pin, true);
      check_wire_end(wire.where, "To", wire.to_device, wire.to_pin, false);
      machine_.settings.wiring.push_back(std::move(wire));
    }
  }

  void read_travel(const yaml::Node* section) {
    if (section == nullptr) return;
    const yaml::Node* travel = section->find("Travel");
    if (travel == nullptr) return;
    if (travel->kind != Kind::Sequence) fail("kvt_handler/Simulator/Travel is not a list");
    std::map<int, std::string> given;  // MorvoID: the entry that gave its travel
    for (std::size_t i = 0; i < travel->items.size(); ++i) {
      const yaml::Node& item = travel->items[i];
      const std::string where = "kvt_handler/Simulator/Travel[" + std::to_string(i) + "]";
      if (item.kind != Kind::Map) fail(where + " is not a map");
      for (const auto& [key, value] : item.entries) {
        const std::string name = key_text(key);
        if (name != "Device" && name != "Min" && name != "Max") {
          fail(where + "/" + name + " is not a key of a travel (known: Device, Min, Max)");
        }
      }
      const int device = required_int(item, "Device", where);
      double limits[2];
      const char* keys[2] = {"Min", "Max"};
      for (int k = 0; k < 2; ++k) {
        const yaml::Node* value = item.find(keys[k]);
        if (value == nullptr) fail(where + " has no " + keys[k]);
        const std::optional<double> number = number_value(value);
        if (!number) {
          fail(where + ": " + keys[k] + " " + scalar_text(*value) + " is not a number");
        }
        limits[k] = *number;
      }
      if (limits[0] > limits[1]) {
        fail(where + ": Min " + number_text(limits[0]) + " is above Max " + number_text(limits[1]));
      }
      const std::string label = "Device " + std::to_string(device);
      if (const auto seen = given.find(device); seen != given.end()) {
        fail(where + ": " + label + " already has its travel at " + seen->second);
      }
      given.emplace(device, where);
      // A MorvoID used twice (a warning of its own) limits every drive that
      // carries it: a command meant for one may reach the other.
      bool found = false;
      for (DriveConfig& drive : machine_.drives) {
        if (drive.morvo_id != device) continue;
        found = true;
        drive.travel_min = distance_counts(drive, limits[0]);
        drive.travel_max = distance_counts(drive, limits[1]);
      }
      if (!found) {
        fail(where + ": " + label +
             (io_module(device) != nullptr ? " is an IO module, not a drive"
                                           : " is not a drive of this configuration"));
      }
    }
  }

  const yaml::Node& root_;
  MachineConfig machine_;
};

}  // namespace

const char* family_name(Family family) { return family == Family::Festo ? "Festo" : "Akribis"; }

int condition_id(int morvo_id, int type) {
  return static_cast<int>(first_condition_id(morvo_id) + type);
}

MachineConfig machine_from_tree(const yaml::Node& root, const std::string& source) {
  return Reader(root, source).read();
}

MachineConfig load_machine(const std::string& path) {
  yaml::Node root;
  try {
    root = yaml::load_file(path);
  } catch (const yaml::Error& e) {
    throw ConfigError(e.what());
  }
  return machine_from_tree(root, path);
}

}  // namespace zarn::sim
