// Engines for the optimizer's tests only: one that changes nothing, and an
// exact reference canonicalizer that computes, without an e-graph, the classes
// equality saturation reaches when it runs to the end (congruence closure
// modulo the commutativity and identity rules), represented the same way.
#pragma once

#include <algorithm>
#include <map>
#include <numeric>
#include <tuple>
#include <vector>

#include "optimizer/rewrite_engine.h"

namespace nodalis::opt::testing {

class UnchangedEngine final : public RewriteEngine {
 public:
  EngineGraph canonicalize(const EngineGraph& g) const override {
    EngineGraph out(g.shared_texts());
    for (size_t i = 0; i < g.size(); ++i)
      out.add_node(g.op(static_cast<EnginePos>(i)), g.children(static_cast<EnginePos>(i)));
    for (EnginePos o : g.outputs()) out.add_output(o);
    return out;
  }
};

// Representative of every class: its earliest member; children and outputs go
// through the class of what they name.
inline EngineGraph represent(const EngineGraph& g, const std::vector<size_t>& cls) {
  const size_t n = g.size();
  std::vector<size_t> first(n, n);
  for (size_t i = 0; i < n; ++i) first[cls[i]] = std::min(first[cls[i]], i);
  std::vector<EnginePos> slot(n, 0);
  EngineGraph out(g.shared_texts());
  for (size_t i = 0; i < n; ++i) {
    if (first[cls[i]] != i) continue;
    std::vector<EnginePos> kids;
    for (EnginePos c : g.children(static_cast<EnginePos>(i))) kids.push_back(slot[cls[c]]);
    slot[cls[i]] = out.add_node(g.op(static_cast<EnginePos>(i)), kids);
  }
  for (EnginePos o : g.outputs()) out.add_output(slot[cls[o]]);
  return out;
}

class ReferenceEngine final : public RewriteEngine {
 public:
  EngineGraph canonicalize(const EngineGraph& g) const override {
    const size_t n = g.size();
    std::vector<size_t> parent(n);
    std::iota(parent.begin(), parent.end(), 0);
    auto find = [&](size_t x) {
      while (parent[x] != x) x = parent[x] = parent[parent[x]];
      return x;
    };
    auto unite = [&](size_t a, size_t b) {
      a = find(a);
      b = find(b);
      if (a == b) return false;
      parent[std::max(a, b)] = std::min(a, b);
      return true;
    };
    bool changed = true;
    while (changed) {
      changed = false;
      std::map<std::pair<TextId, std::vector<size_t>>, size_t> seen;
      for (size_t i = 0; i < n; ++i) {
        auto kids = g.children(static_cast<EnginePos>(i));
        RuleRole role = g.texts().role(g.op(static_cast<EnginePos>(i)));
        if (role == RuleRole::Identity && kids.size() == 1) changed |= unite(i, kids[0]);
        std::vector<size_t> sig;
        for (EnginePos c : kids) sig.push_back(find(c));
        if (role == RuleRole::Commutative && sig.size() == 2) std::sort(sig.begin(), sig.end());
        auto [it, fresh] = seen.emplace(std::make_pair(g.op(static_cast<EnginePos>(i)), sig), i);
        if (!fresh) changed |= unite(i, it->second);
      }
    }
    std::vector<size_t> cls(n);
    for (size_t i = 0; i < n; ++i) cls[i] = find(i);
    return represent(g, cls);
  }
};

}  // namespace nodalis::opt::testing
