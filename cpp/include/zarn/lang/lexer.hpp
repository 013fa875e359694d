// Tokens of ZARN scripts.
//
// Words are ASCII letters, digits and "_", not starting with a digit; a few of
// them are keywords. "@name" names a machine module, "#" starts a comment that
// runs to the end of the line, numbers are decimal (whole, or with a fraction
// after a point: "12.5") with an optional leading "-", and quoted texts run
// between two " or two ' on one line (no escapes: the other quote character can
// be used inside). A "-" that does not start a number, and "+", stand alone
// (the sign of a move's offset).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "zarn/lang/parser.hpp"

namespace zarn::parser {

enum class Tok : std::uint8_t {
  End,
  Name,
  Module,
  Number,
  Real,  // a number with a fraction
  String,
  LBrace,
  RBrace,
  LParen,
  RParen,
  LBracket,
  RBracket,
  Comma,
  Colon,
  Semicolon,
  Dot,
  Plus,
  Minus,
  // Keywords, reserved wherever a name could stand.
  KwBlock,
  KwParallel,
  KwAnd,
  KwCompete,
  KwOr,
  KwPriority,
  KwRepeat,
  KwTry,
  KwExcept,
  KwAfter,
  KwMove,
  KwSet,
  KwFrom,
  KwInto,
  KwOn,
  KwOff,
  KwIf,
  KwElse,
  KwNot,
  KwUntil,
  KwWhile,
  KwMax,
  KwRetry,
  KwTimeout,
  KwWait,
  KwWithin,
  KwEmpty,
  KwFull,
  KwStop,
};

// A word: a name or a keyword (after "." in a call, any word names an operation).
inline bool is_word(Tok kind) { return kind == Tok::Name || kind >= Tok::KwBlock; }

struct Token {
  Tok kind = Tok::End;
  Position position;
  std::uint32_t begin = 0;  // byte offset in the source
  std::uint32_t size = 0;   // bytes
  std::uint32_t width = 0;  // characters
};

// How a token is named in messages: "'}'", "the keyword 'and'", "the end of
// the script", "the name 'pick'" (long texts shortened).
std::string describe(const Token& token, std::string_view source);

// Reads tokens on demand, with two tokens of look-ahead, so that a script is
// read once and its first fault is the one reported. The source must already
// be known to be UTF-8.
class Lexer {
 public:
  // Reads from byte `start` on, which stands at `at` (a body read again on its
  // own keeps the places it has in the whole script).
  Lexer(std::string_view source, const Limits& limits, std::size_t start = 0, Position at = {1, 1});

  const Token& peek(int ahead = 0);
  Token next();
  std::string_view text(const Token& token) const {
    return source_.substr(token.begin, token.size);
  }
  std::string_view source() const { return source_; }
  // One past the last byte of the last token taken with next().
  std::size_t end_of_taken() const { return end_of_taken_; }
  // One past the last byte scanned so far (look-ahead included).
  std::size_t end_of_scanned() const { return offset_; }

 private:
  Token scan();
  void skip_space_and_comments();
  void advance(std::size_t bytes);  // over bytes that hold no line break
  Token finish(Tok kind, std::size_t begin, Position at);
  [[noreturn]] void fail(const std::string& message, Position at, std::uint32_t width = 1) const;
  // A point without digits on both sides ("1.", ".5", "1.2.3"), from `begin`.
  [[noreturn]] void fail_fraction(std::size_t begin, std::size_t through, Position at) const;

  std::string_view source_;
  const Limits& limits_;
  std::size_t offset_ = 0;
  Position here_{1, 1};
  // Where the last token scanned ends. The End token stands there, so that a
  // missing closing bracket is reported after the last thing written rather
  // than on an empty line below it.
  Position end_of_last_{1, 1};
  std::size_t end_of_taken_ = 0;
  std::array<Token, 2> ahead_{};
  int buffered_ = 0;
};

}  // namespace zarn::parser
