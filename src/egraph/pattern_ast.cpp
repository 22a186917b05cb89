// The pattern reader. Atoms run until a space, line break or parenthesis (a
// tab inside an atom belongs to it); "(" head child ... ")" is a node whose
// head must be an atom; "?name" is a variable. Children go in before their
// parent, so the root is last.
#include "egraph/pattern_ast.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "base/fault.h"

namespace nodalis::egraph {
namespace {

bool is_gap(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool ends_atom(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '(' || c == ')'; }

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  Result<PatternAst, std::string> read() {
    size_t b = 0, e = text_.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text_[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text_[e - 1]))) --e;
    text_ = text_.substr(b, e - b);
    if (text_.empty()) return Err{std::string("empty pattern")};
    if (!expr()) return Err{std::string(error_)};
    skip_gaps();
    if (pos_ < text_.size()) {
      if (text_[pos_] == ')') return Err{std::string("unexpected ) at byte " + std::to_string(pos_ + b))};
      return Err{std::string("unexpected text after the pattern at byte " + std::to_string(pos_ + b))};
    }
    return std::move(ast_);
  }

 private:
  void skip_gaps() {
    while (pos_ < text_.size() && is_gap(text_[pos_])) ++pos_;
  }

  bool fail(std::string text) {
    error_ = std::move(text);
    return false;
  }

  // One atom or quoted string at pos_; `quoted` tells which, since a quoted
  // "?x" is a symbol, not a variable.
  bool atom(std::string& out, bool& quoted) {
    quoted = text_[pos_] == '"';
    out.clear();
    if (quoted) {
      for (++pos_; pos_ < text_.size(); ++pos_) {
        char c = text_[pos_];
        if (c == '"') {
          ++pos_;
          return true;
        }
        if (c == '\\' && pos_ + 1 < text_.size()) c = text_[++pos_];
        out.push_back(c);
      }
      return fail("unterminated string in pattern");
    }
    while (pos_ < text_.size() && !ends_atom(text_[pos_])) out.push_back(text_[pos_++]);
    return true;
  }

  static bool is_var(const std::string& a, bool quoted) { return !quoted && a.size() >= 2 && a[0] == '?'; }

  bool expr() {
    // Reading, compiling and matching all recurse over the pattern, so its
    // depth and size are bounded well inside any thread's stack.
    if (depth_ >= kMaxDepth) return fail("pattern nested deeper than " + std::to_string(kMaxDepth));
    if (ast_.size() >= kMaxNodes) return fail("pattern longer than " + std::to_string(kMaxNodes) + " nodes");
    ++depth_;
    bool ok = list_or_atom();
    --depth_;
    return ok;
  }

  bool list_or_atom() {
    skip_gaps();
    if (pos_ >= text_.size()) return fail("unexpected end of pattern");
    char c = text_[pos_];
    if (c == ')') return fail("unexpected ) at byte " + std::to_string(pos_));
    std::string head;
    bool quoted = false;
    if (c != '(') {
      if (!atom(head, quoted)) return false;
      if (is_var(head, quoted)) {
        ast_.push_back(ENodeOrVar::of_var(Var{SymbolTable::intern(head)}));
      } else {
        ast_.push_back(ENodeOrVar::of_node(SymbolLang(SymbolTable::intern(head), uint32_t{0})));
      }
      return true;
    }
    ++pos_;
    skip_gaps();
    if (pos_ >= text_.size()) return fail("unbalanced ( in pattern");
    if (text_[pos_] == ')') return fail("empty list in pattern");
    if (text_[pos_] == '(') return fail("a list cannot be the head of a list");
    if (!atom(head, quoted)) return false;
    std::vector<Id> children;
    for (;;) {
      skip_gaps();
      if (pos_ >= text_.size()) return fail("unbalanced ( in pattern");
      if (text_[pos_] == ')') {
        ++pos_;
        break;
      }
      if (!expr()) return false;
      children.push_back(static_cast<Id>(ast_.size() - 1));
    }
    if (is_var(head, quoted)) return fail("pattern variable " + head + " cannot have children");
    ast_.push_back(ENodeOrVar::of_node(SymbolLang(SymbolTable::intern(head), std::span<const Id>(children))));
    return true;
  }

  static constexpr size_t kMaxDepth = 256;
  static constexpr size_t kMaxNodes = 4096;

  std::string_view text_;
  size_t pos_ = 0;
  size_t depth_ = 0;
  PatternAst ast_;
  std::string error_;
};

void write_sexp(const PatternAst& ast, size_t i, std::string& out) {
  const ENodeOrVar& n = ast[i];
  if (n.is_var()) {
    out += n.var().text();
    return;
  }
  if (n.node().arity() == 0) {
    out += SymbolTable::display(n.node().op());
    return;
  }
  out += '(';
  out += SymbolTable::display(n.node().op());
  for (Id c : n.node().children()) {
    out += ' ';
    write_sexp(ast, c, out);
  }
  out += ')';
}

}  // namespace

Result<PatternAst, std::string> parse_pattern_ast(std::string_view text) { return Reader(text).read(); }

PatternAst compact(const PatternAst& ast) {
  PatternAst out;
  std::vector<Id> renumber(ast.size());
  std::map<ENodeOrVar, Id> first;
  for (size_t i = 0; i < ast.size(); ++i) {
    ENodeOrVar n = ast[i];
    if (!n.is_var()) {
      for (Id& c : n.node().children()) {
        if (c >= i) throw InternalFault("pattern node " + std::to_string(i) + " refers to a later node");
        c = renumber[c];
      }
    }
    auto [it, fresh] = first.try_emplace(n, static_cast<Id>(out.size()));
    if (fresh) out.push_back(std::move(n));
    renumber[i] = it->second;
  }
  return out;
}

std::vector<Var> pattern_vars(const PatternAst& ast) {
  std::vector<Var> vars;
  for (const ENodeOrVar& n : ast) {
    if (n.is_var() && std::find(vars.begin(), vars.end(), n.var()) == vars.end()) vars.push_back(n.var());
  }
  return vars;
}

std::string to_sexp(const PatternAst& ast) {
  std::string out;
  if (!ast.empty()) write_sexp(ast, ast.size() - 1, out);
  return out;
}

}  // namespace nodalis::egraph
