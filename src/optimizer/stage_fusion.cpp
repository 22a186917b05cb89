// Grouping op nodes into stages and emitting the reduced IR list. Everything is
// indexed by engine position in flat arrays; groups are emitted in order of
// their sinks by one ascending scan, which is the sort by largest member.
#include "optimizer/stage_fusion.h"

#include <algorithm>
#include <span>
#include <utility>

#include "base/fault.h"
#include "ir/key_arena.h"
#include "ir/stage_op.h"
#include "ir/stage_record.h"

namespace nodalis::opt {

namespace {

// Consecutive slices of one scratch buffer: the pass's dozen per-node arrays
// cost two buffers (one per element width), not a dozen, which is most of
// what fusing a small graph costs. Most slices are written in full before
// they are read, so only the ones asked for with a value are filled.
template <class T>
class Slices {
 public:
  explicit Slices(size_t total) { buf_.resize(total); }
  // `count` entries, as a previous use left them.
  std::span<T> next(size_t count) {
    if (count > buf_.size() - used_) throw InternalFault("stage fusion sliced past its buffer");
    std::span<T> s(buf_.data() + used_, count);
    used_ += count;
    return s;
  }
  // `count` entries, each `value`.
  std::span<T> next(size_t count, T value) {
    std::span<T> s = next(count);
    std::fill(s.begin(), s.end(), value);
    return s;
  }

 private:
  ScratchRoom<T> buf_;
  size_t used_ = 0;
};

// What every pass below needs, by node: 64-bit slices (only the fan-out
// rule's uses) and 32-bit ones.
constexpr size_t kWideArrays = 2;    // per node, plus one end
constexpr size_t kNarrowArrays = 5;  // per node, plus two ends and one per use

struct Scratch {
  Slices<uint64_t> wide;
  Slices<uint32_t> narrow;
  Scratch(const EngineGraph& g, FusionRule rule)
      : wide(rule == FusionRule::FanOut ? kWideArrays * g.size() + 1 : 0),
        narrow(kNarrowArrays * g.size() + 2 + g.child_count()) {}
};

// Uses of every node, one entry per use, consumers in ascending order.
struct Consumers {
  std::span<uint64_t> start;  // size m + 1
  std::span<EnginePos> users;
  std::span<const EnginePos> of(EnginePos i) const {
    return {users.data() + start[i], users.data() + start[i + 1]};
  }
};

Consumers consumers_of(const EngineGraph& g, Scratch& scratch) {
  const size_t m = g.size();
  Consumers c;
  c.start = scratch.wide.next(m + 1, 0);
  std::span<uint64_t> fill = scratch.wide.next(m);
  for (size_t k = 0; k < m; ++k)
    for (EnginePos ch : g.children(static_cast<EnginePos>(k))) ++c.start[ch + 1];
  for (size_t i = 0; i < m; ++i) c.start[i + 1] += c.start[i];
  c.users = scratch.narrow.next(c.start[m]);
  std::copy(c.start.begin(), c.start.end() - 1, fill.begin());
  for (size_t k = 0; k < m; ++k)
    for (EnginePos ch : g.children(static_cast<EnginePos>(k)))
      c.users[fill[ch]++] = static_cast<EnginePos>(k);
  return c;
}

// Under the single-use rule a node joins the group of its one user, so each
// group is a tree hanging from its sink. Users come after the nodes they use:
// walking down from the last node, every use of a node has been seen by the
// time the node comes up, and its user's label is final. Until then a node's
// label entry holds the one user seen so far: kNoUser for none yet, and the
// node itself once it has two (a node never uses itself, as its children come
// before it) or is an output, which is never absorbed.
constexpr EnginePos kNoUser = ~EnginePos{0};

void single_use_labels(const EngineGraph& g, std::span<EnginePos> label) {
  std::fill(label.begin(), label.end(), kNoUser);
  for (EnginePos o : g.outputs()) label[o] = o;
  // Whether a node joins and who used it are as good as random, so both are
  // selected without a branch.
  for (size_t i = g.size(); i-- > 0;) {
    const auto a = static_cast<EnginePos>(i);
    const EnginePos seen = label[a];
    const EnginePos user = seen == kNoUser ? a : seen;  // a: no user, more than one, or an output
    const bool joins = (user != a) & !g.opaque(a) & !g.opaque(user);
    const EnginePos joined = label[user];
    label[a] = joins ? joined : a;
    for (EnginePos ch : g.children(a)) {
      const EnginePos first = -static_cast<EnginePos>(label[ch] == kNoUser);  // all ones when a is the first
      label[ch] = (a & first) | (ch & ~first);
    }
  }
}

void fan_out_labels(const EngineGraph& g, const Consumers& uses, std::span<const uint32_t> is_output,
                    std::span<EnginePos> label) {
  const size_t m = g.size();
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
}

// Group label of every node, in a slice of `scratch`: under both rules the
// group's sink, its largest member.
std::span<EnginePos> labels_of(const EngineGraph& g, FusionRule rule, Scratch& scratch) {
  const size_t m = g.size();
  std::span<EnginePos> label = scratch.narrow.next(m);
  if (rule == FusionRule::FanOut) {
    std::span<uint32_t> is_output = scratch.narrow.next(m, 0);
    for (EnginePos o : g.outputs()) is_output[o] = 1;
    fan_out_labels(g, consumers_of(g, scratch), is_output, label);
  } else {
    single_use_labels(g, label);
  }
  return label;
}

// Whether the emitted keys are pairwise distinct by construction, so that
// the store they go into need not compare them. Given a graph with no two
// equal nodes (its maker's word: CSE's or the engine's) whose texts are the
// token table's, where each op text is entered once and an opaque node's text
// stands for its key apart from the inputs: a child used from another group
// is that group's sink under either rule (a node used outside its group would
// not have joined one), and each group is emitted once, so equal input lists
// name the same children. Two equal opaque keys would then be two equal
// nodes. So would two equal stage records: their first members, which read
// only inputs (children come before their users), have the same text over the
// same children, yet lie in two groups. That leaves a fused stage equal to an
// opaque stage, which a store reduced before and then added to can hold: a
// graph with an opaque stage is not vouched for.
bool emits_distinct(const EngineGraph& g, const TokenTable& tokens, bool opaque_stage) {
  return g.vouched_distinct() && &g.texts() == &tokens.texts() && !opaque_stage;
}

}  // namespace

ScratchVector<EnginePos> fusion_labels(const EngineGraph& graph, FusionRule rule) {
  Scratch scratch(graph, rule);
  std::span<const EnginePos> label = labels_of(graph, rule, scratch);
  ScratchVector<EnginePos> out;
  out.assign(label.begin(), label.end());
  return out;
}

FusedGraph stage_fusion(const EngineGraph& g, const TokenTable& tokens, FusionRule rule) {
  const size_t m = g.size();
  Scratch scratch(g, rule);
  std::span<const EnginePos> label = labels_of(g, rule, scratch);

  // Members of every group, ascending, as one flat list sliced by label: a
  // counting sort whose start entries sit one place up, so that placing the
  // members moves each group's start to where the next group starts, and
  // group L ends up as [group_start[L], group_start[L + 1]) with no copy of
  // the starts to place from.
  std::span<uint32_t> group_start = scratch.narrow.next(m + 2, 0);
  for (size_t i = 0; i < m; ++i) ++group_start[label[i] + 2];
  for (size_t i = 0; i < m; ++i) group_start[i + 2] += group_start[i + 1];
  std::span<EnginePos> members = scratch.narrow.next(m);
  for (size_t i = 0; i < m; ++i) members[group_start[label[i] + 1]++] = static_cast<EnginePos>(i);

  std::span<uint32_t> position = scratch.narrow.next(m);  // member position within its group
  // What a stage reads of each group it uses, side by side: a group used
  // from far back then costs one cache miss, not one per array. An entry is
  // written when its group is emitted, and read only after: a label is its
  // group's sink, so a group below the one being emitted has been.
  struct ByLabel {
    uint32_t stamp;    // the group that last gave this one an input slot
    uint32_t slot;     // that slot
    uint32_t emitted;  // the group's node in the output list
  };
  constexpr EnginePos kNoGroup = ~EnginePos{0};  // no label is: labels are positions
  ScratchRoom<ByLabel> by_label;
  by_label.resize(m);

  FusedGraph out;
  out.nodes.reserve(m);
  // The emitted keys share a few blocks instead of taking one heap
  // allocation each; the blocks go when the last key in them does. A block
  // costs about as much as a few dozen heap allocations, so the keys of a
  // small graph are still allocated one by one.
  constexpr size_t kArenaFrom = 32;
  ir::KeyArena block_arena;
  ir::KeyArena* const arena = m >= kArenaFrom ? &block_arena : nullptr;
  ir::StageRecordWriter record;
  // Any node's input list fits in as many entries as the graph has children
  // (a stage's inputs are among its members' children), so one buffer serves
  // every list, written with no room test per input. A stage's entries hold
  // the labels of the groups it uses until their emitted ids replace them.
  ScratchRoom<ir::NodeId> input_room;
  input_room.resize(g.child_count());
  ir::NodeId* const inputs = input_room.data();
  bool opaque_stage = false;

  // Groups below `next` have been emitted.
  auto check_emitted = [](EnginePos group, size_t next) {
    if (group >= next) throw InternalFault("stage fusion uses a group before emitting it");
  };
  auto emitted_of = [&](EnginePos child, size_t next) -> uint64_t {
    const EnginePos group = label[child];
    check_emitted(group, next);
    return by_label[group].emitted;
  };

  for (size_t s = 0; s < m; ++s) {
    // Emit each group when its sink, the largest member and its label, comes up.
    const EnginePos L = label[s];
    if (L != s) continue;
    std::span<const EnginePos> group(members.data() + group_start[L],
                                     members.data() + group_start[L + 1]);
    const EngineNode sink = g.node(static_cast<EnginePos>(s));
    if (sink.opaque) {
      if (group.size() != 1) throw InternalFault("stage fusion grouped an opaque node");
      size_t k = 0;
      for (EnginePos c : sink.children) inputs[k++] = emitted_of(c, s);
      const ir::NodeKey& key = tokens.key_of(sink.op);
      if (&tokens.texts() != &g.texts() && tokens.texts().text(sink.op) != g.texts().text(sink.op))
        throw InternalFault("opaque engine node has a token of no live node");
      opaque_stage |= key.kind() == ir::NodeKind::Stage;
      out.nodes.push_back(key.with_inputs({inputs, k}, arena));
      ++out.boundary_nodes;
    } else {
      // The stage's inputs (other groups, in order of first use) must be
      // known before its members are written, as the record holds them first.
      // Its record's size is counted on the way, so that the record is
      // written straight into its key.
      size_t k = 0;
      size_t member_bytes = 0;
      for (uint32_t p = 0; p < group.size(); ++p) {
        const EnginePos member = group[p];
        position[member] = p;
        if (g.opaque(member)) throw InternalFault("stage fusion grouped an opaque node");
        const std::span<const EnginePos> children = g.children(member);
        member_bytes += ir::StageRecordWriter::member_size(g.op_text(member).size(), children.size());
        for (EnginePos c : children) {
          const EnginePos lc = label[c];
          if (lc == L) continue;
          check_emitted(lc, L);
          ByLabel& used = by_label[lc];
          if (used.stamp != L) {
            used.stamp = L;
            used.slot = static_cast<uint32_t>(k);
            inputs[k++] = lc;
          }
        }
      }
      for (size_t q = 0; q < k; ++q) inputs[q] = by_label[inputs[q]].emitted;
      const std::span<const ir::NodeId> stage_inputs(inputs, k);
      const size_t size = ir::StageRecordWriter::record_size(k, member_bytes);
      char* bytes = nullptr;
      ir::NodeKey key = ir::NodeKey::to_fill(size, ir::StageRecordWriter::kParamsOff,
                                             ir::StageRecordWriter::kInputsOff, arena, bytes);
      record.begin_at(bytes, size, stage_inputs, group.size());
      for (const EnginePos member : group) {
        const std::span<const EnginePos> children = g.children(member);
        record.member(g.op_text(member), children.size());
        for (EnginePos c : children) {
          const EnginePos lc = label[c];
          if (lc == L) record.ref(ir::StageRefKind::Member, position[c]);
          else record.ref(ir::StageRefKind::Input, by_label[lc].slot);
        }
      }
      if (!record.filled()) throw InternalFault("stage record shorter than its counted size");
      out.nodes.push_back(std::move(key));
      ++out.stages;
    }
    // No output list reaches 2^32 nodes, as m does not.
    by_label[L] = {kNoGroup, 0, static_cast<uint32_t>(out.nodes.size() - 1)};
  }
  out.outputs.reserve(g.outputs().size());
  for (EnginePos o : g.outputs()) out.outputs.push_back(emitted_of(o, m));
  out.distinct = emits_distinct(g, tokens, opaque_stage);
  return out;
}

}  // namespace nodalis::opt
