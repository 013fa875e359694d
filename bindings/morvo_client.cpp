// Zarn.morvo_client, the Python face of the controller client: the protocol
// vocabulary, the action record class, and MorvoClient. The client's own
// units are in client/: its configuration, its records, its channels and its
// commands.
//
// Values cross from Python to C++ once, with Python's own conversion rules
// (int(), str()), so that callers get the behaviour they know from Python;
// packing and decoding then run in the plain C++ core.

#include "client/morvo_client.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>

#include "common/core_errors.hpp"
#include "common/gc_fields.hpp"
#include "zarn/client/records.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace zarn::py::morvo {
namespace {

constexpr const char* kModuleName = "Zarn.morvo_client";

// ---------------------------------------------------------------------------
// Enumerations and constants
// ---------------------------------------------------------------------------

void add_enumeration(nb::module_& m, const zarn::records::Enumeration& enumeration) {
  nb::list members;
  for (const zarn::records::EnumMember& member : enumeration.members) {
    members.append(nb::make_tuple(nb::str(member.name.data(), member.name.size()), member.value));
  }
  nb::str name(enumeration.name.data(), enumeration.name.size());
  // A real IntEnum: members equal their integers, lookup by name works, and
  // names sharing a value become aliases that are valid names too.
  nb::object cls = nb::module_::import_("enum").attr("IntEnum")(
      name, members, "module"_a = kModuleName, "qualname"_a = name);
  m.attr(name) = cls;
}

}  // namespace

}  // namespace zarn::py::morvo

using namespace zarn::py::morvo;

NB_MODULE(morvo_client, m) {
  namespace rec = zarn::records;
  m.doc() = "Client of the machine's controller service: protocol records and MorvoClient.";
  zarn::py::register_core_error_translator();

  for (const rec::Enumeration* enumeration : rec::enumerations()) add_enumeration(m, *enumeration);

  m.attr("BLANK_CONDITION") = rec::kBlankCondition;
  m.attr("CONDITION_START") = rec::kConditionStart;
  m.attr("EACH_MORVO_CONDITION_NUM") = rec::kEachMorvoConditionNum;
  m.attr("action_datatype") = nb::str(rec::kActionDatatype.data(), rec::kActionDatatype.size());
  m.attr("log_datatype") = nb::str(rec::kLogDatatype.data(), rec::kLogDatatype.size());

  nb::class_<KVTAction>(
      m, "KVTAction",
      nb::type_slots(zarn::py::GcFields<KVTAction, &KVTAction::module_id, &KVTAction::func_id,
                                        &KVTAction::arg_list, &KVTAction::dep_list,
                                        &KVTAction::cmd_id>::slots),
      "One command or condition for the controller service.")
      .def(
          "__init__",
          [](KVTAction* self, nb::object module_id, nb::object func_id, nb::object arg_list,
             nb::object dep_list, nb::object cmd_id) {
            // The caller's lists are kept, not copied: later in-place changes
            // by the caller show in the packed record.
            new (self)
                KVTAction{std::move(module_id), std::move(func_id),
                          arg_list.is_none() ? nb::list() : std::move(arg_list),
                          dep_list.is_none() ? nb::list() : std::move(dep_list), std::move(cmd_id)};
          },
          "module_id"_a.none(), "func_id"_a.none(), "arg_list"_a.none() = nb::none(),
          "dep_list"_a.none() = nb::none(), "cmd_id"_a.none() = "")
      .def_rw("module_id", &KVTAction::module_id, nb::arg().none())
      .def_rw("func_id", &KVTAction::func_id, nb::arg().none())
      .def_rw("arg_list", &KVTAction::arg_list, nb::arg().none())
      .def_rw("dep_list", &KVTAction::dep_list, nb::arg().none())
      .def_rw("cmd_id", &KVTAction::cmd_id, nb::arg().none())
      .def("get_transmit_data", &get_transmit_data,
           "The 216-byte action record of this action (the action is not changed).");

  nb::class_<MorvoClient> client(
      m, "MorvoClient",
      nb::type_slots(
          zarn::py::GcFields<MorvoClient, &MorvoClient::server_address, &MorvoClient::config_fp,
                             &MorvoClient::config_data, &MorvoClient::module_data_map,
                             &MorvoClient::input_start_byte, &MorvoClient::output_start_byte,
                             &MorvoClient::io_positions, &MorvoClient::context,
                             &MorvoClient::count_lock, &MorvoClient::enqueue_lock,
                             &MorvoClient::logger_lock>::slots),
      "The client through which host scripts drive the machine.");
  client
      .def(
          "__init__",
          [](MorvoClient* self, nb::object config_file_path, nb::kwargs kwargs) {
            // Of the keywords only server_address is read; the rest are
            // accepted so that callers may pass settings meant for others.
            nb::object server = kwargs.contains("server_address")
                                    ? nb::object(kwargs["server_address"])
                                    : nb::object(nb::str("localhost"));
            new (self) MorvoClient(std::move(config_file_path), std::move(server));
          },
          "config_file_path"_a.none() = kDefaultConfigPath, "kwargs"_a)
      .def_rw("action_dequeue_sub_port", &MorvoClient::action_dequeue_sub_port)
      .def_rw("action_enqueue_req_port", &MorvoClient::action_enqueue_req_port)
      .def_rw("logger_req_port", &MorvoClient::logger_req_port)
      .def_rw("server_address", &MorvoClient::server_address, nb::arg().none())
      .def_rw("config_fp", &MorvoClient::config_fp, nb::arg().none())
      .def_rw("config_data", &MorvoClient::config_data, nb::arg().none())
      .def_rw("module_data_map", &MorvoClient::module_data_map, nb::arg().none())
      .def_rw("input_start_byte", &MorvoClient::input_start_byte, nb::arg().none())
      .def_rw("output_start_byte", &MorvoClient::output_start_byte, nb::arg().none())
      .def("load_config", &MorvoClient::load_config,
           "Reads config_fp into config_data and takes server_address from it; a failure is "
           "reported as a warning line, never raised.")
      .def("decode_io_config", &MorvoClient::decode_io_config,
           "Computes input_start_byte and output_start_byte from the IO modules in slot order.")
      .def("getMorvoDict", &MorvoClient::get_morvo_dict, "target_morvoID"_a.none(),
           "The device map of a device id (empty when nothing matches), remembered per id.")
      .def(
          "getMorvoDictHelper",
          [](MorvoClient&, nb::handle input_data, nb::handle target, nb::handle input_return_dict) {
            if (!PyDict_Check(input_return_dict.ptr())) {
              throw nb::type_error(
                  ("input_return_dict must be a dict, not " + type_of(input_return_dict)).c_str());
            }
            return search_devices(input_data, target, input_return_dict);
          },
          "input_data"_a.none(), "target_morvoID"_a.none(), "input_return_dict"_a.none(),
          "The recursive device search behind getMorvoDict.")
      .def_static("unpack_struct_helper", &unpack_struct_helper, "datatype"_a, "data"_a,
                  "Decodes a received record by its layout into a list of ints and texts.");

  bind_channels(m, client);
  bind_commands(m, client);
  bind_machine_link(m);
  bind_local_controller(m, client);
}
