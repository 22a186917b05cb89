// The matching program a pattern compiles to, and the Machine that runs it on
// one e-class. Registers hold class ids; Bind walks a class's nodes and fills
// registers with their children, Compare and Lookup prune, and every complete
// run emits one substitution.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern_ast.h"
#include "egraph/subst.h"

namespace nodalis::egraph {

using Reg = uint32_t;

// An entry of a Lookup term: a register, or an e-node whose children index
// earlier entries of the same term.
struct ENodeOrReg {
  bool is_reg = false;
  Reg reg = 0;
  SymbolLang node;
};

struct Bind {
  SymbolLang node;  // symbol and arity; children zeroed
  Reg i;
  Reg out;
};
struct Compare {
  Reg i;
  Reg j;
};
struct Lookup {
  std::vector<ENodeOrReg> term;
  Reg i;
};
struct Scan {
  Reg out;
};
using Instruction = std::variant<Bind, Compare, Lookup, Scan>;

struct Program {
  std::vector<Instruction> instructions;
  // Each variable mapped to the register that holds its class (the Id half
  // of each binding is a register number here).
  Subst subst;
  Reg n_regs = 1;
};

// Compiles a compacted pattern into a program that starts with register 0
// holding the class searched.
Program compile(const PatternAst& ast);
// Readable listing, for messages and tests.
std::string describe(const Program& program);

class Machine {
 public:
  // Runs `program` on class `eclass`, appending substitutions to `out` and
  // counting `remaining` down; stops at once when it reaches zero.
  void run(const EGraph& egraph, const Program& program, Id eclass, uint64_t& remaining, SubstList& out);

 private:
  bool step(size_t pc);  // false once the limit is reached

  const EGraph* egraph_ = nullptr;
  const Program* program_ = nullptr;
  uint64_t* remaining_ = nullptr;
  SubstList* out_ = nullptr;
  std::vector<Id> reg_;
  std::vector<Id> lookup_;
};

}  // namespace nodalis::egraph
