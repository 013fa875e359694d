// A device of the configuration as the client's commands see it, and the
// lookups they share with the machine link.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <utility>

#include "client/morvo_client.hpp"
#include "zarn/client/records.hpp"

namespace zarn::py::morvo {

bool contains(nb::handle container, const char* key);
bool equals(nb::handle value, nb::handle other);
nb::object item(nb::handle container, const char* key);
[[noreturn]] void raise_key_error(const std::string& message);
// The value of member `name` of an enumeration, looked up as Enum[name] does.
int member_value(const zarn::records::Enumeration& enumeration, nb::handle name);
std::string member_names(const zarn::records::Enumeration& enumeration, bool motors_only);

// One device as a command sees it: its id as the caller gave it and its device
// map. Lookups that fail say what the device is, so that an unknown id, an IO
// module given to a motor command and a drive missing a setting read apart.
struct Device {
  nb::handle client;
  nb::handle morvo_id;
  nb::object map;

  Device(nb::handle client_obj, nb::handle id)
      : client(client_obj), morvo_id(id), map(client_obj.attr("getMorvoDict")(id)) {}
  // A map already looked up (the machine link asks the client directly).
  Device(nb::handle client_obj, nb::handle id, nb::object device_map)
      : client(client_obj), morvo_id(id), map(std::move(device_map)) {}

  bool empty() const { return nb::len(map) == 0; }
  bool io_module() const { return contains(map, "IOModule"); }
  bool akribis() const { return contains(map, "Akribis"); }

  // The drive's own number for a homing method: Akribis drives know the
  // generic method 17 as their method 0.
  nb::object homing_method(nb::handle method) const {
    if (akribis() && equals(method, nb::int_(17))) return nb::int_(0);
    return nb::borrow(method);
  }

  std::string configuration() const { return repr_of(client.attr("config_fp")); }

  std::string kind() const {
    if (io_module()) return "the IO module";
    return akribis() ? "the Akribis drive" : "the Festo drive";
  }

  // Why `path` is missing, for the caller; `purpose` says what it was for.
  std::string missing(const std::string& path, const std::string& purpose = "") const {
    if (empty()) {
      return "no device in configuration " + configuration() + " has MorvoID " + repr_of(morvo_id) +
             ", so there is no " + path + purpose;
    }
    std::string text = kind() + " with MorvoID " + repr_of(morvo_id) + " in configuration " +
                       configuration() + " has no " + path + purpose;
    if (io_module() && path.rfind("Params", 0) == 0) text += " (it is not a motor)";
    return text;
  }

  // map[key], or a KeyError that names the device.
  nb::object get(const char* key) const {
    if (!contains(map, key)) raise_key_error(missing(key));
    return item(map, key);
  }

  // map["Params"][factor], read anew each time, as the settings may differ
  // per call.
  nb::object factor(const char* name) const {
    nb::object params = get("Params");
    if (!contains(params, name)) raise_key_error(missing(std::string("Params/") + name));
    return item(params, name);
  }
};

// The function code of a motor function for the drive's family; KeyError
// for a name that is not one.
int motor_function(const Device& device, nb::handle func_enum_name);

// The IO module's output start byte, or nullopt when it has none to write to.
std::optional<nb::object> output_start(nb::handle self, const Device& device);

}  // namespace zarn::py::morvo
