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

void put_params(TokenOut& out, ParamMapView params) {
  if (params.empty()) return;
  out.put('|');
  params.write_token(out);
}

}  // namespace

std::string with_params(std::string_view base, ParamMapView params) {
  TokenOut out{std::string(base)};
  put_params(out, params);
  return out.take();
}

void NodeKey::write_token(TokenOut& out) const {
  switch (kind()) {
    case NodeKind::Source:
      out.put("src|");
      out.put_escaped(name());
      break;
    case NodeKind::Op:
      out.put("op|");
      out.put_escaped(name());
      break;
    case NodeKind::Reduction:
      out.put("red|");
      out.put_escaped(name());
      break;
    case NodeKind::External: {
      // The descriptor texts go in as they are: the token only has to tell
      // operations apart for the rewrite engine, and an external node is
      // never rewritten or parsed back.
      const PayloadDescriptorView d = descriptor();
      out.put("ext|");
      for (std::string_view f : {d.kind, d.content_hash, d.framework, d.version, d.io_schema}) {
        out.put(f);
        out.put('|');
      }
      out.put(d.preprocessing_ref ? *d.preprocessing_ref : std::string_view("-"));
      break;
    }
    case NodeKind::Stage:
      out.put("stage|");
      out.put_int(static_cast<int64_t>(members().size()));
      return;
    case NodeKind::Exchange:
      out.put("exch");
      break;
  }
  put_params(out, params());
}

void NodeKey::append_token(std::string& out) const {
  TokenOut o(std::move(out));
  write_token(o);
  out = o.take();
}

std::string NodeKey::token() const {
  TokenOut out;
  write_token(out);
  return out.take();
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
