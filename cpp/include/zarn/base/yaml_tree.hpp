// Loading of YAML configuration files into a plain tree, with the scalar typing
// that Python users' configuration files are written for (YAML 1.1 safe
// loading) and hard limits against hostile input.
//
// Plain scalars are typed as PyYAML's safe loader types them: bool (yes/no/
// true/false/on/off in three casings), int (binary 0b, octal with a leading 0,
// decimal with underscores, hex 0x, sexagesimal 1:30), float (1.5, 1.0e+5,
// .inf, .nan, 1:30.5; "1e5" stays text) and null (~, null, empty). Quoted
// scalars are text. Timestamps stay text: the tree has no date kind and callers
// convert the few dates a configuration holds themselves. "<<" and "=" outside
// a merge are text too (PyYAML refuses to load them).
//
// Maps keep document order. A repeated key replaces the earlier value in the
// earlier position, as building a Python dict does; keys are the same when they
// have the same kind and value (so 1, 1.0 and true stay three keys). Merge keys
// ("<<") are expanded as PyYAML does, and an alias becomes an independent copy
// of the node it names. As in PyYAML an anchor name may be defined only once;
// unlike PyYAML an alias inside the node it names (a recursive structure) is
// refused, since a tree cannot hold it.
//
// Explicit tags: !!str, !!int, !!float, !!bool, !!null, !!seq and !!map. Any
// other tag is refused. The text is UTF-8 (a byte order mark is skipped) or
// UTF-16 with a byte order mark; control characters other than tab and line
// breaks are refused, as PyYAML's reader refuses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zarn::yaml {

// Limits applied while loading. A file that exceeds one is rejected with a
// LimitError; nothing is partially returned.
struct Limits {
  // Size of the file on disk, or of the text given to load_string. Values
  // above 1 GiB act as 1 GiB.
  std::size_t max_file_bytes = 16u * 1024u * 1024u;
  // Nesting of maps and sequences; the outermost collection is level 1. Values
  // above 1000 act as 1000 because the tree is copied and destroyed
  // recursively. The YAML parser itself refuses flow collections nested
  // deeper than about 250 levels and block collections deeper than about 500.
  std::size_t max_depth = 256;
  std::size_t max_nodes = 1'000'000;  // nodes after alias and merge expansion
};

struct Node {
  enum class Kind { Null, Bool, Int, Float, String, Sequence, Map };

  Kind kind = Kind::Null;
  bool boolean = false;
  std::int64_t integer = 0;
  // Decimal digits (with a leading '-' when negative) of an integer that does
  // not fit in 64 bits; empty otherwise. `integer` is then meaningless.
  std::string big_integer;
  double real = 0.0;
  std::string text;
  std::vector<Node> items;                     // Sequence
  std::vector<std::pair<Node, Node>> entries;  // Map, in document order

  // Defined in yaml_node.cpp, where Node is complete: implicit ones make clang
  // ask whether Node is default-constructible while std::pair<Node, Node>
  // is still being defined, which it cannot answer (a build error).
  Node();
  ~Node();
  Node(const Node&);
  Node(Node&&) noexcept;
  Node& operator=(const Node&);
  Node& operator=(Node&&) noexcept;

  // Map lookup by a text key; nullptr when this is not a map or has no such key.
  const Node* find(std::string_view key) const;
};

// Base of every loading failure. what() is a complete sentence for the user.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
  Error(const std::string& message, std::size_t at_line, std::size_t at_column)
      : std::runtime_error(message), line(at_line), column(at_column) {}

  // Where in the text the failure was found, counted from 1; 0 when it has
  // no position (a file that cannot be read, a file that is too large).
  std::size_t line = 0;
  std::size_t column = 0;
};
// The file cannot be opened or read; what() reads like the operating system's
// message, e.g. "[Errno 2] No such file or directory: '/opt/x.yaml'".
struct FileError : Error {
  using Error::Error;
};
// Malformed YAML or text, an unsupported tag, a value its tag does not fit, a
// key that cannot be a map key, a bad merge, a repeated anchor, a recursive
// alias, more than one document; what() names the line and column (counted
// from 1) wherever the parser reports one.
struct ParseError : Error {
  using Error::Error;
};
// The input exceeds one of the Limits.
struct LimitError : Error {
  using Error::Error;
};

// Messages name the file as "configuration '<path>'".
Node load_file(const std::string& path, const Limits& limits = {});
// Messages name the text as "configuration text". max_file_bytes applies to
// the length of the text.
Node load_string(std::string_view text, const Limits& limits = {});
// As above, with messages naming the text as "configuration '<source_name>'".
Node load_string(std::string_view text, const Limits& limits, const std::string& source_name);

}  // namespace zarn::yaml
