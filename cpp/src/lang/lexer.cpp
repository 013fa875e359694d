#include "zarn/lang/lexer.hpp"

#include <utility>

#include "zarn/base/utf8.hpp"

namespace zarn::parser {

namespace {

constexpr std::pair<std::string_view, Tok> kKeywords[] = {
    {"block", Tok::KwBlock},   {"parallel", Tok::KwParallel},
    {"and", Tok::KwAnd},       {"compete", Tok::KwCompete},
    {"or", Tok::KwOr},         {"priority", Tok::KwPriority},
    {"repeat", Tok::KwRepeat}, {"try", Tok::KwTry},
    {"except", Tok::KwExcept}, {"after", Tok::KwAfter},
    {"move", Tok::KwMove},     {"set", Tok::KwSet},
    {"from", Tok::KwFrom},     {"into", Tok::KwInto},
    {"on", Tok::KwOn},         {"off", Tok::KwOff},
    {"if", Tok::KwIf},         {"else", Tok::KwElse},
    {"not", Tok::KwNot},       {"until", Tok::KwUntil},
    {"while", Tok::KwWhile},   {"max", Tok::KwMax},
    {"retry", Tok::KwRetry},   {"timeout", Tok::KwTimeout},
    {"wait", Tok::KwWait},     {"within", Tok::KwWithin},
    {"empty", Tok::KwEmpty},   {"full", Tok::KwFull},
    {"stop", Tok::KwStop},
};

// Numbers are converted to 64-bit integers where the parser needs their value
// (loop counts), and Python refuses very long decimal conversions anyway.
constexpr std::size_t kMaxNumberDigits = 18;
// Texts quoted back in messages are cut to this many bytes.
constexpr std::size_t kQuotedTextLimit = 40;

bool is_word_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_char(char c) { return is_word_start(c) || is_digit(c); }

std::string hex4(char32_t cp) {
  static const char* const digits = "0123456789ABCDEF";
  std::string out;
  for (int shift = cp > 0xFFFF ? 20 : 12; shift >= 0; shift -= 4)
    out += digits[(cp >> shift) & 0xF];
  return "U+" + out;
}

// Built by appending: GCC 12 warns falsely (-Wrestrict) about "'" + string.
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  out += text;
  out += '\'';
  return out;
}

std::string shortened(std::string_view text) {
  if (text.size() <= kQuotedTextLimit) return std::string(text);
  std::size_t cut = kQuotedTextLimit - 3;
  while (cut > 0 && utf8::is_continuation(text[cut])) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

}  // namespace

std::string describe(const Token& token, std::string_view source) {
  const std::string text = shortened(source.substr(token.begin, token.size));
  switch (token.kind) {
    case Tok::End:
      return "the end of the script";
    case Tok::Name:
      return "the name '" + text + "'";
    case Tok::Module:
      return "the module '" + text + "'";
    case Tok::Number:
    case Tok::Real:
      return "the number " + text;
    case Tok::String:
      return "the quoted text " + text;
    case Tok::LBrace:
    case Tok::RBrace:
    case Tok::LParen:
    case Tok::RParen:
    case Tok::LBracket:
    case Tok::RBracket:
    case Tok::Comma:
    case Tok::Colon:
    case Tok::Semicolon:
    case Tok::Dot:
    case Tok::Plus:
    case Tok::Minus:
      return "'" + text + "'";
    default:
      return "the keyword '" + text + "'";
  }
}

Lexer::Lexer(std::string_view source, const Limits& limits, std::size_t start, Position at)
    : source_(source),
      limits_(limits),
      offset_(start),
      here_(at),
      end_of_last_(at),
      end_of_taken_(start) {}

const Token& Lexer::peek(int ahead) {
  while (buffered_ <= ahead) ahead_[static_cast<std::size_t>(buffered_++)] = scan();
  return ahead_[static_cast<std::size_t>(ahead)];
}

Token Lexer::next() {
  peek(0);
  Token token = ahead_[0];
  ahead_[0] = ahead_[1];
  --buffered_;
  end_of_taken_ = std::size_t{token.begin} + token.size;
  return token;
}

void Lexer::fail(const std::string& message, Position at, std::uint32_t width) const {
  throw SyntaxError(message, at, width == 0 ? 1 : width);
}

void Lexer::fail_fraction(std::size_t begin, std::size_t through, Position at) const {
  std::size_t end = through;
  while (end < source_.size() && (is_word_char(source_[end]) || source_[end] == '.')) ++end;
  fail(quoted(shortened(source_.substr(begin, end - begin))) +
           " is not a number: a fraction has one point, with digits on both sides, as in '0.5'",
       at, static_cast<std::uint32_t>(end - begin));
}

void Lexer::advance(std::size_t bytes) {
  for (std::size_t end = offset_ + bytes; offset_ < end; ++offset_) {
    if (!utf8::is_continuation(source_[offset_])) ++here_.column;
  }
}

void Lexer::skip_space_and_comments() {
  while (offset_ < source_.size()) {
    const char c = source_[offset_];
    if (c == ' ' || c == '\t') {
      advance(1);
    } else if (c == '\n' || c == '\r') {
      offset_ +=
          (c == '\r' && offset_ + 1 < source_.size() && source_[offset_ + 1] == '\n') ? 2 : 1;
      ++here_.line;
      here_.column = 1;
    } else if (c == '#') {
      std::size_t end = source_.find_first_of("\r\n", offset_);
      advance((end == std::string_view::npos ? source_.size() : end) - offset_);
    } else {
      return;
    }
  }
}

Token Lexer::finish(Tok kind, std::size_t begin, Position at) {
  Token token{kind, at, static_cast<std::uint32_t>(begin),
              static_cast<std::uint32_t>(offset_ - begin), here_.column - at.column};
  end_of_last_ = here_;
  return token;
}

Token Lexer::scan() {
  skip_space_and_comments();
  const Position at = here_;
  const std::size_t begin = offset_;
  if (offset_ >= source_.size()) {
    return Token{Tok::End, end_of_last_, static_cast<std::uint32_t>(offset_), 0, 1};
  }
  const char c = source_[offset_];
  const auto scan_word = [&](std::size_t from) {
    std::size_t end = from;
    while (end < source_.size() && is_word_char(source_[end])) ++end;
    return end;
  };

  if (is_word_start(c)) {
    const std::size_t end = scan_word(offset_);
    if (end - begin > limits_.max_name_length) {
      fail("a name may be at most " + std::to_string(limits_.max_name_length) +
               " characters long; this one has " + std::to_string(end - begin),
           at, static_cast<std::uint32_t>(end - begin));
    }
    advance(end - begin);
    const std::string_view word = source_.substr(begin, end - begin);
    for (const auto& [keyword, kind] : kKeywords) {
      if (word == keyword) return finish(kind, begin, at);
    }
    return finish(Tok::Name, begin, at);
  }

  if (is_digit(c) || (c == '-' && offset_ + 1 < source_.size() && is_digit(source_[offset_ + 1]))) {
    const auto digits_from = [&](std::size_t from) {
      while (from < source_.size() && is_digit(source_[from])) ++from;
      return from;
    };
    std::size_t end = digits_from(offset_ + 1);
    std::size_t digits = end - begin - (c == '-' ? 1 : 0);
    Tok kind = Tok::Number;
    if (end < source_.size() && source_[end] == '.') {
      // A point after the digits is never anything but a fraction's: no
      // rule lets a number be followed by a call's '.'.
      const std::size_t fraction_end = digits_from(end + 1);
      if (fraction_end == end + 1) fail_fraction(begin, end + 1, at);
      digits += fraction_end - end - 1;
      end = fraction_end;
      kind = Tok::Real;
      if (end < source_.size() && source_[end] == '.') fail_fraction(begin, end + 1, at);
    }
    if (end < source_.size() && is_word_start(source_[end])) {
      const std::size_t word_end = scan_word(end);
      fail(quoted(shortened(source_.substr(begin, word_end - begin))) +
               " is neither a number nor a name (names start with a letter or '_')",
           at, static_cast<std::uint32_t>(word_end - begin));
    }
    if (digits > kMaxNumberDigits) {
      fail("a number may have at most " + std::to_string(kMaxNumberDigits) + " digits", at,
           static_cast<std::uint32_t>(end - begin));
    }
    advance(end - begin);
    return finish(kind, begin, at);
  }

  if (c == '@') {
    if (offset_ + 1 >= source_.size() || !is_word_start(source_[offset_ + 1])) {
      fail("expected a module name right after '@' (as in '@gripper')", at);
    }
    const std::size_t end = scan_word(offset_ + 1);
    if (end - begin - 1 > limits_.max_name_length) {
      fail("a module name may be at most " + std::to_string(limits_.max_name_length) +
               " characters long",
           at, static_cast<std::uint32_t>(end - begin));
    }
    advance(end - begin);
    return finish(Tok::Module, begin, at);
  }

  if (c == '"' || c == '\'') {
    std::size_t end = offset_ + 1;
    for (;; ++end) {
      if (end >= source_.size() || source_[end] == '\n' || source_[end] == '\r') {
        fail(std::string("this quoted text is not closed on its line: end it with ") + c, at);
      }
      const auto byte = static_cast<unsigned char>(source_[end]);
      if (byte == static_cast<unsigned char>(c)) break;
      if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
        advance(end - offset_);
        fail("a quoted text cannot hold the control character " + hex4(byte), here_);
      }
    }
    if (end - begin - 1 > limits_.max_text_length) {
      fail("a quoted text may be at most " + std::to_string(limits_.max_text_length) +
               " bytes long; this one has " + std::to_string(end - begin - 1),
           at);
    }
    advance(end + 1 - begin);
    return finish(Tok::String, begin, at);
  }

  Tok kind;
  switch (c) {
    case '{':
      kind = Tok::LBrace;
      break;
    case '}':
      kind = Tok::RBrace;
      break;
    case '(':
      kind = Tok::LParen;
      break;
    case ')':
      kind = Tok::RParen;
      break;
    case '[':
      kind = Tok::LBracket;
      break;
    case ']':
      kind = Tok::RBracket;
      break;
    case ',':
      kind = Tok::Comma;
      break;
    case ':':
      kind = Tok::Colon;
      break;
    case ';':
      kind = Tok::Semicolon;
      break;
    case '.':
      if (offset_ + 1 < source_.size() && is_digit(source_[offset_ + 1])) {
        fail_fraction(begin, offset_ + 1, at);
      }
      kind = Tok::Dot;
      break;
    case '+':
      kind = Tok::Plus;
      break;
    case '-':
      kind = Tok::Minus;
      break;
    default: {
      char32_t cp = 0;
      const std::size_t len = utf8::sequence(source_, offset_, cp);
      std::string shown = hex4(cp);
      if (cp > 0x20 && cp < 0x7F) {
        shown = quoted(std::string_view(&c, 1));
      } else if (cp >= 0xA0) {
        shown = quoted(source_.substr(offset_, len)) + " (" + hex4(cp) + ")";
      }
      std::string hint;
      if (cp == 0x201C || cp == 0x201D || cp == 0x2018 || cp == 0x2019) {
        hint = "; quote texts with plain \" or '";
      }
      fail("unexpected character " + shown + hint, at);
    }
  }
  advance(1);
  return finish(kind, begin, at);
}

}  // namespace zarn::parser
