// Shared by the units of the morvo_client extension: small helpers over the
// C API, the action record class and MorvoClient.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/core_errors.hpp"
#include "zarn/base/command_gate.hpp"
#include "zarn/client/channels.hpp"
#include "zarn/client/subscription.hpp"
#include "zarn/sim/local.hpp"

namespace zarn::py::morvo {

namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Small helpers over the C API
// ---------------------------------------------------------------------------

inline nb::object steal_or_raise(PyObject* result) {
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

inline std::string_view utf8_view(nb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw nb::python_error();
  return {data, static_cast<std::size_t>(size)};
}

inline std::string type_of(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

// Raises Python's struct.error, as the shared translator does for the
// core's format errors.
[[noreturn]] inline void raise_struct_error(const std::string& message) {
  zarn::py::set_struct_error(message.c_str());
  throw nb::python_error();
}

// Re-raises a pending ValueError, TypeError or OverflowError as the same kind
// with `context` in front, so that the user sees which field was at fault.
// Other exceptions pass unchanged.
[[noreturn]] inline void reraise_with_context(nb::python_error& error, const std::string& context) {
  for (PyObject* kind : {PyExc_ValueError, PyExc_TypeError, PyExc_OverflowError}) {
    if (error.type().is(kind)) {
      nb::str original = nb::str(error.value());
      nb::raise_from(error, kind, "%s: %s", context.c_str(), original.c_str());
    }
  }
  throw std::move(error);
}

// Prints one line through Python's print, so it goes to sys.stdout.
inline void print_line(const std::string& text) {
  nb::module_::import_("builtins").attr("print")(nb::str(text.data(), text.size()));
}

inline std::string repr_of(nb::handle obj) { return nb::repr(obj).c_str(); }

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

struct KVTAction {
  nb::object module_id;
  nb::object func_id;
  nb::object arg_list;
  nb::object dep_list;
  nb::object cmd_id;
};

nb::bytes get_transmit_data(const KVTAction& action);
nb::list unpack_struct_helper(nb::handle datatype, nb::handle data);

// ---------------------------------------------------------------------------
// MorvoClient
// ---------------------------------------------------------------------------

// The configuration read when none is named.
inline constexpr const char* kDefaultConfigPath = "/opt/kvt/configs/handler_settings.yaml";

// The recursive device search behind getMorvoDict (getMorvoDictHelper): the
// map of the device whose MorvoID is `target` in `data`, starting from a copy
// of `base` with the keys of the path that led to it.
nb::dict search_devices(nb::handle data, nb::handle target, nb::handle base);

struct MorvoClient {
  // Construction order: ports, status flags (kept by the request channels),
  // server address, configuration fields; then the configuration is loaded
  // and decoded, and the channels are opened.
  int action_dequeue_sub_port = 5001;
  int action_enqueue_req_port = 5002;
  int logger_req_port = 5003;
  nb::object server_address = nb::none();
  nb::object config_fp = nb::none();
  nb::object config_data = nb::none();
  nb::object module_data_map = nb::none();
  nb::object input_start_byte = nb::none();
  nb::object output_start_byte = nb::none();
  // MorvoID (as an integer) of each IO module to its position in slot order,
  // so that IO commands find a module's own entry among the start bytes.
  nb::object io_positions = nb::none();

  // Request channels and result subscription.
  std::shared_ptr<zarn::client::MessagingContext> messaging;
  nb::object context = nb::none();  // the ZmqContext that shares `messaging`
  std::unique_ptr<zarn::client::RequestChannels> channels;
  std::unique_ptr<zarn::client::CommandIds> ids;
  nb::object count_lock = nb::none();
  nb::object enqueue_lock = nb::none();
  nb::object logger_lock = nb::none();
  // Seconds a blocking call waits for a first result once its records are
  // sent; none for no bound.
  std::optional<double> result_timeout = 60.0;
  zarn::client::CallRegistry calls;
  // When set, every action record passes this gate while it is sent; one it
  // refuses is not sent (kRefusedByGate).
  std::shared_ptr<zarn::CommandGate> gate;
  // When set, requests go to this in-process controller instead of the
  // service (an estimate on simulated time).
  std::shared_ptr<zarn::sim::LocalController> local;

  MorvoClient(nb::object config_file_path, nb::object server)
      : server_address(std::move(server)),
        config_fp(std::move(config_file_path)),
        config_data(nb::none()),
        module_data_map(nb::dict()),
        io_positions(nb::dict()) {
    load_config();
    decode_io_config();
    open_channels();
  }
  ~MorvoClient();
  MorvoClient(const MorvoClient&) = delete;
  MorvoClient& operator=(const MorvoClient&) = delete;

  void load_config();
  void decode_io_config();
  nb::object get_morvo_dict(nb::handle target);
  // The position in slot order of the IO module whose device map this is,
  // when decode_io_config saw it among the modules.
  std::optional<std::size_t> io_slot_position(nb::handle device_map) const;

  // Constructor steps 7 to 11: messaging context, request sockets, command
  // id prefix and counter, locks.
  void open_channels();
  // Keeps the result channel subscribed to every id the client gives out
  // under its present prefix, so that a first blocking call finds the
  // subscription in place.
  void subscribe_to_own_ids();
  // "tcp://%s:%i" of server_address and `port`, as Python formats it.
  std::string endpoint(int port) const;

 private:
  void warn_load_failure(const std::string& reason) {
    print_line("[Warning] Filed to load config file at " + std::string(nb::str(config_fp).c_str()) +
               ", because " + reason);
  }
  std::string config_name() const { return "configuration " + repr_of(config_fp); }
  nb::object io_module_list();
  nb::object module_item(nb::handle entry, std::size_t position, const char* key);
};

// --- the ways out, shared by the client's commands and the machine link ------

// The next command id; waits for the counter's lock with the interpreter
// lock released.
std::string next_command_id(MorvoClient& self);

// Sends one packed action record through the client's gate and its action
// channel: the reply's result field, -3 when the exchange failed, or
// kRefusedByGate when the gate did not let it through.
nb::object send_packed(MorvoClient& self, std::string_view record, int function_code);

// A blocking call around `send`: starts the receiving thread for `topics`,
// lets `send` put its records out (it answers 1, or the status that ends
// the call), then waits for the target's result as receive_dequeue_action
// does and answers what it answers.
nb::object blocking_call(MorvoClient& self, nb::handle target, nb::handle topics,
                         const std::function<nb::object(const zarn::client::Receiver&)>& send);

// Adds the request channels, the result subscription and their classes.
void bind_channels(nb::module_& m, nb::class_<MorvoClient>& client);
// Adds the conditions, motor commands and IO commands, and the unit
// conversion they use (to_controller_units, to_user_units).
void bind_commands(nb::module_& m, nb::class_<MorvoClient>& client);
// Adds MachineLink, the machine layer's way to the controller.
void bind_machine_link(nb::module_& m);
// Adds LocalController, LocalFlag and the client's attach_local.
void bind_local_controller(nb::module_& m, nb::class_<MorvoClient>& client);

}  // namespace zarn::py::morvo
