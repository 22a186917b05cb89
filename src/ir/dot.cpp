// Graphviz rendering of one state of a store: one labelled line per node,
// double circles for marked outputs, then one edge line per input reference.
#include <string>
#include <vector>

#include "ir/dot.h"

namespace nodalis::ir {

namespace {

void append_params_suffix(std::string& label, ParamMapView params) {
  if (params.empty()) return;
  label.push_back(' ');
  label += params.display();
}

std::string label_of(const NodeKey& key) {
  std::string label;
  switch (key.kind()) {
    case NodeKind::Source:
      label = "Source ";
      label += key.name();
      break;
    case NodeKind::Op:
      label = "Op ";
      label += key.name();
      break;
    case NodeKind::Reduction:
      label = "Reduction ";
      label += key.name();
      break;
    case NodeKind::External: {
      const PayloadDescriptorView d = key.descriptor();
      label = "External ";
      label += d.kind;
      label += ':';
      label += d.content_hash;
      label += " [";
      label += d.framework;
      label += ' ';
      label += d.version;
      label += ']';
      break;
    }
    case NodeKind::Stage:
      return "Stage[" + std::to_string(key.members().size()) + " members]";
    case NodeKind::Exchange:
      label = "Exchange";
      break;
  }
  append_params_suffix(label, key.params());
  return label;
}

// Backslashes first, so the backslashes added before quotes stay single.
// A NUL (which Graphviz refuses anywhere in a file) is first written as the
// two characters backslash and 0, the form str values already show.
void append_escaped_label(std::string& out, const std::string& label) {
  for (char c : label) {
    if (c == '\0') {
      out += "\\\\0";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else {
      out.push_back(c);
    }
  }
}

}  // namespace

std::string to_dot(const StoreView& store) {
  const std::span<const NodeKey> nodes = store.nodes;
  // A flag per node instead of a scan of the marks per node.
  std::vector<bool> marked(nodes.size(), false);
  for (NodeId id : store.outputs) marked[id] = true;

  std::string out = "digraph nodalis {\n";
  for (size_t id = 0; id < nodes.size(); ++id) {
    out += "  n";
    out += std::to_string(id);
    out += " [label=\"";
    append_escaped_label(out, label_of(nodes[id]));
    out += '"';
    if (marked[id]) out += ", shape=doublecircle";
    out += "];\n";
  }
  for (size_t id = 0; id < nodes.size(); ++id) {
    const std::string target = " -> n" + std::to_string(id) + ";\n";
    for (NodeId input : nodes[id].inputs()) {
      out += "  n";
      out += std::to_string(input);
      out += target;
    }
  }
  out += "}\n";
  return out;
}

}  // namespace nodalis::ir
