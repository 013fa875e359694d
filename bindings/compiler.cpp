// ZarnSemantics: the semantic actions of the ZARN language. The parser calls
// one method per grammar rule it completes, bottom-up, with the rule's parse
// result; each method returns the value that takes the result's place. The
// methods build identifiers, ask machine modules for actions, build blocks and
// chains of blocks, resolve names, and the start rule returns the block
// declared as "main".
//
// Every check is made in C++, so none of them disappears when Python runs with
// its optimisation flags.
//
// The blocks a rule makes itself are of the engine's own kinds, so the block
// engine works on them directly; a block or action that reaches a rule from
// elsewhere (a rule's result, a declared block, a module's action) may be of
// a user's kind and is called through its Python methods.

#include <nanobind/stl/string.h>

#include <cstddef>
#include <initializer_list>
#include <string>

#include "block_engine/chain.hpp"
#include "block_engine/engine.hpp"
#include "block_engine/groups.hpp"
#include "block_engine/kinds.hpp"
#include "block_engine/resolve.hpp"
#include "common/abstract_base.hpp"
#include "common/core_errors.hpp"
#include "common/gc_fields.hpp"
#include "common/raised.hpp"

namespace nb = nanobind;

namespace {

struct ZarnSemantics {
  // Every declaration seen so far, by name. Only `declaration` writes it;
  // nothing ever removes an entry, so one object serves one script.
  nb::object global_zone;
  // What the names after "@" are looked up in: the registry built when the
  // module was imported, unless the constructor was given another.
  nb::object registry;
};

// Objects of other modules, looked up once at import and kept for the life of
// the interpreter.
struct Imports {
  PyObject* standard_block = nullptr;
  PyObject* async_block = nullptr;
  PyObject* compete_block = nullptr;
  PyObject* run_except_block = nullptr;
  PyObject* zarn_id = nullptr;
  PyObject* priority = nullptr;
  PyObject* parse_node = nullptr;
  PyObject* unknown_operation = nullptr;
  PyObject* lookup_error = nullptr;
  PyObject* print = nullptr;
  PyObject* this_module = nullptr;
  PyObject* identifier_keyword = nullptr;  // ("identifier",), for vectorcall
};
Imports imports;

// Interned names: node entries, and the attributes and methods the rules use.
struct Names {
  PyObject *mod, *ident, *argLeft, *argRight, *status, *tray, *action, *primary, *wait, *dependency,
      *dependLeft, *dependRight, *others, *iterateBlock, *cnt, *exception, *asyncleft, *asyncright,
      *competeleft, *competeright, *priorities;
  PyObject *get, *keys, *id, *replace, *add_dependencies, *isAsync, *isCompete, *tmp_async_block,
      *tmp_compete_block, *copy, *evaluate, *async_block_map, *async_copy, *async_concat,
      *get_local_variables_map, *resolve_local, *module, *name, *io_action, *move_action,
      *tray_action, *priority, *main, *module_registry, *upper, *at_sign, *empty;
};
Names names;

PyObject* intern(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) throw nb::python_error();
  return name;
}

// --- small helpers over the C API ----------------------------------------------------

nb::object checked(PyObject* result) {
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

nb::object attr(nb::handle object, PyObject* name) {
  return checked(PyObject_GetAttr(object.ptr(), name));
}

void set_attr(nb::handle object, PyObject* name, nb::handle value) {
  if (PyObject_SetAttr(object.ptr(), name, value.ptr()) != 0) throw nb::python_error();
}

bool truthy(nb::handle object) {
  const int result = PyObject_IsTrue(object.ptr());
  if (result < 0) throw nb::python_error();
  return result == 1;
}

// `target.name(args...)`, looked up as Python would, so that subclasses and
// kinds written in Python are honoured.
nb::object call_method(nb::handle target, PyObject* name, std::initializer_list<nb::handle> args) {
  PyObject* stack[4] = {target.ptr(), nullptr, nullptr, nullptr};
  std::size_t count = 1;
  for (nb::handle arg : args) stack[count++] = arg.ptr();
  return checked(PyObject_VectorcallMethod(name, stack, count, nullptr));
}

nb::object call(nb::handle callable, std::initializer_list<nb::handle> args) {
  PyObject* stack[3] = {nullptr, nullptr, nullptr};
  std::size_t count = 0;
  for (nb::handle arg : args) stack[count++] = arg.ptr();
  return checked(PyObject_Vectorcall(callable.ptr(), stack, count, nullptr));
}

std::string shown(nb::handle object) {
  PyObject* text = PyObject_Repr(object.ptr());
  if (text == nullptr) {
    PyErr_Clear();
    // Appended piece by piece: GCC 12 misreads "<" + string at -O3 (-Wrestrict).
    std::string fallback("<");
    fallback += zarn::py::kind_name(object);
    fallback += " object>";
    return fallback;
  }
  return nb::cast<std::string>(nb::steal(text));
}

[[noreturn]] void fail_check() {
  // A failed check of the language: an assertion error without message,
  // raised whatever the interpreter's flags.
  PyErr_SetNone(PyExc_AssertionError);
  throw nb::python_error();
}

// Raises `type(message)` with the exception being handled now as its cause.
[[noreturn]] void raise_from_current(PyObject* type, const std::string& message) {
  nb::object cause = zarn::py::take_raised_exception();
  nb::object error = call(type, {nb::str(message.data(), message.size())});
  PyException_SetCause(error.ptr(), cause.release().ptr());
  PyErr_SetObject(type, error.ptr());
  throw nb::python_error();
}

// --- parse nodes ------------------------------------------------------------------------
//
// The parser's own nodes are read as dicts; any other node through the
// protocol the rules rely on (named fields, get, keys), so that hand-made
// nodes and subclasses behave as they define.

bool is_parse_node(nb::handle ast) {
  return Py_TYPE(ast.ptr()) == reinterpret_cast<PyTypeObject*>(imports.parse_node);
}

nb::object entry(nb::handle node, PyObject* key) {
  PyObject* found = PyDict_GetItemWithError(node.ptr(), key);
  if (found == nullptr) {
    if (PyErr_Occurred()) throw nb::python_error();
    return nb::none();
  }
  return nb::borrow(found);
}

// `ast.key`: a named field.
nb::object field(nb::handle ast, PyObject* key) {
  return is_parse_node(ast) ? entry(ast, key) : attr(ast, key);
}

// `ast.get(key, None)`: an optional part.
nb::object optional(nb::handle ast, PyObject* key) {
  return is_parse_node(ast) ? entry(ast, key) : call_method(ast, names.get, {key, Py_None});
}

// `key in ast.keys()`.
bool has_key(nb::handle ast, PyObject* key) {
  int result = 0;
  if (is_parse_node(ast)) {
    result = PyDict_Contains(ast.ptr(), key);
  } else {
    nb::object keys = call_method(ast, names.keys, {});
    result = PySequence_Contains(keys.ptr(), key);
  }
  if (result < 0) throw nb::python_error();
  return result == 1;
}

// --- building blocks ----------------------------------------------------------------------

nb::object standard_block() { return call(imports.standard_block, {}); }

nb::object standard_block_named(nb::handle identifier) {
  PyObject* stack[1] = {identifier.ptr()};
  return checked(PyObject_Vectorcall(imports.standard_block, stack, 0, imports.identifier_keyword));
}

// A one-element list, or the list itself.
nb::object as_list(nb::handle value) {
  if (PyList_Check(value.ptr())) return nb::borrow(value);
  nb::list one;
  one.append(value);
  return one;
}

// An integer count from an integer or from text in base 10.
nb::object as_integer(nb::handle value) {
  if (PyLong_Check(value.ptr())) return nb::borrow(value);
  nb::object base = nb::int_(10);
  return call(reinterpret_cast<PyObject*>(&PyLong_Type), {value, base});
}

long long count_of(nb::handle value) {
  nb::object number = as_integer(value);
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (count == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow > 0) {
    throw nb::value_error(("a loop count of " + shown(number) + " is too large").c_str());
  }
  return overflow < 0 ? -1 : count;
}

// A machine module's operation, or a lookup error that names what is missing.
// A lookup error the object raises itself (a module's own message) passes as
// it is; a plain missing attribute becomes one that is both a LookupError and
// an AttributeError.
nb::object operation_of(nb::handle owner, nb::handle name, const char* statement) {
  PyObject* found = PyObject_GetAttr(owner.ptr(), name.ptr());
  if (found != nullptr) return nb::steal(found);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_LookupError)) {
    throw nb::python_error();
  }
  raise_from_current(imports.unknown_operation, shown(owner) + " has no operation " + shown(name) +
                                                    ", which " + statement + " calls");
}

void give_wait(nb::handle block, nb::handle dependency) {
  nb::object first = zarn::py::first(zarn::py::block_fields(block));
  if (first.is_none()) {
    PyErr_SetString(imports.lookup_error,
                    "the block's sequence is empty: its wait clause has no first item to go to");
    throw nb::python_error();
  }
  call_method(first, names.add_dependencies, {dependency});  // the action kind's own
}

// The priority a competing branch was written with: a ZarnPriority, a name
// such as "HIGH" (any case), or an integer value.
nb::object priority_of(nb::handle written) {
  if (PyUnicode_Check(written.ptr())) {
    nb::object upper = call_method(written, names.upper, {});
    PyObject* found = PyObject_GetItem(imports.priority, upper.ptr());
    if (found == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
      PyErr_Clear();
      throw nb::value_error(
          ("a competing branch's priority is HIGH, NORMAL or LOW, not " + shown(written)).c_str());
    }
    return nb::steal(found);
  }
  if (zarn::py::is_instance(written, imports.priority)) return nb::borrow(written);
  return call(imports.priority, {written});
}

// Gives each branch of a competing group the priority written for it (the
// parser's extra `priorities` entry: one per branch, in the group's order).
void apply_priorities(nb::handle group, nb::handle priorities) {
  const Py_ssize_t branches = PyList_GET_SIZE(group.ptr());
  const Py_ssize_t given = PyObject_Length(priorities.ptr());
  if (given < 0) throw nb::python_error();
  if (given != branches) {
    throw nb::value_error(("a competing group of " + std::to_string(branches) + " branches got " +
                           std::to_string(given) +
                           " priorities; give one per branch (None: " + "NORMAL)")
                              .c_str());
  }
  for (Py_ssize_t i = 0; i < branches; ++i) {
    nb::object written = checked(PySequence_GetItem(priorities.ptr(), i));
    if (written.is_none()) continue;
    set_attr(PyList_GET_ITEM(group.ptr(), i), names.priority, priority_of(written));
  }
}

// --- the semantics object --------------------------------------------------------------

ZarnSemantics& fields(nb::handle self) {
  return zarn::py::base_fields<ZarnSemantics>(self, "a ZarnSemantics", "super().__init__()");
}

// Token rules -------------------------------------------------------------------------------

nb::object number(nb::handle, nb::handle ast) { return as_integer(ast); }

nb::object module_rule(nb::handle self, nb::handle ast) {
  ZarnSemantics& semantics = fields(self);
  nb::object name = call_method(ast, names.replace, {names.at_sign, names.empty});
  return checked(PyObject_GetItem(semantics.registry.ptr(), name.ptr()));
}

nb::object identifier(nb::handle, nb::handle ast) { return call(imports.zarn_id, {ast}); }

nb::object extern_str(nb::handle, nb::handle ast) {
  const Py_ssize_t length = PyObject_Length(ast.ptr());
  if (length < 0) throw nb::python_error();
  if (length < 2) return nb::str("");
  return checked(PySequence_GetSlice(ast.ptr(), 1, length - 1));
}

// Statements --------------------------------------------------------------------------------

nb::object external(nb::handle, nb::handle ast) {
  nb::list arguments;
  nb::object left = optional(ast, names.argLeft);
  if (!left.is_none()) {
    arguments.append(left);
    nb::object right = optional(ast, names.argRight);
    if (!right.is_none()) {
      for (nb::handle item : nb::borrow<nb::list>(as_list(right))) arguments.append(item);
    }
  }
  nb::object instance = checked(PyObject_CallNoArgs(field(ast, names.mod).ptr()));
  nb::object name = attr(field(ast, names.ident), names.id);
  nb::object operation = operation_of(instance, name, "the call");
  nb::object positional = checked(PyList_AsTuple(arguments.ptr()));
  return checked(PyObject_Call(operation.ptr(), positional.ptr(), nullptr));
}

nb::object io(nb::handle, nb::handle ast) {
  nb::object mod = field(ast, names.mod);
  nb::object operation = operation_of(mod, names.io_action, "an io statement");
  nb::object name = attr(field(ast, names.ident), names.id);
  return call(operation, {name, field(ast, names.status)});
}

nb::object move(nb::handle, nb::handle ast) {
  nb::object mod = field(ast, names.mod);
  nb::object operation = operation_of(mod, names.move_action, "a move statement");
  return call(operation, {attr(field(ast, names.ident), names.id)});
}

nb::object transfer(nb::handle, nb::handle ast) {
  nb::object mod = field(ast, names.mod);
  nb::object operation = operation_of(mod, names.tray_action, "a transfer statement");
  nb::object tray = field(ast, names.tray);
  return call(operation, {tray, attr(field(ast, names.ident), names.id)});
}

nb::object declaration(nb::handle self, nb::handle ast) {
  ZarnSemantics& semantics = fields(self);
  nb::object declared = field(ast, names.action);
  nb::object name = attr(field(ast, names.ident), names.id);
  if (PyObject_SetAttr(declared.ptr(), names.id, name.ptr()) != 0) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    raise_from_current(PyExc_TypeError, "the block declared as " + shown(name) + " cannot take " +
                                            "its name: " + shown(declared) +
                                            " has no settable id field");
  }
  if (PyObject_SetItem(semantics.global_zone.ptr(), name.ptr(), declared.ptr()) != 0) {
    throw nb::python_error();
  }
  return declared;
}

nb::object action(nb::handle self, nb::handle) {
  ZarnSemantics& semantics = fields(self);
  nb::object zone = semantics.global_zone;
  nb::object main = PyDict_Check(zone.ptr()) ? entry(zone, names.main)
                                             : call_method(zone, names.get, {names.main, Py_None});
  // The map is shown before the check, so that it is there also when "main"
  // is missing.
  call(imports.print, {zone});
  if (main.is_none()) fail_check();
  return main;
}

// Block constructs -------------------------------------------------------------------------

nb::object block(nb::handle self, nb::handle ast) {
  ZarnSemantics& semantics = fields(self);
  nb::object label = field(ast, names.ident);
  nb::object made = standard_block_named(truthy(label) ? attr(label, names.id) : label);
  zarn::py::add(made, as_list(field(ast, names.primary)));

  if (!optional(ast, names.wait).is_none()) {
    nb::object single = optional(ast, names.dependency);
    if (!single.is_none()) {
      give_wait(made, single);
    } else {
      give_wait(made, field(ast, names.dependLeft));
      nb::object further = field(ast, names.dependRight);
      for (nb::handle item : nb::borrow<nb::list>(as_list(further))) give_wait(made, item);
    }
  }

  zarn::py::set_next(zarn::py::block_fields(made), optional(ast, names.others));
  zarn::py::resolve_global(made, semantics.global_zone);
  if (truthy(attr(made, names.isAsync))) return attr(made, names.tmp_async_block);
  if (truthy(attr(made, names.isCompete))) return attr(made, names.tmp_compete_block);
  if (!zarn::py::is_module_consistent(made)) fail_check();
  return made;
}

nb::object loop(nb::handle, nb::handle ast) {
  nb::object repeated = field(ast, names.iterateBlock);
  const long long count = count_of(field(ast, names.cnt));

  if (truthy(attr(repeated, names.isAsync))) {
    // A group returned as it is would run once whatever the count: refuse a
    // count that asks for fewer rounds, before the group is changed.
    if (count < 1) {
      throw nb::value_error(
          ("a loop over a parallel group needs a count of at least 1, not " + std::to_string(count))
              .c_str());
    }
    nb::object branches = attr(repeated, names.async_block_map);
    nb::object keys = checked(PySequence_List(call_method(branches, names.keys, {}).ptr()));
    for (nb::handle key : nb::borrow<nb::list>(keys)) {
      nb::object branch = checked(PyObject_GetItem(branches.ptr(), key.ptr()));
      nb::object fresh = standard_block();
      zarn::py::add(fresh, call_method(branch, names.evaluate, {}));
      if (PyObject_SetItem(branches.ptr(), key.ptr(), fresh.ptr()) != 0) throw nb::python_error();
    }
    nb::list copies;
    for (long long round = 1; round < count; ++round) {
      if (PyErr_CheckSignals() != 0) throw nb::python_error();
      copies.append(call_method(repeated, names.async_copy, {}));
    }
    call_method(repeated, names.async_concat, {copies});
    return repeated;
  }

  nb::object result = standard_block();
  for (long long round = 0; round < count; ++round) {
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
    zarn::py::add(result, call_method(repeated, names.copy, {}));
  }
  return result;
}

nb::object actionclause(nb::handle, nb::handle ast) {
  nb::object guarded = field(ast, names.primary);
  if (truthy(attr(guarded, names.isAsync)) || truthy(attr(guarded, names.isCompete))) {
    return guarded;
  }
  if (has_key(ast, names.exception)) {
    nb::object result = call(imports.run_except_block, {field(ast, names.exception)});
    zarn::py::add_guarded(result, guarded);
    return result;
  }
  nb::object result = standard_block();
  zarn::py::add(result, guarded);
  return result;
}

// The group list of a parallel or competing group: the right side's blocks,
// then the left block.
nb::object group_list(nb::handle left, nb::handle right) {
  nb::object group = as_list(right);
  if (PyList_Append(group.ptr(), left.ptr()) != 0) throw nb::python_error();
  return group;
}

bool resolve_alone(nb::handle left) {
  nb::object local = call_method(left, names.get_local_variables_map, {});
  return truthy(call_method(left, names.resolve_local, {local}));
}

nb::object asyncblock(nb::handle, nb::handle ast) {
  nb::object left = field(ast, names.asyncleft);
  nb::object right = field(ast, names.asyncright);
  nb::object result;
  bool resolved = false;
  if (truthy(right)) {
    result = call(imports.async_block, {group_list(left, right)});
    resolved = zarn::py::resolve_group(result);
  } else {
    result = left;
    resolved = resolve_alone(result);
  }
  if (!resolved) fail_check();
  return result;
}

nb::object competeblock(nb::handle, nb::handle ast) {
  nb::object left = field(ast, names.competeleft);
  nb::object right = field(ast, names.competeright);
  nb::object result;
  bool resolved = false;
  if (truthy(right)) {
    nb::object group = group_list(left, right);
    nb::object actions = call_method(left, names.evaluate, {});
    nb::object first = checked(PySequence_GetItem(actions.ptr(), 0));
    nb::object module_name = attr(attr(first, names.module), names.name);
    nb::object priorities = optional(ast, names.priorities);
    if (!priorities.is_none()) apply_priorities(group, priorities);
    result = call(imports.compete_block, {group});
    zarn::py::block_fields(result).module_name = module_name;
    resolved = zarn::py::resolve_group(result);
  } else {
    result = left;
    resolved = resolve_alone(result);
  }
  if (!resolved) fail_check();
  return result;
}

void init_semantics(ZarnSemantics* self, nb::object registry) {
  if (registry.is_none()) {
    registry = attr(imports.this_module, names.module_registry);
  }
  new (self) ZarnSemantics{nb::dict(), std::move(registry)};
}

}  // namespace

NB_MODULE(compiler, m) {
  m.doc() =
      "The semantic actions of the ZARN language: ZarnSemantics, and the module\n"
      "registry that the names after \"@\" are looked up in.";
  zarn::py::register_core_error_translator();

  using zarn::py::import_attr;
  const zarn::py::EngineImports& engine = zarn::py::engine();
  imports.standard_block = engine.standard_kind;
  imports.async_block = engine.parallel_kind;
  imports.compete_block = engine.competing_kind;
  imports.run_except_block = engine.guarded_kind;
  imports.priority = import_attr("Zarn._zarnpq", "ZarnPriority");
  imports.zarn_id = import_attr("Zarn._zarnprimitives", "ZarnId");
  imports.parse_node = import_attr("Zarn.lang.nodes", "ParseNode");
  imports.unknown_operation = import_attr("Zarn.errors", "UnknownOperationError");
  imports.lookup_error = import_attr("Zarn.errors", "ZarnLookupError");
  imports.print = import_attr("builtins", "print");
  imports.this_module = m.ptr();
  imports.identifier_keyword = nb::make_tuple("identifier").release().ptr();

  Names& n = names;
  for (auto [slot, text] : std::initializer_list<std::pair<PyObject**, const char*>>{
           {&n.mod, "mod"},
           {&n.ident, "ident"},
           {&n.argLeft, "argLeft"},
           {&n.argRight, "argRight"},
           {&n.status, "status"},
           {&n.tray, "tray"},
           {&n.action, "action"},
           {&n.primary, "primary"},
           {&n.wait, "wait"},
           {&n.dependency, "dependency"},
           {&n.dependLeft, "dependLeft"},
           {&n.dependRight, "dependRight"},
           {&n.others, "others"},
           {&n.iterateBlock, "iterateBlock"},
           {&n.cnt, "cnt"},
           {&n.exception, "exception"},
           {&n.asyncleft, "asyncleft"},
           {&n.asyncright, "asyncright"},
           {&n.competeleft, "competeleft"},
           {&n.competeright, "competeright"},
           {&n.priorities, "priorities"},
           {&n.get, "get"},
           {&n.keys, "keys"},
           {&n.id, "id"},
           {&n.replace, "replace"},
           {&n.add_dependencies, "add_dependencies"},
           {&n.isAsync, "isAsync"},
           {&n.isCompete, "isCompete"},
           {&n.tmp_async_block, "tmp_async_block"},
           {&n.tmp_compete_block, "tmp_compete_block"},
           {&n.copy, "copy"},
           {&n.evaluate, "evaluate"},
           {&n.async_block_map, "async_block_map"},
           {&n.async_copy, "async_copy"},
           {&n.async_concat, "async_concat"},
           {&n.get_local_variables_map, "get_local_variables_map"},
           {&n.resolve_local, "resolve_local"},
           {&n.module, "module"},
           {&n.name, "name"},
           {&n.io_action, "io_action"},
           {&n.move_action, "move_action"},
           {&n.tray_action, "tray_action"},
           {&n.priority, "priority"},
           {&n.main, "main"},
           {&n.module_registry, "module_registry"},
           {&n.upper, "upper"},
           {&n.at_sign, "@"},
           {&n.empty, ""},
       }) {
    *slot = intern(text);
  }

  nb::class_<ZarnSemantics>(
      m, "ZarnSemantics",
      nb::type_slots(zarn::py::GcFields<ZarnSemantics, &ZarnSemantics::global_zone,
                                        &ZarnSemantics::registry>::slots),
      "The semantic actions of the ZARN language, one method per grammar rule.\n\n"
      "A parser calls the method named after each rule it completes with the\n"
      "rule's parse result `ast` (the token text for number, module, identifier\n"
      "and extern_str; a parse node for the others), bottom-up; the method's\n"
      "value takes the result's place. `global_zone` maps every declared name\n"
      "to its block; it only grows, so one object serves one script.\n\n"
      "ZarnSemantics(registry=None): the names after \"@\" are looked up in\n"
      "`registry` (a mapping), by default in Zarn.compiler.module_registry.\n"
      "Subclasses may replace any rule; their __init__ must call\n"
      "super().__init__().")
      .def("__init__", &init_semantics, nb::kw_only(), nb::arg("registry").none() = nb::none())
      .def_prop_rw(
          "global_zone", [](nb::handle self) { return fields(self).global_zone; },
          [](nb::handle self, nb::object value) { fields(self).global_zone = std::move(value); },
          "Every declaration seen so far: name -> block.")
      .def_prop_rw(
          "registry", [](nb::handle self) { return fields(self).registry; },
          [](nb::handle self, nb::object value) { fields(self).registry = std::move(value); },
          "The mapping the names after \"@\" are looked up in.")
      .def("number", &number, nb::arg("ast").none(),
           "An integer: `ast` itself when it is one, else its text in base 10.")
      .def("module", &module_rule, nb::arg("ast").none(),
           "The object the registry binds to the token's name (every \"@\" removed).")
      .def("identifier", &identifier, nb::arg("ast").none(), "A new ZarnId of the text.")
      .def("extern_str", &extern_str, nb::arg("ast").none(),
           "The quoted text without its first and last character.")
      .def("external", &external, nb::arg("ast").none(),
           "mod().<ident.id>(argLeft, *argRight): the module's own operation.")
      .def("io", &io, nb::arg("ast").none(), "mod.io_action(ident.id, status).")
      .def("move", &move, nb::arg("ast").none(), "mod.move_action(ident.id).")
      .def("transfer", &transfer, nb::arg("ast").none(), "mod.tray_action(tray, ident.id).")
      .def("declaration", &declaration, nb::arg("ast").none(),
           "Names the block `action` after `ident` and records it in global_zone.")
      .def("action", &action, nb::arg("ast").none(),
           "The start rule: prints global_zone as one line, then returns the block\n"
           "declared as \"main\" (AssertionError when there is none).")
      .def("block", &block, nb::arg("ast").none(),
           "One statement: a StandardBlock of `primary` labelled `ident`, its wait\n"
           "clause on its first item, followed by `others`, resolved against\n"
           "global_zone; the substitute group when it names a declared group.")
      .def("loop", &loop, nb::arg("ast").none(),
           "`iterateBlock` repeated `cnt` times: a parallel group gets cnt - 1\n"
           "further rounds (a count below 1 is refused with ValueError); any other\n"
           "block is copied cnt times into a new StandardBlock.")
      .def("actionclause", &actionclause, nb::arg("ast").none(),
           "A guarded block: a RunExceptBlock of `primary` when the node has an\n"
           "`exception`, else a StandardBlock; a group is returned as it is.")
      .def("asyncblock", &asyncblock, nb::arg("ast").none(),
           "A parallel group of `asyncright` and then `asyncleft`, resolved across\n"
           "its branches; without a right side, `asyncleft` with its local names\n"
           "resolved.")
      .def("competeblock", &competeblock, nb::arg("ast").none(),
           "A competing group of `competeright` and then `competeleft` for the\n"
           "module of the left block's first action (`priorities`, when given,\n"
           "one per branch in that order); without a right side, `competeleft`\n"
           "with its local names resolved.");

  m.attr("module_registry") = nb::module_::import_("Zarn._zarnmodule").attr("default_registry")();
}
