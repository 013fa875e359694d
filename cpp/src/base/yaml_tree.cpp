// The YAML tree (zarn/base/yaml_tree.hpp): reading the text, building the
// tree from the parser's events, merges, aliases and limits. Which type a
// plain scalar has is decided in yaml_scalars.cpp.

#include "zarn/base/yaml_tree.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/mark.h>
#include <yaml-cpp/parser.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <deque>
#include <istream>
#include <limits>
#include <streambuf>
#include <system_error>
#include <unordered_map>

#include "yaml_scalars.hpp"
#include "zarn/base/utf8.hpp"

namespace zarn::yaml {

namespace {

// The tree is copied and destroyed recursively; this bounds the stack it needs
// whatever limit the caller asks for.
constexpr std::size_t kDepthCeiling = 1000;
// yaml-cpp keeps positions in int; staying far below that keeps them exact.
constexpr std::size_t kByteCeiling = std::size_t{1} << 30;
// Up to this many entries a linear search finds repeated keys faster than a
// hash index.
constexpr std::size_t kLinearKeyLimit = 8;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// ---------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------

struct Where {
  std::size_t line = 0;  // from 1; 0 when unknown
  std::size_t column = 0;
};

Where where_of(const YAML::Mark& mark) {
  if (mark.is_null() || mark.line < 0 || mark.column < 0) return {};
  return {static_cast<std::size_t>(mark.line) + 1, static_cast<std::size_t>(mark.column) + 1};
}

std::string at(Where w) {
  if (w.line == 0) return "";
  return " at line " + std::to_string(w.line) + ", column " + std::to_string(w.column);
}

std::string hex(unsigned value, int digits, bool upper = false) {
  const char* const digit_chars = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out += digit_chars[(value >> shift) & 0xFu];
  }
  return out;
}

// The path as Python's repr() shows it, so that messages read like OSError's.
// Undecodable bytes appear as Python's surrogate escapes; of the non-ASCII
// characters only the Latin-1 controls and no-break space are escaped.
std::string py_repr(std::string_view s) {
  const bool single = s.find('\'') != std::string_view::npos;
  const bool dbl = s.find('"') != std::string_view::npos;
  const char quote = single && !dbl ? '"' : '\'';
  std::string out(1, quote);
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      char32_t cp = 0;
      const std::size_t len = zarn::utf8::sequence(s, i, cp);
      if (len == 0) {
        out += "\\u" + hex(0xDC00u | c, 4);
        ++i;
      } else {
        if (cp <= 0xA0) {
          out += "\\x" + hex(static_cast<unsigned>(cp), 2);
        } else {
          out.append(s.substr(i, len));
        }
        i += len;
      }
      continue;
    }
    if (c == '\\' || c == static_cast<unsigned char>(quote)) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x" + hex(c, 2);
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  out += quote;
  return out;
}

std::string os_error(int err, const std::string& path) {
  return "[Errno " + std::to_string(err) + "] " + std::generic_category().message(err) + ": " +
         py_repr(path);
}

// A scalar quoted in a message, shortened: the value may be megabytes long.
std::string excerpt(const std::string& value) {
  constexpr std::size_t kShown = 40;
  // Piece by piece: GCC 12 misreads "'" + string at -O3 (-Wrestrict).
  std::string quoted = "'";
  if (value.size() <= kShown) {
    quoted += value;
    quoted += "'";
    return quoted;
  }
  std::size_t cut = kShown;
  while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0u) == 0x80u) --cut;
  quoted.append(value, 0, cut);
  quoted += "...'";
  return quoted;
}

bool supported_tag(const std::string& tag) {
  static constexpr std::string_view kTags[] = {"tag:yaml.org,2002:str",   "tag:yaml.org,2002:int",
                                               "tag:yaml.org,2002:float", "tag:yaml.org,2002:bool",
                                               "tag:yaml.org,2002:null",  "tag:yaml.org,2002:seq",
                                               "tag:yaml.org,2002:map"};
  return std::find(std::begin(kTags), std::end(kTags), tag) != std::end(kTags);
}

std::string tag_name(const std::string& tag) {
  static constexpr std::string_view kStandard = "tag:yaml.org,2002:";
  if (tag.starts_with(kStandard)) return "!!" + tag.substr(kStandard.size());
  return tag;
}

// ---------------------------------------------------------------------------
// Text encoding: the reader accepts what PyYAML's reader accepts
// ---------------------------------------------------------------------------

// UTF-16 with a byte order mark, transcoded to the UTF-8 yaml-cpp is fed.
std::string utf16_to_utf8(std::string_view bytes, bool little_endian, const std::string& source) {
  if (bytes.size() % 2 != 0) {
    throw ParseError(source + " is not valid UTF-16: it ends in the middle of a character", 0, 0);
  }
  const auto unit = [&](std::size_t i) {
    const auto lo = static_cast<unsigned char>(bytes[little_endian ? i : i + 1]);
    const auto hi = static_cast<unsigned char>(bytes[little_endian ? i + 1 : i]);
    return static_cast<char32_t>(hi << 8 | lo);
  };
  std::string out;
  out.reserve(bytes.size() * 3 / 2);
  for (std::size_t i = 2; i < bytes.size(); i += 2) {
    char32_t cp = unit(i);
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      const char32_t low = i + 2 < bytes.size() ? unit(i + 2) : 0;
      if (cp > 0xDBFF || low < 0xDC00 || low > 0xDFFF) {
        throw ParseError(
            source + " is not valid UTF-16: unpaired surrogate at byte offset " + std::to_string(i),
            0, 0);
      }
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

bool printable(char32_t cp) {
  if (cp < 0x80) return cp == '\t' || cp == '\n' || cp == '\r' || (cp >= 0x20 && cp != 0x7F);
  if (cp < 0xA0) return cp == 0x85;
  return cp != 0xFFFE && cp != 0xFFFF;
}

// Rejects malformed UTF-8 and the control characters YAML forbids. yaml-cpp
// would otherwise guess an encoding from NUL bytes or substitute characters.
void check_text(std::string_view s, const std::string& source) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    char32_t cp = c;
    std::size_t len = 1;
    if (c >= 0x80) {
      len = zarn::utf8::sequence(s, i, cp);
      if (len == 0) {
        throw ParseError(source + " is not valid UTF-8" + at({line, column}) + " (byte 0x" +
                             hex(c, 2) + "); save it as UTF-8",
                         line, column);
      }
    }
    if (!printable(cp)) {
      throw ParseError(source + " contains the control character U+" +
                           hex(static_cast<unsigned>(cp), 4, true) + at({line, column}) +
                           "; only printable characters, tabs and line breaks are allowed",
                       line, column);
    }
    if (cp == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
    i += len;
  }
}

// ---------------------------------------------------------------------------
// Key identity for repeated keys
// ---------------------------------------------------------------------------

bool same_key(const Node& a, const Node& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Node::Kind::Null:
      return true;
    case Node::Kind::Bool:
      return a.boolean == b.boolean;
    case Node::Kind::Int:
      return a.big_integer == b.big_integer && (!a.big_integer.empty() || a.integer == b.integer);
    case Node::Kind::Float:
      // PyYAML hands out one NaN object, so every .nan key is the same key.
      return a.real == b.real || (std::isnan(a.real) && std::isnan(b.real));
    case Node::Kind::String:
      return a.text == b.text;
    default:
      return false;
  }
}

std::size_t key_hash(const Node& n) {
  const auto mix = [&](std::size_t h) { return h * 31 + static_cast<std::size_t>(n.kind); };
  switch (n.kind) {
    case Node::Kind::Bool:
      return mix(n.boolean);
    case Node::Kind::Int:
      return mix(n.big_integer.empty() ? std::hash<std::int64_t>{}(n.integer)
                                       : std::hash<std::string>{}(n.big_integer));
    case Node::Kind::Float:
      return mix(std::isnan(n.real) ? 1 : std::hash<double>{}(n.real == 0.0 ? 0.0 : n.real));
    case Node::Kind::String:
      return mix(std::hash<std::string>{}(n.text));
    default:
      return mix(0);
  }
}

// ---------------------------------------------------------------------------
// Event handler building the tree
// ---------------------------------------------------------------------------

// A node as parsed. Children are indices into the builder's node table, so an
// alias costs one index until the tree is copied out at the end; that keeps
// memory proportional to the input while the expanded size is only counted.
struct Raw {
  Node node;                      // the value of a scalar; only the kind of a collection
  std::vector<std::size_t> kids;  // items, or key, value, key, value...
  std::size_t size = 1;           // nodes of the expanded subtree
  std::size_t height = 0;         // collection levels in the subtree
  Where where;
  bool merge_key = false;  // plain "<<"
  bool complete = false;
};

struct KeyHash {
  const std::deque<Raw>* raws;
  std::size_t operator()(std::size_t i) const { return key_hash((*raws)[i].node); }
};
struct KeyEq {
  const std::deque<Raw>* raws;
  bool operator()(std::size_t a, std::size_t b) const {
    return same_key((*raws)[a].node, (*raws)[b].node);
  }
};

const char* kind_name(Node::Kind kind) {
  switch (kind) {
    case Node::Kind::Sequence:
      return "a sequence";
    case Node::Kind::Map:
      return "a map";
    default:
      return "a scalar";
  }
}

bool is_collection(Node::Kind kind) {
  return kind == Node::Kind::Sequence || kind == Node::Kind::Map;
}

class Builder final : public YAML::EventHandler {
 public:
  Builder(const Limits& limits, const std::string& source)
      : limits_(limits), max_depth_(std::min(limits.max_depth, kDepthCeiling)), source_(source) {}

  std::size_t depth() const { return stack_.size(); }

  // Builds the tree; the builder is spent afterwards.
  Node take() {
    Node out;
    if (root_ != kNone) copy_out(root_, out);
    return out;
  }

  void OnDocumentStart(const YAML::Mark& mark) override {
    if (documents_++ > 0) {
      fail(" must be a single document, but another document starts", where_of(mark),
           "; remove the '---' line or split the file");
    }
  }
  void OnDocumentEnd() override {}

  void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    const std::size_t i = open_node(Node::Kind::Null, where_of(mark), anchor);
    finish(i);
  }

  void OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                const std::string& value) override {
    const Where w = where_of(mark);
    Node node = scalar(tag, value, w);
    const std::size_t i = open_node(node.kind, w, anchor);
    raws_[i].node = std::move(node);
    raws_[i].merge_key = tag == "?" && value == "<<";
    finish(i);
  }

  void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    const Where w = where_of(mark);
    if (anchor >= anchors_.size() || anchors_[anchor] == kNone) {
      fail(" refers to an undefined anchor", w, "");
    }
    const std::size_t target = anchors_[anchor];
    const Raw& raw = raws_[target];
    if (!raw.complete) {
      fail(" uses the alias *" + names_[anchor] + " inside the node it names", w,
           "; recursive structures are not supported");
    }
    if (expecting_key() && is_collection(raw.node.kind)) {
      fail(" uses " + std::string(kind_name(raw.node.kind)) + " (alias *" + names_[anchor] +
               ") as a map key",
           w, "; map keys must be scalars");
    }
    check_depth(depth() + raw.height, w);
    count(raw.size, w);
    aliased_ = true;
    finish(target);
  }

  void OnSequenceStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                       YAML::EmitterStyle::value) override {
    open_collection(Node::Kind::Sequence, "tag:yaml.org,2002:seq", mark, tag, anchor);
  }
  void OnSequenceEnd() override { close_collection(); }

  void OnMapStart(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value) override {
    open_collection(Node::Kind::Map, "tag:yaml.org,2002:map", mark, tag, anchor);
  }
  void OnMapEnd() override { close_collection(); }

  void OnAnchor(const YAML::Mark& mark, const std::string& name) override {
    const Where w = where_of(mark);
    const auto [it, inserted] = anchor_sites_.try_emplace(name, w);
    if (!inserted) {
      fail(" defines the anchor &" + name + " a second time", w,
           " (first" + at(it->second) + "); anchor names must be unique");
    }
    pending_anchor_ = name;
  }

 private:
  [[noreturn]] void fail(const std::string& what, Where w, const std::string& fix) const {
    throw ParseError(source_ + what + at(w) + fix, w.line, w.column);
  }

  void count(std::size_t nodes, Where w) {
    if (nodes > limits_.max_nodes - count_) {
      throw LimitError(source_ + " expands to more than " + std::to_string(limits_.max_nodes) +
                           " nodes" + at(w) +
                           " (every use of an alias counts the whole node it names); use fewer "
                           "aliases or raise the max_nodes limit",
                       w.line, w.column);
    }
    count_ += nodes;
  }

  void check_depth(std::size_t levels, Where w) const {
    if (levels > max_depth_) {
      throw LimitError(source_ + " nests deeper than " + std::to_string(max_depth_) + " levels" +
                           at(w) + "; flatten the structure or raise the max_depth limit",
                       w.line, w.column);
    }
  }

  bool expecting_key() const {
    if (stack_.empty()) return false;
    const Raw& parent = raws_[stack_.back()];
    return parent.node.kind == Node::Kind::Map && parent.kids.size() % 2 == 0;
  }

  std::size_t open_node(Node::Kind kind, Where w, YAML::anchor_t anchor) {
    count(1, w);
    const std::size_t i = raws_.size();
    raws_.emplace_back();
    raws_[i].node.kind = kind;
    raws_[i].where = w;
    if (anchor != 0) {
      if (anchor >= anchors_.size()) {
        anchors_.resize(anchor + 1, kNone);
        names_.resize(anchor + 1);
      }
      anchors_[anchor] = i;
      names_[anchor] = std::move(pending_anchor_);
    }
    return i;
  }

  Node scalar(const std::string& tag, const std::string& value, Where w) const {
    Node node;
    if (tag == "?") {
      bool b = false;
      if (is_null_word(value)) {
        node.kind = Node::Kind::Null;
      } else if (bool_word(value, b)) {
        node.kind = Node::Kind::Bool;
        node.boolean = b;
      } else if (looks_like_int(value)) {
        convert_int(value, w, node);
      } else if (looks_like_float(value)) {
        if (!to_float(value, node)) fail(" has the malformed number " + excerpt(value), w, "");
      } else {
        node.kind = Node::Kind::String;
        node.text = value;
      }
      return node;
    }
    if (tag == "!" || tag == "tag:yaml.org,2002:str") {
      node.kind = Node::Kind::String;
      node.text = value;
    } else if (tag == "tag:yaml.org,2002:null") {
      node.kind = Node::Kind::Null;
    } else if (tag == "tag:yaml.org,2002:bool") {
      std::string lower = value;
      for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      if (!bool_word(lower, node.boolean)) {
        fail(" tags " + excerpt(value) + " as !!bool", w,
             "; a !!bool is yes, no, true, false, on or off");
      }
      node.kind = Node::Kind::Bool;
    } else if (tag == "tag:yaml.org,2002:int") {
      convert_int(value, w, node);
    } else if (tag == "tag:yaml.org,2002:float") {
      if (!to_float(value, node)) {
        fail(" tags " + excerpt(value) + " as !!float", w, ", but it is not a number");
      }
    } else if (supported_tag(tag)) {
      fail(" puts the tag " + tag_name(tag) + " on a scalar", w, "");
    } else {
      unsupported_tag(tag, w);
    }
    return node;
  }

  void convert_int(const std::string& value, Where w, Node& node) const {
    switch (to_int(value, node)) {
      case Conversion::kOk:
        return;
      case Conversion::kTooLong:
        fail(" has an integer with more than " + std::to_string(kMaxIntegerDigits) + " digits", w,
             "; quote it to keep it as text");
      case Conversion::kInvalid:
        fail(" has the value " + excerpt(value) + ", which is not a valid integer,", w, "");
    }
  }

  [[noreturn]] void unsupported_tag(const std::string& tag, Where w) const {
    fail(" uses the unsupported tag " + tag_name(tag), w,
         "; only !!str, !!int, !!float, !!bool, !!null, !!seq and !!map are allowed");
  }

  void open_collection(Node::Kind kind, const char* own_tag, const YAML::Mark& mark,
                       const std::string& tag, YAML::anchor_t anchor) {
    const Where w = where_of(mark);
    if (tag != "?" && tag != "!" && tag != own_tag) {
      if (!supported_tag(tag)) unsupported_tag(tag, w);
      fail(" puts the tag " + tag_name(tag) + " on " + kind_name(kind), w, "");
    }
    if (expecting_key())
      fail(" uses " + std::string(kind_name(kind)) + " as a map key", w,
           "; map keys must be scalars");
    check_depth(depth() + 1, w);
    const std::size_t i = open_node(kind, w, anchor);
    stack_.push_back(i);
  }

  void close_collection() {
    const std::size_t i = stack_.back();
    stack_.pop_back();
    if (raws_[i].node.kind == Node::Kind::Map) flatten(i);
    Raw& raw = raws_[i];
    const std::size_t parsed_size = raw.size;
    raw.size = 1;
    raw.height = 0;
    for (std::size_t kid : raw.kids) {
      raw.size += raws_[kid].size;
      raw.height = std::max(raw.height, raws_[kid].height);
    }
    ++raw.height;
    // Merges and repeated keys only ever drop nodes that were counted.
    count_ -= parsed_size - std::min(parsed_size, raw.size);
    finish(i);
  }

  void finish(std::size_t i) {
    raws_[i].complete = true;
    if (stack_.empty()) {
      root_ = i;
      return;
    }
    Raw& parent = raws_[stack_.back()];
    parent.kids.push_back(i);
    parent.size += raws_[i].size;
  }

  // PyYAML's flatten_mapping followed by building a dict: the pairs merged in
  // come first, the map's own pairs after them; of a list of maps the later
  // ones come first, so that the earlier ones win. Then a repeated key keeps
  // its first position and takes its last value.
  void flatten(std::size_t map) {
    const std::vector<std::size_t>& kids = raws_[map].kids;
    std::vector<std::size_t> merged;
    std::vector<std::size_t> own;
    bool has_merge = false;
    for (std::size_t p = 0; p + 1 < kids.size(); p += 2) {
      if (!raws_[kids[p]].merge_key) continue;
      has_merge = true;
      const Raw& value = raws_[kids[p + 1]];
      if (value.node.kind == Node::Kind::Map) {
        merged.insert(merged.end(), value.kids.begin(), value.kids.end());
      } else if (value.node.kind == Node::Kind::Sequence) {
        for (std::size_t sub : value.kids) {
          if (raws_[sub].node.kind != Node::Kind::Map) {
            fail(" merges " + std::string(kind_name(raws_[sub].node.kind)) + " with '<<'",
                 raws_[sub].where, "; expected a mapping for merging");
          }
        }
        for (auto it = value.kids.rbegin(); it != value.kids.rend(); ++it) {
          const auto& sub = raws_[*it].kids;
          merged.insert(merged.end(), sub.begin(), sub.end());
        }
      } else {
        fail(" merges " + std::string(kind_name(value.node.kind)) + " with '<<'", value.where,
             "; expected a mapping or list of mappings for merging");
      }
    }
    if (has_merge) {
      for (std::size_t p = 0; p + 1 < kids.size(); p += 2) {
        if (raws_[kids[p]].merge_key) continue;
        own.push_back(kids[p]);
        own.push_back(kids[p + 1]);
      }
      merged.insert(merged.end(), own.begin(), own.end());
    }
    raws_[map].kids = without_repeated_keys(has_merge ? merged : kids);
  }

  std::vector<std::size_t> without_repeated_keys(const std::vector<std::size_t>& pairs) const {
    std::vector<std::size_t> out;
    out.reserve(pairs.size());
    if (pairs.size() <= 2 * kLinearKeyLimit) {
      for (std::size_t p = 0; p + 1 < pairs.size(); p += 2) {
        std::size_t q = 0;
        while (q < out.size() && !same_key(raws_[out[q]].node, raws_[pairs[p]].node)) q += 2;
        if (q < out.size()) {
          out[q + 1] = pairs[p + 1];
        } else {
          out.push_back(pairs[p]);
          out.push_back(pairs[p + 1]);
        }
      }
      return out;
    }
    std::unordered_map<std::size_t, std::size_t, KeyHash, KeyEq> position(
        pairs.size(), KeyHash{&raws_}, KeyEq{&raws_});
    for (std::size_t p = 0; p + 1 < pairs.size(); p += 2) {
      const auto [it, inserted] = position.try_emplace(pairs[p], out.size());
      if (inserted) {
        out.push_back(pairs[p]);
        out.push_back(pairs[p + 1]);
      } else {
        out[it->second + 1] = pairs[p + 1];
      }
    }
    return out;
  }

  // Without aliases every node lands in the tree at most once, so its value
  // can be moved rather than copied.
  void copy_out(std::size_t i, Node& out) {
    Raw& raw = raws_[i];
    switch (raw.node.kind) {
      case Node::Kind::Sequence:
        out.kind = Node::Kind::Sequence;
        out.items.resize(raw.kids.size());
        for (std::size_t k = 0; k < raw.kids.size(); ++k) copy_out(raw.kids[k], out.items[k]);
        break;
      case Node::Kind::Map:
        out.kind = Node::Kind::Map;
        out.entries.resize(raw.kids.size() / 2);
        for (std::size_t k = 0; k < out.entries.size(); ++k) {
          copy_out(raw.kids[2 * k], out.entries[k].first);
          copy_out(raw.kids[2 * k + 1], out.entries[k].second);
        }
        break;
      default:
        if (aliased_) {
          out = raw.node;
        } else {
          out = std::move(raw.node);
        }
    }
  }

  const Limits& limits_;
  const std::size_t max_depth_;
  const std::string& source_;
  std::deque<Raw> raws_;              // a deque: growing it moves nothing
  std::vector<std::size_t> stack_;    // open collections
  std::vector<std::size_t> anchors_;  // yaml-cpp's anchor id -> node
  std::vector<std::string> names_;    // yaml-cpp's anchor id -> name
  std::unordered_map<std::string, Where> anchor_sites_;
  std::string pending_anchor_;
  std::size_t root_ = kNone;
  std::size_t count_ = 0;
  int documents_ = 0;
  bool aliased_ = false;
};

// Reads a string in place, without copying it into a stringstream.
class ViewBuffer : public std::streambuf {
 public:
  explicit ViewBuffer(std::string_view s) {
    char* p = const_cast<char*>(s.data());
    setg(p, p, p + s.size());
  }
};

std::size_t byte_limit(const Limits& limits) {
  return std::min(limits.max_file_bytes, kByteCeiling);
}

[[noreturn]] void too_large(const std::string& source, std::size_t limit) {
  throw LimitError(source + " is larger than " + std::to_string(limit) +
                       " bytes; shorten it or raise the max_file_bytes limit",
                   0, 0);
}

Node parse(std::string_view text, const Limits& limits, const std::string& source) {
  if (text.size() > byte_limit(limits)) too_large(source, byte_limit(limits));
  std::string transcoded;
  if (text.starts_with("\xEF\xBB\xBF")) {
    text.remove_prefix(3);
  } else if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
    transcoded = utf16_to_utf8(text, text[0] == '\xFF', source);
    text = transcoded;
  }
  check_text(text, source);

  ViewBuffer buffer(text);
  std::istream stream(&buffer);
  Builder builder(limits, source);
  try {
    YAML::Parser parser(stream);
    if (!parser.HandleNextDocument(builder)) return Node{};
    parser.HandleNextDocument(builder);
  } catch (const YAML::DeepRecursion& e) {
    const Where w = where_of(e.mark);
    throw LimitError(source + " nests deeper than the YAML parser allows (" +
                         std::to_string(builder.depth()) + " levels)" + at(w) +
                         "; flatten the structure",
                     w.line, w.column);
  } catch (const YAML::Exception& e) {
    const Where w = where_of(e.mark);
    throw ParseError(source + " is not valid YAML" + at(w) + ": " + e.msg, w.line, w.column);
  }
  return builder.take();
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

Node load_file(const std::string& path, const Limits& limits) {
  const std::string source = "configuration " + py_repr(path);
  if (path.find('\0') != std::string::npos) {
    throw FileError("embedded null byte in the path of " + source, 0, 0);
  }
  // Non-blocking so that opening a FIFO nobody writes to cannot hang.
  const int raw_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (raw_fd < 0) throw FileError(os_error(errno, path), 0, 0);
  const Descriptor fd(raw_fd);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw FileError(os_error(errno, path), 0, 0);
  if (S_ISDIR(st.st_mode)) throw FileError(os_error(EISDIR, path), 0, 0);
  const std::size_t limit = byte_limit(limits);
  if (S_ISREG(st.st_mode) && static_cast<std::uintmax_t>(st.st_size) > limit) {
    too_large(source, limit);
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);

  // Read to the end rather than trust the size: the file may grow, or be a
  // device that never ends.
  std::string text;
  text.resize(S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) + 1 : 4096);
  std::size_t used = 0;
  for (;;) {
    if (used == text.size()) {
      if (used > limit) too_large(source, limit);
      text.resize(std::min(text.size() * 2, limit + 1));
    }
    const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileError(os_error(errno, path), 0, 0);
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (used > limit) too_large(source, limit);
  text.resize(used);
  return parse(text, limits, source);
}

Node load_string(std::string_view text, const Limits& limits) {
  return parse(text, limits, "configuration text");
}

Node load_string(std::string_view text, const Limits& limits, const std::string& source_name) {
  return parse(text, limits, "configuration " + py_repr(source_name));
}

}  // namespace zarn::yaml
