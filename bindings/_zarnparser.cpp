// Binding of the script parser: reads a script without the interpreter lock,
// then walks the flat tree once, first node to last, calling the semantics
// object's rule methods bottom-up. Neither step recurses over the length of a
// script, so a chain of 20,000 statements costs no stack.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "common/raised.hpp"
#include "zarn/lang/parser.hpp"

namespace nb = nanobind;
namespace zp = zarn::parser;

namespace {

// Objects of the package's Python modules and interned names, looked up once
// at import. They stay referenced for the life of the interpreter.
struct Imports {
  PyObject* parse_node = nullptr;
  PyObject* source_position = nullptr;
  PyObject* syntax_error = nullptr;
  PyObject* compile_error = nullptr;
  PyObject* zarn_id = nullptr;
  PyObject* attr_rule = nullptr;
  PyObject* attr_position = nullptr;
  PyObject* attr_value = nullptr;
  PyObject* attr_source = nullptr;
  PyObject* no_arguments = nullptr;
  std::array<PyObject*, zp::kRuleCount> rule_names{};
  std::array<PyObject*, zp::kKeyCount> key_names{};
};
Imports imports;

PyObject* keep(nb::object object) { return object.release().ptr(); }

nb::object checked(PyObject* result) {
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

// Token texts are known to be UTF-8; a line shown in an error may not be.
nb::object make_text(std::string_view text) {
  return checked(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// (line, column) as a SourcePosition, made without running its Python
// constructor: this happens for every node of the script.
nb::object make_position(zp::Position at) {
  auto* type = reinterpret_cast<PyTypeObject*>(imports.source_position);
  // What tuple.__new__ does for a subclass: the tuple's items live in the
  // instance itself.
  nb::object position = checked(type->tp_alloc(type, 2));
  PyTuple_SET_ITEM(position.ptr(), 0, checked(PyLong_FromUnsignedLong(at.line)).release().ptr());
  PyTuple_SET_ITEM(position.ptr(), 1, checked(PyLong_FromUnsignedLong(at.column)).release().ptr());
  return position;
}

// The script's bytes: a str is encoded (a lone surrogate passes, so that the
// parser's UTF-8 check reports it with its position); bytes are taken as
// they are.
std::string script_bytes(nb::handle text) {
  if (PyUnicode_Check(text.ptr())) {
    nb::object encoded = checked(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
  }
  if (PyObject_CheckBuffer(text.ptr())) {
    Py_buffer view;
    if (PyObject_GetBuffer(text.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    std::string bytes(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return bytes;
  }
  throw nb::type_error(("a script must be text (str) or UTF-8 bytes, not " +
                        nb::cast<std::string>(nb::handle(Py_TYPE(text.ptr())).attr("__name__")))
                           .c_str());
}

[[noreturn]] void raise_object(nb::handle error) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw nb::python_error();
}

[[noreturn]] void raise_syntax_error(const zp::SyntaxError& error, std::string_view source,
                                     nb::handle filename) {
  const zp::Position at = error.position;
  nb::object text = make_text(zp::line_text(source, at.line));
  nb::object exception = nb::handle(imports.syntax_error)(error.what(), filename, at.line,
                                                          at.column, text, at.column + error.width);
  raise_object(exception);
}

std::string describe_exception(nb::handle exception) {
  std::string kind = nb::cast<std::string>(nb::handle(Py_TYPE(exception.ptr())).attr("__name__"));
  PyObject* text = PyObject_Str(exception.ptr());
  if (text == nullptr) {
    PyErr_Clear();
    return kind + ": <the exception's message cannot be shown>";
  }
  nb::object message = nb::steal(text);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(message.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return kind;
  }
  return size == 0 ? kind : kind + ": " + std::string(data, static_cast<std::size_t>(size));
}

struct Walk {
  const zp::Tree& tree;
  std::string_view source;
  nb::handle semantics;
  nb::handle filename;
  nb::handle positions;
  std::array<nb::object, zp::kRuleCount> methods{};

  void find_methods() {
    for (std::size_t rule = 0; rule < zp::kRuleCount; ++rule) {
      PyObject* method = PyObject_GetAttr(semantics.ptr(), imports.rule_names[rule]);
      if (method != nullptr) {
        methods[rule] = nb::steal(method);
      } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
      } else {
        throw nb::python_error();
      }
    }
  }

  // Calls the rule's method. An Exception it raises becomes a ZarnCompileError
  // that names the rule and its place, with the original as its cause; errors
  // that already carry a place, and exits such as KeyboardInterrupt, pass.
  nb::object call(const nb::object& method, const zp::Node& node, nb::object argument) {
    PyObject* result = PyObject_CallOneArg(method.ptr(), argument.ptr());
    if (result != nullptr) return nb::steal(result);
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(imports.syntax_error) ||
        PyErr_ExceptionMatches(imports.compile_error)) {
      throw nb::python_error();
    }
    nb::object original = zarn::py::take_raised_exception();
    const char* rule = zp::kind_name(node.kind);
    const std::string message = describe_exception(original) + " (rule '" + rule + "')";
    nb::object line = make_text(zp::line_text(source, node.position.line));
    nb::object exception = nb::handle(imports.compile_error)(message, filename, node.position.line,
                                                             node.position.column, rule, line);
    PyException_SetCause(exception.ptr(), original.release().ptr());
    raise_object(exception);
  }

  nb::object value_of(std::vector<nb::object>& values, const zp::Entry& entry) {
    if (entry.node == zp::kNoNode) return nb::none();
    return std::move(values[entry.node]);  // every node has one parent
  }

  nb::object build(std::vector<nb::object>& values, const zp::Node& node) {
    if (zp::is_token_rule(node.kind) || node.kind == zp::Kind::Text) {
      nb::object text = make_text(tree.text(node));
      // A script spells its names (positions, labels, blocks) over and
      // over, and actions keep them: one str per name serves them all.
      if (node.kind == zp::Kind::Identifier) {
        PyObject* shared = text.release().ptr();
        PyUnicode_InternInPlace(&shared);
        text = nb::steal(shared);
      }
      return text;
    }
    const auto entries = tree.entries_of(node);
    if (node.kind == zp::Kind::List || node.kind == zp::Kind::Pair) {
      const auto count = static_cast<Py_ssize_t>(entries.size());
      nb::object sequence =
          checked(node.kind == zp::Kind::List ? PyList_New(count) : PyTuple_New(count));
      for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* item = value_of(values, entries[static_cast<std::size_t>(k)]).release().ptr();
        if (node.kind == zp::Kind::List) {
          PyList_SET_ITEM(sequence.ptr(), k, item);
        } else {
          PyTuple_SET_ITEM(sequence.ptr(), k, item);
        }
      }
      return sequence;
    }
    // A ParseNode made the way dict() makes one, without its Python __init__.
    auto* type = reinterpret_cast<PyTypeObject*>(imports.parse_node);
    nb::object parse_node = checked(type->tp_new(type, imports.no_arguments, nullptr));
    const auto rule = static_cast<std::size_t>(node.kind);
    if (PyObject_SetAttr(parse_node.ptr(), imports.attr_rule, imports.rule_names[rule]) != 0 ||
        PyObject_SetAttr(parse_node.ptr(), imports.attr_position,
                         make_position(node.position).ptr()) != 0) {
      throw nb::python_error();
    }
    for (const zp::Entry& entry : entries) {
      nb::object item = value_of(values, entry);
      if (PyDict_SetItem(parse_node.ptr(), imports.key_names[static_cast<std::size_t>(entry.key)],
                         item.ptr()) != 0) {
        throw nb::python_error();
      }
    }
    return parse_node;
  }

  static bool is_name(const nb::object& value) {
    return PyObject_TypeCheck(value.ptr(), reinterpret_cast<PyTypeObject*>(imports.zarn_id));
  }

  // A node a semantics handed back as it was (one without a method for the
  // rule) takes no attributes: no need to try.
  static bool is_parse_node(const nb::object& value) {
    return Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject*>(imports.parse_node);
  }

  static bool is_statement(zp::Kind kind) {
    return kind == zp::Kind::External || kind == zp::Kind::Io || kind == zp::Kind::Move ||
           kind == zp::Kind::Transfer || kind == zp::Kind::WaitUntil ||
           kind == zp::Kind::MoveOffset;
  }

  // A statement's action keeps where it was written (its copies keep it
  // too), so that checks of the whole plan can name the statement; so does a
  // name (a ZarnId), so that a name no block resolves can be shown where it
  // stands without a map of places that would keep every name alive. A value
  // that takes no attributes is left as it is.
  void note_source(const zp::Node& node, const nb::object& value) {
    if (!value.is_valid() || value.is_none()) return;
    if (PyObject_SetAttr(value.ptr(), imports.attr_source, make_position(node.position).ptr()) !=
        0) {
      PyErr_Clear();
    }
  }

  void note_position(const zp::Node& node, const nb::object& value) {
    nb::object position = make_position(node.position);
    if (PyObject_SetAttr(position.ptr(), imports.attr_value, value.ptr()) != 0) {
      throw nb::python_error();
    }
    nb::object key = checked(PyLong_FromVoidPtr(value.ptr()));
    if (PyObject_SetItem(positions.ptr(), key.ptr(), position.ptr()) != 0) throw nb::python_error();
  }

  nb::object run() {
    find_methods();
    std::vector<nb::object> values(tree.nodes.size());
    for (std::size_t index = 0; index < tree.nodes.size(); ++index) {
      const zp::Node& node = tree.nodes[index];
      nb::object value = build(values, node);
      if (zp::is_rule(node.kind)) {
        const nb::object& method = methods[static_cast<std::size_t>(node.kind)];
        if (method.is_valid()) value = call(method, node, std::move(value));
      }
      if (node.kind == zp::Kind::Identifier) {
        if (!positions.is_none()) note_position(node, value);
        if (is_name(value)) note_source(node, value);
      }
      if (is_statement(node.kind) && !is_parse_node(value)) note_source(node, value);
      values[index] = std::move(value);
    }
    return std::move(values.back());
  }
};

nb::object parse(nb::handle text, nb::handle semantics, nb::handle filename, nb::handle positions) {
  const std::string source = script_bytes(text);
  zp::Tree tree;
  try {
    nb::gil_scoped_release release;
    tree = zp::parse(source);
  } catch (const zp::SyntaxError& error) {
    raise_syntax_error(error, source, filename);
  }
  Walk walk{tree, source, semantics, filename, positions};
  return walk.run();
}

nb::object parse_body(nb::handle text, nb::handle semantics, nb::handle filename,
                      nb::handle positions, std::size_t start, std::uint32_t line,
                      std::uint32_t column) {
  const std::string source = script_bytes(text);
  zp::Tree tree;
  try {
    nb::gil_scoped_release release;
    tree = zp::parse_body(source, start, zp::Position{line, column});
  } catch (const zp::SyntaxError& error) {
    raise_syntax_error(error, source, filename);
  }
  Walk walk{tree, source, semantics, filename, positions};
  return walk.run();
}

}  // namespace

NB_MODULE(_zarnparser, m) {
  m.doc() = "The parser of ZARN scripts; use Zarn.parse.";

  nb::module_ parsing = nb::module_::import_("Zarn.lang.nodes");
  nb::module_ errors = nb::module_::import_("Zarn.errors");
  imports.parse_node = keep(parsing.attr("ParseNode"));
  imports.source_position = keep(parsing.attr("SourcePosition"));
  imports.syntax_error = keep(errors.attr("ZarnSyntaxError"));
  imports.compile_error = keep(errors.attr("ZarnCompileError"));
  imports.zarn_id = keep(nb::module_::import_("Zarn._zarnprimitives").attr("ZarnId"));
  imports.attr_rule = keep(nb::str("rule"));
  imports.attr_position = keep(nb::str("position"));
  imports.attr_value = keep(nb::str("value"));
  imports.attr_source = keep(nb::str("source"));
  imports.no_arguments = keep(nb::steal(PyTuple_New(0)));
  nb::object listed = parsing.attr("RULES");
  if (nb::len(listed) != zp::kRuleCount)
    throw nb::import_error("Zarn.lang.nodes.RULES is out of date");
  for (std::size_t rule = 0; rule < zp::kRuleCount; ++rule) {
    PyObject* name = PyUnicode_InternFromString(zp::kind_name(static_cast<zp::Kind>(rule)));
    if (name == nullptr) throw nb::python_error();
    imports.rule_names[rule] = name;
    // The Python side lists the rules for semantics writers; it must name
    // the same methods that are called.
    if (!nb::handle(name).equal(listed[rule])) {
      throw nb::import_error("Zarn.lang.nodes.RULES is out of date");
    }
  }
  for (std::size_t key = 0; key < zp::kKeyCount; ++key) {
    PyObject* name = PyUnicode_InternFromString(zp::key_name(static_cast<zp::Key>(key)));
    if (name == nullptr) throw nb::python_error();
    imports.key_names[key] = name;
  }

  m.def("parse", &parse, nb::arg("text"), nb::arg("semantics").none(), nb::arg("filename").none(),
        nb::arg("positions").none(),
        "parse(text, semantics, filename, positions) -> the start rule's value\n\n"
        "The work of Zarn.parse, which documents it.");
  m.def("parse_body", &parse_body, nb::arg("text"), nb::arg("semantics").none(),
        nb::arg("filename").none(), nb::arg("positions").none(), nb::arg("start"), nb::arg("line"),
        nb::arg("column"),
        "parse_body(text, semantics, filename, positions, start, line, column) -> the body's "
        "value\n\n"
        "The work of Zarn.lang.parsing.parse_body, which documents it.");
}
