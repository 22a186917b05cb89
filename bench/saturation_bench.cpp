// The saturation run of reduce() on a stored graph: its record per iteration
// (sizes, unions, applications per rule, stop reason, a digest of the final
// partition) and the time of the e-graph's phases, or a reduce() repeated so a
// profiler sees one phase at a time. saturation_inputs.py writes the inputs.
//   saturation_bench trace PREFIX       record and phase times of one run
//   saturation_bench reduce PREFIX [K]  K whole reductions (default 1)
//   saturation_bench saturate PREFIX [K]  K saturation runs on one lowered graph
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/hash.h"
#include "blob/decoder.h"
#include "egraph/symbol_table.h"
#include "optimizer/reduction_pipeline.h"
#include "optimizer/saturation_engine.h"
#include "optimizer/store_reduction.h"

using namespace nodalis;
using Clock = std::chrono::steady_clock;

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Input {
  std::unique_ptr<ir::GraphStore> store;
  std::vector<uint64_t> outputs;
};

Input load(const std::string& prefix) {
  Input in;
  auto decoded = blob::deserialize(read_all(prefix + ".blob"));
  if (!decoded) {
    std::fprintf(stderr, "bad blob\n");
    std::exit(2);
  }
  in.store = std::move(decoded).value();
  std::string outs = read_all(prefix + ".outs");
  in.outputs.resize(outs.size() / 8);
  std::memcpy(in.outputs.data(), outs.data(), in.outputs.size() * 8);
  return in;
}

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: saturation_bench trace|reduce|saturate PREFIX [K]\n");
    return 2;
  }
  const std::string mode = argv[1];
  Input in = load(argv[2]);
  const int reps = argc > 3 ? std::atoi(argv[3]) : 1;
  const opt::SaturationEngine& engine = opt::SaturationEngine::shared();
  if (mode == "reduce") {
    for (int k = 0; k < reps; ++k) {
      auto r = opt::reduce_to_new_store(*in.store, in.outputs, engine, opt::FusionRule::SingleUse);
      if (!r) return 1;
    }
    return 0;
  }
  const ir::GraphStore::Borrowed snap = in.store->borrow();
  opt::LiveNodes live = opt::dead_code_elimination(snap.nodes(), in.outputs);
  opt::TokenTable tokens(0);
  opt::EngineGraph graph = opt::to_engine_graph(snap.nodes(), live, tokens);
  std::vector<egraph::Id> ids;
  if (mode == "saturate") {
    for (int k = 0; k < reps; ++k) (void)engine.saturate(graph, ids);
    return 0;
  }
  auto t0 = Clock::now();
  egraph::Runner runner = engine.saturate(graph, ids);
  double total = since(t0);
  const egraph::EGraph& eg = runner.egraph();
  double search = 0, apply = 0, rebuild = 0;
  std::printf("engine nodes %zu\n", graph.size());
  for (size_t i = 0; i < runner.iterations().size(); ++i) {
    const egraph::Iteration& it = runner.iterations()[i];
    std::printf("iter %zu: nodes %llu classes %llu unions %llu applied", i,
                static_cast<unsigned long long>(it.egraph_nodes), static_cast<unsigned long long>(it.egraph_classes),
                static_cast<unsigned long long>(it.rebuild_unions));
    for (const auto& [name, n] : it.applied)
      std::printf(" %s=%llu", egraph::SymbolTable::display(name).c_str(), static_cast<unsigned long long>(n));
    std::printf(" stop %s | search %.4f apply %.4f rebuild %.4f s\n",
                it.stop_reason ? it.stop_reason->describe().c_str() : "-", it.search_time, it.apply_time,
                it.rebuild_time);
    search += it.search_time;
    apply += it.apply_time;
    rebuild += it.rebuild_time;
  }
  // The partition as the smallest input position of each node's class.
  std::vector<uint64_t> first(eg.id_count(), UINT64_MAX);
  uint64_t digest = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    egraph::Id root = eg.find(ids[i]);
    if (first[root] == UINT64_MAX) first[root] = i;
    digest = fx_add(digest, first[root]);
  }
  std::printf("final: memo %llu classes %llu ids %llu stop %s partition %016llx\n",
              static_cast<unsigned long long>(eg.memo_entries()), static_cast<unsigned long long>(eg.class_count()),
              static_cast<unsigned long long>(eg.id_count()), runner.stop_reason()->describe().c_str(),
              static_cast<unsigned long long>(digest));
  std::printf("time: total %.4f s = load+other %.4f, search %.4f, apply %.4f, rebuild %.4f\n", total,
              total - search - apply - rebuild, search, apply, rebuild);
  return 0;
}
