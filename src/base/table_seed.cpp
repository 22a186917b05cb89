// The process's one random draw behind every table seed, and the counter
// that keeps the seeds of tables made from it apart.
#include "base/table_seed.h"

#include <atomic>
#include <cstdint>
#include <random>

#include "base/hash.h"

namespace nodalis {

namespace {

uint64_t process_seed() noexcept {
  // random_device may throw where no entropy source exists; a table then
  // still works, only with a guessable seed, which beats refusing to build.
  try {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
  } catch (...) {
    return reinterpret_cast<uintptr_t>(&process_seed) ^ 0x5851F42D4C957F2Dull;
  }
}

}  // namespace

uint64_t table_seed() noexcept {
  static const uint64_t base = process_seed();
  static std::atomic<uint64_t> counter{0};
  return hash_finish(base + hash_detail::kMul1 * counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace nodalis
