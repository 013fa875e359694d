// The scalar typing of the YAML tree: the implicit resolvers and constructors
// of PyYAML's safe loader (YAML 1.1), on plain scalars' text.

#include "yaml_scalars.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace zarn::yaml {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_digit_or_underscore(char c) { return is_digit(c) || c == '_'; }

bool all_of(std::string_view s, bool (*pred)(char)) {
  return std::all_of(s.begin(), s.end(), pred);
}

// s[i..] is one or more ":[0-5]?[0-9]" groups; on success i stops at the first
// character after them.
bool sexagesimal_groups(std::string_view s, std::size_t& i) {
  bool any = false;
  while (i < s.size() && s[i] == ':') {
    std::size_t j = i + 1;
    while (j < s.size() && is_digit(s[j])) ++j;
    const std::size_t n = j - i - 1;
    if (n == 0 || n > 2 || (n == 2 && s[i + 1] > '5')) return false;
    i = j;
    any = true;
  }
  return any;
}

// Unsigned integer of any size, in base 10^9 limbs (least significant first).
class Magnitude {
 public:
  void mul_add(std::uint32_t mul, std::uint32_t add) {
    std::uint64_t carry = add;
    for (auto& limb : limbs_) {
      const std::uint64_t cur = std::uint64_t{limb} * mul + carry;
      limb = static_cast<std::uint32_t>(cur % kBase);
      carry = cur / kBase;
    }
    while (carry != 0) {
      limbs_.push_back(static_cast<std::uint32_t>(carry % kBase));
      carry /= kBase;
    }
  }

  void add(const Magnitude& other) {
    std::uint64_t carry = 0;
    limbs_.resize(std::max(limbs_.size(), other.limbs_.size()), 0);
    for (std::size_t i = 0; i < limbs_.size(); ++i) {
      const std::uint64_t cur =
          std::uint64_t{limbs_[i]} + (i < other.limbs_.size() ? other.limbs_[i] : 0) + carry;
      limbs_[i] = static_cast<std::uint32_t>(cur % kBase);
      carry = cur / kBase;
    }
    if (carry != 0) limbs_.push_back(static_cast<std::uint32_t>(carry));
  }

  // False when a character is not a digit of the base or there is none.
  bool append_digits(std::string_view digits, std::uint32_t base) {
    if (digits.empty()) return false;
    for (char c : digits) {
      std::uint32_t d;
      if (is_digit(c)) {
        d = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
      if (d >= base) return false;
      mul_add(base, d);
    }
    return true;
  }

  bool fits_u64(std::uint64_t& value) const {
    value = 0;
    for (auto it = limbs_.rbegin(); it != limbs_.rend(); ++it) {
      if (__builtin_mul_overflow(value, kBase, &value) ||
          __builtin_add_overflow(value, std::uint64_t{*it}, &value)) {
        return false;
      }
    }
    return true;
  }

  std::string decimal() const {
    if (limbs_.empty()) return "0";
    std::string out = std::to_string(limbs_.back());
    for (auto it = limbs_.rbegin() + 1; it != limbs_.rend(); ++it) {
      const std::string part = std::to_string(*it);
      out.append(9 - part.size(), '0');
      out += part;
    }
    return out;
  }

 private:
  static constexpr std::uint64_t kBase = 1'000'000'000;
  std::vector<std::uint32_t> limbs_;
};

std::vector<std::string_view> split_colons(std::string_view s) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t colon = s.find(':', start);
    parts.push_back(s.substr(start, colon - start));
    if (colon == std::string_view::npos) return parts;
    start = colon + 1;
  }
}

// from_chars leaves the value alone when it is out of range; Python gives inf
// or zero. Decide which from the position of the first significant digit.
double out_of_range(std::string_view s) {
  const std::size_t e = s.find('e');
  const std::string_view mantissa = s.substr(0, e);
  long long exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view x = s.substr(e + 1);
    const bool negative = !x.empty() && x[0] == '-';
    if (!x.empty() && (x[0] == '-' || x[0] == '+')) x.remove_prefix(1);
    for (char c : x) exponent = std::min(exponent * 10 + (c - '0'), 1'000'000'000'000LL);
    if (negative) exponent = -exponent;
  }
  const std::size_t dot = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t first = mantissa.find_first_not_of("0.");
  const long long magnitude = first == std::string_view::npos
                                  ? 0
                                  : (first < dot ? static_cast<long long>(dot - first)
                                                 : -static_cast<long long>(first - dot) + 1);
  return magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
}

// Python's float() on what PyYAML hands it (no sign, no underscores).
bool parse_double(std::string_view s, double& out) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (end != s.data() + s.size()) return false;
  if (ec == std::errc::result_out_of_range) {
    out = out_of_range(s);
    return true;
  }
  return ec == std::errc{};
}

}  // namespace

bool is_null_word(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

bool bool_word(std::string_view s, bool& value) {
  static constexpr std::string_view kTrue[] = {"yes",  "Yes", "YES", "true", "True",
                                               "TRUE", "on",  "On",  "ON"};
  static constexpr std::string_view kFalse[] = {"no",    "No",  "NO",  "false", "False",
                                                "FALSE", "off", "Off", "OFF"};
  if (std::find(std::begin(kTrue), std::end(kTrue), s) != std::end(kTrue)) {
    value = true;
    return true;
  }
  if (std::find(std::begin(kFalse), std::end(kFalse), s) != std::end(kFalse)) {
    value = false;
    return true;
  }
  return false;
}

// ^(?:[-+]?0b[0-1_]+ | [-+]?0[0-7_]+ | [-+]?(?:0|[1-9][0-9_]*) | [-+]?0x[0-9a-fA-F_]+
//    | [-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+)$
bool looks_like_int(std::string_view s) {
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
  if (s.empty()) return false;
  if (s == "0") return true;
  if (s.starts_with("0b")) {
    return s.size() > 2 &&
           all_of(s.substr(2), [](char c) { return c == '0' || c == '1' || c == '_'; });
  }
  if (s.starts_with("0x")) {
    return s.size() > 2 && all_of(s.substr(2), [](char c) {
             return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_';
           });
  }
  if (s[0] == '0')
    return all_of(s.substr(1), [](char c) { return (c >= '0' && c <= '7') || c == '_'; });
  if (!is_digit(s[0])) return false;
  std::size_t i = 1;
  while (i < s.size() && is_digit_or_underscore(s[i])) ++i;
  if (i == s.size()) return true;
  return sexagesimal_groups(s, i) && i == s.size();
}

// ^(?:[-+]?[0-9][0-9_]*\.[0-9_]*(?:[eE][-+][0-9]+)? | \.[0-9][0-9_]*(?:[eE][-+][0-9]+)?
//    | [-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\.[0-9_]* | [-+]?\.(?:inf|Inf|INF) | \.(?:nan|NaN|NAN))$
bool looks_like_float(std::string_view s) {
  if (s == ".nan" || s == ".NaN" || s == ".NAN") return true;
  const bool signed_ = !s.empty() && (s[0] == '-' || s[0] == '+');
  if (signed_) s.remove_prefix(1);
  if (s == ".inf" || s == ".Inf" || s == ".INF") return true;
  const auto fraction_and_exponent = [&](std::size_t i) {
    while (i < s.size() && is_digit_or_underscore(s[i])) ++i;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
      if (i + 2 > s.size() || (s[i + 1] != '-' && s[i + 1] != '+')) return false;
      i += 2;
      const std::size_t digits = i;
      while (i < s.size() && is_digit(s[i])) ++i;
      if (i == digits) return false;
    }
    return i == s.size();
  };
  if (s.size() >= 2 && s[0] == '.' && is_digit(s[1])) return !signed_ && fraction_and_exponent(2);
  if (s.empty() || !is_digit(s[0])) return false;
  std::size_t i = 1;
  while (i < s.size() && is_digit_or_underscore(s[i])) ++i;
  if (i < s.size() && s[i] == '.') return fraction_and_exponent(i + 1);
  if (!sexagesimal_groups(s, i) || i == s.size() || s[i] != '.') return false;
  return all_of(s.substr(i + 1), is_digit_or_underscore);
}

Conversion to_int(std::string_view text, Node& out) {
  std::string v;
  v.reserve(text.size());
  for (char c : text) {
    if (c != '_') v += c;
  }
  const bool negative = !v.empty() && v[0] == '-';
  std::string_view d(v);
  if (!d.empty() && (d[0] == '-' || d[0] == '+')) d.remove_prefix(1);
  if (d.empty()) return Conversion::kInvalid;
  if (d.size() > kMaxIntegerDigits) return Conversion::kTooLong;

  out = Node{};
  out.kind = Node::Kind::Int;
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const auto store = [&](std::uint64_t u) {
    if (u > kMax + (negative ? 1 : 0)) return false;
    out.integer = negative ? static_cast<std::int64_t>(0 - u) : static_cast<std::int64_t>(u);
    return true;
  };
  // Plain decimal integers are nearly all of them: convert those without the
  // arbitrary-precision path when they fit.
  if (d.size() <= 19 && all_of(d, is_digit) && (d[0] != '0' || d.size() == 1)) {
    std::uint64_t u = 0;
    for (char c : d) u = u * 10 + static_cast<std::uint64_t>(c - '0');
    if (store(u)) return Conversion::kOk;
  }

  Magnitude m;
  bool ok = true;
  if (d == "0") {
  } else if (d.starts_with("0b")) {
    ok = m.append_digits(d.substr(2), 2);
  } else if (d.starts_with("0x")) {
    ok = m.append_digits(d.substr(2), 16);
  } else if (d[0] == '0') {
    ok = m.append_digits(d, 8);
  } else if (d.find(':') != std::string_view::npos) {
    for (std::string_view part : split_colons(d)) {
      Magnitude digit;
      ok = ok && digit.append_digits(part, 10);
      m.mul_add(60, 0);
      m.add(digit);
    }
  } else {
    ok = m.append_digits(d, 10);
  }
  if (!ok) return Conversion::kInvalid;
  std::uint64_t u = 0;
  if (!m.fits_u64(u) || !store(u)) {
    // Not "-" + digits: GCC 12 misreads that at -O3 (-Wrestrict).
    std::string digits = m.decimal();
    if (negative) digits.insert(digits.begin(), '-');
    out.big_integer = std::move(digits);
  }
  return Conversion::kOk;
}

bool to_float(std::string_view text, Node& out) {
  std::string v;
  v.reserve(text.size());
  for (char c : text) {
    if (c != '_') v += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  double sign = 1.0;
  std::string_view d(v);
  if (!d.empty() && d[0] == '-') sign = -1.0;
  if (!d.empty() && (d[0] == '-' || d[0] == '+')) d.remove_prefix(1);
  double value = 0.0;
  if (d == ".inf") {
    value = sign * std::numeric_limits<double>::infinity();
  } else if (d == ".nan") {
    value = std::numeric_limits<double>::quiet_NaN();
  } else if (d.find(':') != std::string_view::npos) {
    const auto parts = split_colons(d);
    double base = 1.0;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
      double digit = 0.0;
      if (!parse_double(*it, digit)) return false;
      value += digit * base;
      base *= 60.0;
    }
    value *= sign;
  } else {
    if (!parse_double(d, value)) return false;
    value *= sign;
  }
  out = Node{};
  out.kind = Node::Kind::Float;
  out.real = value;
  return true;
}

}  // namespace zarn::yaml
