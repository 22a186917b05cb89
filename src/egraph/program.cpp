// Pattern compilation and the matching machine. Compilation repeatedly takes
// the pending subterm with the greatest key (all variables bound, number of
// unbound variables, smaller subtree): fully bound subterms with children
// become one Lookup in the hash-cons, everything else a Bind.
#include "egraph/program.h"

#include <algorithm>
#include <tuple>

namespace nodalis::egraph {
namespace {

class Compiler {
 public:
  explicit Compiler(const PatternAst& ast) : ast_(ast), free_(ast.size()), size_(ast.size(), 0) {
    for (size_t i = 0; i < ast.size(); ++i) {
      const ENodeOrVar& n = ast[i];
      if (n.is_var()) {
        free_[i].push_back(n.var());
        continue;
      }
      size_[i] = 1;
      for (Id c : n.node().children()) {
        size_[i] += size_[c];
        for (Var v : free_[c]) {
          if (std::find(free_[i].begin(), free_[i].end(), v) == free_[i].end()) free_[i].push_back(v);
        }
      }
    }
  }

  Program run() {
    if (ast_.empty()) return std::move(prog_);
    size_t root = ast_.size() - 1;
    if (ast_[root].is_var()) {
      prog_.subst.insert(ast_[root].var(), 0);
      return std::move(prog_);
    }
    todo_.push_back({root, 0});
    while (!todo_.empty()) {
      size_t best = 0;
      auto best_key = key(todo_[0].first);
      for (size_t k = 1; k < todo_.size(); ++k) {
        auto kk = key(todo_[k].first);
        if (kk > best_key) {  // ties keep the earliest entry
          best = k;
          best_key = kk;
        }
      }
      auto [node, reg] = todo_[best];
      todo_.erase(todo_.begin() + static_cast<std::ptrdiff_t>(best));
      emit(node, reg, std::get<0>(best_key));
    }
    prog_.n_regs = next_reg_;
    return std::move(prog_);
  }

 private:
  bool bound(Var v) const { return prog_.subst.get(v).has_value(); }

  std::tuple<bool, int64_t, int64_t> key(size_t node) const {
    int64_t unbound = 0;
    for (Var v : free_[node]) unbound += bound(v) ? 0 : 1;
    return {unbound == 0, unbound, -size_[node]};
  }

  void emit(size_t index, Reg reg, bool all_bound) {
    const SymbolLang& node = ast_[index].node();
    if (all_bound && node.arity() > 0) {
      Lookup look{{}, reg};
      std::vector<int64_t> placed(ast_.size(), -1);
      extract(index, look.term, placed);
      prog_.instructions.emplace_back(std::move(look));
      return;
    }
    Reg out = next_reg_;
    next_reg_ += node.arity();
    prog_.instructions.emplace_back(Bind{SymbolLang(node.op(), node.arity()), reg, out});
    for (uint32_t j = 0; j < node.arity(); ++j) {
      Id child = node.children()[j];
      Reg r = out + j;
      if (!ast_[child].is_var()) {
        todo_.push_back({child, r});
      } else if (auto prev = prog_.subst.get(ast_[child].var())) {
        prog_.instructions.emplace_back(Compare{*prev, r});
      } else {
        prog_.subst.insert(ast_[child].var(), r);
      }
    }
  }

  // The subterm at `index` with variables replaced by their registers.
  Id extract(size_t index, std::vector<ENodeOrReg>& term, std::vector<int64_t>& placed) {
    if (placed[index] >= 0) return static_cast<Id>(placed[index]);
    const ENodeOrVar& n = ast_[index];
    ENodeOrReg entry;
    if (n.is_var()) {
      entry.is_reg = true;
      entry.reg = *prog_.subst.get(n.var());
    } else {
      entry.node = n.node();
      for (Id& c : entry.node.children()) c = extract(c, term, placed);
    }
    term.push_back(std::move(entry));
    placed[index] = static_cast<int64_t>(term.size() - 1);
    return static_cast<Id>(term.size() - 1);
  }

  const PatternAst& ast_;
  std::vector<std::vector<Var>> free_;
  std::vector<int64_t> size_;
  std::vector<std::pair<size_t, Reg>> todo_;
  Reg next_reg_ = 1;
  Program prog_;
};

}  // namespace

Program compile(const PatternAst& ast) { return Compiler(ast).run(); }

std::string describe(const Program& program) {
  // Built by appending pieces: GCC 12 warns falsely on "literal" + temporary.
  std::string out;
  auto reg = [&](Reg r) {
    out += 'r';
    out += std::to_string(r);
  };
  auto node = [&](const SymbolLang& n) {
    out += SymbolTable::display(n.op());
    out += '/';
    out += std::to_string(n.arity());
  };
  for (const Instruction& ins : program.instructions) {
    if (!out.empty()) out += "; ";
    if (const auto* b = std::get_if<Bind>(&ins)) {
      out += "bind ";
      node(b->node);
      out += ' ';
      reg(b->i);
      out += " -> ";
      reg(b->out);
    } else if (const auto* c = std::get_if<Compare>(&ins)) {
      out += "compare ";
      reg(c->i);
      out += ' ';
      reg(c->j);
    } else if (const auto* l = std::get_if<Lookup>(&ins)) {
      out += "lookup";
      for (const ENodeOrReg& e : l->term) {
        out += ' ';
        if (e.is_reg) {
          reg(e.reg);
        } else {
          node(e.node);
        }
      }
      out += " = ";
      reg(l->i);
    } else {
      out += "scan -> ";
      reg(std::get<Scan>(ins).out);
    }
  }
  return out;
}

void Machine::run(const EGraph& egraph, const Program& program, Id eclass, uint64_t& remaining,
                  SubstList& out) {
  if (remaining == 0) return;
  egraph_ = &egraph;
  program_ = &program;
  remaining_ = &remaining;
  out_ = &out;
  reg_.assign(program.n_regs, 0);
  reg_[0] = eclass;
  step(0);
}

bool Machine::step(size_t pc) {
  const std::vector<Instruction>& code = program_->instructions;
  for (; pc < code.size(); ++pc) {
    const Instruction& ins = code[pc];
    if (const auto* b = std::get_if<Bind>(&ins)) {
      const auto& nodes = egraph_->index(reg_[b->i]).nodes;
      auto it = nodes.begin();
      // Nodes are sorted by symbol first, so a long list can skip straight
      // to the run of the wanted symbol; the visiting order is unchanged.
      if (nodes.size() >= 50) {
        it = std::partition_point(nodes.begin(), nodes.end(),
                                  [&](const SymbolLang& n) { return n.op() < b->node.op(); });
      }
      for (; it != nodes.end(); ++it) {
        if (nodes.size() >= 50 && it->op() != b->node.op()) break;
        if (!it->matches(b->node)) continue;
        std::copy(it->children().begin(), it->children().end(), reg_.begin() + b->out);
        if (!step(pc + 1)) return false;
      }
      return true;
    }
    if (const auto* c = std::get_if<Compare>(&ins)) {
      if (egraph_->find(reg_[c->i]) != egraph_->find(reg_[c->j])) return true;
      continue;
    }
    if (const auto* l = std::get_if<Lookup>(&ins)) {
      lookup_.clear();
      for (const ENodeOrReg& e : l->term) {
        if (e.is_reg) {
          lookup_.push_back(egraph_->find(reg_[e.reg]));
          continue;
        }
        SymbolLang n = e.node;
        for (Id& child : n.children()) child = lookup_[child];
        auto found = egraph_->lookup(std::move(n));
        if (!found) return true;
        lookup_.push_back(*found);
      }
      if (lookup_.back() != egraph_->find(reg_[l->i])) return true;
      continue;
    }
    const Scan& s = std::get<Scan>(ins);
    for (Id id = 0; id < egraph_->id_count(); ++id) {
      if (egraph_->find(id) != id) continue;
      reg_[s.out] = id;
      if (!step(pc + 1)) return false;
    }
    return true;
  }
  Subst found;
  for (size_t k = 0; k < program_->subst.size(); ++k) {
    const auto& [var, reg] = program_->subst.at(k);
    found.insert(var, reg_[reg]);
  }
  out_->push_back(std::move(found));
  return --*remaining_ != 0;
}

}  // namespace nodalis::egraph
