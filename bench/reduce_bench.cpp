// Phase timings of one reduction of the pipeline graph, at two sizes, plus the
// incremental reducer's step rate. Figures are printed side by side so that
// ratios come from one run on one machine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "optimizer/cse.h"
#include "optimizer/incremental_reducer.h"
#include "optimizer/reduction_pipeline.h"
#include "optimizer/stage_fusion.h"
#include "optimizer/store_reduction.h"
#include "optimizer/testing_engines.h"
#include "pipeline_graph.h"
#include "optimizer/saturation_engine.h"

using namespace nodalis;
using Clock = std::chrono::steady_clock;

static double since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

template <class Engine>
static double run(const bench::PipelineGraph& g, const Engine& engine, bool verbose) {
  auto t0 = Clock::now();
  auto t = Clock::now();
  opt::LiveNodes live = opt::dead_code_elimination(g.nodes, g.outputs);
  double t_dce = since(t);
  double t_tok = 1e9;
  for (int rep = 0; rep < 3; ++rep) {
    t = Clock::now();
    opt::TokenTable again(0);
    opt::EngineGraph graph = opt::to_engine_graph(g.nodes, live, again);
    t_tok = std::min(t_tok, since(t));
  }
  opt::TokenTable tokens(0);
  opt::EngineGraph given = opt::to_engine_graph(g.nodes, live, tokens);
  t = Clock::now();
  opt::EngineGraph canon = engine.canonicalize(given);
  double t_can = since(t);
  // The light phases are timed as the best of three: the machine is shared.
  double t_cse = 1e9;
  for (int rep = 0; rep < 3; ++rep) {
    t = Clock::now();
    opt::EngineGraph again = opt::cse(canon);
    t_cse = std::min(t_cse, since(t));
  }
  opt::EngineGraph dedup = opt::cse(canon);
  double t_fuse = 1e9;
  for (int rep = 0; rep < 3; ++rep) {
    t = Clock::now();
    opt::FusedGraph again = opt::stage_fusion(dedup, tokens, opt::FusionRule::SingleUse);
    t_fuse = std::min(t_fuse, since(t));
  }
  opt::FusedGraph fused = opt::stage_fusion(dedup, tokens, opt::FusionRule::SingleUse);
  t = Clock::now();
  opt::Reduced red;
  red.nodes = std::move(fused.nodes);
  red.outputs = std::move(fused.outputs);
  opt::StoreReduction out = opt::from_reduced(red);
  double t_store = since(t);
  double total = t_dce + t_tok + t_can + t_cse + t_fuse + t_store;
  (void)t0;
  if (verbose)
    std::printf("  n=%zu live=%zu canonical=%zu dedup=%zu reduced=%zu stages=%llu | dce %.3f tokens+graph %.3f "
                "canonicalize %.3f cse %.3f fusion %.3f from_reduced %.3f sum %.3f s\n",
                g.nodes.size(), live.kept.size(), canon.size(), dedup.size(), red.nodes.size(),
                static_cast<unsigned long long>(fused.stages), t_dce, t_tok, t_can, t_cse, t_fuse,
                t_store, total);
  return total;
}

int main(int argc, char** argv) {
  size_t big = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  size_t small = big / 10;
  bench::PipelineGraph gs = bench::pipeline_graph(small, 7);
  bench::PipelineGraph gb = bench::pipeline_graph(big, 7);
  std::printf("graphs: %zu nodes (%zu outputs), %zu nodes (%zu outputs)\n", gs.nodes.size(),
              gs.outputs.size(), gb.nodes.size(), gb.outputs.size());

  const bool incremental_only = argc > 2 && std::string(argv[2]) == "incremental";
  if (!incremental_only) {
  std::printf("pipeline, engine that changes nothing:\n");
  opt::testing::UnchangedEngine unchanged;
  double a = run(gs, unchanged, true);
  double b = run(gb, unchanged, true);
  std::printf("  ratio t(big)/t(small) = %.2f\n", b / a);
  std::printf("pipeline, saturation engine:\n");
  opt::SaturationEngine sat;
  a = run(gs, sat, true);
  b = run(gb, sat, true);
  std::printf("  ratio t(big)/t(small) = %.2f\n", b / a);
  }

  for (const bench::PipelineGraph* g : {&gs, &gb}) {
  auto t = Clock::now();
  // As the Python class does it: the delta is a snapshot of the store.
  ir::GraphStore store;
  opt::IncrementalReducer inc;
  const size_t chunk = 10000;
  double t_step = 0;
  std::clock_t c0 = std::clock();
  for (size_t at = 0; at < g->nodes.size(); at += chunk) {
    for (size_t k = at; k < std::min(at + chunk, g->nodes.size()); ++k) (void)store.intern(g->nodes[k]);
    t = Clock::now();
    std::vector<ir::NodeKey> delta = store.snapshot_from(inc.watermark());
    (void)inc.step(delta);
    delta = {};
    t_step += since(t);
  }
  double cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;  // includes the interning
  if (g == &gb) {
    // finalize runs the pipeline on the canonical form: time it the same way.
    bench::PipelineGraph canonical_form;
    canonical_form.nodes = inc.canonical();
    for (uint64_t o : g->outputs) canonical_form.outputs.push_back(inc.id_map()[o]);
    std::printf("pipeline on the canonical form, saturation engine:\n");
    opt::SaturationEngine sat;
    run(canonical_form, sat, true);
  }
  std::printf("incremental steps of %zu: %zu nodes in %.3f s = %.1f M nodes/s (cpu of steps and building %.3f s), canonical %llu\n", chunk,
              g->nodes.size(), t_step, g->nodes.size() / t_step / 1e6, cpu,
              static_cast<unsigned long long>(inc.canonical_count()));
  }
  return 0;
}
