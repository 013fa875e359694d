// MorvoClient's configuration: the file read into Python objects (the
// configuration tree), the devices found by MorvoID and the IO modules'
// start bytes.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

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
#include "zarn/base/yaml_tree.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace zarn::py::morvo {
namespace {

// ---------------------------------------------------------------------------
// Configuration tree
// ---------------------------------------------------------------------------

// Depth is bounded by the loader's limits, so plain recursion is safe here.
nb::object to_python(const zarn::yaml::Node& node) {
  using Kind = zarn::yaml::Node::Kind;
  switch (node.kind) {
    case Kind::Null:
      return nb::none();
    case Kind::Bool:
      return nb::bool_(node.boolean);
    case Kind::Int:
      if (!node.big_integer.empty()) {
        return steal_or_raise(PyLong_FromString(node.big_integer.c_str(), nullptr, 10));
      }
      return steal_or_raise(PyLong_FromLongLong(node.integer));
    case Kind::Float:
      return steal_or_raise(PyFloat_FromDouble(node.real));
    case Kind::String:
      return steal_or_raise(PyUnicode_DecodeUTF8(
          node.text.data(), static_cast<Py_ssize_t>(node.text.size()), "strict"));
    case Kind::Sequence: {
      nb::list list;
      for (const zarn::yaml::Node& item : node.items) list.append(to_python(item));
      return list;
    }
    case Kind::Map: {
      // Later duplicates replace the value but keep the first key's place,
      // as a Python dict built in document order does.
      nb::dict dict;
      for (const auto& [key, value] : node.entries) dict[to_python(key)] = to_python(value);
      return dict;
    }
  }
  return nb::none();
}

// Keeps recursion over caller-supplied (possibly cyclic or very deep) Python
// data within Python's recursion limit instead of overflowing the C stack.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw nb::python_error();
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Deep copy with copy.deepcopy's semantics (one memo per copy, shared and
// cyclic structure preserved). Plain dicts and lists, all a configuration is
// made of, are copied here; anything else goes to copy.deepcopy with the same
// memo.
class DeepCopier {
 public:
  nb::object copy(nb::handle obj) {
    PyObject* p = obj.ptr();
    if (p == Py_None || PyBool_Check(p) || PyLong_CheckExact(p) || PyFloat_CheckExact(p) ||
        PyUnicode_CheckExact(p) || PyBytes_CheckExact(p)) {
      return nb::borrow(obj);
    }
    nb::object key = steal_or_raise(PyLong_FromVoidPtr(p));
    if (PyObject* done = PyDict_GetItemWithError(memo_.ptr(), key.ptr())) return nb::borrow(done);
    if (PyErr_Occurred()) throw nb::python_error();

    RecursionGuard guard(" while copying a configuration value");
    if (PyDict_CheckExact(p)) {
      nb::dict result;
      memo_[key] = result;
      nb::object items = steal_or_raise(PyDict_Items(p));
      for (nb::handle item : nb::borrow<nb::list>(items)) {
        nb::object k = copy(item[0]);
        nb::object v = copy(item[1]);
        result[k] = v;
      }
      return result;
    }
    if (PyList_CheckExact(p)) {
      nb::list result;
      memo_[key] = result;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p); ++i) {
        result.append(copy(nb::borrow(PyList_GET_ITEM(p, i))));
      }
      return result;
    }
    if (!deepcopy_.is_valid()) deepcopy_ = nb::module_::import_("copy").attr("deepcopy");
    return deepcopy_(obj, memo_);
  }

 private:
  nb::dict memo_;
  nb::object deepcopy_;
};

nb::object deep_copy(nb::handle obj) { return DeepCopier().copy(obj); }

// Where a value sits in the configuration, for messages: kvt_handler/Festo[1].
struct Location {
  struct Step {
    bool list_position;
    nb::object key;  // a map key, or the position in a list
  };
  std::vector<Step> steps;

  std::string text() const {
    std::string out;
    for (const Step& step : steps) {
      if (step.list_position) {
        out += "[" + std::string(nb::str(step.key).c_str()) + "]";
      } else {
        if (!out.empty()) out += "/";
        out += nb::str(step.key).c_str();
      }
    }
    return out.empty() ? "the top of the document" : out;
  }
};

// Python's int() of a device id; anything int() cannot take is a ValueError.
// `what` names the value, `where` (null for none) says where it stands.
nb::object device_id_value(nb::handle value, const char* what, const Location* where) {
  PyObject* number = PyNumber_Long(value.ptr());
  if (number != nullptr) return nb::steal(number);
  nb::python_error error;
  if (!error.matches(PyExc_Exception)) throw std::move(error);
  nb::str original = nb::str(error.value());
  nb::str shown = nb::repr(value);
  const std::string place = where != nullptr ? " at " + where->text() : "";
  nb::raise_from(error, PyExc_ValueError, "%s %s%s is not an integer (%s)", what, shown.c_str(),
                 place.c_str(), original.c_str());
}

// The recursive device search. Its result is that of a search that deep-copies
// the path map at every level; copying only for a match gives the same maps
// without a cost that grows with the square of the document's size.
class DeviceSearch {
 public:
  DeviceSearch(nb::handle target, nb::handle base) : target_(target), base_(base) {}

  nb::dict search(nb::handle data) {
    RecursionGuard guard(" while searching the configuration for a device");
    if (PyList_Check(data.ptr())) {
      nb::dict merged;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.ptr()); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(data.ptr(), i));
        where_.steps.push_back({true, nb::int_(i)});
        nb::dict found = search(item);
        where_.steps.pop_back();
        if (PyDict_Update(merged.ptr(), found.ptr()) != 0) throw nb::python_error();
      }
      return merged;
    }
    if (!PyDict_Check(data.ptr())) return {};

    nb::str id_key("MorvoID");
    const int has_id = PySequence_Contains(data.ptr(), id_key.ptr());
    if (has_id < 0) throw nb::python_error();
    if (has_id == 1) {
      nb::object id_value = steal_or_raise(PyObject_GetItem(data.ptr(), id_key.ptr()));
      nb::object id = device_id_value(id_value, "MorvoID", &where_);
      const int equal = PyObject_RichCompareBool(id.ptr(), target_value().ptr(), Py_EQ);
      if (equal < 0) throw nb::python_error();
      if (equal == 0) return {};
      nb::dict result = device_map();
      if (PyDict_Merge(result.ptr(), data.ptr(), 1) != 0) throw nb::python_error();
      return result;
    }

    nb::dict merged;
    nb::object keys = steal_or_raise(PySequence_List(data.ptr()));
    for (nb::handle key : nb::borrow<nb::list>(keys)) {
      nb::object value = steal_or_raise(PyObject_GetItem(data.ptr(), key.ptr()));
      path_.emplace_back(nb::borrow(key), value);
      where_.steps.push_back({false, nb::borrow(key)});
      nb::dict found = search(value);
      where_.steps.pop_back();
      path_.pop_back();
      if (PyDict_Update(merged.ptr(), found.ptr()) != 0) throw nb::python_error();
    }
    return merged;
  }

 private:
  nb::object target_value() {
    if (!target_int_.is_valid()) target_int_ = device_id_value(target_, "device id", nullptr);
    return target_int_;
  }

  // The starting map, then every key through which the path left a map bound
  // to a deep copy of its value (a later equal key replaces an earlier value
  // in place), each value copied on its own as the level-by-level copies do.
  nb::dict device_map() {
    nb::object start = deep_copy(base_);
    if (!PyDict_Check(start.ptr())) {
      throw nb::type_error("input_return_dict must be a dict");
    }
    nb::dict result = nb::borrow<nb::dict>(start);
    for (const auto& [key, value] : path_) result[key] = deep_copy(value);
    return result;
  }

  nb::handle target_;
  nb::handle base_;
  nb::object target_int_;
  std::vector<std::pair<nb::object, nb::object>> path_;
  Location where_;
};

}  // namespace

// ---------------------------------------------------------------------------
// MorvoClient
// ---------------------------------------------------------------------------

namespace {

// Raises `kind` with `message`, keeping the pending Python error as its cause.
[[noreturn]] void raise_instead(nb::python_error& error, PyObject* kind,
                                const std::string& message) {
  nb::raise_from(error, kind, "%s", message.c_str());
}

}  // namespace

void MorvoClient::load_config() {
  try {
    nb::object path = steal_or_raise(PyOS_FSPath(config_fp.ptr()));
    if (PyUnicode_Check(path.ptr())) path = steal_or_raise(PyUnicode_EncodeFSDefault(path.ptr()));
    std::string file(PyBytes_AS_STRING(path.ptr()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(path.ptr())));
    if (file.find('\0') != std::string::npos) {
      throw nb::value_error("embedded null byte");
    }

    zarn::yaml::Node root;
    bool failed = false;
    std::string failure;
    {
      // Parsing touches no Python object; other threads may run meanwhile.
      nb::gil_scoped_release release;
      try {
        root = zarn::yaml::load_file(file);
      } catch (const std::bad_alloc&) {
        failed = true;
        failure = "the file does not fit in memory";
      } catch (const std::exception& e) {
        failed = true;
        failure = e.what();
      }
    }
    if (failed) {
      warn_load_failure(failure);
      return;
    }
    config_data = to_python(root);
    if (config_data.is_none()) {
      warn_load_failure("the file holds no configuration (its YAML document is empty or null)");
      return;
    }

    nb::str section_key("kvt_handler");
    nb::str address_key("server_address");
    const int has_section = PySequence_Contains(config_data.ptr(), section_key.ptr());
    if (has_section < 0) throw nb::python_error();
    if (has_section == 1) {
      nb::object section = steal_or_raise(PyObject_GetItem(config_data.ptr(), section_key.ptr()));
      const int has_address = PySequence_Contains(section.ptr(), address_key.ptr());
      if (has_address < 0) throw nb::python_error();
      if (has_address == 1) {
        server_address = steal_or_raise(PyObject_GetItem(section.ptr(), address_key.ptr()));
      }
    }
  } catch (nb::python_error& e) {
    // Interrupts and exits are not load failures.
    if (!e.matches(PyExc_Exception)) throw;
    warn_load_failure(nb::str(e.value()).c_str());
  } catch (const std::exception& e) {
    warn_load_failure(e.what());
  }
}

nb::object MorvoClient::io_module_list() {
  static constexpr const char* kPath[] = {"kvt_handler", "IOModule", "Modules"};
  const std::string wanted = config_name() + " has no kvt_handler/IOModule/Modules list";
  if (config_data.is_none()) {
    throw nb::type_error((config_name() +
                          " was not loaded (see the warning printed above), so it has no "
                          "kvt_handler/IOModule/Modules list")
                             .c_str());
  }
  nb::object node = config_data;
  std::string parent = "the document";
  for (const char* key : kPath) {
    nb::str key_obj(key);
    PyObject* next = PyObject_GetItem(node.ptr(), key_obj.ptr());
    if (next == nullptr) {
      nb::python_error error;
      if (error.matches(PyExc_KeyError)) {
        raise_instead(error, PyExc_KeyError, wanted + ": " + parent + " has no key '" + key + "'");
      }
      if (error.matches(PyExc_TypeError)) {
        raise_instead(error, PyExc_TypeError,
                      wanted + ": " + parent + " is of type " + type_of(node) + ", not a map");
      }
      throw std::move(error);
    }
    node = nb::steal(next);
    parent = parent == "the document" ? key : parent + "/" + key;
  }
  return node;
}

nb::object MorvoClient::module_item(nb::handle entry, std::size_t position, const char* key) {
  nb::str key_obj(key);
  PyObject* value = PyObject_GetItem(entry.ptr(), key_obj.ptr());
  if (value != nullptr) return nb::steal(value);
  nb::python_error error;
  std::string module = "IO module " + std::to_string(position) +
                       " of kvt_handler/IOModule/Modules in " + config_name();
  if (PyDict_Check(entry.ptr())) {
    if (PyObject* id = PyDict_GetItemString(entry.ptr(), "MorvoID")) {
      module += " (MorvoID " + repr_of(id) + ")";
    }
  }
  if (error.matches(PyExc_KeyError)) {
    raise_instead(error, PyExc_KeyError, module + " has no '" + key + "'");
  }
  if (error.matches(PyExc_TypeError)) {
    raise_instead(error, PyExc_TypeError, module + " is of type " + type_of(entry) + ", not a map");
  }
  throw std::move(error);
}

void MorvoClient::decode_io_config() {
  nb::object modules = io_module_list();
  if (!PyList_Check(modules.ptr()) && !PyTuple_Check(modules.ptr())) {
    throw nb::type_error(("kvt_handler/IOModule/Modules in " + config_name() + " is of type " +
                          type_of(modules) + ", not a list")
                             .c_str());
  }
  nb::list entries = nb::steal<nb::list>(steal_or_raise(PySequence_List(modules.ptr())).release());
  const std::size_t count = nb::len(entries);

  // Every key is looked up before any is compared, as a key function does.
  nb::list slots;
  for (std::size_t i = 0; i < count; ++i) slots.append(module_item(entries[i], i + 1, "Slot"));
  nb::object order;
  try {
    // Python's own stable sort, so equal slots keep their file order and the
    // comparison rules are Python's.
    nb::module_ builtins = nb::module_::import_("builtins");
    order =
        builtins.attr("sorted")(builtins.attr("range")(count), "key"_a = slots.attr("__getitem__"));
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_TypeError)) throw;
    raise_instead(error, PyExc_TypeError,
                  "the Slot values of the IO modules in " + config_name() +
                      " cannot be ordered: " + nb::str(error.value()).c_str());
  }

  // Later entries of one MorvoID win, as they do in its device map.
  nb::dict positions;
  std::vector<std::size_t> position_of(count);
  std::size_t next_position = 0;
  for (nb::handle index : order) position_of[nb::cast<std::size_t>(index)] = next_position++;
  for (std::size_t i = 0; i < count; ++i) {
    if (!PyDict_Check(entries[i].ptr())) continue;
    PyObject* id = PyDict_GetItemString(entries[i].ptr(), "MorvoID");
    if (id == nullptr) continue;
    PyObject* number = PyNumber_Long(id);
    if (number == nullptr) {
      PyErr_Clear();  // a lookup of this id reports it
      continue;
    }
    positions[nb::steal(number)] = position_of[i];
  }

  nb::list outputs;
  nb::list inputs;
  output_start_byte = outputs;
  input_start_byte = inputs;
  nb::object output_index = nb::int_(0);
  nb::object input_index = nb::int_(0);
  nb::object zero = nb::int_(0);
  struct Image {
    const char* key;
    nb::list& starts;
    nb::object& index;
  };
  for (nb::handle position : order) {
    const auto i = nb::cast<std::size_t>(position);
    nb::handle entry = entries[i];
    for (Image image :
         {Image{"InputBytes", inputs, input_index}, Image{"OutputBytes", outputs, output_index}}) {
      nb::object bytes = module_item(entry, i + 1, image.key);
      const int empty = PyObject_RichCompareBool(bytes.ptr(), zero.ptr(), Py_EQ);
      if (empty < 0) throw nb::python_error();
      if (empty == 1) {
        image.starts.append(-1);
        continue;
      }
      image.starts.append(image.index);
      PyObject* sum = PyNumber_InPlaceAdd(image.index.ptr(), bytes.ptr());
      if (sum == nullptr) {
        nb::python_error error;
        if (!error.matches(PyExc_TypeError)) throw std::move(error);
        raise_instead(error, PyExc_TypeError,
                      std::string(image.key) + " of IO module " + std::to_string(i + 1) +
                          " of kvt_handler/IOModule/Modules in " + config_name() +
                          " is not a byte count: " + repr_of(bytes));
      }
      image.index = nb::steal(sum);
    }
  }
  inputs.append(input_index);
  outputs.append(output_index);
  io_positions = positions;
}

std::optional<std::size_t> MorvoClient::io_slot_position(nb::handle device_map) const {
  if (!PyDict_Check(device_map.ptr()) || !PyDict_Check(io_positions.ptr())) return std::nullopt;
  PyObject* id = PyDict_GetItemString(device_map.ptr(), "MorvoID");
  if (id == nullptr) return std::nullopt;
  PyObject* number = PyNumber_Long(id);
  if (number == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  nb::object key = nb::steal(number);
  PyObject* position = PyDict_GetItemWithError(io_positions.ptr(), key.ptr());
  if (position == nullptr) {
    if (PyErr_Occurred()) throw nb::python_error();
    return std::nullopt;
  }
  return nb::cast<std::size_t>(nb::handle(position));
}

nb::object MorvoClient::get_morvo_dict(nb::handle target) {
  const int known = PySequence_Contains(module_data_map.ptr(), target.ptr());
  if (known < 0) throw nb::python_error();
  if (known == 1) return steal_or_raise(PyObject_GetItem(module_data_map.ptr(), target.ptr()));
  nb::dict start;
  nb::dict found = DeviceSearch(target, start).search(config_data);
  if (PyObject_SetItem(module_data_map.ptr(), target.ptr(), found.ptr()) != 0) {
    throw nb::python_error();
  }
  return found;
}

nb::dict search_devices(nb::handle data, nb::handle target, nb::handle base) {
  return DeviceSearch(target, base).search(data);
}

}  // namespace zarn::py::morvo
