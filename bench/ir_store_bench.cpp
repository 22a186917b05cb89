// Interning cost of the graph store: resident bytes per node for a million
// "mul" nodes (against the 128-byte budget), and intern time next to a
// baseline that keeps the same record bytes in a std::unordered_set, in one
// run. The store runs first so that its memory figure starts from a fresh heap.
// Both intern paths are timed: keys built by the factories (intern) and
// records encoded on the stack (intern_record, the Python binding's path).
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "ir/graph_store.h"
#include "ir/node_record.h"

using namespace nodalis::ir;

namespace {

long resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * 4096;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t n = argc > 1 ? std::stoull(argv[1]) : 1000000;
  const ParamMap params = ParamMap::make({{"scalar", ParamValue::Float(1.5)}});

  const long rss0 = resident_bytes();
  auto t0 = std::chrono::steady_clock::now();
  double store_secs, dedup_secs;
  long store_bytes;
  {
    GraphStore store;
    (void)store.intern(NodeKey::source("x", ParamMapView()));
    (void)store.intern(NodeKey::source("y", ParamMapView()));
    for (uint64_t i = 2; i < n; ++i) {
      const NodeId in[2] = {i - 1, i - 2};
      if (!store.intern(NodeKey::op("mul", params.view(), in)).ok()) return 1;
    }
    store_secs = seconds_since(t0);
    store_bytes = resident_bytes() - rss0;
    // Re-interning equal keys: the hit path.
    t0 = std::chrono::steady_clock::now();
    for (uint64_t i = 2; i < n; ++i) {
      const NodeId in[2] = {i - 1, i - 2};
      if (store.intern(NodeKey::op("mul", params.view(), in)).value() != i) return 1;
    }
    dedup_secs = seconds_since(t0);
  }

  // The binding's path: the record encoded on the stack, a key allocated
  // only for a new node.
  double record_secs, record_hit_secs;
  {
    std::vector<ParamEntryRef> entries;
    auto intern_mul = [&](GraphStore& store, uint64_t i) {
      NodeRecord r;
      entries.assign({{"scalar", ParamRef::of_float(1.5)}});
      const NodeId in[2] = {i - 1, i - 2};
      r.op("mul", std::span<ParamEntryRef>(entries), in);
      return store.intern_record(r.view());
    };
    GraphStore store;
    (void)store.intern(NodeKey::source("x", ParamMapView()));
    (void)store.intern(NodeKey::source("y", ParamMapView()));
    t0 = std::chrono::steady_clock::now();
    for (uint64_t i = 2; i < n; ++i) {
      if (!intern_mul(store, i).ok()) return 1;
    }
    record_secs = seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    for (uint64_t i = 2; i < n; ++i) {
      if (intern_mul(store, i).value() != i) return 1;
    }
    record_hit_secs = seconds_since(t0);
  }

  t0 = std::chrono::steady_clock::now();
  double base_secs;
  {
    std::unordered_set<std::string> baseline;
    std::vector<const std::string*> order;
    for (uint64_t i = 2; i < n; ++i) {
      const NodeId in[2] = {i - 1, i - 2};
      const NodeKey key = NodeKey::op("mul", params.view(), in);
      auto [it, fresh] = baseline.emplace(key.record());
      if (fresh) order.push_back(&*it);
    }
    base_secs = seconds_since(t0);
  }

  std::printf("nodes                         %llu\n", static_cast<unsigned long long>(n));
  std::printf("store RSS bytes per node      %.1f\n", static_cast<double>(store_bytes) / n);
  std::printf("store RSS / 128-byte budget   %.2f\n", static_cast<double>(store_bytes) / n / 128.0);
  std::printf("store / baseline intern time  %.2f\n", store_secs / base_secs);
  std::printf("hit / miss intern time        %.2f\n", dedup_secs / store_secs);
  std::printf("ns per node: intern %.1f (hit %.1f), intern_record %.1f (hit %.1f), baseline %.1f\n",
              store_secs / n * 1e9, dedup_secs / n * 1e9, record_secs / n * 1e9, record_hit_secs / n * 1e9,
              base_secs / n * 1e9);
  std::printf("intern / intern_record time  %.2f\n", store_secs / record_secs);
  return 0;
}
