#include "zarn/lang/parser.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <unordered_map>

#include "zarn/base/utf8.hpp"
#include "zarn/lang/lexer.hpp"

namespace zarn::parser {

const char* kind_name(Kind kind) {
  static constexpr const char* kNames[] = {
      "number",     "module",       "identifier",  "extern_str", "external", "io",
      "move",       "transfer",     "declaration", "block",      "loop",     "actionclause",
      "asyncblock", "competeblock", "action",      "list",       "pair",     "text",
  };
  return kNames[static_cast<std::size_t>(kind)];
}

bool is_token_rule(Kind kind) { return kind <= Kind::ExternStr; }

const char* key_name(Key key) {
  static constexpr const char* kNames[] = {
      "item",        "mod",         "ident",        "argLeft",    "argRight",     "status",
      "tray",        "action",      "primary",      "wait",       "dependency",   "dependLeft",
      "dependRight", "others",      "iterateBlock", "cnt",        "exception",    "asyncleft",
      "asyncright",  "competeleft", "competeright", "priorities", "declarations",
  };
  return kNames[static_cast<std::size_t>(key)];
}

std::string_view line_text(std::string_view source, std::uint32_t line) {
  if (source.starts_with("\xEF\xBB\xBF")) source.remove_prefix(3);
  std::size_t start = 0;
  for (std::uint32_t current = 1; current < line; ++current) {
    const std::size_t brk = source.find_first_of("\r\n", start);
    if (brk == std::string_view::npos) return {};
    start =
        brk + ((source[brk] == '\r' && brk + 1 < source.size() && source[brk + 1] == '\n') ? 2 : 1);
  }
  if (start > source.size()) return {};
  const std::size_t end = source.find_first_of("\r\n", start);
  return source.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

namespace {

// ---------------------------------------------------------------------------
// Text checks made before any token is read
// ---------------------------------------------------------------------------

Position position_of_offset(std::string_view source, std::size_t offset) {
  Position at{1, 1};
  for (std::size_t i = 0; i < offset; ++i) {
    const char c = source[i];
    if (c == '\n' || (c == '\r' && !(i + 1 < source.size() && source[i + 1] == '\n'))) {
      ++at.line;
      at.column = 1;
    } else if (c != '\r' && !utf8::is_continuation(c)) {
      ++at.column;
    }
  }
  return at;
}

std::string hex_byte(unsigned char byte) {
  static const char* const digits = "0123456789ABCDEF";
  return std::string("0x") + digits[byte >> 4] + digits[byte & 0xF];
}

void check_utf8(std::string_view source) {
  for (std::size_t i = 0; i < source.size();) {
    if (static_cast<unsigned char>(source[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t len = utf8::sequence(source, i, cp);
    if (len != 0) {
      i += len;
      continue;
    }
    const auto lead = static_cast<unsigned char>(source[i]);
    std::string reason;
    if (lead < 0xC2 || lead > 0xF4) {
      reason = "byte " + hex_byte(lead) + " cannot start a character";
    } else {
      reason = "the bytes";
      for (std::size_t k = i; k < source.size() && k < i + 4; ++k) {
        if (k > i && !utf8::is_continuation(source[k])) break;
        reason += ' ';
        reason += hex_byte(static_cast<unsigned char>(source[k]));
      }
      reason += " do not form a character";
    }
    throw SyntaxError("the script is not UTF-8 text: " + reason + " (save it as UTF-8)",
                      position_of_offset(source, i));
  }
}

// ---------------------------------------------------------------------------
// The grammar
// ---------------------------------------------------------------------------

// What a construct turns into once compiled, as far as it matters for where
// it may stand: a plain block of one machine module, or a parallel or
// competing group (which a run of plain statements cannot go on into). Unknown:
// a name the script does not declare; the semantics will judge it.
enum class Shape : std::uint8_t { Unknown, Plain, Group };

struct Body {
  std::uint32_t node = kNoNode;
  Shape shape = Shape::Unknown;
  std::uint64_t size = 0;  // actions once loops are unrolled and uses inlined
  std::string what;        // how a group is named in messages
};

struct Item {
  std::uint32_t node;
  Shape shape;
  std::uint64_t size;
  Position position;
  std::string what;
};

struct Statement {
  Position position;
  std::uint32_t label = kNoNode;
  std::uint32_t primary = kNoNode;
  std::uint32_t wait = kNoNode;
  std::uint32_t dependency = kNoNode;
  std::uint32_t depend_left = kNoNode;
  std::uint32_t depend_right = kNoNode;
  Shape shape = Shape::Unknown;
  std::uint64_t size = 0;
  Position group_position;
  std::string group_what;
};

struct Declared {
  Shape shape;
  std::uint64_t size;
  Position position;
  std::string what;
};

// A name used as a statement before any block of that name was declared.
struct EarlyUse {
  std::string_view name;
  Position position;
  std::uint32_t width;
  std::string_view inside;  // the declaration being read at the time
};

std::string where(Position at) {
  return "line " + std::to_string(at.line) + ", column " + std::to_string(at.column);
}

// Recursion happens once per nesting level, through body(), sequence(),
// items() and item() (or the group, loop and guard readers). Those keep their
// frames small: messages are built, and non-recursive work is done, in
// out-of-line helpers (ZARN_OUT_OF_LINE), so that the deepest nesting allowed
// fits a thread's stack with room to spare.
#define ZARN_OUT_OF_LINE [[gnu::noinline]]

class Parser {
 public:
  Parser(std::string_view source, const Limits& limits) : lexer_(source, limits), limits_(limits) {}

  Tree run() {
    std::vector<std::uint32_t> declarations;
    while (lexer_.peek().kind != Tok::End) declarations.push_back(declaration());
    if (declarations.empty()) {
      fail_at(lexer_.peek(), "expected a block declaration such as 'block main { ... }'");
    }
    check_early_uses();
    const std::uint32_t list = emit_list(declarations, Position{1, 1});
    emit(Kind::Action, Position{1, 1}, {{Key::declarations, list}});
    return std::move(tree_);
  }

 private:
  struct Label {
    std::size_t statement;
    Position position;
  };
  struct Wait {
    std::string_view name;
    Position position;
    std::uint32_t width;
    std::size_t statement;
  };
  struct SequenceState {
    std::vector<Statement> statements;
    std::unordered_map<std::string_view, Label> labels;
    std::vector<Wait> waits;
    std::optional<Position> first_plain;
    std::uint64_t size = 0;
  };

  // --- output ---------------------------------------------------------------

  std::uint32_t push(const Node& node) {
    tree_.nodes.push_back(node);
    return static_cast<std::uint32_t>(tree_.nodes.size() - 1);
  }
  std::uint32_t emit_text(Kind kind, std::string_view text, Position at) {
    const Node node{kind, at, static_cast<std::uint32_t>(tree_.texts.size()),
                    static_cast<std::uint32_t>(text.size())};
    tree_.texts.append(text);
    return push(node);
  }
  std::uint32_t emit_token(Kind kind, const Token& token) {
    return emit_text(kind, lexer_.text(token), token.position);
  }
  // Another node of the same kind and text (the text is shared, not copied).
  std::uint32_t emit_again(std::uint32_t original) { return push(tree_.nodes[original]); }
  std::uint32_t emit(Kind kind, Position at, std::initializer_list<Entry> entries) {
    const Node node{kind, at, static_cast<std::uint32_t>(tree_.entries.size()),
                    static_cast<std::uint32_t>(entries.size())};
    tree_.entries.insert(tree_.entries.end(), entries.begin(), entries.end());
    return push(node);
  }
  std::uint32_t emit(Kind kind, Position at, const std::vector<Entry>& entries) {
    const Node node{kind, at, static_cast<std::uint32_t>(tree_.entries.size()),
                    static_cast<std::uint32_t>(entries.size())};
    tree_.entries.insert(tree_.entries.end(), entries.begin(), entries.end());
    return push(node);
  }
  std::uint32_t emit_list(const std::vector<std::uint32_t>& items, Position at) {
    const Node node{Kind::List, at, static_cast<std::uint32_t>(tree_.entries.size()),
                    static_cast<std::uint32_t>(items.size())};
    for (std::uint32_t item : items) tree_.entries.push_back({Key::Item, item});
    return push(node);
  }

  // --- failures -------------------------------------------------------------

  [[noreturn]] ZARN_OUT_OF_LINE void fail(const std::string& message, Position at,
                                          std::uint32_t width = 1) {
    throw SyntaxError(message, at, width == 0 ? 1 : width);
  }
  [[noreturn]] ZARN_OUT_OF_LINE void fail_at(const Token& found, std::string_view expected) {
    fail(std::string(expected) + ", found " + describe(found, lexer_.source()), found.position,
         found.width);
  }
  ZARN_OUT_OF_LINE void check_list_length(std::size_t count, const char* what) {
    if (count < limits_.max_list_length) return;
    const Token& at = lexer_.peek();
    fail("too many " + std::string(what) + ": at most " + std::to_string(limits_.max_list_length),
         at.position, at.width);
  }
  // Adds to a size, saturating; the whole script's total is bounded so that
  // compiling it copies a bounded number of actions.
  static std::uint64_t plus(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
  }
  ZARN_OUT_OF_LINE void charge(const Body& body, Position at) {
    total_ = plus(total_, body.size);
    if (body.size > limits_.max_expanded_actions || total_ > limits_.max_expanded_actions) {
      fail(
          "the script is too large once its loops are unrolled and its uses of blocks "
          "inlined: compiling it would build more than " +
              std::to_string(limits_.max_expanded_actions) +
              " actions, and this block takes it over the limit",
          at);
    }
  }

  Token expect(Tok kind, std::string_view expected) {
    if (lexer_.peek().kind != kind) fail_at(lexer_.peek(), expected);
    return lexer_.next();
  }
  std::uint32_t name(std::string_view expected) {
    return emit_token(Kind::Identifier, expect(Tok::Name, expected));
  }

  ZARN_OUT_OF_LINE void check_early_uses() {
    for (const EarlyUse& use : early_uses_) {
      auto found = declared_.find(use.name);
      if (found == declared_.end()) continue;
      if (use.name == use.inside) {
        fail("a block cannot use itself: '" + std::string(use.name) + "' is not declared yet here",
             use.position, use.width);
      }
      fail("the block '" + std::string(use.name) + "' is declared further down, at " +
               where(found->second.position) + "; declare it above its first use",
           use.position, use.width);
    }
  }

  // --- declarations and bodies ----------------------------------------------

  std::uint32_t declaration() {
    const Token keyword =
        expect(Tok::KwBlock, "expected a block declaration ('block NAME { ... }')");
    const Token name_token = expect(Tok::Name, "expected the block's name after 'block'");
    const std::string_view block_name = lexer_.text(name_token);
    if (auto earlier = declared_.find(block_name); earlier != declared_.end()) {
      fail("a block named '" + std::string(block_name) + "' is already declared at " +
               where(earlier->second.position),
           name_token.position, name_token.width);
    }
    current_declaration_ = block_name;
    const std::uint32_t ident = emit_token(Kind::Identifier, name_token);
    Body declared = body("after the block's name");
    const std::uint32_t node = emit(Kind::Declaration, keyword.position,
                                    {{Key::ident, ident}, {Key::action, declared.node}});
    std::string what;
    if (declared.shape == Shape::Group) {
      what = "the block '" + std::string(block_name) + "' (" + declared.what + ")";
    }
    declared_.emplace(
        block_name, Declared{declared.shape, declared.size, name_token.position, std::move(what)});
    return node;
  }

  [[noreturn]] ZARN_OUT_OF_LINE void fail_too_deep() {
    const Token& at = lexer_.peek();
    fail("blocks are nested more than " + std::to_string(limits_.max_depth) + " levels deep",
         at.position, at.width);
  }
  [[noreturn]] ZARN_OUT_OF_LINE void fail_no_body(const char* context) {
    fail_at(lexer_.peek(), std::string("expected a block ") + context +
                               ": '{ ... }', 'repeat', 'try', 'parallel', 'compete' or the name "
                               "of a declared block");
  }

  // `context` says where the body is expected, for the message.
  Body body(const char* context) {
    if (depth_ >= limits_.max_depth) fail_too_deep();
    const Position at = lexer_.peek().position;
    ++depth_;
    Body result;
    switch (lexer_.peek().kind) {
      case Tok::LBrace:
        result = sequence();
        break;
      case Tok::KwParallel:
        result = group(Kind::AsyncBlock);
        break;
      case Tok::KwCompete:
        result = group(Kind::CompeteBlock);
        break;
      case Tok::KwRepeat:
        result = repeat();
        break;
      case Tok::KwTry:
        result = guarded();
        break;
      case Tok::Name:
        result = named_body();
        break;
      default:
        fail_no_body(context);
    }
    --depth_;
    charge(result, at);
    return result;
  }

  // A braced sequence. Its statements become a chain of block nodes built from
  // the end, each holding the one after it as `others`; the chain is handed
  // over as the left side of an asyncblock node with no right side, the rule
  // that resolves the waits between the chain's own statements.
  Body sequence() {
    const Token open = lexer_.next();
    SequenceState state;
    for (;;) {
      const Tok next = lexer_.peek().kind;
      if (next == Tok::RBrace) break;
      if (next == Tok::End) fail_unclosed(open);
      Statement st = begin_statement(state);
      items(st);
      end_statement(state, std::move(st));
    }
    return finish_sequence(open, state);
  }

  [[noreturn]] ZARN_OUT_OF_LINE void fail_unclosed(const Token& open) {
    fail_at(lexer_.peek(), "expected '}' to close the '{' at " + where(open.position));
  }

  // The statement's position and its label, if it has one.
  ZARN_OUT_OF_LINE Statement begin_statement(SequenceState& state) {
    Statement st;
    const Token& next = lexer_.peek();
    st.position = next.position;
    if (next.kind != Tok::Name || lexer_.peek(1).kind != Tok::Colon) return st;
    const Token label = lexer_.next();
    lexer_.next();
    const std::string_view label_name = lexer_.text(label);
    if (auto earlier = state.labels.find(label_name); earlier != state.labels.end()) {
      fail("the label '" + std::string(label_name) + "' is already used in this sequence, at " +
               where(earlier->second.position),
           label.position, label.width);
    }
    state.labels.emplace(label_name, Label{state.statements.size(), label.position});
    st.label = emit_token(Kind::Identifier, label);
    return st;
  }

  // The wait clause, then the checks of where a group may stand.
  ZARN_OUT_OF_LINE void end_statement(SequenceState& state, Statement&& st) {
    if (lexer_.peek().kind == Tok::KwAfter) {
      const Token after = lexer_.next();
      st.wait = emit_text(Kind::Text, "after", after.position);
      std::vector<std::uint32_t> names;
      const char* expected = "expected the label of a statement to wait for after 'after'";
      for (;;) {
        check_list_length(names.size(), "names after 'after'");
        const Token waited = expect(Tok::Name, expected);
        state.waits.push_back(
            {lexer_.text(waited), waited.position, waited.width, state.statements.size()});
        names.push_back(emit_token(Kind::Identifier, waited));
        if (lexer_.peek().kind != Tok::Comma) break;
        lexer_.next();
        expected = "expected another label after ','";
      }
      if (names.size() == 1) {
        st.dependency = names[0];
      } else {
        st.depend_left = names[0];
        st.depend_right =
            emit_list(std::vector<std::uint32_t>(names.begin() + 1, names.end()), after.position);
      }
    }
    if (lexer_.peek().kind == Tok::Semicolon) lexer_.next();

    if (st.shape == Shape::Group && state.first_plain) {
      fail(capitalised(st.group_what) + " cannot come after plain statements in the same " +
               "sequence (the first of them is at " + where(*state.first_plain) +
               "): a run of plain statements drives one machine module and cannot go on into "
               "a group. Start the sequence with the group, or move those statements into the "
               "group's branch for their module",
           st.group_position);
    }
    if (st.shape == Shape::Plain && !state.first_plain) state.first_plain = st.position;
    state.size = plus(state.size, st.size);
    state.statements.push_back(std::move(st));
  }

  ZARN_OUT_OF_LINE Body finish_sequence(const Token& open, const SequenceState& state) {
    const Token close = lexer_.next();
    if (state.statements.empty()) {
      fail("expected a statement before '}': a block holds at least one", close.position);
    }
    for (const Wait& wait : state.waits) {
      auto label = state.labels.find(wait.name);
      if (label == state.labels.end() || label->second.statement < wait.statement) continue;
      if (label->second.statement == wait.statement) {
        fail(
            "a statement cannot wait for itself: '" + std::string(wait.name) + "' is its own label",
            wait.position, wait.width);
      }
      fail("'" + std::string(wait.name) + "' labels a statement further down this sequence (at " +
               where(label->second.position) +
               "), which cannot have finished first: a statement can wait for one before it, or "
               "for one in another branch of its parallel group",
           wait.position, wait.width);
    }

    std::uint32_t others = kNoNode;
    std::vector<Entry> entries;
    for (auto st = state.statements.rbegin(); st != state.statements.rend(); ++st) {
      entries.clear();
      if (st->label != kNoNode) entries.push_back({Key::ident, st->label});
      entries.push_back({Key::primary, st->primary});
      if (st->wait != kNoNode) {
        entries.push_back({Key::wait, st->wait});
        if (st->dependency != kNoNode) {
          entries.push_back({Key::dependency, st->dependency});
        } else {
          entries.push_back({Key::dependLeft, st->depend_left});
          entries.push_back({Key::dependRight, st->depend_right});
        }
      }
      if (others != kNoNode) entries.push_back({Key::others, others});
      others = emit(Kind::Block, st->position, entries);
    }
    Body result;
    result.node = emit(Kind::AsyncBlock, open.position, {{Key::asyncleft, others}});
    result.shape = state.statements.front().shape;
    result.size = state.size;
    if (result.shape == Shape::Group) result.what = "a sequence that starts with a group";
    return result;
  }

  // A declared block's name standing where a body goes (`repeat 4 pick`):
  // read as the sequence `{ pick }`.
  ZARN_OUT_OF_LINE Body named_body() {
    const Position at = lexer_.peek().position;
    Item used = reference();
    const std::uint32_t block = emit(Kind::Block, at, {{Key::primary, used.node}});
    Body result;
    result.node = emit(Kind::AsyncBlock, at, {{Key::asyncleft, block}});
    result.shape = used.shape;
    result.size = used.size;
    result.what = std::move(used.what);
    return result;
  }

  static std::string capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
      text[0] = static_cast<char>(text[0] - 32);
    return text;
  }

  // The items of one statement: one, or several separated by ','.
  void items(Statement& st) {
    std::vector<Item> found;
    for (;;) {
      check_list_length(found.size(), "items in one statement");
      found.push_back(item());
      if (lexer_.peek().kind != Tok::Comma) break;
      lexer_.next();
    }
    settle_items(st, found);
  }

  ZARN_OUT_OF_LINE void settle_items(Statement& st, std::vector<Item>& found) {
    bool any_plain = false;
    for (const Item& it : found) {
      if (it.shape == Shape::Group && found.size() > 1) {
        fail(capitalised(it.what) +
                 " must be a statement of its own, not one of several items separated by ','",
             it.position);
      }
      any_plain = any_plain || it.shape == Shape::Plain;
      st.size = plus(st.size, it.size);
    }
    if (found.size() == 1) {
      st.primary = found[0].node;
      st.shape = found[0].shape;
      st.group_position = found[0].position;
      st.group_what = std::move(found[0].what);
    } else {
      std::vector<std::uint32_t> nodes;
      for (const Item& it : found) nodes.push_back(it.node);
      st.primary = emit_list(nodes, found[0].position);
      st.shape = any_plain ? Shape::Plain : Shape::Unknown;
    }
  }

  Item item() {
    switch (lexer_.peek().kind) {
      case Tok::Module:
        return action_item();
      case Tok::Name:
        return reference();
      case Tok::LBrace:
      case Tok::KwParallel:
      case Tok::KwCompete:
      case Tok::KwRepeat:
      case Tok::KwTry: {
        // Hoisted into a declaration of its own, so that the statement holds a
        // name, which global resolution turns into the construct's actions.
        const Position at = lexer_.peek().position;
        const std::uint32_t ident = hoisted_name();
        Body hoisted = body("");
        emit(Kind::Declaration, at, {{Key::ident, ident}, {Key::action, hoisted.node}});
        return Item{emit_again(ident), hoisted.shape, hoisted.size, at, std::move(hoisted.what)};
      }
      default:
        fail_at(lexer_.peek(),
                "expected a statement: an action such as '@axis move home', the name of a "
                "declared block, or a '{', 'repeat', 'try', 'parallel' or 'compete' block");
    }
  }

  // "_<keyword>@L<line>C<column>": no script can declare such a name.
  ZARN_OUT_OF_LINE std::uint32_t hoisted_name() {
    const Token& start = lexer_.peek();
    const std::string word =
        start.kind == Tok::LBrace ? "sequence" : std::string(lexer_.text(start));
    return emit_text(Kind::Identifier,
                     "_" + word + "@L" + std::to_string(start.position.line) + "C" +
                         std::to_string(start.position.column),
                     start.position);
  }

  ZARN_OUT_OF_LINE Item reference() {
    const Token used = lexer_.next();
    const std::uint32_t node = emit_token(Kind::Identifier, used);
    const std::string_view used_name = lexer_.text(used);
    auto found = declared_.find(used_name);
    if (found == declared_.end()) {
      early_uses_.push_back({used_name, used.position, used.width, current_declaration_});
      return Item{node, Shape::Unknown, 1, used.position, {}};
    }
    return Item{node, found->second.shape, found->second.size, used.position, found->second.what};
  }

  // --- actions --------------------------------------------------------------

  ZARN_OUT_OF_LINE Item action_item() {
    const Position at = lexer_.peek().position;
    return Item{action(), Shape::Plain, 1, at, {}};
  }

  std::uint32_t action() {
    const Token module_token = lexer_.next();
    const std::uint32_t mod = emit_token(Kind::Module, module_token);
    const std::string module_text(lexer_.text(module_token));
    const Position at = module_token.position;
    const Token& next = lexer_.peek();
    switch (next.kind) {
      case Tok::KwMove: {
        lexer_.next();
        const std::uint32_t ident = name("expected the name of a position after 'move'");
        return emit(Kind::Move, at, {{Key::mod, mod}, {Key::ident, ident}});
      }
      case Tok::KwSet: {
        lexer_.next();
        const std::uint32_t ident = name("expected the name of a signal after 'set'");
        const std::uint32_t status = value(
            "expected the value to set after the signal's name: a number, a quoted text, on or "
            "off");
        return emit(Kind::Io, at, {{Key::mod, mod}, {Key::ident, ident}, {Key::status, status}});
      }
      case Tok::Dot: {
        lexer_.next();
        const std::uint32_t ident = name("expected the name of an operation after '.'");
        expect(Tok::LParen,
               "expected '(' after the operation's name (an operation without arguments is "
               "written as in '" +
                   module_text + ".start()')");
        std::vector<std::uint32_t> args;
        if (lexer_.peek().kind != Tok::RParen) {
          for (;;) {
            check_list_length(args.size(), "arguments");
            args.push_back(value("expected an argument: a number, a quoted text, on or off"));
            if (lexer_.peek().kind != Tok::Comma) break;
            lexer_.next();
          }
        }
        expect(Tok::RParen, "expected ',' or ')' after an argument");
        std::vector<Entry> entries{{Key::mod, mod}, {Key::ident, ident}};
        if (!args.empty()) entries.push_back({Key::argLeft, args[0]});
        if (args.size() > 1) {
          entries.push_back(
              {Key::argRight,
               emit_list(std::vector<std::uint32_t>(args.begin() + 1, args.end()), at)});
        }
        return emit(Kind::External, at, entries);
      }
      case Tok::Name: {
        const Token operation = lexer_.next();
        const std::uint32_t ident = emit_token(Kind::Identifier, operation);
        const std::string op(lexer_.text(operation));
        const Token& direction = lexer_.peek();
        if (direction.kind != Tok::KwFrom && direction.kind != Tok::KwInto) {
          fail_at(direction, "expected 'from' or 'into' and a tray after '" + module_text + " " +
                                 op + "' (as in '" + module_text + " " + op +
                                 " from feeder'); a module is followed by 'move', 'set', '.' or "
                                 "a tray operation");
        }
        const Token word = lexer_.next();
        const Token tray_name = expect(Tok::Name, "expected the name of a tray after '" +
                                                      std::string(lexer_.text(word)) + "'");
        std::uint32_t tray = emit_token(Kind::Identifier, tray_name);
        if (lexer_.peek().kind == Tok::LBracket) {
          lexer_.next();
          const Token slot = expect(Tok::Number, "expected a slot number after '['");
          const std::uint32_t slot_node = emit_token(Kind::Number, slot);
          expect(Tok::RBracket, "expected ']' after the slot number");
          tray = emit(Kind::Pair, tray_name.position, {{Key::Item, tray}, {Key::Item, slot_node}});
        }
        return emit(Kind::Transfer, at, {{Key::mod, mod}, {Key::ident, ident}, {Key::tray, tray}});
      }
      default:
        fail_at(next,
                "expected 'move', 'set', '.' or a tray operation after '" + module_text + "'");
    }
  }

  std::uint32_t value(std::string_view expected) {
    const Token& next = lexer_.peek();
    switch (next.kind) {
      case Tok::Number:
        return emit_token(Kind::Number, lexer_.next());
      case Tok::String:
        return emit_token(Kind::ExternStr, lexer_.next());
      case Tok::KwOn:
        return emit_text(Kind::Number, "1", lexer_.next().position);
      case Tok::KwOff:
        return emit_text(Kind::Number, "0", lexer_.next().position);
      default:
        fail_at(next, expected);
    }
  }

  // --- compound constructs --------------------------------------------------

  Body repeat() {
    const Position at = lexer_.next().position;
    std::uint64_t rounds = 0;
    const std::uint32_t cnt = loop_count(rounds);
    Body repeated = body("after the repeat count");
    Body result;
    result.node = emit(Kind::Loop, at, {{Key::iterateBlock, repeated.node}, {Key::cnt, cnt}});
    result.shape = repeated.shape;
    result.size = repeated.size != 0 && rounds > UINT64_MAX / repeated.size
                      ? UINT64_MAX
                      : repeated.size * rounds;
    if (result.shape == Shape::Group) result.what = "a repeated group";
    return result;
  }

  ZARN_OUT_OF_LINE std::uint32_t loop_count(std::uint64_t& rounds) {
    const Token count = expect(
        Tok::Number, "expected how many times to repeat after 'repeat' (as in 'repeat 4 { ... }')");
    const std::string_view digits = lexer_.text(count);
    std::int64_t value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (value < 1) {
      fail("a repeat count must be at least 1, not " + std::string(digits), count.position,
           count.width);
    }
    rounds = static_cast<std::uint64_t>(value);
    return emit_token(Kind::Number, count);
  }

  Body guarded() {
    const Position at = lexer_.next().position;
    Body guarded_body = body("after 'try'");
    Body result;
    result.size = guarded_body.size;
    std::uint32_t handler_node = kNoNode;
    if (lexer_.peek().kind == Tok::KwExcept) {
      if (guarded_body.shape == Shape::Group) fail_guarded_group(guarded_body);
      lexer_.next();
      Body handler = body("after 'except'");
      handler_node = handler.node;
      result.size = plus(result.size, handler.size);
    }
    result.node = handler_node == kNoNode
                      ? emit(Kind::ActionClause, at, {{Key::primary, guarded_body.node}})
                      : emit(Kind::ActionClause, at,
                             {{Key::primary, guarded_body.node}, {Key::exception, handler_node}});
    result.shape = guarded_body.shape;
    result.what = std::move(guarded_body.what);
    return result;
  }

  [[noreturn]] ZARN_OUT_OF_LINE void fail_guarded_group(const Body& guarded_body) {
    const Token& except = lexer_.peek();
    fail("'except' cannot guard " + guarded_body.what +
             ": its handler would never run. Guard the statements inside the group's branches "
             "instead",
         except.position, except.width);
  }

  // `parallel A and B and C` or `compete A or B or C`. The branches are
  // delivered in script order as the group list the rule builds: the earlier
  // ones as the right side, the last one as the left side (the rule appends
  // the left side at the end).
  Body group(Kind kind) {
    const bool parallel = kind == Kind::AsyncBlock;
    const Position at = lexer_.next().position;
    const Tok separator = parallel ? Tok::KwAnd : Tok::KwOr;
    std::vector<std::uint32_t> branches;
    std::vector<std::uint32_t> priorities;
    bool any_priority = false;
    Body result;
    const char* context = parallel ? "after 'parallel'" : "after 'compete'";
    for (;;) {
      if (!parallel) {
        priorities.push_back(priority());
        if (priorities.back() != kNoNode) {
          any_priority = true;
          context = "after the priority";
        }
      }
      Body branch = body(context);
      branches.push_back(branch.node);
      result.size = plus(result.size, branch.size);
      if (lexer_.peek().kind != separator) {
        if (branches.size() >= 2) break;
        fail_second_branch(parallel);
      }
      check_list_length(branches.size(), "branches");
      lexer_.next();
      context = parallel ? "after 'and'" : "after 'or'";
    }
    result.node = emit_group(kind, at, branches, any_priority ? &priorities : nullptr);
    result.shape = Shape::Group;
    result.what = parallel ? "a parallel group" : "a competing group";
    return result;
  }

  // An optional `priority LEVEL` before a competing branch: its Text node, or
  // kNoNode when none is written.
  ZARN_OUT_OF_LINE std::uint32_t priority() {
    if (lexer_.peek().kind != Tok::KwPriority) return kNoNode;
    lexer_.next();
    const Token level = lexer_.peek();
    std::string upper(lexer_.text(level));
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    if (level.kind != Tok::Name || (upper != "HIGH" && upper != "NORMAL" && upper != "LOW")) {
      fail_at(level, "expected a priority after 'priority': high, normal or low");
    }
    lexer_.next();
    return emit_text(Kind::Text, upper, level.position);
  }

  [[noreturn]] ZARN_OUT_OF_LINE void fail_second_branch(bool parallel) {
    fail_at(lexer_.peek(), parallel ? "expected 'and' and a second branch after the first "
                                      "branch of 'parallel' (a group has at least two)"
                                    : "expected 'or' and a second branch after the first "
                                      "branch of 'compete' (a group has at least two)");
  }

  ZARN_OUT_OF_LINE std::uint32_t emit_group(Kind kind, Position at,
                                            const std::vector<std::uint32_t>& branches,
                                            const std::vector<std::uint32_t>* priorities) {
    const std::uint32_t right =
        emit_list(std::vector<std::uint32_t>(branches.begin(), branches.end() - 1), at);
    if (kind == Kind::AsyncBlock) {
      return emit(kind, at, {{Key::asyncleft, branches.back()}, {Key::asyncright, right}});
    }
    if (priorities == nullptr) {
      return emit(kind, at, {{Key::competeleft, branches.back()}, {Key::competeright, right}});
    }
    const std::uint32_t levels = emit_list(*priorities, at);
    return emit(kind, at,
                {{Key::competeleft, branches.back()},
                 {Key::competeright, right},
                 {Key::priorities, levels}});
  }

  Lexer lexer_;
  const Limits& limits_;
  Tree tree_;
  std::size_t depth_ = 0;
  std::uint64_t total_ = 0;
  std::unordered_map<std::string_view, Declared> declared_;
  std::vector<EarlyUse> early_uses_;
  std::string_view current_declaration_;
};

}  // namespace

Tree parse(std::string_view source, const Limits& limits) {
  if (source.size() > limits.max_source_bytes) {
    throw SyntaxError("the script is " + std::to_string(source.size()) + " bytes long; at most " +
                          std::to_string(limits.max_source_bytes) + " are accepted",
                      Position{1, 1});
  }
  if (source.starts_with("\xEF\xBB\xBF")) source.remove_prefix(3);
  check_utf8(source);
  return Parser(source, limits).run();
}

}  // namespace zarn::parser
