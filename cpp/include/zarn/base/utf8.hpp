// Strict UTF-8 decoding shared by the readers of user text (configuration
// files, scripts): overlong forms, surrogates and code points beyond U+10FFFF
// are not characters.
#pragma once

#include <cstddef>
#include <string_view>

namespace zarn::utf8 {

// Length of the well-formed UTF-8 sequence at s[i] (which must exist), with its
// code point in `cp`; 0 when the bytes there are not one.
inline std::size_t sequence(std::string_view s, std::size_t i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned lead = byte(i);
  std::size_t len;
  char32_t min;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2, min = 0x80, cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3, min = 0x800, cp = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4, min = 0x10000, cp = lead & 0x07u;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// True for a byte that continues a multi-byte sequence (and so does not start
// a character of its own).
inline bool is_continuation(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u;
}

}  // namespace zarn::utf8
