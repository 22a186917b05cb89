// Throughput and memory of the rewrite engine: bulk add + rebuild of a random
// DAG, a rebuild after many unions, searches whose cost should follow the
// candidate classes rather than the graph, and saturation runs with the
// engine's twelve rules. Figures are printed side by side from one run so that
// they can be quoted as ratios. Run with "add", "search" or "runner" for one part.
#include <malloc.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/pattern.h"
#include "egraph/runner.h"

using namespace nodalis::egraph;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// This thread's CPU seconds: on a shared machine wall time also counts the
// time other processes held the core.
double cpu_now() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

size_t heap_in_use() { return mallinfo2().uordblks + mallinfo2().hblkhd; }

// n distinct nodes: 1% leaves with symbols of their own, the rest over 100
// operators with one to three children drawn uniformly from all earlier
// nodes. Repeats are redrawn here, so node i becomes class i and the load
// loop needs no mapping of its own.
std::vector<SymbolLang> random_dag(size_t n, uint32_t seed, uint32_t n_ops = 100) {
  std::mt19937 rng(seed);
  std::vector<GlobalSymbol> ops;
  for (uint32_t k = 0; k < n_ops; ++k) ops.push_back(SymbolTable::intern("op|bench" + std::to_string(k)));
  std::vector<SymbolLang> nodes;
  nodes.reserve(n);
  size_t leaves = std::max<size_t>(1, n / 100);
  for (size_t i = 0; i < leaves; ++i) nodes.emplace_back(GlobalSymbol::local(static_cast<uint32_t>(i)), uint32_t{0});
  EGraph seen;  // only to reject repeats
  for (const SymbolLang& leaf : nodes) seen.add(leaf);
  Id kids[3];
  while (nodes.size() < n) {
    size_t i = nodes.size();
    uint32_t arity = 1 + rng() % 3;
    for (uint32_t k = 0; k < arity; ++k) kids[k] = static_cast<Id>(rng() % i);
    SymbolLang node(ops[rng() % ops.size()], std::span<const Id>(kids, arity));
    if (seen.lookup(node)) continue;
    seen.add(node);
    nodes.push_back(std::move(node));
  }
  return nodes;
}

// Loads nodes in order, returning the class of each.
std::vector<Id> load(EGraph& g, const std::vector<SymbolLang>& nodes) {
  std::vector<Id> ids;
  ids.reserve(nodes.size());
  g.reserve(nodes.size());
  for (const SymbolLang& n : nodes) ids.push_back(g.add(n));
  return ids;
}

void bench_add_and_rebuild() {
  const size_t n = 1'000'000;
  std::vector<SymbolLang> nodes = random_dag(n, 1);
  size_t heap0 = heap_in_use();
  EGraph g;
  auto t0 = Clock::now();
  double c0 = cpu_now();
  std::vector<Id> ids = load(g, nodes);
  double add_s = since(t0);
  double add_cpu = cpu_now() - c0;
  auto t1 = Clock::now();
  double c1 = cpu_now();
  g.rebuild();
  double rebuild_s = since(t1);
  double rebuild_cpu = cpu_now() - c1;
  size_t heap1 = heap_in_use();
  double per_node = static_cast<double>(heap1 - heap0 - ids.capacity() * sizeof(Id)) / static_cast<double>(n);
  std::printf("add 1M e-nodes: %.1f ms, first rebuild %.1f ms -> %.2f M e-nodes/s (classes %llu, memo %llu)\n",
              add_s * 1e3, rebuild_s * 1e3, n / (add_s + rebuild_s) / 1e6,
              static_cast<unsigned long long>(g.class_count()),
              static_cast<unsigned long long>(g.memo_entries()));
  std::printf("  cpu time: add %.1f ms + rebuild %.1f ms -> %.2f M e-nodes/s\n", add_cpu * 1e3, rebuild_cpu * 1e3,
              n / (add_cpu + rebuild_cpu) / 1e6);
  std::printf("memory: %.1f bytes per e-node after the rebuild\n", per_node);

  std::mt19937 rng(2);
  const int unions = 100'000;
  auto t2 = Clock::now();
  for (int k = 0; k < unions; ++k) g.merge(ids[rng() % n], ids[rng() % n]);
  double union_s = since(t2);
  uint64_t before_classes = g.class_count();
  auto t3 = Clock::now();
  double c3 = cpu_now();
  uint64_t congruent = g.rebuild();
  double rebuild2_s = since(t3);
  double rebuild2_cpu = cpu_now() - c3;
  std::printf("100k unions: %.1f ms; rebuild after them: %.1f ms (%llu congruence unions, classes %llu -> %llu)\n",
              union_s * 1e3, rebuild2_s * 1e3, static_cast<unsigned long long>(congruent),
              static_cast<unsigned long long>(before_classes),
              static_cast<unsigned long long>(g.class_count()));
  std::printf("  cpu time of that rebuild: %.1f ms\n", rebuild2_cpu * 1e3);
  std::printf("memory: %.1f bytes per e-node after the unions (memo %llu)\n",
              static_cast<double>(heap_in_use() - heap0 - ids.capacity() * sizeof(Id)) / static_cast<double>(n),
              static_cast<unsigned long long>(g.memo_entries()));
}

// A graph of `classes` leaves in which `share` of them also carry one binary
// "target" node over two leaves; returns the search time per call. With
// `visit_all` the pattern is a bare variable instead, which visits every
// class once: the cost a search would have if it could not skip classes.
double search_time(size_t classes, double share, uint64_t* found, bool visit_all = false) {
  EGraph g;
  g.reserve(classes * 2);
  std::vector<Id> leaves;
  for (size_t i = 0; i < classes; ++i) leaves.push_back(g.add({GlobalSymbol::local(static_cast<uint32_t>(i)), {}}));
  GlobalSymbol target = SymbolTable::intern("op|target");
  GlobalSymbol other = SymbolTable::intern("op|other");
  std::mt19937 rng(3);
  size_t step = static_cast<size_t>(1.0 / share);
  for (size_t i = 0; i < classes; ++i) {
    Id a = leaves[rng() % classes], b = leaves[rng() % classes];
    Id t = g.add({i % step == 0 ? target : other, {a, b}});
    g.merge(t, leaves[i]);
  }
  g.rebuild();
  auto p = Pattern::parse(visit_all ? "?all" : "(op|target ?a ?b)").value();
  const int reps = 20;
  auto t0 = Clock::now();
  uint64_t total = 0;
  for (int r = 0; r < reps; ++r) total += p.n_matches(g);
  *found = total / reps;
  return since(t0) / reps;
}

void bench_search() {
  uint64_t c0 = 0, c1 = 0, c2 = 0, c3 = 0;
  double t0 = search_time(1'000'000, 0.01, &c0, true);
  double t1 = search_time(1'000'000, 0.01, &c1);
  double t2 = search_time(100'000, 0.10, &c2);
  double t3 = search_time(1'000'000, 0.10, &c3);
  std::printf("search, 1%% of 1M classes:   %7.3f ms for %llu matches (%.1f ns per candidate)\n", t1 * 1e3,
              static_cast<unsigned long long>(c1), t1 * 1e9 / static_cast<double>(c1));
  std::printf("search, 10%% of 100k classes: %7.3f ms for %llu matches (%.1f ns per candidate)\n", t2 * 1e3,
              static_cast<unsigned long long>(c2), t2 * 1e9 / static_cast<double>(c2));
  std::printf("search, 10%% of 1M classes:  %7.3f ms for %llu matches (%.1f ns per candidate)\n", t3 * 1e3,
              static_cast<unsigned long long>(c3), t3 * 1e9 / static_cast<double>(c3));
  std::printf("visit every class of 1M:      %7.3f ms for %llu matches\n", t0 * 1e3, static_cast<unsigned long long>(c0));
  std::printf("ratio same candidates, 10x graph: %.2f; ratio 10x candidates, same graph: %.2f; "
              "1%% search / visit of every class: %.3f\n",
              t1 / t2, t3 / t1, t1 / t0);
}

// The engine's twelve rules (eight commutativities, four identities).
std::vector<Rewrite> engine_rules() {
  std::vector<Rewrite> rules;
  for (const char* op : {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"}) {
    std::string name = op;
    rules.push_back(rewrite_from_patterns("commute-" + name, "(op|" + name + " ?a ?b)", "(op|" + name + " ?b ?a)").value());
  }
  const char* identities[] = {"op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
                              "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
  for (int k = 0; k < 4; ++k) {
    rules.push_back(rewrite_from_patterns("identity-" + std::to_string(k), "(" + std::string(identities[k]) + " ?x)", "?x").value());
  }
  return rules;
}

// A saturation run as the engine configures it (12 iterations, node limit
// 4n + 1024) over an n-node DAG whose operators are the twelve rules'
// symbols plus four that no rule mentions.
void bench_runner(size_t n) {
  std::vector<GlobalSymbol> binary, unary;
  for (const char* op : {"op|add", "op|mul", "op|and", "op|or", "op|eq", "op|ne", "op|maximum", "op|minimum",
                         "op|sub", "op|div"}) {
    binary.push_back(SymbolTable::intern(op));
  }
  for (const char* op : {"op|add|scalar=f0000000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl",
                         "op|neg", "op|exp"}) {
    unary.push_back(SymbolTable::intern(op));
  }
  std::mt19937 rng(4);
  EGraph g;
  std::vector<Id> ids;
  for (size_t i = 0; i < n; ++i) {
    if (i < n / 100 + 1) {
      ids.push_back(g.add({GlobalSymbol::local(static_cast<uint32_t>(i)), {}}));
    } else if (rng() % 4 == 0) {
      ids.push_back(g.add({unary[rng() % unary.size()], {ids[rng() % i]}}));
    } else {
      ids.push_back(g.add({binary[rng() % binary.size()], {ids[rng() % i], ids[rng() % i]}}));
    }
  }
  std::vector<Rewrite> rules = engine_rules();
  Runner runner;
  runner.set_egraph(std::move(g)).set_iter_limit(12).set_node_limit(4 * n + 1024);
  auto t0 = Clock::now();
  runner.run(rules);
  double run_s = since(t0);
  double search = 0, apply = 0, rebuild = 0;
  for (const Iteration& it : runner.iterations()) {
    search += it.search_time;
    apply += it.apply_time;
    rebuild += it.rebuild_time;
  }
  std::printf("runner, twelve rules on %zu nodes: %.1f ms over %zu iterations (%s), %llu classes; search %.1f, "
              "apply %.1f, rebuild %.1f ms\n",
              n, run_s * 1e3, runner.iterations().size(), runner.stop_reason()->describe().c_str(),
              static_cast<unsigned long long>(runner.egraph().class_count()), search * 1e3, apply * 1e3,
              rebuild * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  std::string only = argc > 1 ? argv[1] : "";
  if (only.empty() || only == "add") bench_add_and_rebuild();
  if (only.empty() || only == "search") bench_search();
  if (only.empty() || only == "runner") {
    bench_runner(10'000);
    bench_runner(200'000);
  }
  return 0;
}
