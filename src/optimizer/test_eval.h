// Test-only: a numeric meaning for IR graphs, so that tests can check that a
// reduction computes what the graph it came from computes (stages included,
// through their member tokens) rather than restating the optimizer's steps.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "ir/node_key.h"

namespace nodalis::opt::testing {

inline double text_value(std::string_view text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return 1.0 + static_cast<double>(h % 1000) / 7.0;  // never zero
}

// Value of an op (or reduction) named `name` with `params` over `in`.
inline double apply_op(std::string_view kind, std::string_view name, ir::ParamMapView params,
                       std::span<const double> in) {
  std::optional<double> scalar;
  for (ir::ParamEntryRef e : params)
    if (e.key == "scalar" && e.value.tag == ir::ParamTag::Float) scalar = e.value.f();
  double sum = 0;
  for (double v : in) sum += v;
  if (kind == "red") return sum * 0.5 + text_value(name);
  if (name == "add" && scalar) return sum + *scalar;  // any side, any input count
  if (name == "mul" && scalar) {
    double p = *scalar;
    for (double v : in) p *= v;
    return in.empty() ? p + 3 : p;
  }
  if (in.size() == 2 && params.empty()) {
    if (name == "add") return in[0] + in[1];
    if (name == "mul") return in[0] * in[1];
    if (name == "maximum") return std::max(in[0], in[1]);
    if (name == "minimum") return std::min(in[0], in[1]);
    if (name == "sub") return in[0] - in[1];
  }
  // Anything else: order-sensitive and parameter-sensitive.
  std::string token = params.token();
  double v = text_value(name) + text_value(token);
  for (size_t i = 0; i < in.size(); ++i) v += in[i] * (static_cast<double>(i) + 1.5);
  return std::sin(v);
}

inline double apply_token(std::string_view token, std::span<const double> in) {
  auto parsed = ir::parse_op_token(token);
  if (!parsed) throw std::runtime_error("stage member token does not parse: " + std::string(token));
  return apply_op(parsed->kind, parsed->name, parsed->params.view(), in);
}

// The value of every node.
inline std::vector<double> evaluate(std::span<const ir::NodeKey> nodes) {
  std::vector<double> val;
  val.reserve(nodes.size());
  for (const ir::NodeKey& k : nodes) {
    std::vector<double> in;
    for (ir::NodeId x : k.inputs()) in.push_back(val.at(x));
    switch (k.kind()) {
      case ir::NodeKind::Source:
        val.push_back(text_value(k.token()));
        break;
      case ir::NodeKind::Op:
        val.push_back(apply_op("op", k.name(), k.params(), in));
        break;
      case ir::NodeKind::Reduction:
        val.push_back(apply_op("red", k.name(), k.params(), in));
        break;
      case ir::NodeKind::Exchange:
      case ir::NodeKind::External: {
        // The whole record minus inputs decides the value, so nodes whose
        // tokens collide still compute different things.
        std::string_view rec = k.record();
        double v = text_value(rec.substr(0, rec.size() - 4 - 8 * in.size()));
        for (size_t i = 0; i < in.size(); ++i) v += in[i] * (static_cast<double>(i) + 2.5);
        val.push_back(v);
        break;
      }
      case ir::NodeKind::Stage: {
        std::vector<double> members;
        for (ir::StageOpView m : k.members()) {
          std::vector<double> args;
          for (uint32_t r = 0; r < m.arity(); ++r) {
            ir::StageRef ref = m.ref(r);
            args.push_back(ref.kind == ir::StageRefKind::Input ? in.at(ref.index)
                                                              : members.at(ref.index));
          }
          members.push_back(apply_token(m.token(), args));
        }
        if (members.empty()) throw std::runtime_error("stage without members");
        val.push_back(members.back());
        break;
      }
    }
  }
  return val;
}

inline std::vector<double> output_values(std::span<const ir::NodeKey> nodes,
                                         std::span<const uint64_t> outputs) {
  std::vector<double> all = evaluate(nodes);
  std::vector<double> out;
  for (uint64_t o : outputs) out.push_back(all.at(o));
  return out;
}

}  // namespace nodalis::opt::testing
