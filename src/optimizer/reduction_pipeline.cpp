// Phases of the reduction pipeline (dead-code elimination, lowering to the
// engine graph) and the driver that runs them with the engine, CSE and stage
// fusion; each phase is one pass over its list.
#include "optimizer/reduction_pipeline.h"

#include "base/fault.h"
#include "optimizer/cse.h"
#include "optimizer/stage_fusion.h"

namespace nodalis::opt {

namespace {
constexpr uint32_t kDropped = ~uint32_t{0};

// The engine is outside the pipeline's control; what stage fusion relies on
// is checked once here so that a faulty engine is a fault, not a bad graph.
void check_engine_result(const EngineGraph& canonical, const TokenTable& tokens,
                         size_t output_count) {
  if (canonical.outputs().size() != output_count)
    throw InternalFault("engine result has another number of outputs");
  const OpTexts& mine = tokens.texts();
  const OpTexts& theirs = canonical.texts();
  for (size_t i = 0; i < canonical.size(); ++i) {
    TextId op = canonical.op(static_cast<EnginePos>(i));
    bool is_op = theirs.is_op(op);
    if (canonical.opaque(static_cast<EnginePos>(i)) == is_op)
      throw InternalFault("engine result flags an op node as opaque or the reverse");
    if (!is_op && (&mine != &theirs) && (op >= mine.size() || mine.text(op) != theirs.text(op)))
      throw InternalFault("opaque engine node has a token of no live node");
  }
}
}  // namespace

LiveNodes dead_code_elimination(std::span<const ir::NodeKey> nodes,
                                std::span<const uint64_t> outputs) {
  const size_t n = nodes.size();
  ScratchVector<uint8_t> reachable(n, 0);
  for (uint64_t o : outputs) {
    if (o >= n) throw InternalFault("node id out of range in dead-code elimination");
    reachable[o] = 1;
  }
  // Inputs always come before their node, so one descending sweep marks every
  // node reachable from the outputs; it reads the keys in memory order, unlike
  // a depth-first walk, which makes it several times faster on large graphs.
  size_t kept_count = 0;
  size_t input_total = 0;
  for (size_t j = n; j-- > 0;) {
    if (!reachable[j]) continue;
    ++kept_count;
    const ir::InputsView ins = nodes[j].inputs();
    input_total += ins.size();
    for (ir::NodeId in : ins) {
      if (in >= j) throw InternalFault("node input is not an earlier node");
      reachable[in] = 1;
    }
  }
  // Live positions are engine positions, which stay below 2^32 - 1.
  if (kept_count >= kDropped) throw CapacityError("graph too large to reduce");
  LiveNodes live;
  live.input_total = input_total;
  // Which nodes live is as good as random, so the numbering takes no branch:
  // every node writes its remap entry and a kept entry, which the next kept
  // node overwrites unless this one counts (hence the one spare entry).
  live.remap.resize(n);
  live.kept.resize(kept_count + 1);
  uint32_t* const remap = live.remap.data();
  uint64_t* const kept = live.kept.data();
  uint32_t count = 0;
  for (size_t j = 0; j < n; ++j) {
    const uint32_t lives = reachable[j];
    kept[count] = j;
    remap[j] = count | (lives - 1);  // all ones, kDropped, when dropped
    count += lives;
  }
  live.kept.resize(kept_count);
  live.outputs.reserve(outputs.size());
  for (uint64_t o : outputs) live.outputs.push_back(live.remap[o]);
  return live;
}

EngineGraph to_engine_graph(std::span<const ir::NodeKey> nodes, const LiveNodes& live,
                            TokenTable& tokens) {
  if (live.kept.size() >= 0xFFFFFFFFu) throw CapacityError("graph too large to reduce");
  EngineGraph graph(tokens.shared_texts());
  graph.reserve(live.kept.size(), live.input_total, live.outputs.size());
  tokens.reserve(live.kept.size());
  // Children go through a buffer whose room is tested once per node, not
  // once per child as a growable list would; nearly every node fits the
  // few entries on the stack.
  constexpr size_t kFewInputs = 8;
  EnginePos few[kFewInputs];
  ScratchRoom<EnginePos> many;
  for (size_t j = 0; j < live.kept.size(); ++j) {
    const ir::NodeKey& key = nodes[live.kept[j]];
    const ir::InputsView ins = key.inputs();
    EnginePos* children = few;
    if (ins.size() > kFewInputs) [[unlikely]] {
      many.resize(ins.size());
      children = many.data();
    }
    size_t count = 0;
    for (ir::NodeId in : ins) {
      const uint32_t r = in < live.remap.size() ? live.remap[in] : kDropped;
      if (r >= j) throw InternalFault("live node uses a later or dropped node");
      children[count++] = static_cast<EnginePos>(r);
    }
    graph.add_node(tokens.enter(key), {children, count}, key.kind() != ir::NodeKind::Op);
  }
  graph.add_outputs(live.outputs);
  return graph;
}

Reduced reduce_nodes(std::span<const ir::NodeKey> nodes, std::span<const uint64_t> outputs,
                     const RewriteEngine& engine, FusionRule fusion) {
  Reduced out;
  out.input_nodes = nodes.size();
  TokenTable tokens(nodes.size());  // live nodes are at most these
  // Each intermediate list is freed as soon as the next phase has its own.
  auto lowered = [&] {
    LiveNodes live = dead_code_elimination(nodes, outputs);
    out.reachable_nodes = live.kept.size();
    return to_engine_graph(nodes, live, tokens);
  };
  auto canonicalized = [&] {
    EngineGraph canonical = engine.canonicalize(lowered());
    check_engine_result(canonical, tokens, outputs.size());
    return canonical;
  };
  const EngineGraph dedup = cse(canonicalized());
  out.canonical_nodes = dedup.size();
  FusedGraph fused = stage_fusion(dedup, tokens, fusion);
  out.nodes = std::move(fused.nodes);
  out.outputs = std::move(fused.outputs);
  out.stages = fused.stages;
  out.boundary_nodes = fused.boundary_nodes;
  out.distinct = fused.distinct;
  out.reduced_nodes = out.nodes.size();
  return out;
}

}  // namespace nodalis::opt
