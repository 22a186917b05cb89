// Pattern: a compacted pattern and its compiled program, usable as either side
// of a rewrite. Searching visits only the classes that hold the root's symbol
// (every class for a variable root) and stops at the limit, inside a class too.
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"
#include "egraph/pattern_ast.h"
#include "egraph/program.h"
#include "egraph/searcher.h"

namespace nodalis::egraph {

class Pattern final : public Searcher, public Applier {
 public:
  // Parses, compacts and compiles; a text that does not parse gives its
  // error text.
  static Result<Pattern, std::string> parse(std::string_view text);
  explicit Pattern(const PatternAst& ast);

  const PatternAst& ast() const noexcept { return ast_; }
  const Program& program() const noexcept { return program_; }
  std::string to_string() const { return to_sexp(ast_); }

  std::optional<SearchMatches> search_eclass_with_limit(const EGraph& egraph, Id eclass,
                                                        uint64_t limit) const override;
  std::vector<SearchMatches> search_with_limit(const EGraph& egraph, uint64_t limit) const override;
  void search_with_limit_into(const EGraph& egraph, uint64_t limit, std::vector<SearchMatches>& out) const override;
  const PatternAst* get_pattern_ast() const override { return &ast_; }
  std::vector<Var> vars() const override { return vars_; }
  std::optional<SymbolLang> counted_shape() const override;
  // Instantiates the pattern under `subst`: variables give their classes,
  // e-nodes are added with their children mapped; the result is the root's.
  std::vector<Id> apply_one(EGraph& egraph, Id eclass, const Subst& subst, GlobalSymbol rule_name) const override;
  // The same instantiations and unions as the general applier, in the same
  // order, with one scratch list for all of them instead of two per match.
  std::vector<Id> apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                GlobalSymbol rule_name) const override;
  // The same, counted: the scheduler needs only the number.
  uint64_t count_applied(EGraph& egraph, const std::vector<SearchMatches>& matches,
                         GlobalSymbol rule_name) const override;

 private:
  // Applies every match in order, handing each instance whose union changed
  // the e-graph to `changed`.
  template <class Changed>
  void apply_each(EGraph& egraph, const std::vector<SearchMatches>& matches, Changed&& changed) const;
  // A flat pattern's one node under `subst`. `at` holds where each variable
  // sat in the last substitution seen, and is brought up to date.
  SymbolLang flat_instance(const Subst& subst, uint32_t (&at)[SymbolLang::kInline]) const;
  // The root's class; `ids` has one slot per pattern node. The pattern is not empty.
  Id instantiate(EGraph& egraph, const Subst& subst, std::vector<Id>& ids) const;
  // The program's matches in one class, as Machine::run finds them.
  void match(Machine& machine, const EGraph& egraph, Id eclass, uint64_t& remaining, SubstList& out) const;
  void match_one_node(const EGraph& egraph, Id eclass, uint64_t& remaining, SubstList& out) const;

  PatternAst ast_;
  Program program_;
  std::vector<Var> vars_;
  // A program that is a single Bind of the searched class (one node over
  // distinct variables: the left side of every rule this system writes)
  // matches exactly the class's nodes of that symbol and arity, so it is run
  // without the machine. Each binding is then (variable, child position).
  bool one_node_ = false;
  std::vector<std::pair<Var, uint32_t>> one_node_binds_;
  // A pattern whose entries are its root's children, all variables, in
  // order, then the root (the right side of every commuting rule): an
  // instance is the root with each child read from the substitution, built
  // in one step. Holds those variables.
  bool flat_ = false;
  std::vector<Var> flat_vars_;
};

}  // namespace nodalis::egraph
