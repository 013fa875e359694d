#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>
#include <vector>

#include "zarn/lang/parser.hpp"

namespace zp = zarn::parser;

namespace {

// The tree below node `index` as one line: rule(key=value ...), token rules as
// rule:text, lists as [a b]. Only for the small trees of these tests.
std::string render(const zp::Tree& tree, std::uint32_t index) {
  if (index == zp::kNoNode) return "None";
  const zp::Node& node = tree.nodes[index];
  if (zp::is_token_rule(node.kind) || node.kind == zp::Kind::Text) {
    return std::string(zp::kind_name(node.kind)) + ":" + std::string(tree.text(node));
  }
  const bool sequence = node.kind == zp::Kind::List || node.kind == zp::Kind::Pair;
  std::string out = sequence ? (node.kind == zp::Kind::List ? "[" : "(")
                             : std::string(zp::kind_name(node.kind)) + "(";
  bool first = true;
  for (const zp::Entry& entry : tree.entries_of(node)) {
    if (!first) out += " ";
    first = false;
    if (!sequence) out += std::string(zp::key_name(entry.key)) + "=";
    out += render(tree, entry.node);
  }
  return out + (node.kind == zp::Kind::List ? "]" : ")");
}

// The body of the first declaration: what `block main ...` declares.
std::string first_body(const std::string& script) {
  const zp::Tree tree = zp::parse(script);
  const zp::Node& declarations = tree.nodes[tree.entries_of(tree.root())[0].node];
  const zp::Node& declaration = tree.nodes[tree.entries_of(declarations)[0].node];
  return render(tree, tree.entries_of(declaration)[1].node);
}

zp::SyntaxError error_of(const std::string& script, const zp::Limits& limits = {}) {
  try {
    zp::parse(script, limits);
  } catch (const zp::SyntaxError& error) {
    return error;
  }
  ADD_FAILURE() << "no syntax error for: " << script.substr(0, 200);
  return zp::SyntaxError("", {});
}

// Post-order and tree shape: every entry refers to an earlier node, and every
// node but the root is the value of exactly one entry, except the hoisted
// declarations, which are made for their effect alone.
void expect_well_formed(const zp::Tree& tree) {
  std::vector<int> parents(tree.nodes.size(), 0);
  for (std::size_t index = 0; index < tree.nodes.size(); ++index) {
    const zp::Node& node = tree.nodes[index];
    if (zp::is_token_rule(node.kind) || node.kind == zp::Kind::Text) continue;
    for (const zp::Entry& entry : tree.entries_of(node)) {
      if (entry.node == zp::kNoNode) continue;
      ASSERT_LT(entry.node, index) << "node " << index << " refers to a later node";
      ++parents[entry.node];
    }
  }
  EXPECT_EQ(tree.root().kind, zp::Kind::Action);
  EXPECT_EQ(parents.back(), 0);
  for (std::size_t index = 0; index + 1 < parents.size(); ++index) {
    const zp::Node& node = tree.nodes[index];
    const bool hoisted = node.kind == zp::Kind::Declaration &&
                         tree.text(tree.nodes[tree.entries_of(node)[0].node]).starts_with("_");
    ASSERT_EQ(parents[index], hoisted ? 0 : 1)
        << "node " << index << " (" << zp::kind_name(node.kind) << ")";
  }
}

// Runs `work` on a thread with a stack of `bytes` (more when built with the
// address sanitizer, whose frames are several times larger), so that a test
// shows how deep the work recurses.
void on_small_stack(std::size_t bytes, std::function<void()> work) {
#if defined(__SANITIZE_ADDRESS__)
  bytes *= 8;
#endif
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, bytes);
  pthread_t thread;
  auto trampoline = [](void* argument) -> void* {
    (*static_cast<std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, trampoline, &work), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

std::string long_sequence(int statements) {
  std::string script = "block main {\n";
  for (int i = 0; i < statements; ++i) {
    script += "  s" + std::to_string(i) + ": @x move p";
    if (i > 0) script += " after s" + std::to_string(i - 1);
    script += "\n";
  }
  return script + "}\n";
}

// A script, a part of the message it must give and where.
struct ErrorCase {
  std::string script;
  std::string message;
  zp::Position at;
};

void expect_each_error(const std::vector<ErrorCase>& cases, const zp::Limits& limits = {}) {
  for (const ErrorCase& c : cases) {
    const zp::SyntaxError error = error_of(c.script, limits);
    EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
        << c.script << "\n  said: " << error.what();
    EXPECT_EQ(error.position, c.at) << c.script << "\n  said: " << error.what();
  }
}

}  // namespace

TEST(ParserGroups, ADeclaredNameServesAsABody) {
  const std::string pick = "block pick { @x move a }\n";
  EXPECT_EQ(first_body(pick + "block main repeat 4 pick"),
            "asyncblock(asyncleft=block(primary=move(mod=module:@x ident=identifier:a)))");
  const zp::Tree tree = zp::parse(pick + "block main repeat 4 pick");
  EXPECT_EQ(render(tree, static_cast<std::uint32_t>(tree.nodes.size() - 1)),
            "action(declarations=[declaration(ident=identifier:pick action=asyncblock(asyncleft="
            "block(primary=move(mod=module:@x ident=identifier:a)))) declaration("
            "ident=identifier:main action=loop(iterateBlock=asyncblock(asyncleft=block("
            "primary=identifier:pick)) cnt=number:4))])");
  EXPECT_NO_THROW(zp::parse(pick + "block place { @y move b }\n"
                                   "block main parallel pick and place"));
  EXPECT_NE(std::string(error_of(pick + "block main try pick except 3").what())
                .find("expected a block after 'except': '{ ... }', 'repeat', 'try', 'parallel', "
                      "'compete' or the name of a declared block, found the number 3"),
            std::string::npos);
}

TEST(ParserGroups, AGroupMayStartASequenceAndBeFollowed) {
  const zp::Tree tree = zp::parse(
      "block home parallel { @x move home } and { @y move home }\n"
      "block main { home  parallel { @x move a } and { @y move b }  @x move c  @x move d }");
  expect_well_formed(tree);
}

TEST(ParserLayout, CommentsLineBreaksAndSemicolonsAreFree) {
  const std::string spread =
      "# a job\r\nblock   main\n{\t# opens\r  @x\n move\n\n home ; # done\n @x move away;}\n";
  EXPECT_EQ(first_body(spread), first_body("block main { @x move home @x move away }"));
  const zp::Tree tree = zp::parse(
      "\xEF\xBB\xBF"
      "block main {\n\n  @x move home }");
  EXPECT_EQ(tree.nodes[1].kind, zp::Kind::Module);
  EXPECT_EQ(tree.nodes[1].position, (zp::Position{3, 3}));
}

TEST(ParserErrors, EachSaysWhatWasExpectedAndWhere) {
  const std::vector<ErrorCase> cases = {
      {"", "expected a block declaration such as 'block main { ... }', found the end", {1, 1}},
      {"main { @x move a }",
       "expected a block declaration ('block NAME { ... }'), found the name 'main'",
       {1, 1}},
      {"block { @x move a }", "expected the block's name after 'block', found '{'", {1, 7}},
      {"block main @x move a", "expected a block after the block's name: '{ ... }'", {1, 12}},
      {"block main {\n  @x move home\n",
       "expected '}' to close the '{' at line 1, column 12",
       {2, 15}},
      {"block main { }", "expected a statement before '}'", {1, 14}},
      {"block main { @x move }",
       "expected the name of a position after 'move', found '}'",
       {1, 22}},
      {"block main { @x set vacuum }",
       "expected the value to set after the signal's name",
       {1, 28}},
      {"block main { @x jump }", "expected 'from' or 'into' and a tray after '@x jump'", {1, 22}},
      {"block main { @x }",
       "expected 'move', 'set', '.' or a tray operation after '@x', found '}'",
       {1, 17}},
      {"block main { @x pick from }", "expected the name of a tray after 'from'", {1, 27}},
      {"block main { @x pick from t[a] }", "expected a slot number after '['", {1, 29}},
      {"block main { @x.f(1 2) }",
       "expected ',' or ')' after an argument, found the number 2",
       {1, 21}},
      {"block main { @x.f }", "expected '(' after the operation's name", {1, 19}},
      {"block main { @x move a after }",
       "expected the label of a statement to wait for after 'after', found '}'",
       {1, 30}},
      {"block main { @x move a after b, }", "expected another label after ','", {1, 33}},
      {"block main { and }", "expected a statement: an action such as '@axis move home'", {1, 14}},
      {"block main { repeat { @x move a } }",
       "expected how many times to repeat after 'repeat'",
       {1, 21}},
      {"block main { repeat -2 { @x move a } }",
       "a repeat count must be at least 1, not -2",
       {1, 21}},
      {"block main { try }", "expected a block after 'try'", {1, 18}},
      {"block main { parallel { @x move a } }", "expected 'and' and a second branch", {1, 37}},
      {"block main { compete { @x move a } and { @x move b } }",
       "expected 'or' and a second branch",
       {1, 36}},
      {"block main { compete priority top { @x move a } or { @x move b } }",
       "expected a priority after 'priority': high, normal or low, found the name 'top'",
       {1, 31}},
      {"block main { @x move a\n  @ y }", "expected a module name right after '@'", {2, 3}},
      {"block main { @x set s \"open }", "this quoted text is not closed on its line", {1, 23}},
      {"block main { 12ab }", "'12ab' is neither a number nor a name", {1, 14}},
      {"block main { @x move a % }", "unexpected character '%'", {1, 24}},
      {"block main { @x set s \"\xC3\xBC\" \xE2\x80\x9Cx }",
       "unexpected character '\xE2\x80\x9C' (U+201C); quote texts with plain",
       {1, 27}},
      {"block main { @x move a - 1 }", "unexpected character '-'", {1, 24}},
      {"block a { @x move p }\nblock a { @x move q }",
       "a block named 'a' is already declared at line 1, column 7",
       {2, 7}},
      {"block main { a: @x move p  a: @x move q }",
       "the label 'a' is already used in this sequence, at line 1, column 14",
       {1, 28}},
      {"block main { a: @x move p after a }", "a statement cannot wait for itself", {1, 33}},
      {"block main { @x move p after b  b: @x move q }",
       "'b' labels a statement further down this sequence (at line 1, column 33)",
       {1, 30}},
      {"block main { pick }\nblock pick { @x move a }",
       "the block 'pick' is declared further down, at line 2, column 7",
       {1, 14}},
      {"block main { @x move a  main }", "a block cannot use itself", {1, 25}},
  };
  expect_each_error(cases);
}

TEST(ParserErrors, SlotsQuotedTextsAndLimitsSayWhatAndWhere) {
  zp::Limits small;
  small.max_name_length = 8;
  small.max_list_length = 3;
  const std::vector<ErrorCase> cases = {
      {"block main { @x pick from t[1 }", "expected ']' after the slot number", {1, 31}},
      {"block main { @x set s \"a\x01"
       "b\" }",
       "a quoted text cannot hold the control character U+0001",
       {1, 25}},
      {"block main { @gripper99 move a }", "a module name may be at most 8", {1, 14}},
      {"block main { parallel { @a move p } and { @b move p } and { @c move p } and { @d move p } "
       "}",
       "too many branches: at most 3",
       {1, 73}},  // the 'and' that would begin a fourth branch
  };
  expect_each_error(cases, small);
}

TEST(ParserErrors, GroupsCannotFollowPlainStatementsOrShareAStatement) {
  const std::string decls = "block home parallel { @x move h } and { @y move h }\n";
  const zp::SyntaxError after_plain = error_of(decls + "block main { @x move a\n  home }");
  EXPECT_NE(std::string(after_plain.what())
                .find("The block 'home' (a parallel group) cannot come after plain statements in "
                      "the same sequence (the first of them is at line 2, column 14)"),
            std::string::npos)
      << after_plain.what();
  EXPECT_NE(std::string(after_plain.what()).find("Start the sequence with the group"),
            std::string::npos);
  EXPECT_EQ(after_plain.position, (zp::Position{3, 3}));

  const zp::SyntaxError inline_group =
      error_of("block main { @x move a  compete { @x move b } or { @x move c } }");
  EXPECT_NE(std::string(inline_group.what()).find("A competing group cannot come after plain"),
            std::string::npos);
  EXPECT_EQ(inline_group.position, (zp::Position{1, 25}));

  // A sequence that starts with a group is a group too, wherever it is used.
  const zp::SyntaxError nested = error_of(decls + "block main { @x move a\n  { home @x move b } }");
  EXPECT_NE(std::string(nested.what()).find("A sequence that starts with a group cannot come"),
            std::string::npos)
      << nested.what();

  const zp::SyntaxError shared = error_of(decls + "block main { home, @x move b }");
  EXPECT_NE(std::string(shared.what()).find("must be a statement of its own"), std::string::npos);
  EXPECT_EQ(shared.position, (zp::Position{2, 14}));

  const zp::SyntaxError guarded = error_of(decls + "block main { try home except { @x move b } }");
  EXPECT_NE(std::string(guarded.what()).find("'except' cannot guard the block 'home'"),
            std::string::npos)
      << guarded.what();
  // Without a handler, guarding a group loses nothing.
  EXPECT_NO_THROW(zp::parse(decls + "block main { try home }"));
}

TEST(ParserText, BadUtf8IsRefusedWhereItStands) {
  const zp::SyntaxError stray = error_of("block main {\n  @x move \xFF }");
  EXPECT_NE(std::string(stray.what()).find("not UTF-8 text: byte 0xFF cannot start a character"),
            std::string::npos);
  EXPECT_EQ(stray.position, (zp::Position{2, 11}));
  const zp::SyntaxError surrogate = error_of("# \xC3\xA9\xED\xA0\x80\nblock main {}");
  EXPECT_NE(std::string(surrogate.what()).find("the bytes 0xED 0xA0 0x80 do not form a character"),
            std::string::npos);
  EXPECT_EQ(surrogate.position, (zp::Position{1, 4}));
  EXPECT_EQ(error_of("block main { @x move a } \xC0\xAF").position, (zp::Position{1, 26}));
  EXPECT_EQ(error_of("block main { @x move a } \xE2\x82").position, (zp::Position{1, 26}));
  // Columns count characters: the error stands after two two-byte letters.
  EXPECT_EQ(error_of("block main { @x set s '\xC3\xBC\xC3\xBC' ! }").position,
            (zp::Position{1, 28}));
}

TEST(ParserText, LineTextFollowsTheParsersLineBreaks) {
  const std::string source =
      "\xEF\xBB\xBF"
      "one\r\ntwo\rthree\nfour";
  EXPECT_EQ(zp::line_text(source, 1), "one");
  EXPECT_EQ(zp::line_text(source, 2), "two");
  EXPECT_EQ(zp::line_text(source, 3), "three");
  EXPECT_EQ(zp::line_text(source, 4), "four");
  EXPECT_EQ(zp::line_text(source, 5), "");
  EXPECT_EQ(error_of("block main {\r\n\r  @x move }").position, (zp::Position{3, 11}));
}

TEST(ParserLimits, NestingIsBoundedWithAClearError) {
  const zp::SyntaxError deep = error_of("block main " + std::string(10'000, '{'));
  EXPECT_NE(std::string(deep.what()).find("blocks are nested more than 200 levels deep"),
            std::string::npos);
  EXPECT_EQ(deep.position, (zp::Position{1, 12 + 200}));
  // Brackets that cannot nest at all are refused at the first one.
  EXPECT_EQ(error_of("block main { @x.f(" + std::string(10'000, '(')).position,
            (zp::Position{1, 19}));
  EXPECT_EQ(error_of(std::string(10'000, '[')).position, (zp::Position{1, 1}));

  // The deepest nesting allowed parses on a modest stack.
  std::string deepest = "block main ";
  for (int i = 0; i < 199; ++i) deepest += "{ ";
  deepest += "{ @x move a }";
  for (int i = 0; i < 199; ++i) deepest += " }";
  bool parsed = false;
  on_small_stack(384 * 1024, [&] { parsed = zp::parse(deepest).nodes.size() > 0; });
  EXPECT_TRUE(parsed);
}

TEST(ParserLimits, LengthIsNotDepth) {
  const std::string script = long_sequence(20'000);
  std::size_t blocks = 0;
  bool parsed = false;
  // 64 KiB of stack: the sequence must be read without recursing per statement.
  on_small_stack(64 * 1024, [&] {
    const zp::Tree tree = zp::parse(script);
    for (const zp::Node& node : tree.nodes) blocks += node.kind == zp::Kind::Block;
    parsed = true;
  });
  ASSERT_TRUE(parsed);
  EXPECT_EQ(blocks, 20'000u);
  expect_well_formed(zp::parse(script));
}

TEST(ParserLimits, OversizedPiecesAreRefused) {
  const std::string megabyte(1'000'000, 'a');
  EXPECT_NE(std::string(error_of("block main { @x move " + megabyte + " }").what())
                .find("a name may be at most 255 characters long; this one has 1000000"),
            std::string::npos);
  EXPECT_NE(std::string(error_of("block main { @x set s '" + megabyte + "' }").what())
                .find("a quoted text may be at most 65536 bytes long"),
            std::string::npos);
  EXPECT_NE(std::string(error_of("block main { @x." + std::string(300, 'f') + "() }").what())
                .find("at most 255"),
            std::string::npos);
  std::string items = "block main { @x move a";
  for (int i = 0; i < 100'000; ++i) items += ", @x move a";
  const zp::SyntaxError too_many = error_of(items + " }");
  EXPECT_NE(std::string(too_many.what()).find("too many items in one statement: at most 1000"),
            std::string::npos);
  std::string args = "block main { @x.f(1";
  for (int i = 0; i < 2'000; ++i) args += ", 1";
  EXPECT_NE(std::string(error_of(args + ") }").what()).find("too many arguments"),
            std::string::npos);
  EXPECT_NE(std::string(error_of("block main { repeat 1234567890123456789 { @x move a } }").what())
                .find("at most 18 digits"),
            std::string::npos);
  zp::Limits small;
  small.max_source_bytes = 100;
  EXPECT_NE(std::string(error_of(long_sequence(10), small).what()).find("at most 100 are accepted"),
            std::string::npos);
}

TEST(ParserLimits, ExpansionByLoopsAndUsesIsBounded) {
  const zp::SyntaxError loops =
      error_of("block main { repeat 1000 { repeat 1000 { @x move a  @x move b } } }");
  EXPECT_NE(std::string(loops.what()).find("build more than 1000000 actions"), std::string::npos);
  EXPECT_EQ(loops.position, (zp::Position{1, 14}));

  // Each block uses the one before ten times: 10^7 actions after seven levels.
  std::string uses = "block b0 { @x move a }\n";
  for (int level = 1; level <= 7; ++level) {
    uses += "block b" + std::to_string(level) + " {";
    for (int k = 0; k < 10; ++k) uses += " b" + std::to_string(level - 1);
    uses += " }\n";
  }
  const zp::SyntaxError inlined = error_of(uses);
  EXPECT_NE(std::string(inlined.what()).find("build more than 1000000 actions"), std::string::npos);
  EXPECT_EQ(inlined.position.line, 7u);

  EXPECT_NO_THROW(zp::parse("block main { repeat 1000 { repeat 400 { @x move a } } }"));
}
