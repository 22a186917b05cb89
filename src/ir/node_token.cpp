// Node tokens, the one-line text of a node's operation without its inputs
// that the optimizer and the rewrite rules match on, and parsing op tokens
// back for the stage members of the node view.
#include "ir/node_key.h"
#include "ir/token_escape.h"

namespace nodalis::ir {

std::string_view kind_name(NodeKind kind) noexcept {
  switch (kind) {
    case NodeKind::Source: return "source";
    case NodeKind::Op: return "op";
    case NodeKind::Reduction: return "reduction";
    case NodeKind::External: return "external";
    case NodeKind::Stage: return "stage";
    case NodeKind::Exchange: return "exchange";
  }
  return "";
}

namespace {

void append_params(std::string& out, ParamMapView params) {
  if (params.empty()) return;
  out.push_back('|');
  params.append_token(out);
}

}  // namespace

std::string with_params(std::string_view base, ParamMapView params) {
  std::string out(base);
  append_params(out, params);
  return out;
}

void NodeKey::append_token(std::string& out) const {
  switch (kind()) {
    case NodeKind::Source:
      out += "src|";
      append_escaped(out, name());
      break;
    case NodeKind::Op:
      out += "op|";
      append_escaped(out, name());
      break;
    case NodeKind::Reduction:
      out += "red|";
      append_escaped(out, name());
      break;
    case NodeKind::External: {
      // The descriptor texts go in as they are: the token only has to tell
      // operations apart for the rewrite engine, and an external node is
      // never rewritten or parsed back.
      const PayloadDescriptorView d = descriptor();
      out += "ext|";
      for (std::string_view f : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) {
        out += f;
        out.push_back('|');
      }
      out += d.preprocessing_ref ? *d.preprocessing_ref : std::string_view("-");
      break;
    }
    case NodeKind::Stage:
      out += "stage|";
      out += std::to_string(members().size());
      return;
    case NodeKind::Exchange:
      out += "exch";
      break;
  }
  append_params(out, params());
}

std::string NodeKey::token() const {
  std::string out;
  append_token(out);
  return out;
}

std::optional<ParsedOpToken> parse_op_token(std::string_view token) {
  const size_t bar1 = token.find('|');
  if (bar1 == std::string_view::npos) return std::nullopt;
  const std::string_view kind = token.substr(0, bar1);
  if (kind != "op" && kind != "red") return std::nullopt;
  const std::string_view rest = token.substr(bar1 + 1);
  const size_t bar2 = rest.find('|');
  ParsedOpToken parsed{std::string(kind), unescape_token(rest.substr(0, bar2)), ParamMap()};
  if (bar2 != std::string_view::npos) {
    auto params = ParamMap::from_token(rest.substr(bar2 + 1));
    if (!params) return std::nullopt;
    parsed.params = std::move(*params);
  }
  return parsed;
}

}  // namespace nodalis::ir
