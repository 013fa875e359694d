#include "block_engine/copy.hpp"

#include <nanobind/stl/string.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "block_engine/chain.hpp"
#include "block_engine/competition.hpp"
#include "block_engine/engine.hpp"
#include "block_engine/groups.hpp"
#include "block_engine/markers.hpp"

namespace zarn::py {

nb::object copy_exception_part(nb::handle exception) {
  if (is_block(exception)) return copy_structure(exception);
  return nb::borrow(exception);
}

nb::object clone_guard(nb::handle guard, nb::handle outer) {
  return nb::handle(imports.guard_type)(copy_exception_part(guard.attr("exception")), outer);
}

nb::object blank_copy(nb::handle block) {
  nb::handle kind = reinterpret_cast<PyObject*>(Py_TYPE(block.ptr()));
  // (a kind's own): a kind with settings of its own makes its blank copies.
  if (PyObject_HasAttrString(kind.ptr(), "_blank_copy")) return block.attr("_blank_copy")();
  return kind(block_fields(block).id);
}

namespace {

// The guards of a copy: each guarded part met among the copied actions gets
// one fresh guard (with its enclosing parts mapped the same way).
class GuardMap {
 public:
  void map(nb::handle from, nb::handle to) {
    mapped_[from.ptr()] = {nb::borrow(from), nb::borrow(to)};
  }

  nb::object get(nb::handle guard, int depth = 0) {
    if (guard.is_none()) return nb::none();
    auto found = mapped_.find(guard.ptr());
    if (found != mapped_.end()) return found->second.second;
    if (depth > 10000)
      throw nb::value_error("the guarded parts of these actions enclose each other in a loop");
    nb::object outer = get(guard.attr("outer"), depth + 1);
    nb::object fresh = clone_guard(guard, outer);
    mapped_[guard.ptr()] = {nb::borrow(guard), fresh};
    return fresh;
  }

 private:
  std::unordered_map<PyObject*, std::pair<nb::object, nb::object>> mapped_;
};

nb::object guard_of(nb::handle block) {
  if (!PyObject_HasAttrString(block.ptr(), "guard")) return nb::none();
  return block.attr("guard");
}

std::string waited_for(nb::handle item) {
  if (is_identifier(item)) return "the unresolved name " + describe(item.attr("id"));
  return describe(item);
}

}  // namespace

nb::object copy_flat(nb::handle self) {
  for (nb::object& block : chain_blocks(self)) {
    if (block_fields(block).group) {
      throw nb::type_error(("copy() makes one block of a chain's actions, but " + describe(block) +
                            " in this chain is a group; async_copy() copies a chain with "
                            "its groups")
                               .c_str());
    }
  }
  nb::object source = evaluate(self);
  if (!PyList_Check(source.ptr())) {
    throw nb::type_error(("copy(): " + describe(self) + " does not evaluate to a list").c_str());
  }
  nb::list actions = nb::borrow<nb::list>(source);
  const std::size_t count = nb::len(actions);

  std::unordered_map<PyObject*, std::size_t> position;
  nb::list copies;
  for (std::size_t i = 0; i < count; ++i) {
    nb::handle action = actions[i];
    if (!marker_role(action).empty()) {
      throw nb::type_error(("copy(): " + describe(self) +
                            " holds the markers of a competing group; async_copy() copies "
                            "them with their group")
                               .c_str());
    }
    position.emplace(action.ptr(), i);
    copies.append(action.attr("copy")());  // (a kind's own)
  }

  for (std::size_t i = 0; i < count; ++i) {
    nb::list remapped;
    for (nb::handle item : actions[i].attr("dependency")) {
      auto found = position.find(item.ptr());
      std::size_t at = found == position.end() ? count : found->second;
      for (std::size_t j = 0; at == count && j < count; ++j) {
        int equal = PyObject_RichCompareBool(actions[j].ptr(), item.ptr(), Py_EQ);
        if (equal < 0) throw nb::python_error();
        if (equal == 1) at = j;
      }
      if (at == count) {
        throw nb::value_error(("cannot copy " + describe(self) + ": " + describe(actions[i]) +
                               " waits for " + waited_for(item) +
                               ", which is not one of the copied actions")
                                  .c_str());
      }
      remapped.append(copies[at]);
    }
    nb::setattr(copies[i], "dependency", remapped);
  }
  if (count == 0) {
    throw nb::index_error(
        ("cannot copy " + describe(self) + ": the chain holds no actions").c_str());
  }
  // (a kind's own)
  copies[0].attr("set_script_dep")(actions[0].attr("script_dep"));
  for (std::size_t i = 1; i < count; ++i) {
    copies[i].attr("set_script_dep")(copies[i - 1].attr("finish_signal"));
  }

  nb::object copied = blank_copy(self);
  GuardMap guards;
  nb::object own_guard = guard_of(self);
  if (!own_guard.is_none()) guards.map(own_guard, guard_of(copied));
  for (nb::handle copy : copies) {
    ZarnAction& fields = action_fields(copy);
    fields.guard = guards.get(fields.guard);
  }
  copied.attr("add")(copies);  // (a kind's own): a guarded block guards what it takes
  return copied;
}

// --- copy with structure -------------------------------------------------------------

nb::object copy_structure(nb::handle head) {
  nb::object rest;
  std::vector<nb::object> blocks = chain_blocks(head, &rest);

  // Every item of the chain, in order, and where each block's items begin.
  nb::list items;
  std::vector<std::size_t> starts;
  for (nb::object& block : blocks) {
    starts.push_back(nb::len(items));
    ZarnBlock& fields = block_fields(block);
    if (fields.group) {
      rewire(block);
      for (nb::handle item : fields.group->flat) items.append(item);
    } else {
      for (nb::handle item : fields.action_seq) items.append(item);
    }
  }
  starts.push_back(nb::len(items));

  nb::list targets;
  for (nb::object& block : blocks) targets.append(blank_copy(block));

  const std::size_t count = nb::len(items);
  std::unordered_map<PyObject*, std::size_t> action_at, signal_at;
  nb::list copies;
  for (std::size_t i = 0; i < count; ++i) {
    nb::handle item = items[i];
    if (is_action(item)) {
      action_at.emplace(item.ptr(), i);
      signal_at.emplace(action_fields(item).finish_signal.ptr(), i);
      copies.append(item.attr("copy")());  // (a kind's own)
    } else if (is_identifier(item)) {
      nb::object name = nb::handle(imports.zarn_id_type)(item.attr("id"));
      name.attr("add_dependencies")(nb::list(item.attr("dependency")));
      copies.append(name);
    } else {
      copies.append(item);
    }
  }

  GuardMap guards;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    nb::object own = guard_of(blocks[b]);
    if (!own.is_none()) guards.map(own, guard_of(targets[b]));
  }
  std::unordered_map<PyObject*, nb::object> competitions;
  auto competition_copy = [&](nb::handle competition) -> nb::object {
    if (competition.is_none()) return nb::none();
    auto found = competitions.find(competition.ptr());
    if (found != competitions.end()) return found->second;
    nb::object fresh = new_competition(competition.attr("module_name"));
    competitions.emplace(competition.ptr(), fresh);
    return fresh;
  };

  for (std::size_t i = 0; i < count; ++i) {
    if (!is_action(items[i])) continue;
    ZarnAction& from = action_fields(items[i]);
    ZarnAction& to = action_fields(copies[i]);
    nb::list dependency;
    for (nb::handle item : from.dependency) {
      auto found = action_at.find(item.ptr());
      dependency.append(found == action_at.end() ? nb::borrow(item)
                                                 : nb::object(copies[found->second]));
    }
    to.dependency = dependency;
    auto signal = signal_at.find(from.script_dep.ptr());
    to.script_dep = signal == signal_at.end()
                        ? from.script_dep
                        : nb::object(action_fields(copies[signal->second]).finish_signal);
    to.guard = guards.get(from.guard);
    if (!marker_role(items[i]).empty()) {
      nb::setattr(copies[i], "competition", competition_copy(items[i].attr("competition")));
      nb::setattr(copies[i], "branch", items[i].attr("branch"));
    }
  }

  auto copy_of = [&](nb::handle original) -> nb::object {
    auto found = action_at.find(original.ptr());
    if (found == action_at.end()) return nb::borrow(original);
    return copies[found->second];
  };
  std::unordered_map<PyObject*, nb::object> block_copies;
  for (std::size_t b = 0; b < blocks.size(); ++b) block_copies.emplace(blocks[b].ptr(), targets[b]);

  for (std::size_t b = 0; b < blocks.size(); ++b) {
    ZarnBlock& from = block_fields(blocks[b]);
    nb::handle target = targets[b];
    ZarnBlock& to = block_fields(target);
    // Flags and priority set on the instance itself travel with the copy.
    nb::object own = nb::steal(PyObject_GenericGetDict(blocks[b].ptr(), nullptr));
    if (own.is_valid()) {
      for (const char* name : {"isAsync", "isCompete", "priority"}) {
        if (PyDict_GetItemString(own.ptr(), name) != nullptr) {
          nb::setattr(target, name, blocks[b].attr(name));
        }
      }
    } else {
      PyErr_Clear();
    }
    to.module_name = from.module_name;
    if (!from.group) {
      nb::list seq;
      for (std::size_t i = starts[b]; i < starts[b + 1]; ++i) seq.append(copies[i]);
      set_action_seq(to, seq);
    } else {
      if (!to.group || to.group->kind != from.group->kind) {
        throw nb::type_error(("cannot copy " + describe(blocks[b]) +
                              ": its kind's _blank_copy() does not make a group of its kind")
                                 .c_str());
      }
      GroupData& source = *from.group;
      GroupData& group = *to.group;
      group.start = copy_of(source.start);
      group.join = copy_of(source.join);
      group.competition = competition_copy(source.competition);
      group.markers.clear();
      for (const CompeteMarkers& markers : source.markers) {
        group.markers.push_back({copy_of(markers.turn), copy_of(markers.release)});
      }
      nb::list rounds;
      for (nb::handle round : source.rounds) {
        auto found = block_copies.find(round.ptr());
        if (found != block_copies.end()) rounds.append(found->second);
      }
      group.rounds = rounds;
      // The branch blocks, with the copied actions.
      auto copy_branch = [&](nb::handle branch) {
        nb::object fresh = blank_copy(branch);
        ZarnBlock& fields = block_fields(fresh);
        nb::list seq;
        for (nb::handle item : block_fields(branch).action_seq) seq.append(copy_of(item));
        set_action_seq(fields, seq);
        fields.module_name = block_fields(branch).module_name;
        nb::object own_branch = nb::steal(PyObject_GenericGetDict(branch.ptr(), nullptr));
        if (own_branch.is_valid() &&
            PyDict_GetItemString(own_branch.ptr(), "priority") != nullptr) {
          nb::setattr(fresh, "priority", branch.attr("priority"));
        } else {
          PyErr_Clear();
        }
        return fresh;
      };
      nb::list given;
      if (source.kind == GroupKind::Parallel) {
        nb::dict map;
        for (auto [key, branch] : nb::borrow<nb::dict>(blocks[b].attr("async_block_map"))) {
          nb::object fresh = copy_branch(branch);
          map[key] = fresh;
          given.append(fresh);
        }
        nb::setattr(target, "async_block_map", map);
      } else {
        nb::list branches;
        for (nb::handle branch : blocks[b].attr("compete_blocks")) {
          nb::object fresh = copy_branch(branch);
          branches.append(fresh);
          given.append(fresh);
        }
        nb::setattr(target, "compete_blocks", branches);
      }
      group.given = given;
      rewire(target);
    }
  }
  for (std::size_t b = 0; b + 1 < blocks.size(); ++b) {
    set_next(block_fields(targets[b]), targets[b + 1]);
  }
  if (!rest.is_none())
    set_next(block_fields(targets[blocks.size() - 1]), rest.attr("async_copy")());
  return targets[0];
}

}  // namespace zarn::py
