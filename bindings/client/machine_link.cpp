// MachineLink: the machine layer's way to the controller. A script's move is
// one call that stays in C++ from the device's configuration to the socket
// (device lookup, unit rule, record, gate, exchange) and one call that
// awaits its end; the client's own commands take a Python call for each of
// those steps, so that a subclass may take part, which a machine needs not.
//
// The link also keeps the client's command ids fresh: a controller takes a
// repeated id for the command that had it before, so the link gives the
// client a prefix of its own when it is made, and a new one before the
// counter wraps.

#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include <cstdint>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "client/devices.hpp"
#include "client/morvo_client.hpp"
#include "zarn/client/commands.hpp"
#include "zarn/client/records.hpp"
#include "zarn/client/units.hpp"

namespace zarn::py::morvo {
namespace {

using namespace nb::literals;
namespace rec = zarn::records;

// Renewed well before the counter wraps at 1000: one operation takes at
// most a few ids, and a pool's width of operations start between checks.
constexpr long long kRenewAt = 800;
// What a result wait on an in-process controller answers when nothing
// simulated could ever publish the result.
constexpr long long kStuck = -7;

[[noreturn]] void raise_error(PyObject* kind, const std::string& message) {
  PyErr_SetString(kind, message.c_str());
  throw nb::python_error();
}

double number_of(nb::handle value) {
  const double real = PyFloat_AsDouble(value.ptr());
  if (real == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return real;
}

// One record, built and packed, ready to go.
struct Packed {
  std::string bytes;
  std::string cmd_id;
  int function = 0;
};

class MachineLink {
 public:
  explicit MachineLink(nb::object client)
      : client_obj_(std::move(client)), client_(&nb::cast<MorvoClient&>(client_obj_)) {
    renew_prefix();
  }

  // [(device, function name, [values], scaled)]: builds and packs every
  // record first, so that a value out of range or a device of the wrong
  // kind sends nothing at all; then sends them in order and answers
  // [(status, command id)] for those it sent, up to the first one not
  // taken (status other than 1).
  nb::list send_all(nb::handle commands) {
    std::vector<Packed> records;
    for (nb::handle command : commands) {
      try {
        records.push_back(motor_record(command[0], nb::cast<std::string>(command[1]), command[2],
                                       nb::cast<bool>(command[3])));
      } catch (nb::python_error& error) {
        // Which device's record could not be built, for the caller's message.
        if (error.matches(PyExc_Exception)) {
          PyObject_SetAttrString(error.value().ptr(), "device", nb::object(command[0]).ptr());
        }
        throw;
      }
    }
    nb::list sent;
    for (const Packed& record : records) {
      nb::object status = send_packed(*client_, record.bytes, record.function);
      sent.append(nb::make_tuple(status, record.cmd_id));
      if (!status.equal(nb::int_(1))) break;
    }
    return sent;
  }

  // Awaits the end of the motion `cmd_id` of a drive: a slave-status
  // condition on `end_state` ("END_MOVING", "END_HOMING") that depends on
  // it. Answers as a blocking condition does: 1, the failure the motion
  // ended with, the received topics when no result came, or a status.
  nb::object await_end(nb::handle device, const std::string& cmd_id, const std::string& end_state) {
    const int status = rec::conditions().find("MORBO_ID_SLAVE_STATUS_CONDITION").value();
    const std::optional<int> state = rec::conditions().find(end_state);
    if (!state) throw nb::value_error(("no slave state " + end_state).c_str());
    const std::int64_t id = nb::cast<std::int64_t>(device);
    const zarn::commands::ConditionId condition = zarn::commands::device_condition_id(id, status);
    if (!condition.id) throw nb::value_error(condition.refusal.c_str());
    rec::ActionValues values;
    values.integers = {0, *condition.id, *state};
    values.cmd_id = next_id();
    values.dependencies = {cmd_id};
    return await_own(pack(values, values.integers[1]));
  }

  // A drive command without arguments ("MOTOR_ENABLE", ...), or any record
  // of send_all's kind, sent and its own result awaited: (result, id).
  std::pair<nb::object, std::string> command(nb::handle device, const std::string& function,
                                             nb::handle values, bool scaled) {
    Packed record = motor_record(device, function, values, scaled);
    return {await_own(record), record.cmd_id};
  }

  // Sets an output pin and awaits its result: (result, id); -2 for an IO
  // module without output bytes.
  std::pair<nb::object, std::string> set_output(nb::handle device, nb::handle pin,
                                                nb::handle value) {
    Device io(client_obj_, device, client_->get_morvo_dict(device));
    check_kind(io, true);
    nb::object coupler = io.get("IOModule");
    if (!contains(coupler, "SlaveNo")) raise_key_error(io.missing("IOModule/SlaveNo"));
    std::optional<nb::object> start = output_start(client_obj_, io);
    if (!start) return {nb::int_(-2), std::string()};
    rec::ActionValues values;
    values.integers = {nb::cast<std::int64_t>(item(coupler, "SlaveNo")),
                       rec::festo_functions().find("IO_SET_IO").value(),
                       nb::cast<std::int64_t>(pin), nb::cast<std::int64_t>(*start),
                       nb::cast<std::int64_t>(value)};
    values.cmd_id = next_id();
    values.dependencies = {std::to_string(rec::kAdminFestoState)};
    Packed record = pack(values, static_cast<int>(values.integers[1]));
    return {await_own(record), record.cmd_id};
  }

 private:
  void check_kind(const Device& device, bool io) const {
    if (device.empty()) {
      raise_error(PyExc_LookupError, "no device of the configuration has this MorvoID");
    }
    if (device.io_module() != io) {
      raise_error(PyExc_TypeError, io ? "the device is a drive, not an IO module"
                                      : "the device is an IO module, not a drive");
    }
  }

  Packed motor_record(nb::handle device_id, const std::string& function_name, nb::handle given,
                      bool scaled) {
    Device device(client_obj_, device_id, client_->get_morvo_dict(device_id));
    check_kind(device, false);
    const int function = motor_function(device, nb::str(function_name.c_str()));
    rec::ActionValues values;
    if (device.akribis()) {
      nb::object axis = device.get("Axis");
      values.integers = {equals(axis, nb::str("A")) ? 1 : equals(axis, nb::str("B")) ? 2 : 3};
      values.dependencies = {std::to_string(rec::kAdminAkribisState)};
    } else {
      values.integers = {nb::cast<std::int64_t>(device.get("SlaveNo"))};
      values.dependencies = {std::to_string(rec::kAdminFestoState)};
    }
    values.integers.push_back(function);
    std::size_t index = 0;
    const bool homing = function_name == "MOTOR_HOME";
    for (nb::handle value : given) {
      double number = number_of(homing ? device.homing_method(value) : nb::borrow(value));
      if (scaled) {
        // A target, then velocity, acceleration and deceleration.
        static const char* const factors[] = {"DistanceFactor", "SpeedFactor", "AccelerationFactor",
                                              "AccelerationFactor"};
        const char* factor = factors[std::min<std::size_t>(index, 3)];
        if (index == 0) {
          number = zarn::units::to_controller(number, number_of(device.factor(factor)));
        } else if (zarn::units::rate_given(number)) {
          number = zarn::units::rate_to_controller(number, number_of(device.factor(factor)));
        }
      }
      if (!(number >= -2147483648.0 && number <= 2147483647.0)) {
        raise_error(PyExc_ValueError, "the " + function_name + " record cannot carry " +
                                          std::to_string(static_cast<long long>(number)) +
                                          " controller units: they do not fit its 32-bit field");
      }
      values.integers.push_back(static_cast<std::int64_t>(number));
      ++index;
    }
    values.cmd_id = next_id();
    return pack(values, function);
  }

  Packed pack(const rec::ActionValues& values, std::int64_t function) {
    return {rec::pack_action(values), values.cmd_id, static_cast<int>(function)};
  }

  nb::object await_own(const Packed& record) {
    if (std::shared_ptr<zarn::sim::LocalController> local = client_->local) {
      return await_local(*local, record);
    }
    nb::str id(record.cmd_id.data(), record.cmd_id.size());
    nb::list topics;
    topics.append(id);
    return blocking_call(*client_, id, topics, [&](const zarn::client::Receiver&) {
      return send_packed(*client_, record.bytes, record.function);
    });
  }

  // The same on an in-process controller: the result is awaited on its
  // simulated clock. A cancel ends the wait as it ends a blocking call (no
  // topics received); a wait that nothing simulated could end answers
  // kStuck.
  nb::object await_local(zarn::sim::LocalController& local, const Packed& record) {
    nb::object status = send_packed(*client_, record.bytes, record.function);
    if (!status.equal(nb::int_(1))) return status;
    zarn::sim::LocalController::Awaited awaited;
    {
      nb::gil_scoped_release release;
      awaited = local.await_result(record.cmd_id);
    }
    using Ending = zarn::sim::LocalController::Ending;
    switch (awaited.ending) {
      case Ending::Published: {
        nb::list fields =
            unpack_struct_helper(nb::str(rec::kActionDatatype.data(), rec::kActionDatatype.size()),
                                 nb::bytes(awaited.record.data(), awaited.record.size()));
        return fields[fields.size() - 1];
      }
      case Ending::Stuck:
        return nb::int_(kStuck);
      case Ending::Cancelled:
      case Ending::Closed:
        break;
    }
    return nb::list();
  }

  std::string next_id() {
    if (client_->ids->count() >= kRenewAt) renew_prefix();
    return next_command_id(*client_);
  }

  // "PC", the present second as %m%d%H%M%S, six random hex digits and "-":
  // at most 23 characters with the counter, well within a record's 36.
  void renew_prefix() {
    zarn::client::CommandIds& ids = *client_->ids;
    std::string fresh;
    do {
      static thread_local std::mt19937 random{std::random_device{}()};
      char digits[8];
      std::snprintf(digits, sizeof digits, "%06x", static_cast<unsigned>(random() & 0xFFFFFFu));
      std::string prefix = zarn::client::CommandIds::prefix_at(std::time(nullptr));
      fresh = prefix + digits + "-";
    } while (!used_.insert(fresh).second);
    {
      nb::gil_scoped_release release;
      zarn::Lock& lock = ids.count_lock();
      lock.acquire();
      used_.insert(ids.prefix());
      ids.set_prefix(fresh);
      ids.set_count(0);
      lock.release();
    }
    client_->subscribe_to_own_ids();
  }

  nb::object client_obj_;
  MorvoClient* client_;
  std::set<std::string> used_;
};

}  // namespace

void bind_machine_link(nb::module_& m) {
  nb::class_<MachineLink>(
      m, "MachineLink",
      "The machine layer's way to the controller through a MorvoClient: each record\n"
      "built, packed and sent in one call, a motion's end awaited in another. Gives\n"
      "the client a command-id prefix of its own, renewed before the counter wraps.")
      .def(nb::init<nb::object>(), "client"_a)
      .def_ro_static("RENEW_AT", &kRenewAt,
                     "The counter at which the link gives the client a new id prefix.")
      .def_ro_static("STUCK", &kStuck,
                     "The result of a wait on an in-process controller that nothing\n"
                     "simulated could ever end.")
      .def("send_all", &MachineLink::send_all, "commands"_a,
           "[(device, function, values, scaled)] -> [(status, command id)]: every\n"
           "record is built first (LookupError, TypeError, KeyError, ValueError when\n"
           "one cannot be), then sent in order up to the first not taken. With\n"
           "scaled, values are a target and rates in user units.")
      .def("await_end", &MachineLink::await_end, "device"_a, "cmd_id"_a, "end_state"_a,
           "The published result of a slave-status condition on end_state that\n"
           "depends on the motion cmd_id.")
      .def("command", &MachineLink::command, "device"_a, "function"_a, "values"_a,
           "scaled"_a = false, "Sends one drive record and awaits its own result: (result, id).")
      .def("set_output", &MachineLink::set_output, "device"_a, "pin"_a, "value"_a,
           "Sets an output and awaits its result: (result, id).");
}

}  // namespace zarn::py::morvo
