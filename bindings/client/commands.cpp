// The commands host scripts drive the machine with: conditions, motor
// commands and IO commands. Each builds its action records and sends them
// through the client's own operations (looked up on the instance, so that a
// subclass's override takes part), and answers with the client's sentinel
// results: a command id or a channel status, -2 for a device of the wrong
// kind or a condition that cannot be built.
//
// User values are converted by the core's unit rule (zarn/client/units.hpp),
// the one the simulated controller converts by as well.

#include "zarn/client/commands.hpp"

#include <nanobind/nanobind.h>

#include <climits>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "client/devices.hpp"
#include "client/morvo_client.hpp"
#include "zarn/client/records.hpp"
#include "zarn/client/units.hpp"

namespace zarn::py::morvo {
namespace {

using namespace nb::literals;
namespace rec = zarn::records;

constexpr int kWrongKind = -2;  // also: a condition that cannot be built
constexpr int kAdminFesto = zarn::records::kAdminFestoState;
constexpr int kAdminAkribis = zarn::records::kAdminAkribisState;
constexpr int kPauseBeforeStaticCondition = 2;  // seconds

// Python's int(): a real number truncated toward zero.
nb::object as_int(nb::handle value) { return steal_or_raise(PyNumber_Long(value.ptr())); }

// --- units: the core's rule on Python numbers --------------------------------

// A user value or a factor as the unit rule takes it: a real number
// (TypeError for anything else).
double real_of(nb::handle number) {
  const double real = PyFloat_AsDouble(number.ptr());
  if (real == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return real;
}

// Controller units as a record field takes them: a Python int, made as int()
// makes it (an infinite or NaN value raises as int() raises).
nb::object controller_int(double units) { return steal_or_raise(PyLong_FromDouble(units)); }

// Controller units as a user value: a float, as a true division makes it.
nb::object user_value(nb::handle counts, nb::handle factor) {
  const double controller = real_of(counts);
  const double per_unit = real_of(factor);
  if (per_unit == 0.0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    throw nb::python_error();
  }
  return nb::float_(zarn::units::to_user(controller, per_unit));
}

// What a command sends for a user value (`rate`: a velocity or acceleration,
// which stays -1 when not given; its factor may then be anything).
nb::object controller_value(nb::handle value, nb::handle factor, bool rate) {
  const double user = real_of(value);
  if (!rate) return controller_int(zarn::units::to_controller(user, real_of(factor)));
  const double per_unit = zarn::units::rate_given(user) ? real_of(factor) : 0.0;
  return controller_int(zarn::units::rate_to_controller(user, per_unit));
}

// The caller's list itself (any object, as the caller gave it), or a new one.
nb::object new_list_if_none(nb::handle list) {
  return list.is_none() ? nb::object(nb::list()) : nb::borrow(list);
}

}  // namespace

// --- small helpers over the C API -------------------------------------------

bool contains(nb::handle container, const char* key) {
  nb::str key_obj(key);
  const int found = PySequence_Contains(container.ptr(), key_obj.ptr());
  if (found < 0) throw nb::python_error();
  return found == 1;
}

bool equals(nb::handle value, nb::handle other) {
  const int equal = PyObject_RichCompareBool(value.ptr(), other.ptr(), Py_EQ);
  if (equal < 0) throw nb::python_error();
  return equal == 1;
}

bool truth(nb::handle value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw nb::python_error();
  return result == 1;
}

nb::object item(nb::handle container, const char* key) {
  nb::str key_obj(key);
  return steal_or_raise(PyObject_GetItem(container.ptr(), key_obj.ptr()));
}

[[noreturn]] void raise_key_error(const std::string& message) {
  nb::str text(message.data(), message.size());
  PyErr_SetObject(PyExc_KeyError, text.ptr());
  throw nb::python_error();
}

// The value of member `name` of an enumeration, looked up as Enum[name] does:
// a missing (or non-text) name raises KeyError(name).
int member_value(const rec::Enumeration& enumeration, nb::handle name) {
  if (PyUnicode_Check(name.ptr())) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (data == nullptr) {
      PyErr_Clear();  // not encodable, so no member's name either
    } else if (std::optional<int> value =
                   enumeration.find({data, static_cast<std::size_t>(size)})) {
      return *value;
    }
  }
  PyErr_SetObject(PyExc_KeyError, name.ptr());
  throw nb::python_error();
}

std::string member_names(const rec::Enumeration& enumeration, bool motors_only) {
  std::string names;
  for (const rec::EnumMember& member : enumeration.members) {
    if (motors_only && member.name == "IO_SET_IO") continue;
    if (!names.empty()) names += ", ";
    names += member.name;
  }
  return names;
}

// The module's output start byte, or nullopt when it has none to write to.
std::optional<nb::object> output_start(nb::handle self, const Device& device) {
  nb::object slot_value = device.get("Slot");
  if (!PyIndex_Check(slot_value.ptr())) {
    throw nb::type_error(("the Slot of IO module " + repr_of(device.morvo_id) +
                          " in configuration " + device.configuration() +
                          " is not a whole number: " + repr_of(slot_value))
                             .c_str());
  }
  nb::object slot_number = steal_or_raise(PyNumber_Index(slot_value.ptr()));
  int overflow = 0;
  long long slot = PyLong_AsLongLongAndOverflow(slot_number.ptr(), &overflow);
  if (slot == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow != 0) slot = overflow > 0 ? LLONG_MAX : LLONG_MIN;

  nb::object starts = self.attr("output_start_byte");
  const std::size_t entries = nb::len(starts);
  const std::size_t modules = entries == 0 ? 0 : entries - 1;
  const zarn::commands::OutputEntry entry = zarn::commands::output_entry(
      slot, modules, nb::cast<MorvoClient&>(self).io_slot_position(device.map));
  using Kind = zarn::commands::OutputEntry::Kind;
  if (entry.kind == Kind::NoStartByte) return std::nullopt;
  if (entry.kind == Kind::BeyondModules) {
    const std::string message = "IO module " + repr_of(device.morvo_id) + " is in slot " +
                                repr_of(slot_number) + ", beyond the " + std::to_string(modules) +
                                " IO modules of configuration " + device.configuration();
    throw nb::index_error(message.c_str());
  }
  nb::object start =
      steal_or_raise(PySequence_GetItem(starts.ptr(), static_cast<Py_ssize_t>(entry.index)));
  if (equals(start, nb::int_(-1))) return std::nullopt;
  return start;
}

// The function code of a motor function for the drive's family. IO_SET_IO is
// a code of the Festo family too, but an IO command addressed to a drive's
// slave number would set nothing the caller meant: it is refused as any name
// that is not a motor function.
int motor_function(const Device& device, nb::handle func_enum_name) {
  const rec::Enumeration& family =
      device.akribis() ? rec::akribis_functions() : rec::festo_functions();
  if (!equals(func_enum_name, nb::str("IO_SET_IO"))) {
    try {
      return member_value(family, func_enum_name);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_KeyError)) throw;
    }
  }
  raise_key_error(repr_of(func_enum_name) + " is not a motor function of " + device.kind() +
                  " with MorvoID " + repr_of(device.morvo_id) + "; its functions are " +
                  member_names(family, true));
}

namespace {

// --- conditions -----------------------------------------------------------------

// A condition input the client refuses on its own account; its text follows
// "Invalid Condition Input" like a failure's description.
struct InvalidCondition : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The device id as a whole number, for numbering the device's conditions; a
// real number counts when it is whole. Nullopt, with the reason, otherwise.
std::optional<std::int64_t> condition_device(nb::handle morvo_id, std::string& reason) {
  nb::object number;
  if (PyIndex_Check(morvo_id.ptr())) {
    number = steal_or_raise(PyNumber_Index(morvo_id.ptr()));
  } else if (PyFloat_Check(morvo_id.ptr())) {
    const double real = PyFloat_AS_DOUBLE(morvo_id.ptr());
    if (std::isfinite(real) && real == std::trunc(real)) number = as_int(morvo_id);
  }
  if (!number.is_valid()) {
    reason = "the device id is not a whole number";
    return std::nullopt;
  }
  int overflow = 0;
  const long long device = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (device == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow != 0) {
    reason = "the device's condition ids would not fit the record's 32-bit field";
    return std::nullopt;
  }
  return device;
}

nb::object condition_id(nb::handle morvo_id, nb::handle condition_type_name) {
  const int type_value = member_value(rec::conditions(), condition_type_name);
  std::string reason;
  std::optional<std::int32_t> id;
  if (type_value >= rec::kConditionStart) {
    // The administration states need no device: they are the same for all.
    id = zarn::commands::device_condition_id(0, type_value).id;
  } else if (std::optional<std::int64_t> device = condition_device(morvo_id, reason)) {
    zarn::commands::ConditionId numbered = zarn::commands::device_condition_id(*device, type_value);
    id = numbered.id;
    reason = numbered.refusal;
  }
  if (!id) {
    throw InvalidCondition(": " + std::string(nb::str(condition_type_name).c_str()) +
                           " of device " + repr_of(morvo_id) + " has no condition id: " + reason);
  }
  return nb::int_(*id);
}

// A position condition's number in controller units, not truncated (the
// record truncates it). An integer times an integer factor stays an integer
// in the caller's list.
nb::object scaled_position(nb::handle position, nb::handle factor) {
  const double counts = zarn::units::scaled(real_of(position), real_of(factor));
  if (PyLong_Check(position.ptr()) && PyLong_Check(factor.ptr())) return controller_int(counts);
  return nb::float_(counts);
}

// Converts the arguments in the caller's list, in order: names become their
// MorvoConditionEnum values, numbers of a position condition are scaled by
// the device's DistanceFactor.
void convert_condition_arguments(nb::handle client, nb::handle morvo_id, nb::handle arg_list,
                                 bool distance) {
  for (Py_ssize_t i = 0;; ++i) {
    const Py_ssize_t size = PySequence_Size(arg_list.ptr());
    if (size < 0) throw nb::python_error();
    if (i >= size) return;
    nb::object entry = steal_or_raise(PySequence_GetItem(arg_list.ptr(), i));
    nb::object converted;
    if (PyUnicode_Check(entry.ptr())) {
      converted = nb::int_(member_value(rec::conditions(), entry));
    } else if (distance) {
      Device device(client, morvo_id);
      if (device.empty() || !contains(device.map, "Params") ||
          !contains(item(device.map, "Params"), "DistanceFactor")) {
        throw InvalidCondition(": " +
                               device.missing("Params/DistanceFactor",
                                              " to scale the position " + repr_of(entry) + " by"));
      }
      converted = scaled_position(entry, device.factor("DistanceFactor"));
    } else {
      continue;
    }
    if (PySequence_SetItem(arg_list.ptr(), i, converted.ptr()) != 0) throw nb::python_error();
  }
}

nb::object generate_condition(nb::handle self, nb::handle morvo_id, nb::handle func_id,
                              nb::handle condition_type_name, nb::handle arg_list_in,
                              nb::handle dep_list_in) {
  nb::object arg_list = new_list_if_none(arg_list_in);
  nb::object dep_list = new_list_if_none(dep_list_in);
  const bool distance = equals(condition_type_name, nb::str("MORVO_ID_POS_CONDITION"));
  try {
    nb::object id =
        func_id.is_none() ? condition_id(morvo_id, condition_type_name) : nb::borrow(func_id);
    convert_condition_arguments(self, morvo_id, arg_list, distance);
    nb::object cmd_id = self.attr("generate_func_id")();
    return nb::cast(KVTAction{nb::int_(0), std::move(id), std::move(arg_list), std::move(dep_list),
                              std::move(cmd_id)});
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // Ctrl-C and exits pass
    print_line("Invalid Condition Input" + std::string(nb::str(e.value()).c_str()));
  } catch (const InvalidCondition& e) {
    print_line(std::string("Invalid Condition Input") + e.what());
  }
  return nb::int_(kWrongKind);
}

// Sends one record: its command id once the controller accepted it (result
// 1), else the status; with `block`, the result published for it.
nb::object send_one(nb::handle self, nb::handle record, bool block) {
  nb::object cmd_id = nb::cast<KVTAction&>(record).cmd_id;
  if (block) {
    nb::list actions;
    actions.append(record);
    nb::list topics;
    topics.append(cmd_id);
    return self.attr("receive_dequeue_action")(actions, cmd_id, topics);
  }
  nb::object status = self.attr("enqueue_action")(record);
  if (equals(status, nb::int_(1))) return cmd_id;
  return status;
}

nb::object generate_condition_and_send(nb::handle self, nb::handle morvo_id, nb::handle func_id,
                                       nb::handle condition_type_name, nb::handle arg_list,
                                       nb::handle dep_list, nb::handle block) {
  nb::object record =
      self.attr("generate_condition")(morvo_id, func_id, condition_type_name, arg_list, dep_list);
  if (!nb::isinstance<KVTAction>(record)) return record;
  return send_one(self, record, truth(block));
}

// --- motor commands -----------------------------------------------------------

bool check_motor_helper(nb::handle, nb::handle motor_data) {
  return !contains(motor_data, "IOModule");
}

bool check_io_helper(nb::handle, nb::handle io_data) { return contains(io_data, "IOModule"); }

nb::object generate_motor_action(nb::handle self, nb::handle morvo_id, nb::handle func_enum_name,
                                 nb::handle arg_list_in, nb::handle dep_list_in) {
  nb::object arg_list = new_list_if_none(arg_list_in);
  nb::object dep_list = new_list_if_none(dep_list_in);
  Device device(self, morvo_id);
  if (!truth(self.attr("check_motor_helper")(device.map))) return nb::int_(kWrongKind);
  const int function = motor_function(device, func_enum_name);
  nb::object module_id;
  if (device.akribis()) {
    nb::object axis = device.get("Axis");
    module_id = nb::int_(equals(axis, nb::str("A")) ? 1 : equals(axis, nb::str("B")) ? 2 : 3);
    dep_list.attr("append")(kAdminAkribis);
  } else {
    module_id = device.get("SlaveNo");
    dep_list.attr("append")(kAdminFesto);
  }
  nb::object cmd_id = self.attr("generate_func_id")();
  return nb::cast(KVTAction{std::move(module_id), nb::int_(function), std::move(arg_list),
                            std::move(dep_list), std::move(cmd_id)});
}

nb::object slave_status_condition(nb::handle self, nb::handle morvo_id, const char* state,
                                  nb::handle cmd_id) {
  nb::list args;
  args.append(nb::str(state));
  nb::list deps;
  deps.append(cmd_id);
  return self.attr("generate_condition")(
      morvo_id, "condition_type_name"_a = "MORBO_ID_SLAVE_STATUS_CONDITION", "arg_list"_a = args,
      "dep_list"_a = deps);
}

nb::object motor_action_template(nb::handle self, nb::handle morvo_id, nb::handle func_enum_name,
                                 nb::handle arg_list, nb::handle dep_list, nb::handle block) {
  nb::object record =
      self.attr("generate_motor_action")(morvo_id, func_enum_name, arg_list, dep_list);
  if (!nb::isinstance<KVTAction>(record)) return record;
  if (!truth(block)) return send_one(self, record, false);

  // Waits on the drive's slave status: the motion (or homing) starting, then
  // ending; the static-time condition follows the pause.
  nb::object cmd_id = nb::cast<KVTAction&>(record).cmd_id;
  const bool homing = equals(func_enum_name, nb::str("MOTOR_HOME"));
  // A condition that cannot be built sends nothing at all: the motion would
  // otherwise go out with no way to await its end.
  nb::object first_condition =
      slave_status_condition(self, morvo_id, homing ? "START_HOMING" : "START_MOVING", cmd_id);
  if (!nb::isinstance<KVTAction>(first_condition)) return nb::int_(kWrongKind);
  nb::object block_condition =
      slave_status_condition(self, morvo_id, homing ? "END_HOMING" : "END_MOVING", cmd_id);
  if (!nb::isinstance<KVTAction>(block_condition)) return nb::int_(kWrongKind);
  nb::list static_deps;
  static_deps.append(cmd_id);
  static_deps.append(nb::cast<KVTAction&>(first_condition).cmd_id);
  nb::object static_condition = self.attr("generate_condition")(
      morvo_id, "condition_type_name"_a = "MORVO_ID_STATIC_TIME_CONDITION",
      "arg_list"_a = nb::list(), "dep_list"_a = static_deps);
  if (!nb::isinstance<KVTAction>(static_condition)) return nb::int_(kWrongKind);

  nb::object block_id = nb::cast<KVTAction&>(block_condition).cmd_id;
  nb::list actions;
  actions.append(record);
  actions.append(first_condition);
  actions.append(block_condition);
  actions.append(nb::make_tuple("wait", kPauseBeforeStaticCondition));
  actions.append(static_condition);
  nb::list topics;
  topics.append(block_id);
  topics.append(nb::cast<KVTAction&>(static_condition).cmd_id);
  return self.attr("receive_dequeue_action")(actions, block_id, topics);
}

// The commands without arguments, always sent without waiting.
template <const char* function>
nb::object simple_motor_command(nb::handle self, nb::handle morvo_id, nb::handle dep_list) {
  return self.attr("motor_action_template")(morvo_id, function, nb::list(),
                                            new_list_if_none(dep_list), false);
}

constexpr char kReset[] = "MOTOR_RESET";
constexpr char kEnable[] = "MOTOR_ENABLE";
constexpr char kDisable[] = "MOTOR_DISABLE";
constexpr char kStop[] = "MOTOR_STOP";
constexpr char kMoveAbs[] = "MOTOR_MOVE_ABS";
constexpr char kMoveRel[] = "MOTOR_MOVE_REL";

// A rate in controller units; one not given (-1) needs no factor, so a drive
// without one still takes it.
nb::object rate(const Device& device, nb::handle value, const char* factor) {
  const bool given = zarn::units::rate_given(real_of(value));
  return controller_value(value, given ? device.factor(factor) : nb::none(), true);
}

template <const char* function>
nb::object motor_move(nb::handle self, nb::handle morvo_id, nb::handle distance, nb::handle vel,
                      nb::handle acc, nb::handle deacc, nb::handle dep_list, nb::handle block) {
  nb::object deps = new_list_if_none(dep_list);
  Device device(self, morvo_id);
  nb::list args;
  args.append(controller_value(distance, device.factor("DistanceFactor"), false));
  args.append(rate(device, vel, "SpeedFactor"));
  args.append(rate(device, acc, "AccelerationFactor"));
  args.append(rate(device, deacc, "AccelerationFactor"));
  return self.attr("motor_action_template")(morvo_id, function, args, deps, block);
}

nb::object motor_home(nb::handle self, nb::handle morvo_id, nb::handle homing_method,
                      nb::handle dep_list, nb::handle block) {
  nb::object deps = new_list_if_none(dep_list);
  Device device(self, morvo_id);
  nb::list args;
  args.append(device.homing_method(homing_method));
  return self.attr("motor_action_template")(morvo_id, "MOTOR_HOME", args, deps, block);
}

nb::object motor_monitor(nb::handle self, nb::handle morvo_id) {
  Device device(self, morvo_id);
  if (!truth(self.attr("check_motor_helper")(device.map))) return nb::int_(kWrongKind);
  // Read before asking the logger, so that a device that cannot be read out
  // (an unknown id, a drive without factors) costs no request.
  nb::object factor = device.factor("DistanceFactor");
  nb::object reading = self.attr("get_logger")(
      morvo_id, member_value(rec::data_indices(), nb::str("MORVO_ID_POS_DATA")));
  // A failed exchange answers with its status (-3), not a logged text: it is
  // passed on as the failure it is, never scaled into a position.
  if (!PyUnicode_Check(reading.ptr())) return reading;
  nb::object position;
  try {
    position = as_int(reading);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    const std::string message = "the logged position of device " + repr_of(morvo_id) +
                                " does not read as an integer: " + repr_of(reading);
    nb::raise_from(e, PyExc_ValueError, "%s", message.c_str());
  }
  return user_value(position, factor);
}

// --- IO commands --------------------------------------------------------------

nb::object io_set(nb::handle self, nb::handle morvo_id, nb::handle tgtpin, nb::handle tgtval,
                  nb::handle dep_list_in, nb::handle block) {
  nb::object dep_list = new_list_if_none(dep_list_in);
  Device device(self, morvo_id);
  if (!truth(self.attr("check_io_helper")(device.map))) return nb::int_(kWrongKind);
  const int function = member_value(rec::festo_functions(), nb::str("IO_SET_IO"));
  nb::object coupler = device.get("IOModule");
  if (!contains(coupler, "SlaveNo")) raise_key_error(device.missing("IOModule/SlaveNo"));
  nb::object module_id = item(coupler, "SlaveNo");
  dep_list.attr("append")(kAdminFesto);
  std::optional<nb::object> start = output_start(self, device);
  if (!start) return nb::int_(kWrongKind);
  nb::list args;
  args.append(tgtpin);
  args.append(*start);
  args.append(tgtval);
  nb::object cmd_id = self.attr("generate_func_id")();
  nb::object record = nb::cast(KVTAction{std::move(module_id), nb::int_(function), std::move(args),
                                         std::move(dep_list), std::move(cmd_id)});
  return send_one(self, record, truth(block));
}

nb::object io_monitor(nb::handle self, nb::handle morvo_id, nb::handle datatype) {
  Device device(self, morvo_id);
  if (!truth(self.attr("check_io_helper")(device.map))) return nb::int_(kWrongKind);
  int index;
  try {
    index = member_value(rec::data_indices(), datatype);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_KeyError)) throw;
    raise_key_error(repr_of(datatype) + " is not a kind of logged data; the kinds are " +
                    member_names(rec::data_indices(), false));
  }
  return self.attr("get_logger")(morvo_id, index);
}

}  // namespace

void bind_commands(nb::module_& m, nb::class_<MorvoClient>& client) {
  const nb::object none = nb::none();
  m.def("to_controller_units", &controller_value, "value"_a.none(), "factor"_a.none(),
        "rate"_a = false,
        "A user value in controller units, as the motor commands send it: value times "
        "factor (a drive's Params factor), truncated toward zero, as an int. With rate=True "
        "a value of -1 means \"not given\" and stays -1, whatever the factor.");
  m.def("to_user_units", &user_value, "counts"_a.none(), "factor"_a.none(),
        "Controller units as a user value (a float): counts divided by factor, as "
        "motor_monitor reads a logged position.");
  client
      .def("generate_condition", &generate_condition, "morvo_id"_a.none(),
           "func_id"_a.none() = none, "condition_type_name"_a.none() = "",
           "arg_list"_a.none() = none, "dep_list"_a.none() = none,
           "A condition record of device morvo_id (module 0, the condition id, the converted "
           "arguments), or -2 after printing \"Invalid Condition Input\" and the reason. "
           "Argument names in arg_list become their MorvoConditionEnum values and positions of "
           "a MORVO_ID_POS_CONDITION are scaled by DistanceFactor, in the caller's list.")
      .def("generate_condition_and_send", &generate_condition_and_send, "morvo_id"_a.none(),
           "func_id"_a.none() = none, "condition_type_name"_a.none() = "",
           "arg_list"_a.none() = none, "dep_list"_a.none() = none, "block"_a.none() = false,
           "Builds a condition and enqueues it (its command id once accepted, else the "
           "status), or with block waits for its published result; -2 when it cannot be built.")
      .def("check_motor_helper", &check_motor_helper, "motor_data"_a.none(),
           "True unless the device map is an IO module's.")
      .def("generate_motor_action", &generate_motor_action, "morvo_id"_a.none(),
           "func_enum_name"_a.none(), "arg_list"_a.none() = none, "dep_list"_a.none() = none,
           "The motor record of a function of the drive's family (502 or 503 appended to "
           "dep_list), or -2 for an IO module. Sends nothing.")
      .def("motor_action_template", &motor_action_template, "morvo_id"_a.none(),
           "func_enum_name"_a.none(), "arg_list"_a.none() = none, "dep_list"_a.none() = none,
           "block"_a.none() = false,
           "Builds a motor record and enqueues it (its command id once accepted, else the "
           "status); with block also sends its start, end and static-time conditions and "
           "returns the end condition's result. -2 for an IO module.")
      .def("motor_reset", &simple_motor_command<kReset>, "morvo_id"_a.none(),
           "dep_list"_a.none() = none)
      .def("motor_enable", &simple_motor_command<kEnable>, "morvo_id"_a.none(),
           "dep_list"_a.none() = none)
      .def("motor_disable", &simple_motor_command<kDisable>, "morvo_id"_a.none(),
           "dep_list"_a.none() = none)
      .def("motor_stop", &simple_motor_command<kStop>, "morvo_id"_a.none(),
           "dep_list"_a.none() = none)
      .def("motor_ptp", &motor_move<kMoveAbs>, "morvo_id"_a.none(), "tgtpos"_a.none(),
           "vel"_a.none() = -1, "acc"_a.none() = -1, "deacc"_a.none() = -1,
           "dep_list"_a.none() = none, "block"_a.none() = false,
           "Moves to tgtpos (user units, scaled by the drive's factors and truncated toward "
           "zero; -1 leaves a rate unset).")
      .def("motor_relmv", &motor_move<kMoveRel>, "morvo_id"_a.none(), "relstep"_a.none(),
           "vel"_a.none() = -1, "acc"_a.none() = -1, "deacc"_a.none() = -1,
           "dep_list"_a.none() = none, "block"_a.none() = false, "Moves by relstep.")
      .def("motor_home", &motor_home, "morvo_id"_a.none(), "homing_method"_a.none() = 17,
           "dep_list"_a.none() = none, "block"_a.none() = false,
           "Homes the drive (Akribis drives get method 0 for 17).")
      .def("motor_monitor", &motor_monitor, "morvo_id"_a.none(),
           "The drive's logged position in user units, -2 for an IO module, or the logger's "
           "failure status (-3).")
      .def("check_io_helper", &check_io_helper, "io_data"_a.none(),
           "True if the device map is an IO module's.")
      .def("io_set", &io_set, "morvo_id"_a.none(), "tgtpin"_a.none(), "tgtval"_a.none(),
           "dep_list"_a.none() = none, "block"_a.none() = false,
           "Sets output pin tgtpin of an IO module to tgtval: its command id once accepted "
           "(else the status), with block its published result; -2 for a device that is no IO "
           "module or has no output start byte.")
      .def("io_monitor", &io_monitor, "morvo_id"_a.none(),
           "datatype"_a.none() = "MORVO_ID_INPUT_DATA",
           "The logged data of an IO module as text (MORVO_ID_INPUT_DATA or "
           "MORVO_ID_OUTPUT_DATA), -3 when the logger failed, -2 for a device that is no IO "
           "module.");
}

}  // namespace zarn::py::morvo
