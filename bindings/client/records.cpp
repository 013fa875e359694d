// Packing and decoding of the protocol records, the hot path of every
// command: a record is packed for every action sent and decoded for every
// reply and result.

#include "zarn/client/records.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/morvo_client.hpp"

namespace zarn::py::morvo {
namespace {

// ---------------------------------------------------------------------------
// KVTAction
// ---------------------------------------------------------------------------

// A private copy of a list field: conversions below run Python code (int(),
// str()) that could change the caller's list while it is being read.
nb::list list_copy(nb::handle value, const char* field) {
  PyObject* copy = PySequence_List(value.ptr());
  if (copy == nullptr) {
    nb::python_error error;
    if (!error.matches(PyExc_TypeError)) throw std::move(error);
    throw nb::type_error(
        (std::string("KVTAction.") + field + " must be a list, not " + type_of(value)).c_str());
  }
  return nb::steal<nb::list>(copy);
}

// The general packing: every value goes through Python's own int() and str(),
// which may run user code, so both lists are copied first. Raises what those
// conversions raise, with the field named.
nb::bytes pack_with_python_rules(const KVTAction& action) {
  namespace rec = zarn::records;
  nb::list args = list_copy(action.arg_list, "arg_list");
  nb::object module_id = action.module_id;
  nb::object func_id = action.func_id;

  rec::ActionValues values;
  const std::size_t total = 2 + nb::len(args);
  values.integers.reserve(total);
  // Integers too large even for 64 bits, kept to name them in the message.
  std::vector<std::pair<std::size_t, nb::object>> huge;
  for (std::size_t i = 0; i < total; ++i) {
    if (i >= 2 + rec::kMaxActionArguments) {
      // Never converted: the argument count fails first.
      values.integers.push_back(0);
      continue;
    }
    nb::handle item = i == 0 ? nb::handle(module_id) : i == 1 ? nb::handle(func_id) : args[i - 2];
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

  nb::object cmd_id = action.cmd_id;
  if (!PyUnicode_Check(cmd_id.ptr())) {
    throw nb::type_error(("KVTAction.cmd_id must be text (str), not " + type_of(cmd_id)).c_str());
  }
  values.cmd_id = std::string(utf8_view(cmd_id));

  nb::list deps = list_copy(action.dep_list, "dep_list");
  for (std::size_t i = 0; i < nb::len(deps) && i < rec::kActionDependencies; ++i) {
    nb::object text = steal_or_raise(PyObject_Str(deps[i].ptr()));
    values.dependencies.emplace_back(utf8_view(text));
  }

  std::string record;
  try {
    record = rec::pack_action(values);
  } catch (const rec::RangeError& e) {
    // Only here are the exact values known that did not even fit 64 bits;
    // every other format error reaches Python through the shared translator.
    for (const auto& [field, number] : huge) {
      if (field == e.field) raise_struct_error(rec::range_message(field, nb::str(number).c_str()));
    }
    throw;
  }
  return nb::bytes(record.data(), record.size());
}

// --- the hot path -------------------------------------------------------------
//
// Almost every record holds exact ints, floats, short decimal texts and str
// ids. For those, int() and str() run no Python code and cannot fail, so the
// values are read straight from the caller's objects into the bytes object.
// Anything else (subclasses, objects with __int__, values that do not fit,
// unusual texts) takes the general path above, which also reports the errors.

// int() of a plain decimal text: optional sign and up to ten ASCII digits.
bool plain_decimal(PyObject* text, std::int64_t& out) {
  if (!PyUnicode_IS_ASCII(text)) return false;
  const auto* digits = static_cast<const unsigned char*>(PyUnicode_DATA(text));
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  Py_ssize_t i = 0;
  const bool negative = length > 0 && digits[0] == '-';
  if (length > 0 && (digits[0] == '-' || digits[0] == '+')) i = 1;
  if (length - i < 1 || length - i > 10) return false;
  std::int64_t value = 0;
  for (; i < length; ++i) {
    const unsigned d = digits[i] - unsigned{'0'};
    if (d > 9) return false;
    value = value * 10 + d;
  }
  out = negative ? -value : value;
  return true;
}

bool plain_int32(PyObject* value, std::int32_t& out) {
  std::int64_t wide;
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    wide = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) return false;
  } else if (PyFloat_CheckExact(value)) {
    const double real = PyFloat_AS_DOUBLE(value);
    // Truncation toward zero stays in range; NaN fails both tests.
    if (!(real > -2147483649.0 && real < 2147483648.0)) return false;
    out = static_cast<std::int32_t>(real);
    return true;
  } else if (PyBool_Check(value)) {
    out = value == Py_True ? 1 : 0;
    return true;
  } else if (PyUnicode_CheckExact(value)) {
    if (!plain_decimal(value, wide)) return false;
  } else {
    return false;
  }
  if (wide < INT32_MIN || wide > INT32_MAX) return false;
  out = static_cast<std::int32_t>(wide);
  return true;
}

bool plain_utf8(PyObject* text, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();  // the general path raises it again, with its context
    return false;
  }
  out = {data, static_cast<std::size_t>(size)};
  return true;
}

// Digits of exact ints among the dependencies; str() of them is their decimal.
struct DependencyDigits {
  char text[zarn::records::kActionDependencies][24];
};

bool plain_dependency(PyObject* value, char* digits, std::string_view& out) {
  if (PyUnicode_CheckExact(value)) return plain_utf8(value, out);
  if (!PyLong_CheckExact(value)) return false;
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0) return false;
  const auto written = std::to_chars(digits, digits + 24, number);
  out = {digits, static_cast<std::size_t>(written.ptr - digits)};
  return true;
}

}  // namespace

nb::bytes get_transmit_data(const KVTAction& action) {
  namespace rec = zarn::records;
  PyObject* args = action.arg_list.ptr();
  PyObject* deps = action.dep_list.ptr();
  if (!PyList_CheckExact(args) || !PyList_CheckExact(deps) ||
      !PyUnicode_Check(action.cmd_id.ptr())) {
    return pack_with_python_rules(action);
  }
  const Py_ssize_t arg_count = PyList_GET_SIZE(args);
  if (arg_count > static_cast<Py_ssize_t>(rec::kMaxActionArguments)) {
    return pack_with_python_rules(action);
  }
  std::int32_t integers[2 + rec::kMaxActionArguments] = {-1, -1, -1, -1, -1, -1, -1, -1};
  if (!plain_int32(action.module_id.ptr(), integers[0]) ||
      !plain_int32(action.func_id.ptr(), integers[1])) {
    return pack_with_python_rules(action);
  }
  for (Py_ssize_t i = 0; i < arg_count; ++i) {
    if (!plain_int32(PyList_GET_ITEM(args, i), integers[2 + i])) {
      return pack_with_python_rules(action);
    }
  }
  std::string_view cmd_id;
  if (!plain_utf8(action.cmd_id.ptr(), cmd_id)) return pack_with_python_rules(action);
  DependencyDigits digits;
  std::string_view texts[rec::kActionDependencies];
  const auto dep_count = std::min<std::size_t>(static_cast<std::size_t>(PyList_GET_SIZE(deps)),
                                               rec::kActionDependencies);
  for (std::size_t i = 0; i < dep_count; ++i) {
    if (!plain_dependency(PyList_GET_ITEM(deps, static_cast<Py_ssize_t>(i)), digits.text[i],
                          texts[i])) {
      return pack_with_python_rules(action);
    }
  }
  PyObject* record = PyBytes_FromStringAndSize(nullptr, rec::kActionRecordBytes);
  if (record == nullptr) throw nb::python_error();
  rec::write_action_record(PyBytes_AS_STRING(record), integers, cmd_id,
                           std::span(texts, dep_count));
  return nb::steal<nb::bytes>(record);
}

// ---------------------------------------------------------------------------
// Record decoding
// ---------------------------------------------------------------------------

namespace {

// The common text field: ASCII text followed only by zero padding, so the
// text is the bytes before the first zero. Null for anything else.
PyObject* padded_ascii_text(const char* raw, std::size_t width) {
  const void* zero = std::memchr(raw, 0, width);
  const std::size_t length =
      zero == nullptr ? width : static_cast<std::size_t>(static_cast<const char*>(zero) - raw);
  std::uint64_t high = 0;
  std::uint64_t padding = 0;
  std::size_t k = 0;
  for (; k + 8 <= length; k += 8) {
    std::uint64_t word;
    std::memcpy(&word, raw + k, 8);
    high |= word;
  }
  for (; k < length; ++k) high |= static_cast<unsigned char>(raw[k]);
  for (; k + 8 <= width; k += 8) {
    std::uint64_t word;
    std::memcpy(&word, raw + k, 8);
    padding |= word;
  }
  for (; k < width; ++k) padding |= static_cast<unsigned char>(raw[k]);
  if ((high & 0x8080808080808080ULL) != 0 || padding != 0) return nullptr;
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
  if (text != nullptr && length > 0) std::memcpy(PyUnicode_DATA(text), raw, length);
  return text;
}

PyObject* text_field(const char* raw, std::size_t width) {
  if (PyObject* text = padded_ascii_text(raw, width)) return text;
  if (PyErr_Occurred()) return nullptr;
  // A byte outside ASCII throws AsciiError, which the shared translator
  // turns into the UnicodeDecodeError of bytes.decode("ascii").
  std::string kept(width, '\0');
  kept.resize(zarn::records::ascii_text({raw, width}, kept.data()));
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(kept.size()), 127);
  if (text != nullptr && !kept.empty()) std::memcpy(PyUnicode_DATA(text), kept.data(), kept.size());
  return text;
}

}  // namespace

nb::list unpack_struct_helper(nb::handle datatype, nb::handle data) {
  namespace rec = zarn::records;
  std::string_view layout_text;
  if (PyUnicode_Check(datatype.ptr())) {
    layout_text = utf8_view(datatype);
  } else if (PyBytes_Check(datatype.ptr())) {
    layout_text = {PyBytes_AS_STRING(datatype.ptr()),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(datatype.ptr()))};
  } else {
    throw nb::type_error(
        ("a record layout must be a str or bytes object, not " + type_of(datatype)).c_str());
  }

  // Bytes are read in place; any other bytes-like object through its buffer.
  struct Buffer {
    Py_buffer view{};
    bool held = false;
    ~Buffer() {
      if (held) PyBuffer_Release(&view);
    }
  } buffer;
  std::string_view bytes;
  if (PyBytes_CheckExact(data.ptr())) {
    bytes = {PyBytes_AS_STRING(data.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))};
  } else {
    if (PyObject_GetBuffer(data.ptr(), &buffer.view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    buffer.held = true;
    bytes = {static_cast<const char*>(buffer.view.buf), static_cast<std::size_t>(buffer.view.len)};
  }

  // A bad layout or length throws FormatError: struct.error in Python.
  rec::Layout parsed;
  const rec::Layout* layout = rec::protocol_layout(layout_text);
  if (layout == nullptr) {
    parsed = rec::parse_layout(layout_text);
    layout = &parsed;
  }
  rec::check_record_size(*layout, layout_text, bytes.size());

  nb::list result = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(layout->fields)));
  if (!result.is_valid()) throw nb::python_error();
  Py_ssize_t index = 0;
  std::size_t offset = 0;
  for (const rec::LayoutItem& item : layout->items) {
    if (item.kind == 'i') {
      offset = (offset + alignof(std::int32_t) - 1) / alignof(std::int32_t) * alignof(std::int32_t);
      for (std::size_t k = 0; k < item.count; ++k, offset += sizeof(std::int32_t)) {
        std::int32_t value;
        std::memcpy(&value, bytes.data() + offset, sizeof value);
        PyObject* number = PyLong_FromLong(value);
        if (number == nullptr) throw nb::python_error();
        PyList_SET_ITEM(result.ptr(), index++, number);
      }
      continue;
    }
    PyObject* text = text_field(bytes.data() + offset, item.count);
    if (text == nullptr) throw nb::python_error();
    PyList_SET_ITEM(result.ptr(), index++, text);
    offset += item.count;
  }
  return result;
}

}  // namespace zarn::py::morvo
