// Loading of YAML configuration files into a plain tree, with the scalar typing
// that Python users' configuration files are written for (YAML 1.1 safe
// loading) and hard limits against hostile input.
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
  std::size_t max_file_bytes = 16u * 1024u * 1024u;  // size of the file on disk
  std::size_t max_depth = 256;                       // nesting of maps and sequences
  std::size_t max_nodes = 1'000'000;                 // nodes after alias and merge expansion
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

  // Map lookup by a text key; nullptr when this is not a map or has no such key.
  const Node* find(std::string_view key) const;
};

// Base of every loading failure. what() is a complete sentence for the user.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The file cannot be opened or read; what() reads like the operating system's
// message, e.g. "[Errno 2] No such file or directory: '/opt/x.yaml'".
struct FileError : Error {
  using Error::Error;
};
// Malformed YAML, an unsupported tag, a key that cannot be a map key, more than
// one document; what() names the line and column (counted from 1).
struct ParseError : Error {
  using Error::Error;
};
// The input exceeds one of the Limits.
struct LimitError : Error {
  using Error::Error;
};

Node load_file(const std::string& path, const Limits& limits = {});
Node load_string(std::string_view text, const Limits& limits = {});

}  // namespace zarn::yaml
