#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "zarn/base/yaml_tree.hpp"

namespace fs = std::filesystem;
using zarn::yaml::LimitError;
using zarn::yaml::Limits;
using zarn::yaml::load_file;
using zarn::yaml::load_string;
using zarn::yaml::Node;
using zarn::yaml::ParseError;
using Kind = Node::Kind;

namespace {

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// Keys of a map in order, as text (every key in these tests is text).
std::string keys(const Node& map) {
  std::string out;
  for (const auto& [k, v] : map.entries)
    out += k.text + (v.kind == Kind::Int ? "=" + std::to_string(v.integer) : "") + " ";
  return out;
}

template <typename E>
E error_of(std::string_view text, const Limits& limits = {}) {
  try {
    load_string(text, limits);
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "no error for: " << text.substr(0, 80);
  return E("", 0, 0);
}

class TempFile {
 public:
  explicit TempFile(std::string_view content)
      : path_(fs::temp_directory_path() / ("zarn_yaml_" + std::to_string(::getpid()) + "_" +
                                           std::to_string(counter_++) + ".yaml")) {
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TempFile() { fs::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

// --- Scalar typing: expected values confirmed with PyYAML 6 safe_load ---------

struct Scalar {
  const char* text;
  Kind kind;
  std::int64_t integer = 0;
  double real = 0;
  const char* string = "";  // text, or the digits of a big integer
};

TEST(YamlScalars, TypedAsPyYamlSafeLoad) {
  const double inf = INFINITY;
  const Scalar table[] = {
      {"~", Kind::Null},
      {"null", Kind::Null},
      {"NULL", Kind::Null},
      {"", Kind::Null},
      {"nULL", Kind::String, 0, 0, "nULL"},
      {"!!null 'x'", Kind::Null},
      {"yes", Kind::Bool, 1},
      {"Off", Kind::Bool, 0},
      {"TRUE", Kind::Bool, 1},
      {"on", Kind::Bool, 1},
      {"oN", Kind::String, 0, 0, "oN"},
      {"y", Kind::String, 0, 0, "y"},
      {"!!bool 'tRuE'", Kind::Bool, 1},
      {"0", Kind::Int, 0},
      {"-0", Kind::Int, 0},
      {"+12", Kind::Int, 12},
      {"1__2", Kind::Int, 12},
      {"0b1010", Kind::Int, 10},
      {"-0b101", Kind::Int, -5},
      {"0777", Kind::Int, 511},
      {"0_", Kind::Int, 0},
      {"0x1F", Kind::Int, 31},
      {"-0x_ff", Kind::Int, -255},
      {"1:30", Kind::Int, 90},
      {"-1:30", Kind::Int, -90},
      {"190:20:30", Kind::Int, 685230},
      {"9223372036854775807", Kind::Int, INT64_MAX},
      {"-9223372036854775808", Kind::Int, INT64_MIN},
      {"9223372036854775808", Kind::Int, 0, 0, "9223372036854775808"},
      {"-0x10000000000000000", Kind::Int, 0, 0, "-18446744073709551616"},
      {"1000000000000000000000000000000:59", Kind::Int, 0, 0, "60000000000000000000000000000059"},
      {"!!int '0x10'", Kind::Int, 16},
      {"!!int 1_0", Kind::Int, 10},
      {"08", Kind::String, 0, 0, "08"},
      {"0o7", Kind::String, 0, 0, "0o7"},
      {"1:60", Kind::String, 0, 0, "1:60"},
      {"0:30", Kind::String, 0, 0, "0:30"},
      {"0x", Kind::String, 0, 0, "0x"},
      {"_1", Kind::String, 0, 0, "_1"},
      {"1.0e+5", Kind::Float, 0, 1e5},
      {"1.", Kind::Float, 0, 1.0},
      {".5", Kind::Float, 0, 0.5},
      {"1_000.5_0", Kind::Float, 0, 1000.5},
      {"-0.25", Kind::Float, 0, -0.25},
      {"1:30.5", Kind::Float, 0, 90.5},
      {"0:30.5", Kind::Float, 0, 30.5},
      {"190:20:30.15", Kind::Float, 0, 685230.15},
      {"1.0e+400", Kind::Float, 0, inf},
      {"-1.0e+400", Kind::Float, 0, -inf},
      {"1.0e-400", Kind::Float, 0, 0.0},
      {".inf", Kind::Float, 0, inf},
      {"-.Inf", Kind::Float, 0, -inf},
      {"+.INF", Kind::Float, 0, inf},
      {"!!float '1e5'", Kind::Float, 0, 1e5},
      {"!!float 1", Kind::Float, 0, 1.0},
      {"1e5", Kind::String, 0, 0, "1e5"},
      {"1.0e5", Kind::String, 0, 0, "1.0e5"},
      {"-.5", Kind::String, 0, 0, "-.5"},
      {"-.nan", Kind::String, 0, 0, "-.nan"},
      {"'12'", Kind::String, 0, 0, "12"},
      {"\"yes\"", Kind::String, 0, 0, "yes"},
      {"!!str 5", Kind::String, 0, 0, "5"},
      {"!!str ~", Kind::String, 0, 0, "~"},
      {"2001-12-14", Kind::String, 0, 0, "2001-12-14"},
  };
  for (const Scalar& s : table) {
    SCOPED_TRACE(s.text);
    const Node n = load_string(std::string("v: ") + s.text).entries.at(0).second;
    ASSERT_EQ(n.kind, s.kind);
    switch (s.kind) {
      case Kind::Bool:
        EXPECT_EQ(n.boolean, s.integer != 0);
        break;
      case Kind::Int:
        EXPECT_EQ(n.big_integer, s.string);
        if (n.big_integer.empty()) {
          EXPECT_EQ(n.integer, s.integer);
        }
        break;
      case Kind::Float:
        EXPECT_EQ(n.real, s.real);
        EXPECT_EQ(std::signbit(n.real), std::signbit(s.real));
        break;
      case Kind::String:
        EXPECT_EQ(n.text, s.string);
        break;
      default:
        break;
    }
  }
  EXPECT_TRUE(std::isnan(load_string(".NaN").real));
}

TEST(YamlScalars, BadValuesAndUnknownTagsNameTheirPosition) {
  for (const char* text :
       {"0b_", "!!int abc", "!!int ''", "!!bool maybe", "!!float 1.2.3", "!foo x",
        "!!binary aGk=", "!!timestamp 2001-01-01", "!!seq x", "!!str [a]", "!!set {a}"}) {
    SCOPED_TRACE(text);
    const ParseError e = error_of<ParseError>(std::string("a: 1\nv: ") + text);
    EXPECT_EQ(e.line, 2u);
    EXPECT_EQ(e.column, 4u);
    EXPECT_NE(std::string(e.what()).find("line 2, column 4"), std::string::npos) << e.what();
  }
  const ParseError e = error_of<ParseError>("v: " + repeat("1", 4301));
  EXPECT_NE(std::string(e.what()).find("4300 digits"), std::string::npos) << e.what();
}

// --- Maps: order and repeated keys -------------------------------------------

TEST(YamlMaps, KeepOrderAndLetLaterDuplicatesWinInFirstPosition) {
  const Node m = load_string("z: 1\na: 2\nm: 3\na: 4\n");
  EXPECT_EQ(keys(m), "z=1 a=4 m=3 ");
  ASSERT_NE(m.find("a"), nullptr);
  EXPECT_EQ(m.find("a")->integer, 4);
  EXPECT_EQ(m.find("q"), nullptr);
  EXPECT_EQ(m.find("a")->find("x"), nullptr);  // not a map

  // Same kind and value is the same key, however it is written; kinds differ otherwise.
  EXPECT_EQ(load_string("{0x10: a, 16: b}").entries.size(), 1u);
  EXPECT_EQ(load_string("{~: a, null: b, '': c}").entries.size(), 2u);
  EXPECT_EQ(load_string("{.nan: a, .NaN: b, 0.0: c, -0.0: d}").entries.size(), 2u);
  const Node mixed = load_string("{1: a, '1': b, true: c}");
  EXPECT_EQ(mixed.entries.size(), 3u);
  EXPECT_EQ(mixed.find("1")->text, "b");
}

TEST(YamlMaps, LargeMapsFindDuplicatesLikeSmallOnes) {
  // Keys built by appending: GCC 12 warns falsely (-Wrestrict) about
  // "k" + std::to_string(n).
  const auto key = [](int n) { return std::string("k").append(std::to_string(n)); };
  std::string text;
  for (int i = 0; i < 3000; ++i) text += key(i % 1000) + ": " + std::to_string(i) + "\n";
  const Node m = load_string(text);
  ASSERT_EQ(m.entries.size(), 1000u);
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(m.entries[i].first.text, key(i));
    EXPECT_EQ(m.entries[i].second.integer, 2000 + i);
  }
}

TEST(YamlMaps, CollectionKeysAreRejected) {
  EXPECT_EQ(error_of<ParseError>("a: 1\n? [x]\n: 2\n").line, 2u);
  EXPECT_EQ(error_of<ParseError>("{a: 1, {b: 2}: 3}").line, 1u);
  EXPECT_EQ(error_of<ParseError>("x: &m {a: 1}\n*m : 2\n").line, 2u);
}

// --- Anchors, aliases and merge keys ------------------------------------------

TEST(YamlAnchors, AliasesExpandToCopies) {
  const Node n = load_string("a: &x {p: [1, 2]}\nb: *x\nc: &s text\nd: *s\n");
  ASSERT_EQ(n.entries.size(), 4u);
  EXPECT_EQ(n.find("b")->find("p")->items.size(), 2u);
  EXPECT_EQ(n.find("b")->find("p")->items[1].integer, 2);
  EXPECT_EQ(n.find("d")->text, "text");
}

TEST(YamlAnchors, MergeKeysFollowPyYamlOrder) {
  // Each expected order was checked against PyYAML's safe_load.
  EXPECT_EQ(keys(*load_string("a: &a {x: 1, y: 2}\nb: {<<: *a, z: 3}").find("b")), "x=1 y=2 z=3 ");
  EXPECT_EQ(
      keys(*load_string("a: &a {x: 1}\nb: &b {y: 2, x: 3}\nc: {<<: [*a, *b], w: 0}").find("c")),
      "y=2 x=1 w=0 ");
  EXPECT_EQ(keys(*load_string("a: &a {x: 1}\nc: {x: 9, <<: *a, y: 2}").find("c")), "x=9 y=2 ");
  EXPECT_EQ(keys(*load_string("a: {<<: {x: 1}, <<: {y: 2, x: 5}}").find("a")), "x=5 y=2 ");
  EXPECT_EQ(keys(*load_string("a: &a {x: 1, <<: {q: 0}}\nb: {<<: *a}").find("b")), "q=0 x=1 ");
  EXPECT_EQ(keys(*load_string("l: &l [{a: 1}, {b: 2}]\nm: {<<: *l}").find("m")), "b=2 a=1 ");
  const Node nested = load_string(
      "- &a {a: 1, b: 2}\n- &b {c: 3, a: 4}\n- &c {<<: [*a, *b], d: 5}\n- {<<: [*c, *b], e: 6, a: "
      "0}\n");
  EXPECT_EQ(keys(nested.items[2]), "c=3 a=1 b=2 d=5 ");
  EXPECT_EQ(keys(nested.items[3]), "c=3 a=0 b=2 d=5 e=6 ");
  // Only a plain << merges.
  EXPECT_EQ(keys(load_string("'<<': 1\n!!str <<: 2")), "<<=2 ");
}

TEST(YamlAnchors, InvalidMergesAndAnchorsAreParseErrors) {
  EXPECT_EQ(error_of<ParseError>("a: 1\nb: {<<: 1}").column, 9u);
  EXPECT_EQ(error_of<ParseError>("b: {<<: [{x: 1}, [2]]}").column, 18u);
  EXPECT_EQ(error_of<ParseError>("a: &x 1\nb: &x 2").line, 2u);
  EXPECT_EQ(error_of<ParseError>("a: &a [1, *a]").column, 11u);
  EXPECT_EQ(error_of<ParseError>("a: 1\nb: *nowhere").line, 2u);
}

// --- Documents ------------------------------------------------------------------

TEST(YamlDocuments, EmptyStreamIsNullAndSecondDocumentIsAnError) {
  EXPECT_EQ(load_string("").kind, Kind::Null);
  EXPECT_EQ(load_string("# only a comment\n\n").kind, Kind::Null);
  EXPECT_EQ(load_string("---\n").kind, Kind::Null);
  EXPECT_EQ(load_string("a: 1\n...\n").entries.size(), 1u);
  const ParseError e = error_of<ParseError>("a: 1\n# c\n---\nb: 2\n");
  EXPECT_EQ(e.line, 3u);
  EXPECT_NE(std::string(e.what()).find("single document"), std::string::npos) << e.what();
}

// --- Limits against hostile input ---------------------------------------------

TEST(YamlLimits, DeepNestingIsRejectedWithoutExhaustingTheStack) {
  for (const std::string& text :
       {repeat("[", 100000) + repeat("]", 100000), repeat("{a: ", 100000) + repeat("}", 100000),
        repeat("- ", 100000) + "x", repeat("[", 100000)}) {
    SCOPED_TRACE(text.substr(0, 8));
    EXPECT_THROW(load_string(text), zarn::yaml::Error);
  }
  const LimitError flow = error_of<LimitError>(repeat("[", 100000) + repeat("]", 100000));
  EXPECT_EQ(flow.column, 257u);
  EXPECT_NE(std::string(flow.what()).find("deeper than 256 levels at line 1, column 257"),
            std::string::npos)
      << flow.what();

  // Block maps nest through indentation, one space per level.
  std::string block;
  for (int level = 0; level < 3000; ++level) block += std::string(level, ' ') + "k:\n";
  EXPECT_EQ(error_of<LimitError>(block).line, 257u);
  Limits generous;
  generous.max_depth = 100000;
  EXPECT_THROW(load_string(block, generous), LimitError);  // the parser's own guard

  Limits tight;
  tight.max_depth = 3;
  EXPECT_NO_THROW(load_string("a: [[x]]", tight));
  EXPECT_THROW(load_string("a: [[[x]]]", tight), LimitError);
  // An alias deepens the tree by the height of what it names.
  EXPECT_THROW(load_string("a: &x [[1]]\nb: [*x]", tight), LimitError);
}

TEST(YamlLimits, AliasExpansionIsCountedBeforeCopying) {
  std::string laughs = "a0: &a0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int i = 1; i < 10; ++i) {
    laughs += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [" +
              repeat("*a" + std::to_string(i - 1) + ", ", 9) + "*a" + std::to_string(i - 1) + "]\n";
  }
  const auto start = std::chrono::steady_clock::now();
  const LimitError e = error_of<LimitError>(laughs);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(e.line, 6u);
  EXPECT_NE(std::string(e.what()).find("more than 1000000 nodes"), std::string::npos) << e.what();

  // map, a, [1, 2], b, and the alias as three more nodes: 9.
  Limits limits;
  limits.max_nodes = 9;
  EXPECT_NO_THROW(load_string("a: &x [1, 2]\nb: *x", limits));
  limits.max_nodes = 8;
  EXPECT_THROW(load_string("a: &x [1, 2]\nb: *x", limits), LimitError);
}

TEST(YamlLimits, OversizedInputIsRejectedBeforeParsing) {
  Limits limits;
  limits.max_file_bytes = 100;
  const std::string text = "a: [" + repeat("1, ", 40) + "]\n";
  const TempFile file(text);
  EXPECT_THROW(load_file(file.path(), limits), LimitError);
  EXPECT_THROW(load_string(text, limits), LimitError);
  limits.max_file_bytes = text.size();
  EXPECT_EQ(load_file(file.path(), limits).find("a")->items.size(), 40u);
  limits.max_file_bytes = 1000;
  EXPECT_THROW(load_file("/dev/zero", limits), LimitError);  // a file that never ends
}

// --- Files and encodings ------------------------------------------------------------

std::string file_error(const std::string& path) {
  try {
    load_file(path);
  } catch (const zarn::yaml::FileError& e) {
    return e.what();
  }
  return "no FileError";
}

TEST(YamlFiles, OsErrorsReadLikePython) {
  const std::string missing = (fs::temp_directory_path() / "zarn_no_such_dir" / "m.yaml").string();
  EXPECT_EQ(file_error(missing), "[Errno 2] No such file or directory: '" + missing + "'");
  const std::string dir = fs::temp_directory_path().string();
  EXPECT_EQ(file_error(dir), "[Errno 21] Is a directory: '" + dir + "'");
  EXPECT_EQ(file_error("/nonexistent/it's.yaml"),
            "[Errno 2] No such file or directory: \"/nonexistent/it's.yaml\"");
  EXPECT_EQ(file_error("/nonexistent/a\nb\\c\xFF.yaml"),
            "[Errno 2] No such file or directory: '/nonexistent/a\\nb\\\\c\\udcff.yaml'");
}

TEST(YamlFiles, ErrorsNameTheFileAndPosition) {
  const TempFile file("a: 1\nb: [1, 2\nc: 3\n");
  try {
    load_file(file.path());
    FAIL() << "no error";
  } catch (const ParseError& e) {
    EXPECT_NE(std::string(e.what()).find("configuration '" + file.path() + "'"), std::string::npos);
    EXPECT_GE(e.line, 2u);
    EXPECT_GT(e.column, 0u);
  }
  EXPECT_EQ(error_of<ParseError>("a: 1\nb: c: d\n").line, 2u);
}

TEST(YamlFiles, EncodingsAreCheckedLikePyYaml) {
  EXPECT_EQ(load_string("\xEF\xBB\xBF"
                        "a: \xC3\xA9")
                .find("a")
                ->text,
            "\xC3\xA9");
  const std::string utf16le(
      "\xFF\xFE"
      "a\0:\0 \0\xE9\0",
      10);
  EXPECT_EQ(load_string(utf16le).find("a")->text, "\xC3\xA9");
  const ParseError bad = error_of<ParseError>("a: 1\nb: x\xFFy\n");
  EXPECT_EQ(bad.line, 2u);
  EXPECT_EQ(bad.column, 5u);
  EXPECT_EQ(error_of<ParseError>(std::string("a: \0", 4)).column, 4u);
  EXPECT_THROW(load_string("a: \x7F"), ParseError);
  EXPECT_THROW(load_string("a: \xC2\x80"), ParseError);      // U+0080, a Latin-1 control
  EXPECT_THROW(load_string("a: \xED\xA0\x80"), ParseError);  // a UTF-8 encoded surrogate
}

// Damaged documents must load or fail with a loading error: never crash or hang.
TEST(YamlRobustness, MutatedDocumentsLoadOrFailCleanly) {
  const std::string seed =
      "base: &b {speed: 10, 'name': \"x\\ty\", list: [1, 0x1F, .5, ~]}\n"
      "dev:\n  <<: *b\n  io: [ {pin: 3, on: yes}, !!str 7 ]\n  text: |\n    line\n"
      "? complex\n: - a\n  - *b\n";
  const std::string alphabet = "[]{}:,-?&*!|>'\"#%@`\n \t\\<=.0a\x80\xFF";
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string text = seed;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < edits; ++i) {
      const std::size_t at = rng() % (text.size() + 1);
      switch (rng() % 3) {
        case 0:
          text.insert(at, 1, alphabet[rng() % alphabet.size()]);
          break;
        case 1:
          if (at < text.size()) text.erase(at, 1 + rng() % 4);
          break;
        default:
          text.insert(at, text.substr(rng() % text.size(), rng() % 20));
      }
    }
    try {
      load_string(text);
    } catch (const zarn::yaml::Error&) {
    }
  }
}

}  // namespace
