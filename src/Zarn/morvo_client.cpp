// Python face of the controller client: the protocol vocabulary, the action
// record class, and MorvoClient.
//
// Values cross from Python to C++ once, with Python's own conversion rules
// (int(), str()), so that callers get the behaviour they know from Python;
// packing and decoding then run in the plain C++ core.

#include <nanobind/nanobind.h>

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zarn/records.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char* kModuleName = "Zarn.morvo_client";

// ---------------------------------------------------------------------------
// Small helpers over the C API
// ---------------------------------------------------------------------------

nb::object steal_or_raise(PyObject* result) {
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

std::string_view utf8_view(nb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw nb::python_error();
  return {data, static_cast<std::size_t>(size)};
}

std::string type_of(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

// Raises Python's struct.error, the exception that callers who know the
// standard packed-structure module expect for format problems.
[[noreturn]] void raise_struct_error(const std::string& message) {
  nb::object error_type = nb::module_::import_("struct").attr("error");
  PyErr_SetString(error_type.ptr(), message.c_str());
  throw nb::python_error();
}

// Re-raises a pending ValueError, TypeError or OverflowError as the same kind
// with `context` in front, so that the user sees which field was at fault.
// Other exceptions pass unchanged.
[[noreturn]] void reraise_with_context(nb::python_error& error, const std::string& context) {
  for (PyObject* kind : {PyExc_ValueError, PyExc_TypeError, PyExc_OverflowError}) {
    if (error.type().is(kind)) {
      nb::str original = nb::str(error.value());
      nb::raise_from(error, kind, "%s: %s", context.c_str(), original.c_str());
    }
  }
  throw std::move(error);
}

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

// ---------------------------------------------------------------------------
// KVTAction
// ---------------------------------------------------------------------------

struct KVTAction {
  nb::object module_id;
  nb::object func_id;
  nb::object arg_list;
  nb::object dep_list;
  nb::object cmd_id;
};

// The fields hold arbitrary Python objects (the caller's own lists), so an
// action can sit in a reference cycle; the collector must see its fields.
int kvt_action_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  KVTAction* action = nb::inst_ptr<KVTAction>(self);
  Py_VISIT(action->module_id.ptr());
  Py_VISIT(action->func_id.ptr());
  Py_VISIT(action->arg_list.ptr());
  Py_VISIT(action->dep_list.ptr());
  Py_VISIT(action->cmd_id.ptr());
  return 0;
}

int kvt_action_clear(PyObject* self) {
  if (!nb::inst_ready(self)) return 0;
  KVTAction* action = nb::inst_ptr<KVTAction>(self);
  // None rather than null: code that still reaches the object during
  // collection must find readable fields.
  action->module_id = nb::none();
  action->func_id = nb::none();
  action->arg_list = nb::none();
  action->dep_list = nb::none();
  action->cmd_id = nb::none();
  return 0;
}

PyType_Slot kvt_action_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(kvt_action_traverse)},
                                  {Py_tp_clear, reinterpret_cast<void*>(kvt_action_clear)},
                                  {0, nullptr}};

// A list snapshot of a list-like field; a clear TypeError for anything else.
nb::object as_sequence(nb::handle value, const char* field) {
  std::string message =
      std::string("KVTAction.") + field + " must be a list, not " + type_of(value);
  return steal_or_raise(PySequence_Fast(value.ptr(), message.c_str()));
}

nb::bytes get_transmit_data(const KVTAction& action) {
  namespace rec = zarn::records;
  nb::object args = as_sequence(action.arg_list, "arg_list");
  const Py_ssize_t arg_count = PySequence_Fast_GET_SIZE(args.ptr());
  PyObject** arg_items = PySequence_Fast_ITEMS(args.ptr());

  rec::ActionValues values;
  const std::size_t total = 2 + static_cast<std::size_t>(arg_count);
  values.integers.reserve(total);
  // Integers too large even for 64 bits, kept to name them in the message.
  std::vector<std::pair<std::size_t, nb::object>> huge;
  for (std::size_t i = 0; i < total; ++i) {
    if (i >= 2 + rec::kMaxActionArguments) {
      // Never converted: the argument count fails first.
      values.integers.push_back(0);
      continue;
    }
    nb::handle item = i == 0   ? nb::handle(action.module_id)
                      : i == 1 ? nb::handle(action.func_id)
                               : nb::handle(arg_items[i - 2]);
    nb::object number;
    try {
      number = steal_or_raise(PyNumber_Long(item.ptr()));
    } catch (nb::python_error& e) {
      reraise_with_context(e, "cannot pack " + rec::action_field_name(i) + " of the action record");
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow != 0) {
      value = overflow > 0 ? LLONG_MAX : LLONG_MIN;
      huge.emplace_back(i, number);
    }
    values.integers.push_back(value);
  }

  if (!PyUnicode_Check(action.cmd_id.ptr())) {
    throw nb::type_error(
        ("KVTAction.cmd_id must be text (str), not " + type_of(action.cmd_id)).c_str());
  }
  values.cmd_id = std::string(utf8_view(action.cmd_id));

  nb::object deps = as_sequence(action.dep_list, "dep_list");
  const Py_ssize_t dep_count = PySequence_Fast_GET_SIZE(deps.ptr());
  PyObject** dep_items = PySequence_Fast_ITEMS(deps.ptr());
  for (Py_ssize_t i = 0; i < dep_count && i < static_cast<Py_ssize_t>(rec::kActionDependencies);
       ++i) {
    nb::object text = steal_or_raise(PyObject_Str(dep_items[i]));
    values.dependencies.emplace_back(utf8_view(text));
  }

  std::string record;
  try {
    record = rec::pack_action(values);
  } catch (const rec::RangeError& e) {
    for (const auto& [field, number] : huge) {
      if (field == e.field) raise_struct_error(rec::range_message(field, nb::str(number).c_str()));
    }
    raise_struct_error(e.what());
  } catch (const rec::FormatError& e) {
    raise_struct_error(e.what());
  }
  return nb::bytes(record.data(), record.size());
}

// ---------------------------------------------------------------------------
// Record decoding
// ---------------------------------------------------------------------------

nb::list unpack_struct_helper(nb::handle datatype, nb::handle data) {
  namespace rec = zarn::records;
  std::string layout;
  if (PyUnicode_Check(datatype.ptr())) {
    layout = utf8_view(datatype);
  } else if (PyBytes_Check(datatype.ptr())) {
    layout.assign(PyBytes_AS_STRING(datatype.ptr()),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(datatype.ptr())));
  } else {
    throw nb::type_error(
        ("a record layout must be a str or bytes object, not " + type_of(datatype)).c_str());
  }

  Py_buffer view;
  if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
  std::vector<rec::Field> fields;
  try {
    fields = rec::unpack(layout,
                         {static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)});
  } catch (const rec::AsciiError& e) {
    PyBuffer_Release(&view);
    PyObject* error = PyUnicodeDecodeError_Create(
        "ascii", e.bytes.data(), static_cast<Py_ssize_t>(e.bytes.size()),
        static_cast<Py_ssize_t>(e.position), static_cast<Py_ssize_t>(e.position + 1),
        "ordinal not in range(128)");
    if (error == nullptr) throw nb::python_error();
    PyErr_SetObject(PyExc_UnicodeDecodeError, error);
    Py_DECREF(error);
    throw nb::python_error();
  } catch (const rec::FormatError& e) {
    PyBuffer_Release(&view);
    raise_struct_error(e.what());
  }
  PyBuffer_Release(&view);

  nb::list result;
  for (const rec::Field& field : fields) {
    if (const auto* number = std::get_if<std::int32_t>(&field)) {
      result.append(nb::int_(*number));
    } else {
      const std::string& text = std::get<std::string>(field);
      result.append(nb::str(text.data(), text.size()));
    }
  }
  return result;
}

// ---------------------------------------------------------------------------
// MorvoClient
// ---------------------------------------------------------------------------

struct MorvoClient {};

}  // namespace

NB_MODULE(morvo_client, m) {
  namespace rec = zarn::records;
  m.doc() = "Client of the machine's controller service: protocol records and MorvoClient.";

  for (const rec::Enumeration* enumeration : rec::enumerations()) add_enumeration(m, *enumeration);

  m.attr("BLANK_CONDITION") = rec::kBlankCondition;
  m.attr("CONDITION_START") = rec::kConditionStart;
  m.attr("EACH_MORVO_CONDITION_NUM") = rec::kEachMorvoConditionNum;
  m.attr("action_datatype") = nb::str(rec::kActionDatatype.data(), rec::kActionDatatype.size());
  m.attr("log_datatype") = nb::str(rec::kLogDatatype.data(), rec::kLogDatatype.size());

  nb::class_<KVTAction>(m, "KVTAction", nb::type_slots(kvt_action_slots),
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

  nb::class_<MorvoClient>(m, "MorvoClient")
      .def_static("unpack_struct_helper", &unpack_struct_helper, "datatype"_a, "data"_a,
                  "Decodes a received record by its layout into a list of ints and texts.");
}
