// The block kinds of a compiled script: StandardBlock (a plain sequence),
// RunExceptBlock (a guarded sequence), AsyncBlock (a parallel group) and
// CompeteBlock (a competing group). Each is a subclass of ZarnBlock, made
// here with methods written in C++, and can itself be subclassed in Python.

#include <nanobind/nanobind.h>

#include <string>

#include "common/abstract_base.hpp"
#include "common/core_errors.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// Objects of the other modules, looked up at import.
struct Imports {
  PyObject* block_type = nullptr;  // ZarnBlock
  PyObject* guard_type = nullptr;  // ZarnGuard
  PyObject* make_group = nullptr;
  PyObject* resolve_group = nullptr;
  PyObject* copy_structure = nullptr;
  PyObject* group_rounds = nullptr;
  PyObject* concat_rounds = nullptr;
  PyObject* copy_exception_part = nullptr;
  PyObject* guard_items = nullptr;
};
Imports imports;

nb::handle h(PyObject* object) { return object; }

nb::object base_init() { return h(imports.block_type).attr("__init__"); }

void setup(nb::handle self, nb::kwargs) {
  // Set by global resolution when the block hands its chain over.
  nb::setattr(self, "tmp_async_block", nb::none());
  nb::setattr(self, "tmp_compete_block", nb::none());
}

nb::object copy_structure(nb::handle self) { return h(imports.copy_structure)(self); }

// A priority given to this very block travels with its copies.
nb::object carry_priority(nb::handle from, nb::object to) {
  nb::object own = nb::steal(PyObject_GenericGetDict(from.ptr(), nullptr));
  if (!own.is_valid()) {
    PyErr_Clear();
    return to;
  }
  if (PyDict_GetItemString(own.ptr(), "priority") != nullptr) {
    nb::setattr(to, "priority", from.attr("priority"));
  }
  return to;
}

nb::handle kind_of(nb::handle self) { return reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())); }

// --- RunExceptBlock ----------------------------------------------------------------

void init_guarded(nb::handle self, nb::object exception, nb::object identifier,
                  nb::kwargs settings) {
  // Before the base construction, so that a kind's setup sees them.
  nb::setattr(self, "exception", exception);
  nb::setattr(self, "guard", h(imports.guard_type)(exception));
  base_init()(self, identifier, **settings);
}

void add_guarded(nb::handle self, nb::handle item) {
  nb::object sequence = self.attr("action_seq");
  Py_ssize_t before = PyObject_Length(sequence.ptr());
  if (before < 0) throw nb::python_error();
  auto guard_new_items = [&] { h(imports.guard_items)(sequence, before, self.attr("guard")); };
  try {
    h(imports.block_type).attr("add")(self, item);
  } catch (...) {
    // What was appended before a failure is guarded all the same.
    guard_new_items();
    throw;
  }
  guard_new_items();
}

nb::object blank_guarded(nb::handle self) {
  nb::object exception = h(imports.copy_exception_part)(self.attr("exception"));
  return carry_priority(self, kind_of(self)(exception, "identifier"_a = self.attr("id")));
}

// --- groups ---------------------------------------------------------------------------

void init_group(nb::handle self, const char* kind, nb::object blocks, nb::object identifier,
                nb::kwargs settings) {
  base_init()(self, identifier, **settings);
  h(imports.make_group)(self, kind, blocks);
}

nb::object blank_group(nb::handle self) {
  return carry_priority(self, kind_of(self)(nb::list(), "identifier"_a = self.attr("id")));
}

template <typename Function, typename... Extra>
nb::object method(const char* name, Function&& function, const Extra&... extra) {
  return nb::cpp_function(std::forward<Function>(function), nb::is_method(), nb::name(name),
                          extra...);
}

nb::object make_kind(nb::module_& m, const char* name, const char* doc, nb::dict ns) {
  ns["__module__"] = "Zarn.blocks";
  ns["__qualname__"] = name;
  ns["__doc__"] = doc;
  nb::handle base = imports.block_type;
  nb::handle metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.ptr()));
  nb::object kind = metaclass(name, nb::make_tuple(base), ns);
  m.attr(name) = kind;
  return kind;
}

}  // namespace

NB_MODULE(blocks, m) {
  m.doc() = "The block kinds of a compiled ZARN script.";
  zarn::py::register_core_error_translator();
  using zarn::py::import_attr;
  imports.block_type = import_attr("Zarn._zarnblock", "ZarnBlock");
  imports.guard_type = import_attr("Zarn._zarnblock", "ZarnGuard");
  imports.make_group = import_attr("Zarn._zarnblock", "_make_group");
  imports.resolve_group = import_attr("Zarn._zarnblock", "_resolve_group");
  imports.copy_structure = import_attr("Zarn._zarnblock", "_copy_structure");
  imports.group_rounds = import_attr("Zarn._zarnblock", "_group_rounds");
  imports.concat_rounds = import_attr("Zarn._zarnblock", "_concat_rounds");
  imports.copy_exception_part = import_attr("Zarn._zarnblock", "_copy_exception_part");
  imports.guard_items = import_attr("Zarn._zarnblock", "_guard_items");

  nb::module_ priorities = nb::module_::import_("Zarn._zarnpq");
  m.attr("ZarnPriority") = priorities.attr("ZarnPriority");
  m.attr("ZarnPriorityQueue") = priorities.attr("ZarnPriorityQueue");
  nb::object normal = priorities.attr("ZarnPriority").attr("NORMAL");

  auto common = [&](bool parallel, bool competing) {
    nb::dict ns;
    ns["isAsync"] = nb::bool_(parallel);
    ns["isCompete"] = nb::bool_(competing);
    ns["priority"] = normal;
    ns["setup"] = method("setup", &setup, nb::arg("settings"));
    ns["async_copy"] = method("async_copy", &copy_structure);
    ns["compete_copy"] = method("compete_copy", &copy_structure);
    return ns;
  };

  nb::dict standard = common(false, false);
  standard["_blank_copy"] = method("_blank_copy", [](nb::handle self) {
    return carry_priority(self, kind_of(self)("identifier"_a = self.attr("id")));
  });
  nb::object standard_kind =
      make_kind(m, "StandardBlock",
                "A plain sequence of actions of one machine module: StandardBlock() or\n"
                "StandardBlock(identifier=name). Its actions run one after another; the\n"
                "block that follows it starts when its last action has finished.\n"
                "`priority` (a ZarnPriority, NORMAL unless set) counts when the block is a\n"
                "branch of a competing group.",
                standard);
  nb::module_::import_("Zarn._zarnblock").attr("_register_plain_kind")(standard_kind);

  nb::dict guarded = common(false, false);
  guarded["__init__"] = method("__init__", &init_guarded, nb::arg("exception").none(),
                               nb::arg("identifier").none() = nb::none(), nb::arg("settings"));
  guarded["add"] = method("add", &add_guarded, nb::arg("item").none());
  guarded["_blank_copy"] = method("_blank_copy", &blank_guarded);
  make_kind(m, "RunExceptBlock",
            "A guarded sequence (try/except): RunExceptBlock(exception), then filled\n"
            "with add(). Every action added runs under its guard (`guard`, a\n"
            "ZarnGuard whose `exception` is the exception part), wherever it ends\n"
            "up: inserted by name, repeated by a loop, copied. A copy keeps an\n"
            "exception part of its own (a copy of it, when it is a block).",
            guarded);

  nb::dict parallel = common(true, false);
  parallel["__init__"] = method(
      "__init__",
      [](nb::handle self, nb::object blocks, nb::object identifier, nb::kwargs settings) {
        init_group(self, "parallel", blocks, identifier, settings);
      },
      nb::arg("blocks"), nb::arg("identifier").none() = nb::none(), nb::arg("settings"));
  parallel["resolve_parallel"] = method("resolve_parallel", [](nb::handle self) {
    return nb::cast<bool>(h(imports.resolve_group)(self));
  });
  parallel["copy"] = method("copy", &copy_structure);
  parallel["async_evaluate"] =
      method("async_evaluate", [](nb::handle self) { return h(imports.group_rounds)(self); });
  parallel["async_concat"] = method(
      "async_concat",
      [](nb::handle self, nb::handle others) { h(imports.concat_rounds)(self, others); },
      nb::arg("others"));
  parallel["_blank_copy"] = method("_blank_copy", &blank_group);
  make_kind(m, "AsyncBlock",
            "A parallel group: AsyncBlock(blocks). The blocks of each machine module\n"
            "form one branch (in the order given); the branches run at the same\n"
            "time, and whatever follows the group starts when every branch has\n"
            "finished. async_block_map maps each module name to its branch.\n"
            "resolve_parallel() resolves waits across all branches, so a branch may\n"
            "wait for a labelled block of another. async_concat(copies) appends\n"
            "further rounds, which run one after another.",
            parallel);

  nb::dict competing = common(false, true);
  competing["__init__"] = method(
      "__init__",
      [](nb::handle self, nb::object blocks, nb::object identifier, nb::kwargs settings) {
        init_group(self, "compete", blocks, identifier, settings);
      },
      nb::arg("blocks"), nb::arg("identifier").none() = nb::none(), nb::arg("settings"));
  competing["resolve_within_competition"] =
      method("resolve_within_competition",
             [](nb::handle self) { return nb::cast<bool>(h(imports.resolve_group)(self)); });
  competing["copy"] = method("copy", &copy_structure);
  competing["compete_evaluate"] =
      method("compete_evaluate", [](nb::handle self) { return h(imports.group_rounds)(self); });
  competing["compete_concat"] = method(
      "compete_concat",
      [](nb::handle self, nb::handle others) { h(imports.concat_rounds)(self, others); },
      nb::arg("others"));
  competing["_blank_copy"] = method("_blank_copy", &blank_group);
  make_kind(m, "CompeteBlock",
            "A competing group: CompeteBlock(blocks). Its branches contend for one\n"
            "machine module (module_name): they never run at the same time, each\n"
            "runs exactly once, and whenever the module is free the ready branch\n"
            "of highest `priority` goes next, branches of equal priority in the\n"
            "order given. Whatever follows the group starts when every branch has\n"
            "finished. compete_blocks lists the branches.",
            competing);
}
