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

zp::SyntaxError error_of_body(const std::string& script, std::size_t start, zp::Position at) {
  try {
    zp::parse_body(script, start, at);
  } catch (const zp::SyntaxError& error) {
    return error;
  }
  ADD_FAILURE() << "no syntax error for the body of: " << script.substr(0, 200);
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
                      "'compete', 'if', 'retry', 'timeout' or the name of a declared block, "
                      "found the number 3"),
            std::string::npos);
}

TEST(ParserGroups, AGroupMayStartASequenceAndBeFollowed) {
  const zp::Tree tree = zp::parse(
      "block home parallel { @x move home } and { @y move home }\n"
      "block main { home  parallel { @x move a } and { @y move b }  @x move c  @x move d }");
  expect_well_formed(tree);
}

TEST(ParserValues, FractionsReservedWordsAndCounts) {
  EXPECT_EQ(first_body("block main { @m.wait(12.5, -0.25, 3)  @m.stop() }"),
            "asyncblock(asyncleft=block(primary=external(mod=module:@m ident=identifier:wait "
            "argLeft=real:12.5 argRight=[real:-0.25 number:3]) others=block(primary=external("
            "mod=module:@m ident=identifier:stop))))");
  EXPECT_EQ(first_body("block main { @m set level -0.5 }"),
            "asyncblock(asyncleft=block(primary=io(mod=module:@m ident=identifier:level "
            "status=real:-0.5)))");
  const std::vector<ErrorCase> cases = {
      {"block wait { @x move a }",
       "expected the block's name after 'block', found the keyword 'wait'",
       {1, 7}},
      {"block main { @x move full }", "found the keyword 'full'", {1, 22}},
      {"block main { repeat 2.5 { @x move a } }", "a count is a whole number, not 2.5", {1, 21}},
      {"block main { retry 1.0 { @x move a } }", "a count is a whole number, not 1.0", {1, 20}},
      {"block main { @a place into t[2.5] }", "a slot is a whole number, not 2.5", {1, 30}},
      {"block main { @m.f(.5) }", "'.5' is not a number: a fraction has one point", {1, 19}},
      {"block main { @m.f(1.) }", "'1.' is not a number", {1, 19}},
      {"block main { @m.f(1.2.3) }", "'1.2.3' is not a number", {1, 19}},
      {"block main { @m.f(2.5x) }", "'2.5x' is neither a number nor a name", {1, 19}},
  };
  expect_each_error(cases);
}

TEST(ParserStatements, WaitUntilAndMoveOffsets) {
  EXPECT_EQ(first_body("block main { wait until @io part on within 2.5  wait until @io part off }"),
            "asyncblock(asyncleft=block(primary=waituntil(mod=module:@io ident=identifier:part "
            "status=number:1 within=real:2.5) others=block(primary=waituntil(mod=module:@io "
            "ident=identifier:part status=number:0))))");
  EXPECT_EQ(first_body("block main { @x move input + 2.5  @x move input -\n 10  @x move input }"),
            "asyncblock(asyncleft=block(primary=moveoffset(mod=module:@x ident=identifier:input "
            "offset=real:2.5) others=block(primary=moveoffset(mod=module:@x "
            "ident=identifier:input offset=number:-10) others=block(primary=move(mod=module:@x "
            "ident=identifier:input)))))");
  const zp::Tree offsets = zp::parse("block main { @x move a+1 }");
  EXPECT_EQ(offsets.nodes[3].kind, zp::Kind::Number);
  EXPECT_EQ(offsets.nodes[3].position, (zp::Position{1, 24}));
  const std::vector<ErrorCase> cases = {
      {"block main { @x move input -10 }",
       "write the offset with its sign apart: 'input - 10'",
       {1, 28}},
      {"block main { @x move input 10 }",
       "write the offset with its sign: 'input + 10' or 'input - 10'",
       {1, 28}},
      {"block main { @x move input - -1.5 }",
       "the offset after '-' has no sign of its own: write 'input + 1.5'",
       {1, 30}},
      {"block main { @x move input + }", "expected the offset after '+', a number", {1, 30}},
      {"block main { wait until @io part }",
       "expected 'on' or 'off' after the pin of 'wait until', found '}'",
       {1, 34}},
      {"block main { wait @io part on }", "expected 'until' after 'wait'", {1, 19}},
      {"block main { wait until part on }",
       "expected a module and its pin after 'wait until'",
       {1, 25}},
      {"block main { wait until @io on }", "expected the name of a pin after '@io'", {1, 29}},
      {"block main { wait until @io part on within 0 }",
       "'within' must be more than 0 seconds, not 0",
       {1, 44}},
      {"block main { wait until @io part on within }",
       "expected a number of seconds after 'within'",
       {1, 44}},
  };
  expect_each_error(cases);
}

TEST(ParserControl, ConditionsLoopsRetriesAndTimeouts) {
  const std::string seq_a =
      "asyncblock(asyncleft=block(primary=move(mod=module:@x ident=identifier:a)))";
  const std::string seq_b =
      "asyncblock(asyncleft=block(primary=move(mod=module:@x ident=identifier:b)))";
  EXPECT_EQ(
      first_body("block main if not @io part on { @x move a } else if feeder empty { @x move b }"),
      "ifblock(condition=condition(negate=text:not mod=module:@io ident=identifier:part "
      "status=number:1) primary=" +
          seq_a +
          " otherwise=ifblock(condition=condition(tray=identifier:feeder which=text:empty) "
          "primary=" +
          seq_b + "))");
  EXPECT_EQ(first_body("block main repeat until feeder full max 5 { @x move a }"),
            "loopcond(kind=text:until condition=condition(tray=identifier:feeder which=text:full) "
            "cnt=number:5 iterateBlock=" +
                seq_a + ")");
  EXPECT_EQ(first_body("block main repeat while @io part off { @x move a }"),
            "loopcond(kind=text:while condition=condition(mod=module:@io ident=identifier:part "
            "status=number:0) iterateBlock=" +
                seq_a + ")");
  EXPECT_EQ(first_body("block main retry 2 { @x move a }"),
            "retry(cnt=number:2 iterateBlock=" + seq_a + ")");
  EXPECT_EQ(first_body("block main timeout 1.5 { @x move a }"),
            "timeout(seconds=real:1.5 iterateBlock=" + seq_a + ")");

  // Written where a statement goes, each is hoisted under its keyword.
  const zp::Tree tree = zp::parse(
      "block main {\n  if f empty { @x move a }\n  w: retry 1 { @x move b } after w0\n"
      "  timeout 3 { @x move a }  repeat while f full { @x move b }\n}");
  expect_well_formed(tree);
  std::vector<std::string> hoisted;
  for (const zp::Node& node : tree.nodes) {
    if (node.kind != zp::Kind::Declaration) continue;
    hoisted.emplace_back(tree.text(tree.nodes[tree.entries_of(node)[0].node]));
  }
  EXPECT_EQ(hoisted, (std::vector<std::string>{"_if@L2C3", "_retry@L3C6", "_timeout@L4C3",
                                               "_repeat@L4C28", "main"}));

  const std::vector<ErrorCase> cases = {
      {"block main if { @x move a }", "expected a condition after 'if': a module's pin", {1, 15}},
      {"block main if not not f full { @x move a }", "expected a condition after 'not'", {1, 19}},
      {"block main if @io part 1 { @x move a }",
       "expected 'on' or 'off' after the pin of 'if', found the number 1",
       {1, 24}},
      {"block main if f on { @x move a }",
       "expected 'empty' or 'full' after the tray 'f' in 'if', found the keyword 'on'",
       {1, 17}},
      {"block main if f full @x move a", "expected a block after the condition of 'if'", {1, 22}},
      {"block main { if f full { @x move a } else }", "expected a block after 'else'", {1, 43}},
      {"block main { @x move a else { @x move b } }",
       "'else' must come right after the body of an 'if'",
       {1, 24}},
      {"block main repeat until { @x move a }",
       "expected a condition after 'repeat until'",
       {1, 25}},
      {"block main repeat while f full max 0 { @x move a }",
       "a 'max' count must be at least 1, not 0",
       {1, 36}},
      {"block main repeat while f full max { @x move a }",
       "expected the most times to repeat after 'max'",
       {1, 36}},
      {"block main retry 0 { @x move a }", "a retry count must be at least 1, not 0", {1, 18}},
      {"block main retry { @x move a }", "expected how many times to retry after 'retry'", {1, 18}},
      {"block main timeout 0.0 { @x move a }",
       "A timeout must be more than 0 seconds, not 0.0",
       {1, 20}},
      {"block main timeout { @x move a }", "expected a number of seconds after 'timeout'", {1, 20}},
      {"block main { @x move a  if f full parallel { @x move a } and { @y move a }, @x move b }",
       "must be a statement of its own",
       {1, 25}},
  };
  expect_each_error(cases);
}

TEST(ParserParameters, DeclarationsKeepTheirBodyAndUsesAreChecked) {
  const std::string script =
      "block pick_at(tray, slot, speed) {\n"
      "  @arm.go(speed)  @arm pick from tray[slot]  @arm set grip slot\n"
      "}\n"
      "block main { pick_at(feeder, 2, 0.5)  pick_at(t[1], 'x', on) }";
  const zp::Tree tree = zp::parse(script);
  expect_well_formed(tree);
  const zp::Node& declarations = tree.nodes[tree.entries_of(tree.root())[0].node];
  const std::uint32_t declared = tree.entries_of(declarations)[0].node;
  EXPECT_EQ(render(tree, declared),
            "declaration(ident=identifier:pick_at params=[identifier:tray identifier:slot "
            "identifier:speed] bodystart=text:33 bodyend=text:100 bodyline=text:1 "
            "bodycolumn=text:34)");
  EXPECT_EQ(script.substr(33, 100 - 33), script.substr(33, script.find("\nblock main") - 33));
  // The body yields no nodes where it is declared.
  for (const zp::Node& node : tree.nodes) EXPECT_NE(node.kind, zp::Kind::Transfer);
  EXPECT_EQ(render(tree, tree.entries_of(declarations)[1].node),
            "declaration(ident=identifier:main action=asyncblock(asyncleft=block(primary="
            "blockcall(ident=identifier:pick_at args=[identifier:feeder number:2 real:0.5]) "
            "others=block(primary=blockcall(ident=identifier:pick_at args=[(identifier:t "
            "number:1) extern_str:'x' number:1])))))");

  // Read again at a use, the body keeps its places and reads its parameters
  // as names.
  const zp::Tree body = zp::parse_body(script, 33, {1, 34});
  EXPECT_EQ(render(body, static_cast<std::uint32_t>(body.nodes.size() - 1)),
            "asyncblock(asyncleft=block(primary=external(mod=module:@arm ident=identifier:go "
            "argLeft=identifier:speed) others=block(primary=transfer(mod=module:@arm "
            "ident=identifier:pick tray=(identifier:tray identifier:slot)) others=block(primary="
            "io(mod=module:@arm ident=identifier:grip status=identifier:slot)))))");
  EXPECT_EQ(body.nodes[0].position, (zp::Position{2, 3}));
  // Offsets count the bytes of the script as given, a byte order mark too.
  const std::string with_mark = "\xEF\xBB\xBF" + script;
  const zp::Tree marked = zp::parse(with_mark);
  EXPECT_EQ(marked.text(marked.nodes[marked.entries_of(marked.nodes[declared])[2].node]), "36");
  EXPECT_EQ(render(zp::parse_body(with_mark, 36, {1, 34}),
                   static_cast<std::uint32_t>(body.nodes.size() - 1)),
            render(body, static_cast<std::uint32_t>(body.nodes.size() - 1)));
  const zp::SyntaxError inside =
      error_of_body("block b(p) {\n  @x move p\n  @x set s }", 11, {1, 12});
  EXPECT_EQ(inside.position, (zp::Position{3, 12}));
  EXPECT_THROW(zp::parse_body(script, script.size() + 1, {1, 1}), std::invalid_argument);
  EXPECT_THROW(zp::parse_body(with_mark, 1, {1, 1}), std::invalid_argument);

  const std::string pick = "block pick { @x move a }\nblock put(at) { @x move at }\n";
  const std::vector<ErrorCase> cases = {
      {"block b(p) {\n  @x.f(q) }",
       "expected an argument: a number, a quoted text, on or off; in 'b' also one of its "
       "parameters (p), found the name 'q'",
       {2, 8}},
      {"block b(p, s) { @x place into t[q] }",
       "expected a slot number after '['; in 'b' also one of its parameters (p, s)",
       {1, 33}},
      {"block main { @x.f(q) }",
       "expected an argument: a number, a quoted text, on or off, found",
       {1, 19}},
      {"block b(p) { p }",
       "'p' is a parameter of 'b', which stands for a value or a name",
       {1, 14}},
      {"block b() { @x move a }",
       "a block without parameters is declared without brackets: 'block b { ... }'",
       {1, 8}},
      {"block b(p, p) { @x move p }", "the parameter 'p' is already named", {1, 12}},
      {"block b(p { @x move p }", "expected ',' or ')' after a parameter", {1, 11}},
      {pick + "block main { pick() }", "'pick' takes no arguments: write pick", {3, 14}},
      {pick + "block main { put }",
       "'put' takes 1 argument (at): write put(...) with its value",
       {3, 14}},
      {pick + "block main { put(a, b) }", "'put' takes 1 argument (at), not 2", {3, 14}},
      {pick + "block main { put(a }", "expected ',' or ')' after an argument", {3, 20}},
      {pick + "block main { put(t[1.5]) }", "a slot is a whole number, not 1.5", {3, 20}},
      {"block main { put(1) }\nblock put(at) { @x move at }",
       "the block 'put' is declared further down",
       {1, 14}},
      {"block put(at) { put(1) }", "a block cannot use itself", {1, 17}},
  };
  expect_each_error(cases);
}

TEST(ParserOnStop, IsOneDeclarationBesideTheBlocks) {
  const zp::Tree tree = zp::parse("block main { @x move a }\non stop { @x move home }");
  expect_well_formed(tree);
  EXPECT_EQ(render(tree, static_cast<std::uint32_t>(tree.nodes.size() - 1)),
            "action(declarations=[declaration(ident=identifier:main action=asyncblock(asyncleft="
            "block(primary=move(mod=module:@x ident=identifier:a)))) onstop(action=asyncblock("
            "asyncleft=block(primary=move(mod=module:@x ident=identifier:home))))])");
  const std::vector<ErrorCase> cases = {
      {"on stop { @x move a }\nblock main { @x move a }\non stop { @x move b }",
       "'on stop' is already declared at line 1, column 1; a script has at most one",
       {3, 1}},
      {"block main { on stop { @x move a } }",
       "'on stop' is declared beside the blocks, not inside one",
       {1, 14}},
      {"on { @x move a }", "expected 'stop' after 'on'", {1, 4}},
      {"on stop", "expected a block after 'on stop'", {1, 8}},
  };
  expect_each_error(cases);
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
      {"block main { @x set s - 1 }",
       "found '-'; a '-' belongs right before the digits of a number",
       {1, 23}},
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

TEST(ParserErrors, GroupsFollowPlainStatementsButShareNoStatement) {
  const std::string decls = "block home parallel { @x move h } and { @y move h }\n";
  // Plain statements and groups mix in any order: lowering such a sequence
  // is the compile path's.
  for (const std::string& mixed :
       {decls + "block main { @x move a\n  home }",
        std::string("block main { @x move a  compete { @x move b } or { @x move c } }"),
        decls + "block main { @x move a\n  { home @x move b } }"}) {
    expect_well_formed(zp::parse(mixed));
  }

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

TEST(ParserLimits, NewBodiesCountAsOftenAsTheyCanRun) {
  // Each script and the actions it stands for, counted at every level: a
  // retried body runs up to N+1 times, a bounded conditional loop N times, an
  // unbounded one, a timed one and each way of an if once.
  const std::vector<std::pair<std::string, std::uint64_t>> cases = {
      {"block main retry 3 { @x move a }", 1 + 4},
      {"block main repeat until f full max 3 { @x move a }", 1 + 3},
      {"block main repeat while not @s p on { @x move a }", 1 + 1},
      {"block main timeout 2 { @x move a }", 1 + 1},
      {"block main if f full { @x move a } else { @x move a  @x move b }", 1 + 2 + 3},
      {"block p(a) { @x move a  @x move b }\nblock main { p(1)  p(2) }", 2 + 4},
      {"on stop { @x move a  @x move b }\nblock main { wait until @s p on  @x move a + 1 }", 2 + 2},
  };
  for (const auto& [script, actions] : cases) {
    zp::Limits limits;
    limits.max_expanded_actions = actions;
    EXPECT_NO_THROW(zp::parse(script, limits)) << script;
    limits.max_expanded_actions = actions - 1;
    EXPECT_NE(std::string(error_of(script, limits).what()).find("build more than"),
              std::string::npos)
        << script;
  }

  // The new bodies nest as deep as braces do, on the same modest stack.
  std::string deepest = "block main ";
  const char* const levels[] = {"if f empty ", "timeout 1 ", "repeat until @s p on ",
                                "repeat while not f full "};
  for (int i = 0; i < 199; ++i) deepest += levels[i % 4];
  deepest += "{ @x move a }";
  bool parsed = false;
  on_small_stack(384 * 1024, [&] { parsed = zp::parse(deepest).nodes.size() > 0; });
  EXPECT_TRUE(parsed);
  EXPECT_NE(std::string(error_of("block main if f empty " + deepest.substr(11)).what())
                .find("nested more than 200 levels"),
            std::string::npos);
}
