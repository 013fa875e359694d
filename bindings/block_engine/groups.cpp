#include "block_engine/groups.hpp"

#include <nanobind/stl/string.h>

#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "block_engine/competition.hpp"
#include "block_engine/engine.hpp"
#include "block_engine/markers.hpp"

namespace zarn::py {

namespace {

// The group of a block that must be one: a kind's group method may be called
// on any block.
GroupData& group_of(nb::handle block) {
  ZarnBlock& fields = block_fields(block);
  if (!fields.group) {
    throw nb::type_error((describe(block) + " is not a parallel or competing group").c_str());
  }
  return *fields.group;
}

nb::object finish_signal_of(nb::handle action) { return action_fields(action).finish_signal; }

void set_waits(nb::handle action, nb::list dependency, nb::handle script_dep) {
  ZarnAction& fields = action_fields(action);
  fields.dependency = std::move(dependency);
  fields.script_dep = nb::borrow(script_dep);
}

}  // namespace

void wire_sequence(nb::handle items, nb::handle start, bool keep_first) {
  int depth = 0;
  nb::object previous = nb::borrow(start.is_valid() ? start : nb::handle(Py_None));
  bool first = true;
  for (nb::handle item : items) {
    const std::string role = marker_role(item);
    if (depth == 0) {
      if (!(first && keep_first)) action_fields(item).script_dep = previous;
      first = false;
    }
    if (role == "start") {
      ++depth;
    } else if (role == "join") {
      if (--depth < 0)
        throw nb::value_error("a group's markers are out of order: a join without its start");
    }
    if (depth == 0) previous = finish_signal_of(item);
  }
  if (depth != 0)
    throw nb::value_error("a group's markers are out of order: a start without its join");
}

void lift_turn_waits(nb::handle items) {
  struct Open {
    nb::object turn;
    std::size_t from;
  };
  std::vector<Open> open;
  std::vector<nb::object> seen;
  for (nb::handle item : items) seen.push_back(nb::borrow(item));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const std::string role = marker_role(seen[i]);
    if (role == "turn") {
      open.push_back({seen[i], i});
      continue;
    }
    if (role != "release") continue;
    if (open.empty())
      throw nb::value_error("a group's markers are out of order: a release without its turn");
    Open branch = std::move(open.back());
    open.pop_back();
    // Innermost branches close first, so an inner turn's waits are known
    // when the branch around it is looked at.
    std::unordered_set<PyObject*> inside;
    for (std::size_t k = branch.from + 1; k < i; ++k) inside.insert(seen[k].ptr());
    std::unordered_set<PyObject*> known;
    nb::list outside;
    for (std::size_t k = branch.from + 1; k < i; ++k) {
      for (nb::handle dependency : action_fields(seen[k]).dependency) {
        if (!is_action(dependency) || inside.count(dependency.ptr()) != 0) continue;
        if (known.insert(dependency.ptr()).second) outside.append(dependency);
      }
    }
    action_fields(branch.turn).dependency = outside;
  }
  if (!open.empty())
    throw nb::value_error("a group's markers are out of order: a turn without its release");
}

nb::list flatten_chain(nb::handle head, const char* purpose) {
  nb::list out;
  for (nb::object& block : chain_blocks(head)) {
    ZarnBlock& fields = block_fields(block);
    if (fields.group) {
      for (nb::handle item : rewire(block)) out.append(item);
      continue;
    }
    if (attr_true(block, "isCompete")) {
      throw nb::type_error((std::string(purpose) + ": " + describe(block) +
                            " is a competing block without branches of its own")
                               .c_str());
    }
    for (nb::handle item : fields.action_seq) {
      if (is_action(item)) {
        out.append(item);
      } else if (is_identifier(item)) {
        throw nb::value_error((std::string(purpose) + ": " + describe(block) +
                               " still holds the unresolved name " + describe(item.attr("id")))
                                  .c_str());
      } else {
        throw nb::type_error((std::string(purpose) + ": " + describe(block) + " holds " +
                              describe(item) + ", which is not an action")
                                 .c_str());
      }
    }
  }
  return out;
}

namespace {

nb::object module_of_action(nb::handle item) { return action_fields(item).module; }

// The one module name of a branch's actions.
nb::object branch_module_name(nb::handle items, std::size_t index, const char* kind) {
  nb::object name = nb::none();
  for (nb::handle item : items) {
    const std::string role = marker_role(item);
    if ((role == "start" || role == "join") && item.attr("competition").is_none()) {
      throw nb::value_error(("branch " + std::to_string(index) + " of a " + kind +
                             " group holds a parallel group: a branch runs on one machine "
                             "module, so parallel groups cannot be nested in a branch")
                                .c_str());
    }
    nb::object module = module_of_action(item);
    if (module.is_none()) continue;
    nb::object own = module.attr("name");
    if (name.is_none()) {
      name = own;
    } else {
      int equal = PyObject_RichCompareBool(name.ptr(), own.ptr(), Py_EQ);
      if (equal < 0) throw nb::python_error();
      if (equal == 0) {
        throw nb::value_error(("branch " + std::to_string(index) + " of a " + kind +
                               " group holds actions of module " + describe(name) + " and of " +
                               describe(own) + ": a branch runs on one machine module")
                                  .c_str());
      }
    }
  }
  return name;
}

nb::object new_branch_block(nb::handle items, nb::handle module_name) {
  nb::object branch = nb::handle(imports.standard_kind)();
  ZarnBlock& fields = block_fields(branch);
  set_action_seq(fields, nb::borrow(items));
  fields.module_name = nb::borrow(module_name);
  return branch;
}

nb::object first_module(nb::handle items) {
  for (nb::handle item : items) {
    nb::object module = module_of_action(item);
    if (!module.is_none()) return module;
  }
  return nb::none();
}

}  // namespace

void init_group(nb::handle self, GroupKind kind, nb::handle blocks) {
  ZarnBlock& block = block_fields(self);
  auto group = std::make_unique<GroupData>();
  group->kind = kind;
  group->start = make_marker("start", nb::none());
  group->join = make_marker("join", nb::none());
  group->competition = kind == GroupKind::Compete ? new_competition(nb::none()) : nb::none();
  nb::setattr(group->start, "competition", group->competition);
  nb::setattr(group->join, "competition", group->competition);
  group->given = nb::borrow(blocks);
  group->flat = nb::list();
  group->rounds = nb::list();
  block.group = std::move(group);
  set_action_seq(block, block.group->flat);

  const char* word = kind == GroupKind::Parallel ? "parallel" : "competing";
  std::size_t index = 0;
  if (kind == GroupKind::Parallel) {
    // One branch per machine module; blocks of one module join its branch in
    // the order they are given. A block given as a lane of its own (`lane`
    // set on it: a branch that runs several modules in turn, or groups) is a
    // branch by itself, whatever it holds, under a key no module name can be.
    nb::dict by_module;
    nb::set lanes;
    for (nb::handle given : blocks) {
      if (!is_block(given)) {
        throw nb::type_error(("branch " + std::to_string(index) +
                              " of a parallel group must be "
                              "a block, not " +
                              describe(given))
                                 .c_str());
      }
      nb::list items = flatten_chain(given, "a branch of a parallel group");
      if (nb::len(items) > 0 && PyObject_HasAttrString(given.ptr(), "lane") &&
          attr_true(given, "lane")) {
        nb::str key(("lane " + std::to_string(index)).c_str());
        by_module[key] = items;
        lanes.add(key);
      } else if (nb::len(items) > 0) {
        nb::object name = branch_module_name(items, index, word);
        if (by_module.contains(name)) {
          nb::list joined = nb::borrow<nb::list>(by_module[name]);
          for (nb::handle item : items) joined.append(item);
        } else {
          by_module[name] = items;
        }
      }
      ++index;
    }
    nb::dict map;
    for (auto [name, items] : by_module) {
      map[name] = new_branch_block(items, lanes.contains(name) ? nb::handle(Py_None) : name);
    }
    nb::setattr(self, "async_block_map", map);
  } else {
    nb::list branches;
    for (nb::handle given : blocks) {
      if (!is_block(given)) {
        throw nb::type_error(("branch " + std::to_string(index) +
                              " of a competing group must "
                              "be a block, not " +
                              describe(given))
                                 .c_str());
      }
      nb::list items = flatten_chain(given, "a branch of a competing group");
      nb::object branch = new_branch_block(items, branch_module_name(items, index, word));
      if (PyObject_HasAttrString(given.ptr(), "priority")) {
        nb::setattr(branch, "priority", given.attr("priority"));
      }
      branches.append(branch);
      ++index;
    }
    nb::setattr(self, "compete_blocks", branches);
  }
  rewire(self);
}

nb::object rewire(nb::handle self) {
  ZarnBlock& block = block_fields(self);
  GroupData& group = *block.group;
  nb::list flat;
  flat.append(group.start);
  nb::list ends;
  nb::object start_signal = finish_signal_of(group.start);

  if (group.kind == GroupKind::Parallel) {
    nb::object map = self.attr("async_block_map");
    for (nb::handle branch : map.attr("values")()) {
      nb::list items = flatten_chain(branch, "a branch of a parallel group");
      if (nb::len(items) == 0) continue;
      wire_sequence(items, start_signal, false);
      ends.append(items[nb::len(items) - 1]);
      for (nb::handle item : items) flat.append(item);
    }
  } else {
    nb::object branches = self.attr("compete_blocks");
    const std::size_t count = static_cast<std::size_t>(length_of(branches));
    std::vector<nb::list> contents;
    for (std::size_t i = 0; i < count; ++i) {
      contents.push_back(flatten_chain(branches[i], "a branch of a competing group"));
    }
    nb::object module = nb::none();
    for (nb::list& items : contents) {
      module = first_module(items);
      if (!module.is_none()) break;
    }
    while (group.markers.size() < count) {
      CompeteMarkers markers{make_marker("turn", module), make_marker("release", module)};
      for (nb::handle marker : {markers.turn, markers.release}) {
        nb::setattr(marker, "competition", group.competition);
        nb::setattr(marker, "branch", nb::int_(group.markers.size()));
      }
      group.markers.push_back(std::move(markers));
    }
    group.markers.resize(count);
    action_fields(group.start).module = module;
    action_fields(group.join).module = module;

    nb::list priorities, turns;
    for (std::size_t i = 0; i < count; ++i) {
      nb::handle branch = branches[i];
      nb::object priority =
          PyObject_HasAttrString(branch.ptr(), "priority") ? branch.attr("priority") : nb::none();
      priorities.append(priority);
      nb::list& items = contents[i];
      const CompeteMarkers& markers = group.markers[i];
      action_fields(markers.turn).module = module;
      action_fields(markers.release).module = module;
      turns.append(markers.turn);

      set_waits(markers.turn, nb::list(), start_signal);  // lift_turn_waits() adds the rest
      wire_sequence(items, finish_signal_of(markers.turn), false);
      nb::object last = nb::len(items) > 0 ? nb::object(items[nb::len(items) - 1]) : markers.turn;
      set_waits(markers.release, nb::list(), finish_signal_of(last));
      flat.append(markers.turn);
      for (nb::handle item : items) flat.append(item);
      flat.append(markers.release);
      ends.append(markers.release);
    }
    nb::object module_name = block.module_name.is_none() && !module.is_none()
                                 ? nb::object(module.attr("name"))
                                 : block.module_name;
    configure(competition_of(group.competition), module_name, priorities, turns);
  }
  set_waits(group.join, ends, nb::len(ends) == 0 ? start_signal : nb::none());
  flat.append(group.join);
  lift_turn_waits(flat);

  const Py_ssize_t old_size = PyList_GET_SIZE(group.flat.ptr());
  if (PyList_SetSlice(group.flat.ptr(), 0, old_size, flat.ptr()) != 0) throw nb::python_error();
  if (!block.action_seq.is(group.flat) && !PyDict_Check(block.action_seq.ptr())) {
    set_action_seq(block, group.flat);
  }
  drop_facts(block);
  return group.flat;
}

bool resolve_group(nb::handle self) {
  ZarnBlock& block = block_fields(self);
  GroupData& group = group_of(self);
  // The labelled blocks of every branch; where two branches use one label,
  // the branch given first wins, as the earlier block does along a chain.
  nb::dict names;
  for (nb::handle given : group.given) {
    if (!is_block(given)) continue;
    for (auto [name, actions] : local_variables(given)) {
      if (!names.contains(name)) names[name] = actions;
    }
  }
  nb::object flat = rewire(self);
  const Py_ssize_t size = length_of(flat);
  bool resolved = true;
  for (Py_ssize_t i = 1; i + 1 < size; ++i) {
    nb::object item = flat[i];
    if (!is_action(item)) {
      resolved = false;
      continue;
    }
    item.attr("resolve_dependencies")(names);  // (a kind's own)
  }
  if (group.kind == GroupKind::Compete) {
    nb::object branches = self.attr("compete_blocks");
    const Py_ssize_t count = length_of(branches);
    for (Py_ssize_t i = 0; i < count; ++i) {
      for (nb::handle item : block_fields(branches[i]).action_seq) {
        nb::object module = module_of_action(item);
        if (module.is_none()) continue;
        nb::object name = module.attr("name");
        if (block.module_name.is_none()) block.module_name = name;
        int equal = PyObject_RichCompareBool(block.module_name.ptr(), name.ptr(), Py_EQ);
        if (equal < 0) throw nb::python_error();
        if (equal == 0) {
          throw nb::value_error(("branch " + std::to_string(i) + " of the competition for module " +
                                 describe(block.module_name) + " holds an action of module " +
                                 describe(name) +
                                 ": competing branches contend for one machine module")
                                    .c_str());
        }
      }
    }
  }
  rewire(self);  // the turns now wait for what the resolved names stand for
  return resolved;
}

nb::list group_rounds(nb::handle self) {
  nb::list rounds;
  rounds.append(self);
  for (nb::handle round : group_of(self).rounds) rounds.append(round);
  return rounds;
}

void concat_rounds(nb::handle self, nb::handle others) {
  GroupData& group = group_of(self);
  std::vector<nb::object> chain = chain_blocks(self);
  std::unordered_set<PyObject*> in_chain;
  for (nb::object& block : chain) in_chain.insert(block.ptr());
  nb::object end = chain.back();
  for (nb::handle other : others) {
    if (in_chain.count(other.ptr()) != 0) continue;  // already one of this chain's rounds
    if (!is_block(other)) {
      throw nb::type_error(
          ("only blocks can be appended as rounds, not " + describe(other)).c_str());
    }
    std::vector<nb::object> appended = chain_blocks(other);
    for (nb::object& block : appended) {
      if (in_chain.count(block.ptr()) != 0) {
        throw nb::value_error(("cannot append " + describe(other) + ": its chain runs into " +
                               describe(block) + ", which is part of this chain already")
                                  .c_str());
      }
    }
    set_next(block_fields(end), nb::borrow(other));
    for (nb::object& block : appended) in_chain.insert(block.ptr());
    end = appended.back();
    nb::borrow<nb::list>(group.rounds).append(other);
  }
}

void traverse_group(const GroupData& group, visitproc visit, void* arg, int& result) {
  auto visit_one = [&](const nb::object& field) {
    if (result == 0 && field.is_valid()) result = visit(field.ptr(), arg);
  };
  for (const nb::object* field :
       {&group.start, &group.join, &group.competition, &group.given, &group.flat, &group.rounds}) {
    visit_one(*field);
  }
  for (const CompeteMarkers& markers : group.markers) {
    visit_one(markers.turn);
    visit_one(markers.release);
  }
}

void clear_group(GroupData& group) {
  for (nb::object* field :
       {&group.start, &group.join, &group.competition, &group.given, &group.flat, &group.rounds}) {
    *field = nb::none();
  }
  group.markers.clear();
}

}  // namespace zarn::py
