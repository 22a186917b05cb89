// Keys interned by record live in store-owned blocks: they must outlive the
// store, each until its own last copy dies, from any thread.
#include "ir/key_arena.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ir/graph_store.h"
#include "ir/node_record.h"

namespace nodalis::ir {
namespace {

NodeKey named_source(GraphStore& store, const std::string& name) {
  NodeRecord r;
  r.source(name, {ParamMapView(), false});
  const NodeId id = store.intern_record(r.view()).value();
  return store.snapshot_from(id).front();
}

TEST(KeyArena, KeysOutliveTheirStoreAndBlocks) {
  // Keys interned by record share blocks; they must stay whole after the
  // store is gone, each until its own last copy dies (run under ASan/LSan,
  // this also shows every block is freed exactly once).
  std::vector<NodeKey> kept;
  NodeKey lone;
  {
    GraphStore store;
    for (int i = 0; i < 20000; ++i) {
      const NodeKey k = named_source(store, "n" + std::to_string(i));
      if (i % 997 == 0) kept.push_back(k);
      if (i == 12345) lone = k;
    }
    kept.push_back(named_source(store, std::string(300000, 'x')));  // too big for a block
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([copies = kept] {
      for (const NodeKey& k : copies) EXPECT_EQ(k.name().substr(0, 1), k.name().size() > 1000 ? "x" : "n");
    });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i + 1 < kept.size(); ++i) EXPECT_EQ(kept[i].name(), "n" + std::to_string(i * 997));
  EXPECT_EQ(kept.back().name().size(), 300000u);
  kept.clear();
  EXPECT_EQ(lone.name(), "n12345");
  EXPECT_EQ(lone.kind(), NodeKind::Source);
}

}  // namespace
}  // namespace nodalis::ir
