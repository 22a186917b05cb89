// The benchmark graph: a realistic pipeline-shaped IR of n nodes. Sources;
// parameterless commutative ops, some in both operand orders; identity ops;
// parameterized ops; reductions and exchanges; about 30% of the nodes on dead
// branches that no output needs. Inputs are drawn from recent nodes, as a
// traced program's are. Outputs are the live nodes no live node uses.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ir/graph_store.h"
#include "ir/node_key.h"
#include "ir/param_map.h"

namespace nodalis::bench {

struct PipelineGraph {
  std::vector<ir::NodeKey> nodes;  // interned order, inputs are ids
  std::vector<uint64_t> outputs;
};

inline PipelineGraph pipeline_graph(size_t n, uint32_t seed = 1) {
  std::mt19937_64 rng(seed);
  ir::GraphStore store;
  std::vector<uint64_t> live;       // ids of live nodes
  std::vector<uint64_t> frontier;
  std::vector<uint8_t> is_live, used_by_live;
  auto P = [](std::vector<std::pair<std::string, ir::ParamValue>> e) { return ir::ParamMap::make(std::move(e)); };
  const ir::ParamMap none = P({});
  const ir::ParamMap ids[4] = {
      P({{"scalar", ir::ParamValue::Float(0.0)}, {"side", ir::ParamValue::Str("r")}}),
      P({{"scalar", ir::ParamValue::Float(0.0)}, {"side", ir::ParamValue::Str("l")}}),
      P({{"scalar", ir::ParamValue::Float(1.0)}, {"side", ir::ParamValue::Str("r")}}),
      P({{"scalar", ir::ParamValue::Float(1.0)}, {"side", ir::ParamValue::Str("l")}})};
  const char* comm[] = {"add", "mul", "maximum", "minimum"};
  const char* unary[] = {"tanh", "exp", "neg", "relu"};
  std::vector<ir::NodeId> ins;
  size_t attempts = 0;
  while (store.node_count() + frontier.size() < n && attempts < 4 * n) {
    ++attempts;
    const bool dead = live.size() > 8 && rng() % 10 < 3;
    // Live nodes prefer the frontier (live nodes nothing live uses yet), so
    // that few live nodes end up as outputs.
    auto pick = [&]() -> uint64_t {
      if (dead && rng() % 2) return rng() % store.node_count();
      if (!dead && !frontier.empty() && rng() % 4 != 0) {
        size_t k = rng() % std::min<size_t>(frontier.size(), 64);
        uint64_t id = frontier[frontier.size() - 1 - k];
        frontier[frontier.size() - 1 - k] = frontier.back();
        frontier.pop_back();
        return id;
      }
      size_t w = std::min<size_t>(live.size(), 64);
      return live[live.size() - 1 - rng() % w];
    };
    ir::NodeKey key;
    unsigned r = live.size() < 4 ? 0 : static_cast<unsigned>(rng() % 100);
    ins.clear();
    if (r < 10) {
      key = ir::NodeKey::source("x" + std::to_string(store.node_count()), none.view());
    } else if (r < 38) {
      uint64_t a = pick(), b = pick();
      const char* name = comm[rng() % 4];
      ins = {a, b};
      key = ir::NodeKey::op(name, none.view(), ins);
      if (rng() % 3 == 0) {  // its commuted twin, right after
        auto id = store.intern(key);
        if (!dead && id.value() + 1 == store.node_count()) {
          live.push_back(id.value());
          frontier.push_back(id.value());
        }
        ins = {b, a};
        key = ir::NodeKey::op(name, none.view(), ins);
      }
    } else if (r < 48) {
      ins = {pick()};
      key = ir::NodeKey::op(rng() % 2 ? "add" : "mul", ids[rng() % 4].view(), ins);
    } else if (r < 68) {
      ins = {pick()};
      double s = 1.0 + static_cast<double>(rng() % 1000) / 8.0;
      ir::ParamMap p = P({{"scalar", ir::ParamValue::Float(s)}, {"side", ir::ParamValue::Str("r")}});
      key = ir::NodeKey::op(rng() % 2 ? "mul" : "add", p.view(), ins);
    } else if (r < 84) {
      ins = {pick()};
      key = ir::NodeKey::op(unary[rng() % 4], none.view(), ins);
    } else if (r < 92) {
      ins = {pick()};
      ir::ParamMap p = P({{"axis", ir::ParamValue::Int(static_cast<int64_t>(rng() % 3))}});
      key = ir::NodeKey::reduction("sum", p.view(), ins);
    } else {
      ins = {pick()};
      ir::ParamMap p = P({{"scheme", ir::ParamValue::Str(rng() % 2 ? "hash" : "range")}});
      key = ir::NodeKey::exchange(p.view(), ins);
    }
    auto id = store.intern(key);
    if (!dead && id.value() + 1 == store.node_count()) {
      live.push_back(id.value());
      frontier.push_back(id.value());
    }
  }
  // A pipeline ends in a few sinks: join what is left of the frontier.
  while (frontier.size() > 16) {
    ins = {frontier[0], frontier[1]};
    frontier[0] = frontier.back();
    frontier.pop_back();
    frontier[1] = frontier.back();
    frontier.pop_back();
    auto id = store.intern(ir::NodeKey::op("concat", none.view(), ins));
    live.push_back(id.value());
    frontier.push_back(id.value());
  }
  PipelineGraph g;
  g.nodes = store.nodes();
  is_live.assign(g.nodes.size(), 0);
  used_by_live.assign(g.nodes.size(), 0);
  for (uint64_t id : live) is_live[id] = 1;
  for (uint64_t id : live)
    for (ir::NodeId x : g.nodes[id].inputs()) used_by_live[x] = 1;
  for (uint64_t id : live)
    if (!used_by_live[id]) g.outputs.push_back(id);
  return g;
}

}  // namespace nodalis::bench
