// Fuzz target of the script reader (lexer and parser): any bytes either parse
// into a well-formed tree or are refused with a SyntaxError at a place that
// exists in the script. Anything else (another exception, a crash, a hang, a
// sanitizer report) is a finding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "check.hpp"
#include "zarn/lang/parser.hpp"

namespace {

using namespace zarn::parser;

bool has_text(const Node& node) { return is_token_rule(node.kind) || node.kind == Kind::Text; }

// The tree is in post-order: every entry refers to a node before its own, so
// that the semantics is called bottom-up without recursion.
void check_tree(const Tree& tree) {
  ZARN_FUZZ_CHECK(!tree.nodes.empty());
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    const Node& node = tree.nodes[i];
    ZARN_FUZZ_CHECK(node.position.line >= 1 && node.position.column >= 1);
    if (has_text(node)) {
      ZARN_FUZZ_CHECK(std::size_t{node.first} + node.count <= tree.texts.size());
      continue;
    }
    ZARN_FUZZ_CHECK(std::size_t{node.first} + node.count <= tree.entries.size());
    for (const Entry& entry : tree.entries_of(node)) {
      ZARN_FUZZ_CHECK(entry.node == kNoNode || entry.node < i);
      ZARN_FUZZ_CHECK(static_cast<std::size_t>(entry.key) < kKeyCount);
    }
  }
}

std::size_t count_lines(std::string_view source) {
  std::size_t lines = 1;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (source[i] == '\n' ||
        (source[i] == '\r' && (i + 1 == source.size() || source[i + 1] != '\n'))) {
      ++lines;
    }
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  try {
    check_tree(parse(source));
  } catch (const SyntaxError& error) {
    // The place is shown to the user as file:line:column under the line's text.
    ZARN_FUZZ_CHECK(error.position.line >= 1 && error.position.column >= 1);
    ZARN_FUZZ_CHECK(error.position.line <= count_lines(source));
    ZARN_FUZZ_CHECK(error.width >= 1);
    (void)line_text(source, error.position.line);
  }
  return 0;
}
