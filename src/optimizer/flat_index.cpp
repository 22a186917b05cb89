// Seeds for the optimizer's per-call tables: one random draw per process,
// stepped by a counter so that every table still gets its own seed.
#include "optimizer/flat_index.h"

#include <atomic>
#include <random>

namespace nodalis::opt {

uint64_t table_seed() {
  static const uint64_t base = [] {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
  }();
  static std::atomic<uint64_t> counter{0};
  return finish_hash(base + 0x9E3779B97F4A7C15ull * counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace nodalis::opt
