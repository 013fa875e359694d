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
      "number",     "module",       "identifier",  "extern_str", "external",  "io",
      "move",       "transfer",     "declaration", "block",      "loop",      "actionclause",
      "asyncblock", "competeblock", "action",      "real",       "waituntil", "moveoffset",
      "ifblock",    "condition",    "loopcond",    "retry",      "timeout",   "blockcall",
      "onstop",     "list",         "pair",        "text",
  };
  return kNames[static_cast<std::size_t>(kind)];
}

bool is_token_rule(Kind kind) { return kind <= Kind::ExternStr || kind == Kind::Real; }

const char* key_name(Key key) {
  static constexpr const char* kNames[] = {
      "item",        "mod",         "ident",        "argLeft",    "argRight",     "status",
      "tray",        "action",      "primary",      "wait",       "dependency",   "dependLeft",
      "dependRight", "others",      "iterateBlock", "cnt",        "exception",    "asyncleft",
      "asyncright",  "competeleft", "competeright", "priorities", "declarations", "otherwise",
      "condition",   "negate",      "which",        "kind",       "seconds",      "within",
      "offset",      "args",        "params",       "bodystart",  "bodyend",      "bodyline",
      "bodycolumn",
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

// Where byte `offset` stands, counting on from byte `from`, which stands at `at`.
Position position_of_offset(std::string_view source, std::size_t from, Position at,
                            std::size_t offset) {
  for (std::size_t i = from; i < offset; ++i) {
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

// Checks the bytes from `from` to `to`; byte `from` stands at `at`.
void check_utf8(std::string_view source, std::size_t from, std::size_t to, Position at) {
  for (std::size_t i = from; i < to;) {
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
                      position_of_offset(source, from, at, i));
  }
}

// ---------------------------------------------------------------------------
// The grammar
// ---------------------------------------------------------------------------

// What a construct turns into once compiled, as far as it matters for where
// it may stand: a plain block of one machine module, or a parallel or
// competing group (which stands alone in its statement, and which 'except'
// cannot guard). Unknown: a name the script does not declare; the semantics
// will judge it.
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
};

struct Declared {
  Shape shape;
  std::uint64_t size;
  Position position;
  std::string what;
  std::vector<std::string_view> params;
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

std::string joined(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::string_view name : names) {
    if (!out.empty()) out += ", ";
    out += name;
  }
  return out;
}

// Whether a count or a number of seconds, as written, is more than zero.
bool is_positive(std::string_view number) {
  return !number.starts_with('-') && number.find_first_of("123456789") != std::string_view::npos;
}

// The counts the parser reads, for their messages.
enum class Count : std::uint8_t { Repeat, Max, Retry };

// Recursion happens once per nesting level, through body(), sequence(),
// items() and item() (or the readers of groups, loops, guards, ifs, retries
// and timeouts). Those keep their frames small: messages are built, and
// non-recursive work is done, in out-of-line helpers (ZARN_OUT_OF_LINE), so
// that the deepest nesting allowed fits a thread's stack with room to spare.
#define ZARN_OUT_OF_LINE [[gnu::noinline]]

class Parser {
 public:
  // `skipped`: bytes before `source` in the script as given (a byte order
  // mark), so that the body offsets a declaration holds count them too.
  Parser(std::string_view source, const Limits& limits, std::size_t skipped = 0,
         std::size_t start = 0, Position at = {1, 1})
      : lexer_(source, limits, start, at), limits_(limits), skipped_(skipped) {}

  Tree run() {
    std::vector<std::uint32_t> declarations;
    while (lexer_.peek().kind != Tok::End) {
      declarations.push_back(lexer_.peek().kind == Tok::KwOn ? on_stop() : declaration());
    }
    if (declarations.empty()) {
      fail_at(lexer_.peek(), "expected a block declaration such as 'block main { ... }'");
    }
    check_early_uses();
    const std::uint32_t list = emit_list(declarations, Position{1, 1});
    emit(Kind::Action, Position{1, 1}, {{Key::declarations, list}});
    return std::move(tree_);
  }

  // One body, read again where a block with parameters is used. Its names
  // were checked against the parameters when the script was read.
  Tree run_body() {
    any_name_is_a_parameter_ = true;
    body("where the body starts");
    return std::move(tree_);
  }
  std::size_t end_of_scanned() const { return lexer_.end_of_scanned(); }

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
    std::string message = std::string(expected) + ", found " + describe(found, lexer_.source());
    if (found.kind == Tok::Minus) message += "; a '-' belongs right before the digits of a number";
    fail(message, found.position, found.width);
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
  static std::uint64_t times(std::uint64_t a, std::uint64_t b) {
    return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
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
    std::vector<std::string_view> params;
    std::uint32_t node;
    Body declared;
    if (lexer_.peek().kind == Tok::LParen) {
      const std::uint32_t listed = parameters(block_name, params);
      node = parameterized(keyword.position, ident, listed, params, declared);
    } else {
      declared = body("after the block's name");
      node = emit(Kind::Declaration, keyword.position,
                  {{Key::ident, ident}, {Key::action, declared.node}});
    }
    std::string what;
    if (declared.shape == Shape::Group) {
      what = "the block '" + std::string(block_name) + "' (" + declared.what + ")";
    }
    declared_.emplace(block_name, Declared{declared.shape, declared.size, name_token.position,
                                           std::move(what), std::move(params)});
    return node;
  }

  // `(a, b, c)` after a block's name: the parameters' identifiers as a list.
  ZARN_OUT_OF_LINE std::uint32_t parameters(std::string_view block_name,
                                            std::vector<std::string_view>& params) {
    const Token open = lexer_.next();
    if (lexer_.peek().kind == Tok::RParen) {
      fail("a block without parameters is declared without brackets: 'block " +
               std::string(block_name) + " { ... }'",
           open.position);
    }
    std::vector<std::uint32_t> names;
    const char* expected = "expected the name of a parameter after '('";
    for (;;) {
      check_list_length(names.size(), "parameters");
      const Token param = expect(Tok::Name, expected);
      const std::string_view param_name = lexer_.text(param);
      if (std::find(params.begin(), params.end(), param_name) != params.end()) {
        fail("the parameter '" + std::string(param_name) +
                 "' is already named in the brackets of '" + std::string(block_name) + "'",
             param.position, param.width);
      }
      params.push_back(param_name);
      names.push_back(emit_token(Kind::Identifier, param));
      if (lexer_.peek().kind != Tok::Comma) break;
      lexer_.next();
      expected = "expected the name of a parameter after ','";
    }
    expect(Tok::RParen, "expected ',' or ')' after a parameter");
    return emit_list(names, open.position);
  }

  // The body of a block with parameters means something only once they are
  // bound, at each use: it is read here for its mistakes and its size, and
  // what it yields is dropped; the declaration holds where it stands.
  ZARN_OUT_OF_LINE std::uint32_t parameterized(Position at, std::uint32_t ident,
                                               std::uint32_t listed,
                                               const std::vector<std::string_view>& params,
                                               Body& declared) {
    const Token first = lexer_.peek();
    const std::size_t nodes = tree_.nodes.size();
    const std::size_t entries = tree_.entries.size();
    const std::size_t texts = tree_.texts.size();
    params_ = &params;
    declared = body("after the block's parameters");
    params_ = nullptr;
    const std::size_t end = lexer_.end_of_taken();
    tree_.nodes.resize(nodes);
    tree_.entries.resize(entries);
    tree_.texts.resize(texts);
    declared.node = kNoNode;
    const Position body_at = first.position;
    const std::uint32_t start_node =
        emit_text(Kind::Text, std::to_string(skipped_ + first.begin), body_at);
    const std::uint32_t end_node = emit_text(Kind::Text, std::to_string(skipped_ + end), body_at);
    const std::uint32_t line_node = emit_text(Kind::Text, std::to_string(body_at.line), body_at);
    const std::uint32_t column_node =
        emit_text(Kind::Text, std::to_string(body_at.column), body_at);
    return emit(Kind::Declaration, at,
                {{Key::ident, ident},
                 {Key::params, listed},
                 {Key::bodystart, start_node},
                 {Key::bodyend, end_node},
                 {Key::bodyline, line_node},
                 {Key::bodycolumn, column_node}});
  }

  // `on stop BODY`: what the machine does once a run is stopped.
  std::uint32_t on_stop() {
    const Token on = lexer_.next();
    expect(Tok::KwStop, "expected 'stop' after 'on' (as in 'on stop { ... }')");
    if (on_stop_) {
      fail("'on stop' is already declared at " + where(*on_stop_) + "; a script has at most one",
           on.position, on.width);
    }
    on_stop_ = on.position;
    current_declaration_ = {};
    Body action = body("after 'on stop'");
    return emit(Kind::OnStop, on.position, {{Key::action, action.node}});
  }

  [[noreturn]] ZARN_OUT_OF_LINE void fail_too_deep() {
    const Token& at = lexer_.peek();
    fail("blocks are nested more than " + std::to_string(limits_.max_depth) + " levels deep",
         at.position, at.width);
  }
  [[noreturn]] ZARN_OUT_OF_LINE void fail_no_body(const char* context) {
    fail_at(lexer_.peek(), std::string("expected a block ") + context +
                               ": '{ ... }', 'repeat', 'try', 'parallel', 'compete', 'if', "
                               "'retry', 'timeout' or the name of a declared block");
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
        result = lexer_.peek(1).kind == Tok::KwUntil || lexer_.peek(1).kind == Tok::KwWhile
                     ? conditional_loop()
                     : repeat();
        break;
      case Tok::KwTry:
        result = guarded();
        break;
      case Tok::KwIf:
        result = if_block();
        break;
      case Tok::KwRetry:
        result = retry();
        break;
      case Tok::KwTimeout:
        result = timeout();
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

  // A declared block's name, or a use of a block with parameters, standing
  // where a body goes (`repeat 4 pick`): read as the sequence `{ pick }`.
  ZARN_OUT_OF_LINE Body named_body() {
    const Position at = lexer_.peek().position;
    Item used = lexer_.peek(1).kind == Tok::LParen ? block_call() : reference();
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
      case Tok::KwWait:
        return wait_until();
      case Tok::Name:
        return lexer_.peek(1).kind == Tok::LParen ? block_call() : reference();
      case Tok::LBrace:
      case Tok::KwParallel:
      case Tok::KwCompete:
      case Tok::KwRepeat:
      case Tok::KwTry:
      case Tok::KwIf:
      case Tok::KwRetry:
      case Tok::KwTimeout: {
        // Hoisted into a declaration of its own, so that the statement holds a
        // name, which global resolution turns into the construct's actions.
        const Position at = lexer_.peek().position;
        const std::uint32_t ident = hoisted_name();
        Body hoisted = body("");
        emit(Kind::Declaration, at, {{Key::ident, ident}, {Key::action, hoisted.node}});
        return Item{emit_again(ident), hoisted.shape, hoisted.size, at, std::move(hoisted.what)};
      }
      default:
        fail_no_statement();
    }
  }

  [[noreturn]] ZARN_OUT_OF_LINE void fail_no_statement() {
    const Token& found = lexer_.peek();
    if (found.kind == Tok::KwElse) {
      fail("'else' must come right after the body of an 'if'", found.position, found.width);
    }
    if (found.kind == Tok::KwOn && lexer_.peek(1).kind == Tok::KwStop) {
      fail("'on stop' is declared beside the blocks, not inside one", found.position, found.width);
    }
    fail_at(found,
            "expected a statement: an action such as '@axis move home', 'wait until', the name "
            "of a declared block, or a '{', 'repeat', 'try', 'parallel', 'compete', 'if', "
            "'retry' or 'timeout' block");
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
    if (params_ != nullptr &&
        std::find(params_->begin(), params_->end(), used_name) != params_->end()) {
      fail("'" + std::string(used_name) + "' is a parameter of '" +
               std::string(current_declaration_) +
               "', which stands for a value or a name in a statement, not for a block",
           used.position, used.width);
    }
    auto found = declared_.find(used_name);
    if (found == declared_.end()) {
      early_uses_.push_back({used_name, used.position, used.width, current_declaration_});
      return Item{node, Shape::Unknown, 1, used.position, {}};
    }
    const Declared& declared = found->second;
    if (!declared.params.empty()) {
      fail("'" + std::string(used_name) + "' takes " + arguments_counted(declared.params.size()) +
               " (" + joined(declared.params) + "): write " + std::string(used_name) +
               (declared.params.size() == 1 ? "(...) with its value" : "(...) with their values"),
           used.position, used.width);
    }
    return Item{node, declared.shape, declared.size, used.position, declared.what};
  }

  static std::string arguments_counted(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " argument" : " arguments");
  }

  // `NAME(ARG, ...)`: a use of a block with parameters, valued as it is
  // declared above (when it is not, the use is judged once the script is
  // read, like a plain name's).
  ZARN_OUT_OF_LINE Item block_call() {
    const Token used = lexer_.next();
    const std::uint32_t ident = emit_token(Kind::Identifier, used);
    const std::string_view used_name = lexer_.text(used);
    auto found = declared_.find(used_name);
    if (found != declared_.end() && found->second.params.empty()) {
      fail("'" + std::string(used_name) + "' takes no arguments: write " + std::string(used_name),
           used.position, used.width);
    }
    std::size_t count = 0;
    const std::uint32_t args = arguments(count);
    const std::uint32_t node =
        emit(Kind::BlockCall, used.position, {{Key::ident, ident}, {Key::args, args}});
    if (found == declared_.end()) {
      early_uses_.push_back({used_name, used.position, used.width, current_declaration_});
      return Item{node, Shape::Unknown, 1, used.position, {}};
    }
    const Declared& declared = found->second;
    if (count != declared.params.size()) {
      fail("'" + std::string(used_name) + "' takes " + arguments_counted(declared.params.size()) +
               " (" + joined(declared.params) + "), not " + std::to_string(count),
           used.position, used.width);
    }
    return Item{node, declared.shape, declared.size, used.position, declared.what};
  }

  // `(ARG, ...)` of a use: values, names, and trays with their slots.
  ZARN_OUT_OF_LINE std::uint32_t arguments(std::size_t& count) {
    const Token open = lexer_.next();
    std::vector<std::uint32_t> args;
    if (lexer_.peek().kind != Tok::RParen) {
      for (;;) {
        check_list_length(args.size(), "arguments");
        args.push_back(argument());
        if (lexer_.peek().kind != Tok::Comma) break;
        lexer_.next();
      }
    }
    expect(Tok::RParen, "expected ',' or ')' after an argument");
    count = args.size();
    return emit_list(args, open.position);
  }

  std::uint32_t argument() {
    if (lexer_.peek().kind != Tok::Name) {
      return value(
          "expected an argument: a number, a quoted text, on or off, a name, or a tray and its "
          "slot (as in 'feeder[2]')");
    }
    const Token given = lexer_.next();
    const std::uint32_t ident = emit_token(Kind::Identifier, given);
    if (lexer_.peek().kind != Tok::LBracket) return ident;
    return tray_slot(given, ident);
  }

  // `[SLOT]` after a tray's name: the pair of the tray and its slot.
  ZARN_OUT_OF_LINE std::uint32_t tray_slot(const Token& tray_name, std::uint32_t tray) {
    lexer_.next();
    const Token& found = lexer_.peek();
    std::uint32_t slot_node;
    if (found.kind == Tok::Real) {
      fail("a slot is a whole number, not " + std::string(lexer_.text(found)), found.position,
           found.width);
    } else if (found.kind == Tok::Name && is_parameter(lexer_.text(found))) {
      slot_node = emit_token(Kind::Identifier, lexer_.next());
    } else {
      slot_node = emit_token(Kind::Number, expect(Tok::Number, "expected a slot number after '['" +
                                                                   parameters_hint()));
    }
    expect(Tok::RBracket, "expected ']' after the slot number");
    return emit(Kind::Pair, tray_name.position, {{Key::Item, tray}, {Key::Item, slot_node}});
  }

  bool is_parameter(std::string_view word) const {
    return any_name_is_a_parameter_ ||
           (params_ != nullptr &&
            std::find(params_->begin(), params_->end(), word) != params_->end());
  }

  // Added to what a value or a slot may be, inside the body of a block with
  // parameters.
  std::string parameters_hint() const {
    if (params_ == nullptr) return {};
    return "; in '" + std::string(current_declaration_) + "' also one of its parameters (" +
           joined(*params_) + ")";
  }

  // `wait until @MODULE PIN on|off [within SECONDS]`
  ZARN_OUT_OF_LINE Item wait_until() {
    const Token wait = lexer_.next();
    expect(Tok::KwUntil, "expected 'until' after 'wait' (as in 'wait until @sensors part on')");
    const Token& module_token = lexer_.peek();
    if (module_token.kind != Tok::Module) {
      fail_at(module_token,
              "expected a module and its pin after 'wait until' (as in 'wait until @sensors part "
              "on')");
    }
    std::vector<Entry> entries;
    pin_test(entries, "'wait until'");
    if (lexer_.peek().kind == Tok::KwWithin) {
      lexer_.next();
      entries.push_back({Key::within, seconds("after 'within' (as in 'within 2.5')", "'within'")});
    }
    return Item{emit(Kind::WaitUntil, wait.position, entries), Shape::Plain, 1, wait.position, {}};
  }

  // `@MODULE PIN on|off`, as the entries mod, ident and status.
  void pin_test(std::vector<Entry>& entries, std::string_view construct) {
    const Token module_token = lexer_.next();
    entries.push_back({Key::mod, emit_token(Kind::Module, module_token)});
    entries.push_back({Key::ident, name("expected the name of a pin after '" +
                                        std::string(lexer_.text(module_token)) + "' in " +
                                        std::string(construct))});
    const Token status = lexer_.next();
    if (status.kind != Tok::KwOn && status.kind != Tok::KwOff) {
      fail_at(status, "expected 'on' or 'off' after the pin of " + std::string(construct));
    }
    entries.push_back({Key::status, emit_text(Kind::Number, status.kind == Tok::KwOn ? "1" : "0",
                                              status.position)});
  }

  // A number of seconds, more than zero: a number or real rule value.
  ZARN_OUT_OF_LINE std::uint32_t seconds(std::string_view after, std::string_view what) {
    const Token found = lexer_.next();
    if (found.kind != Tok::Number && found.kind != Tok::Real) {
      fail_at(found, "expected a number of seconds " + std::string(after));
    }
    const std::string_view text = lexer_.text(found);
    if (!is_positive(text)) {
      fail(
          capitalised(std::string(what)) + " must be more than 0 seconds, not " + std::string(text),
          found.position, found.width);
    }
    return emit_token(found.kind == Tok::Real ? Kind::Real : Kind::Number, found);
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
        const Token position_name =
            expect(Tok::Name, "expected the name of a position after 'move'");
        const std::uint32_t ident = emit_token(Kind::Identifier, position_name);
        const Tok after = lexer_.peek().kind;
        if (after == Tok::Plus || after == Tok::Minus || after == Tok::Number ||
            after == Tok::Real) {
          return emit(Kind::MoveOffset, at,
                      {{Key::mod, mod}, {Key::ident, ident}, {Key::offset, offset(position_name)}});
        }
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
        // Any word names an operation, reserved ones too: '@conveyor.stop()'.
        if (!is_word(lexer_.peek().kind)) {
          fail_at(lexer_.peek(), "expected the name of an operation after '.'");
        }
        const std::uint32_t ident = emit_token(Kind::Identifier, lexer_.next());
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
        if (lexer_.peek().kind == Tok::LBracket) tray = tray_slot(tray_name, tray);
        return emit(Kind::Transfer, at, {{Key::mod, mod}, {Key::ident, ident}, {Key::tray, tray}});
      }
      default:
        fail_at(next,
                "expected 'move', 'set', '.' or a tray operation after '" + module_text + "'");
    }
  }

  // `+ OFFSET` or `- OFFSET` after a move's position: a number or real rule
  // value whose text carries the sign.
  ZARN_OUT_OF_LINE std::uint32_t offset(const Token& position_name) {
    const std::string position(lexer_.text(position_name));
    const Token& sign = lexer_.peek();
    if (sign.kind == Tok::Number || sign.kind == Tok::Real) {
      const std::string_view written = lexer_.text(sign);
      fail(written.starts_with('-')
               ? "write the offset with its sign apart: '" + position + " - " +
                     std::string(written.substr(1)) + "'"
               : "write the offset with its sign: '" + position + " + " + std::string(written) +
                     "' or '" + position + " - " + std::string(written) + "'",
           sign.position, sign.width);
    }
    const bool minus = lexer_.next().kind == Tok::Minus;
    const char* sign_text = minus ? "-" : "+";
    const Token amount = lexer_.next();
    if (amount.kind != Tok::Number && amount.kind != Tok::Real) {
      fail_at(amount, std::string("expected the offset after '") + sign_text +
                          "', a number (as in '" + position + " " + sign_text + " 2.5')");
    }
    const std::string_view digits = lexer_.text(amount);
    if (digits.starts_with('-')) {
      fail(std::string("the offset after '") + sign_text + "' has no sign of its own: write '" +
               position + " " + (minus ? "+" : "-") + " " + std::string(digits.substr(1)) + "'",
           amount.position, amount.width);
    }
    return emit_text(amount.kind == Tok::Real ? Kind::Real : Kind::Number,
                     minus ? "-" + std::string(digits) : std::string(digits), amount.position);
  }

  std::uint32_t value(std::string_view expected) {
    const Token& next = lexer_.peek();
    switch (next.kind) {
      case Tok::Number:
        return emit_token(Kind::Number, lexer_.next());
      case Tok::Real:
        return emit_token(Kind::Real, lexer_.next());
      case Tok::String:
        return emit_token(Kind::ExternStr, lexer_.next());
      case Tok::KwOn:
        return emit_text(Kind::Number, "1", lexer_.next().position);
      case Tok::KwOff:
        return emit_text(Kind::Number, "0", lexer_.next().position);
      case Tok::Name:
        if (is_parameter(lexer_.text(next))) return emit_token(Kind::Identifier, lexer_.next());
        [[fallthrough]];
      default:
        fail_at(next, std::string(expected) + parameters_hint());
    }
  }

  // --- compound constructs --------------------------------------------------

  Body repeat() {
    const Position at = lexer_.next().position;
    std::uint64_t rounds = 0;
    const std::uint32_t cnt = count(Count::Repeat, rounds);
    Body repeated = body("after the repeat count");
    Body result;
    result.node = emit(Kind::Loop, at, {{Key::iterateBlock, repeated.node}, {Key::cnt, cnt}});
    result.shape = repeated.shape;
    result.size = times(repeated.size, rounds);
    if (result.shape == Shape::Group) result.what = "a repeated group";
    return result;
  }

  // `repeat until|while COND [max N] BODY`. Without `max` the body is counted
  // once: how often it runs is for the compile path to bound.
  Body conditional_loop() {
    const Position at = lexer_.next().position;
    const Token word = lexer_.next();
    const bool until = word.kind == Tok::KwUntil;
    const std::uint32_t kind = emit_text(Kind::Text, lexer_.text(word), word.position);
    const std::uint32_t tested = condition(until ? "'repeat until'" : "'repeat while'");
    std::uint64_t rounds = 1;
    std::uint32_t cnt = kNoNode;
    if (lexer_.peek().kind == Tok::KwMax) {
      lexer_.next();
      cnt = count(Count::Max, rounds);
    }
    Body repeated = body(cnt != kNoNode ? "after the 'max' count"
                         : until        ? "after the condition of 'repeat until'"
                                        : "after the condition of 'repeat while'");
    std::vector<Entry> entries{{Key::kind, kind}, {Key::condition, tested}};
    if (cnt != kNoNode) entries.push_back({Key::cnt, cnt});
    entries.push_back({Key::iterateBlock, repeated.node});
    Body result;
    result.node = emit(Kind::LoopCond, at, entries);
    result.shape = repeated.shape;
    result.size = times(repeated.size, rounds);
    if (result.shape == Shape::Group) result.what = "a repeated group";
    return result;
  }

  // `retry N BODY`: the body runs once and up to N times again.
  Body retry() {
    const Position at = lexer_.next().position;
    std::uint64_t rounds = 0;
    const std::uint32_t cnt = count(Count::Retry, rounds);
    Body retried = body("after the retry count");
    Body result;
    result.node = emit(Kind::Retry, at, {{Key::cnt, cnt}, {Key::iterateBlock, retried.node}});
    result.shape = retried.shape;
    result.size = times(retried.size, plus(rounds, 1));
    result.what = std::move(retried.what);
    return result;
  }

  // `timeout SECONDS BODY`
  Body timeout() {
    const Position at = lexer_.next().position;
    const std::uint32_t limit =
        seconds("after 'timeout' (as in 'timeout 2.5 { ... }')", "a timeout");
    Body timed = body("after the timeout's seconds");
    Body result;
    result.node = emit(Kind::Timeout, at, {{Key::seconds, limit}, {Key::iterateBlock, timed.node}});
    result.shape = timed.shape;
    result.size = timed.size;
    result.what = std::move(timed.what);
    return result;
  }

  // `if COND BODY [else BODY]`; `else if` is an `else` whose body is an `if`.
  // Both ways count towards the script's size.
  Body if_block() {
    const Position at = lexer_.next().position;
    const std::uint32_t tested = condition("'if'");
    Body then = body("after the condition of 'if'");
    Body result;
    result.size = then.size;
    result.shape = then.shape;
    result.what = std::move(then.what);
    if (lexer_.peek().kind != Tok::KwElse) {
      result.node = emit(Kind::IfBlock, at, {{Key::condition, tested}, {Key::primary, then.node}});
      return result;
    }
    lexer_.next();
    Body otherwise = body("after 'else'");
    result.node = emit(
        Kind::IfBlock, at,
        {{Key::condition, tested}, {Key::primary, then.node}, {Key::otherwise, otherwise.node}});
    result.size = plus(result.size, otherwise.size);
    if (result.shape != Shape::Group && otherwise.shape == Shape::Group) {
      result.shape = Shape::Group;
      result.what = std::move(otherwise.what);
    }
    return result;
  }

  // `[not] @MODULE PIN on|off` or `[not] TRAY empty|full`.
  ZARN_OUT_OF_LINE std::uint32_t condition(std::string_view construct) {
    const Position at = lexer_.peek().position;
    std::vector<Entry> entries;
    std::string after(construct);
    if (lexer_.peek().kind == Tok::KwNot) {
      entries.push_back({Key::negate, emit_text(Kind::Text, "not", lexer_.next().position)});
      after = "'not'";
    }
    const Token& found = lexer_.peek();
    if (found.kind == Tok::Module) {
      pin_test(entries, construct);
    } else if (found.kind == Tok::Name) {
      const Token tray = lexer_.next();
      entries.push_back({Key::tray, emit_token(Kind::Identifier, tray)});
      const Token& which = lexer_.peek();
      if (which.kind != Tok::KwEmpty && which.kind != Tok::KwFull) {
        fail_at(which, "expected 'empty' or 'full' after the tray '" +
                           std::string(lexer_.text(tray)) + "' in " + std::string(construct));
      }
      entries.push_back({Key::which, emit_token(Kind::Text, lexer_.next())});
    } else {
      fail_at(found, "expected a condition after " + after +
                         ": a module's pin and on or off (as in '@sensors part on'), or a tray "
                         "and empty or full (as in 'feeder empty')");
    }
    return emit(Kind::Condition, at, entries);
  }

  // A whole count of at least 1 (and how many rounds it stands for).
  ZARN_OUT_OF_LINE std::uint32_t count(Count of, std::uint64_t& rounds) {
    const Token& found = lexer_.peek();
    if (found.kind == Tok::Real) {
      fail("a count is a whole number, not " + std::string(lexer_.text(found)), found.position,
           found.width);
    }
    const char* expected =
        of == Count::Repeat
            ? "expected how many times to repeat after 'repeat' (as in 'repeat 4 { ... }'), or "
              "'until' or 'while' and a condition"
        : of == Count::Max ? "expected the most times to repeat after 'max' (as in 'max 10')"
                           : "expected how many times to retry after 'retry' (as in 'retry 2 { "
                             "... }')";
    const Token written = expect(Tok::Number, expected);
    const std::string_view digits = lexer_.text(written);
    std::int64_t value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (value < 1) {
      const char* what = of == Count::Repeat ? "a repeat count"
                         : of == Count::Max  ? "a 'max' count"
                                             : "a retry count";
      fail(std::string(what) + " must be at least 1, not " + std::string(digits), written.position,
           written.width);
    }
    rounds = static_cast<std::uint64_t>(value);
    return emit_token(Kind::Number, written);
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
  std::size_t skipped_;
  // The parameters of the block whose body is being read, if it has any.
  const std::vector<std::string_view>* params_ = nullptr;
  // A body read again at a use: its names were checked against the block's
  // parameters when the script was read, and are not known here.
  bool any_name_is_a_parameter_ = false;
  std::optional<Position> on_stop_;
};

void check_size(std::string_view source, const Limits& limits) {
  if (source.size() > limits.max_source_bytes) {
    throw SyntaxError("the script is " + std::to_string(source.size()) + " bytes long; at most " +
                          std::to_string(limits.max_source_bytes) + " are accepted",
                      Position{1, 1});
  }
}

// Drops a leading byte order mark; returns how many bytes were dropped.
std::size_t skip_byte_order_mark(std::string_view& source) {
  if (!source.starts_with("\xEF\xBB\xBF")) return 0;
  source.remove_prefix(3);
  return 3;
}

}  // namespace

Tree parse(std::string_view source, const Limits& limits) {
  check_size(source, limits);
  const std::size_t skipped = skip_byte_order_mark(source);
  check_utf8(source, 0, source.size(), Position{1, 1});
  return Parser(source, limits, skipped).run();
}

Tree parse_body(std::string_view source, std::size_t start, Position at, const Limits& limits) {
  check_size(source, limits);
  const std::size_t skipped = skip_byte_order_mark(source);
  if (start < skipped || start - skipped > source.size() || at.line == 0 || at.column == 0) {
    throw std::invalid_argument("a body's start must be a place in the script");
  }
  start -= skipped;
  // Only the bytes read are checked (the body and the look-ahead after it):
  // a block used many times must not have the whole script checked at each
  // use. As in parse, a fault of the text comes before one of the grammar.
  Parser parser(source, limits, skipped, start, at);
  try {
    Tree tree = parser.run_body();
    check_utf8(source, start, parser.end_of_scanned(), at);
    return tree;
  } catch (const SyntaxError&) {
    check_utf8(source, start, parser.end_of_scanned(), at);
    throw;
  }
}

}  // namespace zarn::parser
