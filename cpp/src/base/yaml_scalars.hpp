// The scalar typing of the YAML tree (yaml_tree.cpp): which plain scalars are
// null, bool, int or float, and their values, as PyYAML's safe loader types
// them (YAML 1.1). Private to the tree.
#pragma once

#include <cstddef>
#include <string_view>

#include "zarn/base/yaml_tree.hpp"

namespace zarn::yaml {

// Python refuses to convert longer decimal integers (sys.int_max_str_digits),
// and the base conversion is quadratic in the length.
inline constexpr std::size_t kMaxIntegerDigits = 4300;

bool is_null_word(std::string_view s);
// True for a YAML 1.1 bool word; `value` receives its value.
bool bool_word(std::string_view s, bool& value);
// The implicit resolvers: whether a plain scalar reads as an int or a float.
bool looks_like_int(std::string_view s);
bool looks_like_float(std::string_view s);

enum class Conversion { kOk, kInvalid, kTooLong };

// PyYAML's construct_yaml_int: underscores dropped, sign, then the base from
// the prefix (a bare leading 0 means octal) or base 60 between colons. An
// integer beyond 64 bits is kept as its decimal digits (Node::big_integer).
Conversion to_int(std::string_view text, Node& out);
// PyYAML's construct_yaml_float.
bool to_float(std::string_view text, Node& out);

}  // namespace zarn::yaml
