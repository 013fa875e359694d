// The YAML node's own members (zarn/base/yaml_tree.hpp), in a unit of their
// own: both the tree builder (yaml_tree.cpp) and the scalar typing
// (yaml_scalars.cpp) make and copy nodes, and neither may call the other
// back.

#include "zarn/base/yaml_tree.hpp"

namespace zarn::yaml {

Node::Node() = default;
Node::~Node() = default;
Node::Node(const Node&) = default;
Node::Node(Node&&) noexcept = default;
Node& Node::operator=(const Node&) = default;
Node& Node::operator=(Node&&) noexcept = default;

const Node* Node::find(std::string_view key) const {
  if (kind != Kind::Map) return nullptr;
  for (const auto& [k, v] : entries) {
    if (k.kind == Kind::String && k.text == key) return &v;
  }
  return nullptr;
}

}  // namespace zarn::yaml
