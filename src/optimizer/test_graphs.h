// Test-only: a terse way to write IR node lists in tests, so that each test
// reads like the graph it exercises.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "ir/node_key.h"
#include "ir/param_map.h"
#include "ir/param_value.h"
#include "ir/payload_descriptor.h"

namespace nodalis::opt::testing {

using Params = std::vector<std::pair<std::string, ir::ParamValue>>;

inline ir::ParamMap params(Params p = {}) { return ir::ParamMap::make(std::move(p)); }

// The four identity parameter sets.
inline Params add_zero(const char* side = "r") {
  return {{"scalar", ir::ParamValue::Float(0.0)}, {"side", ir::ParamValue::Str(side)}};
}
inline Params mul_one(const char* side = "r") {
  return {{"scalar", ir::ParamValue::Float(1.0)}, {"side", ir::ParamValue::Str(side)}};
}

// Appends nodes and returns their ids (positions), like a store without
// interning.
struct NodeList {
  std::vector<ir::NodeKey> nodes;

  uint64_t push(ir::NodeKey k) {
    nodes.push_back(std::move(k));
    return nodes.size() - 1;
  }
  uint64_t src(const std::string& name, Params p = {}) {
    return push(ir::NodeKey::source(name, params(std::move(p)).view()));
  }
  uint64_t op(const std::string& name, std::vector<uint64_t> ins, Params p = {}) {
    return push(ir::NodeKey::op(name, params(std::move(p)).view(), ins));
  }
  uint64_t red(const std::string& name, std::vector<uint64_t> ins, Params p = {}) {
    return push(ir::NodeKey::reduction(name, params(std::move(p)).view(), ins));
  }
  uint64_t exch(std::vector<uint64_t> ins, Params p = {}) {
    return push(ir::NodeKey::exchange(params(std::move(p)).view(), ins));
  }
  uint64_t ext(const ir::PayloadDescriptor& d, std::vector<uint64_t> ins, Params p = {}) {
    return push(ir::NodeKey::external(ir::view_of(d), params(std::move(p)).view(), ins));
  }
  uint64_t stage(std::vector<uint64_t> ins, std::vector<ir::StageOp> members) {
    return push(ir::NodeKey::stage(ins, members));
  }
};

inline ir::PayloadDescriptor descriptor(std::string kind, std::optional<std::string> pre = {}) {
  return {std::move(kind), "h", "fw", "1", "schema", std::move(pre)};
}

inline ir::StageOp member(std::string token, std::vector<ir::StageRef> ins) {
  return {std::move(token), std::move(ins)};
}

}  // namespace nodalis::opt::testing

#include <random>

namespace nodalis::opt::testing {

// A random graph of every kind of node the optimizer treats differently:
// commutative ops in both operand orders, identities (one and two inputs),
// other and parameterized ops, reductions, exchanges and externals.
inline NodeList random_graph(uint32_t seed, size_t n) {
  std::mt19937 rng(seed);
  NodeList g;
  auto pick = [&]() { return static_cast<uint64_t>(rng() % g.nodes.size()); };
  g.src("s0");
  g.src("s1");
  while (g.nodes.size() < n) {
    switch (rng() % 12) {
      case 0: g.src("s" + std::to_string(g.nodes.size())); break;
      case 1: case 2: {
        static const char* names[] = {"add", "mul", "maximum", "minimum", "sub"};
        uint64_t a = pick(), b = pick();
        g.op(names[rng() % 5], {a, b});
        if (rng() % 2) g.op(names[rng() % 5], {b, a});
        break;
      }
      case 3: g.op("add", {pick()}, add_zero(rng() % 2 ? "r" : "l")); break;
      case 4: g.op("mul", {pick()}, mul_one(rng() % 2 ? "r" : "l")); break;
      case 5: g.op("add", {pick(), pick()}, add_zero()); break;
      case 6: g.op("mul", {pick()}, {{"scalar", ir::ParamValue::Float(2.0)}, {"side", ir::ParamValue::Str("r")}}); break;
      case 7: g.op("tanh", {pick()}); break;
      case 8: g.red("sum", {pick()}, {{"axis", ir::ParamValue::Int(static_cast<int64_t>(rng() % 2))}}); break;
      case 9: g.exch({pick()}, {{"scheme", ir::ParamValue::Str("hash")}}); break;
      case 10: g.ext(descriptor("model", rng() % 2 ? std::optional<std::string>("-") : std::nullopt), {pick()}); break;
      default: g.op("add", {pick(), pick()}, {{"alpha", ir::ParamValue::Int(1)}}); break;
    }
  }
  return g;
}

}  // namespace nodalis::opt::testing
