// Grouping op nodes into stages and emitting the reduced IR list. Everything is
// indexed by engine position in flat arrays; groups are emitted in order of
// their sinks by one ascending scan, which is the sort by largest member.
#include "optimizer/stage_fusion.h"

#include "base/fault.h"
#include "ir/stage_op.h"

namespace nodalis::opt {

namespace {

// Uses of every node, one entry per use, consumers in ascending order.
struct Consumers {
  ScratchVector<uint64_t> start;  // size m + 1
  ScratchVector<EnginePos> users;
  std::span<const EnginePos> of(EnginePos i) const {
    return {users.data() + start[i], users.data() + start[i + 1]};
  }
};

Consumers consumers_of(const EngineGraph& g) {
  const size_t m = g.size();
  Consumers c;
  c.start.assign(m + 1, 0);
  for (size_t k = 0; k < m; ++k)
    for (EnginePos ch : g.children(static_cast<EnginePos>(k))) ++c.start[ch + 1];
  for (size_t i = 0; i < m; ++i) c.start[i + 1] += c.start[i];
  c.users.resize(c.start[m]);
  ScratchVector<uint64_t> fill;
  fill.assign(c.start.begin(), c.start.end() - 1);
  for (size_t k = 0; k < m; ++k)
    for (EnginePos ch : g.children(static_cast<EnginePos>(k)))
      c.users[fill[ch]++] = static_cast<EnginePos>(k);
  return c;
}

// Root of i, pointing every entry on the walked path straight at it.
EnginePos compress_find(ScratchVector<EnginePos>& parent, EnginePos i) {
  EnginePos root = i;
  while (parent[root] != root) root = parent[root];
  while (parent[i] != root) {
    EnginePos next = parent[i];
    parent[i] = root;
    i = next;
  }
  return root;
}

ScratchVector<EnginePos> single_use_labels(const EngineGraph& g, const Consumers& uses,
                                           const ScratchVector<uint8_t>& is_output) {
  const size_t m = g.size();
  ScratchVector<EnginePos> parent(m);
  for (size_t i = 0; i < m; ++i) parent[i] = static_cast<EnginePos>(i);
  for (size_t a = 0; a < m; ++a) {
    auto users = uses.of(static_cast<EnginePos>(a));
    if (g.opaque(static_cast<EnginePos>(a)) || users.size() != 1 || is_output[a] ||
        g.opaque(users[0]))
      continue;
    EnginePos ra = compress_find(parent, static_cast<EnginePos>(a));
    EnginePos rb = compress_find(parent, users[0]);
    if (ra != rb) {
      // The larger root goes under the smaller: a label is its group's
      // smallest member.
      if (ra < rb) parent[rb] = ra;
      else parent[ra] = rb;
    }
  }
  ScratchVector<EnginePos> label(m);
  for (size_t i = 0; i < m; ++i)
    label[i] = g.opaque(static_cast<EnginePos>(i)) ? static_cast<EnginePos>(i)
                                                   : compress_find(parent, static_cast<EnginePos>(i));
  return label;
}

ScratchVector<EnginePos> fan_out_labels(const EngineGraph& g, const Consumers& uses,
                                        const ScratchVector<uint8_t>& is_output) {
  const size_t m = g.size();
  ScratchVector<EnginePos> label(m);
  for (size_t i = 0; i < m; ++i) label[i] = static_cast<EnginePos>(i);
  // Consumers come later, so their labels are final when a node is decided.
  for (size_t a = m; a-- > 0;) {
    auto users = uses.of(static_cast<EnginePos>(a));
    if (g.opaque(static_cast<EnginePos>(a)) || is_output[a] || users.empty()) continue;
    bool fusable = true;
    const EnginePos first = label[users[0]];
    for (EnginePos u : users) {
      if (g.opaque(u) || label[u] != first) {
        fusable = false;
        break;
      }
    }
    if (fusable) label[a] = first;
  }
  return label;
}

ScratchVector<uint8_t> output_flags(const EngineGraph& g) {
  ScratchVector<uint8_t> flags(g.size(), 0);
  for (EnginePos o : g.outputs()) flags[o] = 1;
  return flags;
}

// Members of the stage being built, kept per thread: their token strings and
// ref lists keep their capacity from one stage, and one reduction, to the
// next. After a stage of more than kKept members they are all freed instead.
class StageMembers {
 public:
  StageMembers() : ops_(kept()) {}
  ~StageMembers() {
    if (ops_.size() > kKept) std::vector<ir::StageOp>().swap(ops_);
  }
  StageMembers(const StageMembers&) = delete;
  StageMembers& operator=(const StageMembers&) = delete;
  std::vector<ir::StageOp>& ops() noexcept { return ops_; }

 private:
  static constexpr size_t kKept = 64;
  static std::vector<ir::StageOp>& kept() {
    thread_local std::vector<ir::StageOp> ops;
    return ops;
  }
  std::vector<ir::StageOp>& ops_;
};

}  // namespace

ScratchVector<EnginePos> fusion_labels(const EngineGraph& graph, FusionRule rule) {
  Consumers uses = consumers_of(graph);
  ScratchVector<uint8_t> is_output = output_flags(graph);
  return rule == FusionRule::FanOut ? fan_out_labels(graph, uses, is_output)
                                    : single_use_labels(graph, uses, is_output);
}

FusedGraph stage_fusion(const EngineGraph& g, const TokenTable& tokens, FusionRule rule) {
  const size_t m = g.size();
  const ScratchVector<EnginePos> label = fusion_labels(g, rule);

  // Members of every group, ascending, as one flat list sliced by label.
  ScratchVector<uint64_t> group_start(m + 1, 0);
  for (size_t i = 0; i < m; ++i) ++group_start[label[i] + 1];
  for (size_t i = 0; i < m; ++i) group_start[i + 1] += group_start[i];
  ScratchVector<EnginePos> members(m);
  {
    ScratchVector<uint64_t> fill;
    fill.assign(group_start.begin(), group_start.end() - 1);
    for (size_t i = 0; i < m; ++i) members[fill[label[i]]++] = static_cast<EnginePos>(i);
  }

  constexpr uint64_t kUnset = ~uint64_t{0};
  ScratchVector<uint64_t> emitted(m, kUnset);     // by label
  ScratchVector<uint32_t> position(m, 0);         // member position within its group
  ScratchVector<uint64_t> slot_stamp(m, kUnset);  // by label: group that gave it a slot
  ScratchVector<uint32_t> slot(m, 0);             // by label: that slot

  FusedGraph out;
  out.nodes.reserve(m);
  ScratchVector<ir::NodeId> inputs;
  StageMembers stage_members;
  std::vector<ir::StageOp>& ops = stage_members.ops();
  ScratchVector<uint64_t> input_labels;

  auto emitted_of = [&](EnginePos child) {
    uint64_t id = emitted[label[child]];
    if (id == kUnset) throw InternalFault("stage fusion uses a group before emitting it");
    return id;
  };

  for (size_t s = 0; s < m; ++s) {
    const EnginePos L = label[s];
    // Emit each group when its sink, the largest member, comes up.
    if (members[group_start[L + 1] - 1] != s) continue;
    std::span<const EnginePos> group(members.data() + group_start[L],
                                     members.data() + group_start[L + 1]);
    const EngineNode sink = g.node(static_cast<EnginePos>(s));
    if (sink.opaque) {
      if (group.size() != 1) throw InternalFault("stage fusion grouped an opaque node");
      inputs.clear();
      for (EnginePos c : sink.children) inputs.push_back(emitted_of(c));
      const ir::NodeKey& key = tokens.key_of(sink.op);
      if (&tokens.texts() != &g.texts() && tokens.texts().text(sink.op) != g.texts().text(sink.op))
        throw InternalFault("opaque engine node has a token of no live node");
      out.nodes.push_back(key.with_inputs(inputs));
      ++out.boundary_nodes;
    } else {
      for (uint32_t p = 0; p < group.size(); ++p) position[group[p]] = p;
      if (ops.size() < group.size()) ops.resize(group.size());
      input_labels.clear();
      for (uint32_t p = 0; p < group.size(); ++p) {
        const EngineNode member = g.node(group[p]);
        if (member.opaque) throw InternalFault("stage fusion grouped an opaque node");
        ir::StageOp& op = ops[p];
        op.token.assign(g.texts().text(member.op));
        op.inputs.clear();
        for (EnginePos c : member.children) {
          const EnginePos lc = label[c];
          if (lc == L) {
            op.inputs.push_back(ir::StageRef::member(position[c]));
          } else {
            if (slot_stamp[lc] != L) {
              slot_stamp[lc] = L;
              slot[lc] = static_cast<uint32_t>(input_labels.size());
              input_labels.push_back(lc);
            }
            op.inputs.push_back(ir::StageRef::input(slot[lc]));
          }
        }
      }
      inputs.clear();
      for (uint64_t lc : input_labels) {
        if (emitted[lc] == kUnset) throw InternalFault("stage fusion uses a group before emitting it");
        inputs.push_back(emitted[lc]);
      }
      out.nodes.push_back(ir::NodeKey::stage(inputs, std::span<const ir::StageOp>(ops.data(), group.size())));
      ++out.stages;
    }
    emitted[L] = out.nodes.size() - 1;
  }
  out.outputs.reserve(g.outputs().size());
  for (EnginePos o : g.outputs()) out.outputs.push_back(emitted_of(o));
  return out;
}

}  // namespace nodalis::opt
