#include "block_engine/markers.hpp"

#include <nanobind/stl/string.h>

#include "block_engine/chain.hpp"
#include "block_engine/competition.hpp"
#include "block_engine/engine.hpp"

namespace zarn::py {

namespace {

std::size_t branch_index(nb::handle marker) { return nb::cast<std::size_t>(marker.attr("branch")); }

}  // namespace

nb::object make_marker(const char* role, nb::handle module) {
  return nb::handle(imports.marker_type)(module, nb::arg("role") = role);
}

std::string marker_role(nb::handle item) {
  if (!PyObject_TypeCheck(item.ptr(), reinterpret_cast<PyTypeObject*>(imports.marker_type))) {
    return "";
  }
  return nb::cast<std::string>(item.attr("role"));
}

void marker_execute(nb::handle self) {
  const std::string role = marker_role(self);
  if (role == "turn") {
    nb::object competition = self.attr("competition");
    acquire(competition_of(competition), branch_index(self));
  } else if (role == "release") {
    nb::object competition = self.attr("competition");
    competition_of(competition).core->release(branch_index(self));
  }
  mark_finished(self);
}

void marker_request(nb::handle self, nb::handle callback) {
  if (marker_role(self) != "turn") {
    marker_execute(self);
    if (!callback.is_none()) callback();
    return;
  }
  nb::object competition = self.attr("competition");
  request_turn(competition_of(competition), branch_index(self), self, callback);
}

}  // namespace zarn::py
