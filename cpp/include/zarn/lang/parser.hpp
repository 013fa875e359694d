// The parser of ZARN scripts: text in, a flat tree of rule nodes out.
//
// The tree is stored in post-order: every node comes after all the nodes its
// entries refer to, and the start rule's node comes last. Walking the nodes
// from first to last therefore visits every rule bottom-up, in the order in
// which a semantics object must be called, without any recursion; a sequence
// of 20,000 statements is just 20,000 more nodes, not 20,000 levels.
//
// Inline compound statements (a loop, a guarded, retried or timed block, an
// if, a parallel or competing group, a braced sequence written where a
// statement goes) are hoisted: the
// parser emits an anonymous declaration of the construct, named
// "_<keyword>@L<line>C<column>", just before the statement, and the statement
// refers to that name. A statement's block therefore never holds a block value,
// only actions and names of declared blocks.
//
// The text is UTF-8 (one leading byte order mark is skipped). Limits bound the
// work and the memory a hostile script can ask for; every refusal is a
// SyntaxError with a position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::parser {

// Where something stands in the script, counted from 1. Columns count
// characters (code points), not bytes, so that a caret drawn under the line
// text lands on the right character; a tab counts as one.
struct Position {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  friend bool operator==(const Position&, const Position&) = default;
};

enum class Kind : std::uint8_t {
  // Token rules: the node holds the token's text.
  Number,
  Module,
  Identifier,
  ExternStr,
  // Rules whose node holds named entries.
  External,
  Io,
  Move,
  Transfer,
  Declaration,
  Block,
  Loop,
  ActionClause,
  AsyncBlock,
  CompeteBlock,
  Action,
  // Rules added with conditions, timed and retried bodies and blocks with
  // parameters; kept after the first ones so that those keep their numbers.
  Real,  // a token rule: a number with a fraction
  WaitUntil,
  MoveOffset,
  IfBlock,
  Condition,
  LoopCond,
  Retry,
  Timeout,
  BlockCall,
  OnStop,
  // Plain values the semantics never sees as a rule of their own.
  List,  // a list of the entries' values, in order (entries have Key::Item)
  Pair,  // a pair of the two entries' values (a tray and its slot)
  Text,  // a plain text (the wait marker, a priority name)
};
inline constexpr std::size_t kRuleCount = static_cast<std::size_t>(Kind::OnStop) + 1;

// The rule's name, which is also the semantics method's name; "list", "pair"
// and "text" for the plain values.
const char* kind_name(Kind kind);
bool is_token_rule(Kind kind);
inline bool is_rule(Kind kind) { return kind <= Kind::OnStop; }

enum class Key : std::uint8_t {
  Item,  // an element of a List or a Pair
  mod,
  ident,
  argLeft,
  argRight,
  status,
  tray,
  action,
  primary,
  wait,
  dependency,
  dependLeft,
  dependRight,
  others,
  iterateBlock,
  cnt,
  exception,
  asyncleft,
  asyncright,
  competeleft,
  competeright,
  priorities,
  declarations,
  otherwise,
  condition,
  negate,
  which,
  kind,
  seconds,
  within,
  offset,
  args,
  params,
  bodystart,
  bodyend,
  bodyline,
  bodycolumn,
};
inline constexpr std::size_t kKeyCount = static_cast<std::size_t>(Key::bodycolumn) + 1;
const char* key_name(Key key);

// An entry whose value is "nothing" (a branch written without a priority).
inline constexpr std::uint32_t kNoNode = UINT32_MAX;

struct Node {
  Kind kind;
  Position position;
  // Token rules and Text: the text's offset and length in Tree::texts.
  // Everything else: the first entry's index in Tree::entries and the count.
  std::uint32_t first = 0;
  std::uint32_t count = 0;
};

struct Entry {
  Key key;
  std::uint32_t node;  // an index into Tree::nodes, or kNoNode
};

struct Tree {
  std::vector<Node> nodes;  // post-order; the start rule's node is the last
  std::vector<Entry> entries;
  std::string texts;

  std::string_view text(const Node& node) const {
    return std::string_view(texts).substr(node.first, node.count);
  }
  std::span<const Entry> entries_of(const Node& node) const {
    return std::span<const Entry>(entries).subspan(node.first, node.count);
  }
  const Node& root() const { return nodes.back(); }
};

struct Limits {
  std::size_t max_source_bytes = 16u * 1024u * 1024u;
  // Levels of blocks inside blocks (a braced sequence, a loop, a guarded block,
  // a group, a branch: one level each). The parser recurses once per level.
  std::size_t max_depth = 200;
  std::size_t max_name_length = 255;     // identifiers and module names, in bytes
  std::size_t max_text_length = 65'536;  // a quoted text, delimiters excluded, in bytes
  std::size_t max_list_length = 1'000;   // items of a statement, arguments, names, branches
  // Actions that compiling the script builds: every block counts the actions
  // it stands for once its loops are unrolled and its uses of declared blocks
  // inlined, summed over all blocks at every level (each level copies them
  // again). A few nested loops must not be able to ask for billions.
  std::uint64_t max_expanded_actions = 1'000'000;
};

// A script that cannot be read. what() is the message alone, saying what was
// expected; the position (and the width of the offending token, at least 1)
// are kept apart so that callers can show them their own way.
struct SyntaxError : std::runtime_error {
  SyntaxError(const std::string& message, Position at, std::uint32_t token_width = 1)
      : std::runtime_error(message), position(at), width(token_width) {}
  Position position;
  std::uint32_t width;
};

// Parses a whole script. Throws SyntaxError.
//
// The body of a block with parameters is checked but yields no nodes: its
// declaration holds where the body stands instead (bodystart, bodyend: byte
// offsets in `source` as given, a byte order mark included; bodyline,
// bodycolumn), so that each use can read it again with parse_body.
Tree parse(std::string_view source, const Limits& limits = {});

// Parses the one body that starts at byte `start` of the whole script
// `source`, which stands at `at`: every node and error keeps its place in the
// script. Names stand as values and slots anywhere in it (they are the
// parameters, checked when the whole script was read). The root node is the
// body's. Throws SyntaxError, and std::invalid_argument for a start outside
// the script.
Tree parse_body(std::string_view source, std::size_t start, Position at, const Limits& limits = {});

// The text of a line (counted from 1) without its line break, as the parser
// counts lines (LF, CR LF or a lone CR end a line; a leading byte order mark is
// not part of line 1). Empty when there is no such line.
std::string_view line_text(std::string_view source, std::uint32_t line);

}  // namespace zarn::parser
