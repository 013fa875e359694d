// The semantic actions of the ZARN language: ZarnSemantics, whose methods the
// parser calls rule by rule, bottom-up, and the map of declared blocks they
// fill.
#pragma once

#include <nanobind/nanobind.h>

namespace zarn::py {

namespace nb = nanobind;

struct ZarnSemantics {
  // Every declaration seen so far, by name. Only `declaration` writes it;
  // nothing ever removes an entry, so one object serves one script.
  nb::object global_zone;
  // What the names after "@" are looked up in: the registry built when the
  // module was imported, unless the constructor was given another.
  nb::object registry;
};

}  // namespace zarn::py
