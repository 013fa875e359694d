#include "block_engine/kinds.hpp"

#include <utility>

#include "block_engine/chain.hpp"
#include "block_engine/copy.hpp"
#include "block_engine/engine.hpp"
#include "block_engine/groups.hpp"
#include "block_engine/guards.hpp"

namespace zarn::py {

namespace {

using namespace nb::literals;

// The kinds take no settings. (tmp_async_block and tmp_compete_block, which
// global resolution sets on a block that hands its chain over, are None on
// the kind until then, so that a block of a long script takes no dict.)
void setup(nb::handle, nb::kwargs) {}

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

// The kind of a block, called to make a blank copy: a user's subclass makes
// one of its own kind, through its own __init__.
nb::handle kind_of(nb::handle self) { return reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())); }

// --- RunExceptBlock ----------------------------------------------------------------

void init_guarded(nb::handle self, nb::object exception, nb::object identifier,
                  nb::kwargs settings) {
  // Before the base construction, so that a kind's setup sees them.
  nb::setattr(self, "exception", exception);
  nb::setattr(self, "guard", nb::handle(imports.guard_type)(exception));
  construct_block(self, std::move(identifier), settings);
}

nb::object blank_guarded(nb::handle self) {
  nb::object exception = copy_exception_part(self.attr("exception"));
  return carry_priority(self, kind_of(self)(exception, "identifier"_a = self.attr("id")));
}

// --- groups ---------------------------------------------------------------------------

void init_grouped(nb::handle self, GroupKind kind, nb::object blocks, nb::object identifier,
                  nb::kwargs settings) {
  construct_block(self, std::move(identifier), settings);
  init_group(self, kind, blocks);
}

nb::object blank_group(nb::handle self) {
  return carry_priority(self, kind_of(self)(nb::list(), "identifier"_a = self.attr("id")));
}

// --- making the kinds -------------------------------------------------------------------

template <typename Function, typename... Extra>
nb::object method(const char* name, Function&& function, const Extra&... extra) {
  return nb::cpp_function(std::forward<Function>(function), nb::is_method(), nb::name(name),
                          extra...);
}

PyObject* make_kind(const char* name, const char* doc, nb::dict ns) {
  ns["__module__"] = "Zarn.blocks";
  ns["__qualname__"] = name;
  ns["__doc__"] = doc;
  nb::handle base = imports.block_type;
  nb::handle metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.ptr()));
  return metaclass(name, nb::make_tuple(base), ns).release().ptr();
}

}  // namespace

void add_guarded(nb::handle self, nb::handle item) {
  nb::object sequence = block_fields(self).action_seq;
  Py_ssize_t before = PyObject_Length(sequence.ptr());
  if (before < 0) throw nb::python_error();
  auto guard_new_items = [&] { guard_items(sequence, before, self.attr("guard")); };
  try {
    add(self, item);
  } catch (...) {
    // What was appended before a failure is guarded all the same.
    guard_new_items();
    throw;
  }
  guard_new_items();
}

void make_block_kinds() {
  nb::object normal = nb::module_::import_("Zarn._zarnpq").attr("ZarnPriority").attr("NORMAL");

  auto common = [&](bool parallel, bool competing) {
    nb::dict ns;
    ns["isAsync"] = nb::bool_(parallel);
    ns["isCompete"] = nb::bool_(competing);
    ns["priority"] = normal;
    ns["tmp_async_block"] = nb::none();
    ns["tmp_compete_block"] = nb::none();
    ns["setup"] = method("setup", &setup, nb::arg("settings"));
    ns["async_copy"] = method("async_copy", &copy_structure);
    ns["compete_copy"] = method("compete_copy", &copy_structure);
    return ns;
  };

  nb::dict standard = common(false, false);
  standard["_blank_copy"] = method("_blank_copy", [](nb::handle self) {
    return carry_priority(self, kind_of(self)("identifier"_a = self.attr("id")));
  });
  imports.standard_kind =
      make_kind("StandardBlock",
                "A plain sequence of actions of one machine module: StandardBlock() or\n"
                "StandardBlock(identifier=name). Its actions run one after another; the\n"
                "block that follows it starts when its last action has finished.\n"
                "`priority` (a ZarnPriority, NORMAL unless set) counts when the block is a\n"
                "branch of a competing group.",
                standard);

  nb::dict guarded = common(false, false);
  guarded["__init__"] = method("__init__", &init_guarded, nb::arg("exception").none(),
                               nb::arg("identifier").none() = nb::none(), nb::arg("settings"));
  guarded["add"] = method("add", &add_guarded, nb::arg("item").none());
  guarded["_blank_copy"] = method("_blank_copy", &blank_guarded);
  imports.guarded_kind =
      make_kind("RunExceptBlock",
                "A guarded sequence (try/except): RunExceptBlock(exception), then filled\n"
                "with add(). Every action added runs under its guard (`guard`, a\n"
                "ZarnGuard whose `exception` is the exception part), wherever it ends\n"
                "up: inserted by name, repeated by a loop, copied. A copy keeps an\n"
                "exception part of its own (a copy of it, when it is a block).",
                guarded);

  auto resolve = [](nb::handle self) { return resolve_group(self); };
  auto concat = [](nb::handle self, nb::handle others) { concat_rounds(self, others); };

  nb::dict parallel = common(true, false);
  parallel["__init__"] = method(
      "__init__",
      [](nb::handle self, nb::object blocks, nb::object identifier, nb::kwargs settings) {
        init_grouped(self, GroupKind::Parallel, blocks, identifier, settings);
      },
      nb::arg("blocks"), nb::arg("identifier").none() = nb::none(), nb::arg("settings"));
  parallel["resolve_parallel"] = method("resolve_parallel", resolve);
  parallel["copy"] = method("copy", &copy_structure);
  parallel["async_evaluate"] = method("async_evaluate", &group_rounds);
  parallel["async_concat"] = method("async_concat", concat, nb::arg("others"));
  parallel["_blank_copy"] = method("_blank_copy", &blank_group);
  imports.parallel_kind =
      make_kind("AsyncBlock",
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
        init_grouped(self, GroupKind::Compete, blocks, identifier, settings);
      },
      nb::arg("blocks"), nb::arg("identifier").none() = nb::none(), nb::arg("settings"));
  competing["resolve_within_competition"] = method("resolve_within_competition", resolve);
  competing["copy"] = method("copy", &copy_structure);
  competing["compete_evaluate"] = method("compete_evaluate", &group_rounds);
  competing["compete_concat"] = method("compete_concat", concat, nb::arg("others"));
  competing["_blank_copy"] = method("_blank_copy", &blank_group);
  imports.competing_kind =
      make_kind("CompeteBlock",
                "A competing group: CompeteBlock(blocks). Its branches contend for one\n"
                "machine module (module_name): they never run at the same time, each\n"
                "runs exactly once, and whenever the module is free the ready branch\n"
                "of highest `priority` goes next, branches of equal priority in the\n"
                "order given. Whatever follows the group starts when every branch has\n"
                "finished. compete_blocks lists the branches.",
                competing);
}

}  // namespace zarn::py
