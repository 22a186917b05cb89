// Key blocks: each is aligned to its own size (a power of two), so a key
// finds its block's header by masking its address, and carries only the
// block's size. Blocks double from 4 KiB to 2 MiB, so a small store holds
// little while a big one lives on huge pages.
#include "ir/key_arena.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "base/large_pages.h"

namespace nodalis::ir {

namespace {

constexpr uint8_t kFirstLog2 = 12;  // 4 KiB
constexpr uint8_t kLargestLog2 = KeyArena::kLargestLog2;

struct BlockHeader {
  // Live keys in the block. While the block is the arena's current one, its
  // keys are counted by the arena instead (no atomic per key) and this holds
  // kBias minus the keys that died meanwhile; retiring the block trades the
  // bias for the count.
  std::atomic<uint64_t> refs;
};
constexpr uint64_t kBias = uint64_t{1} << 62;
constexpr size_t kHeader = 64;  // keeps the header's line to itself
static_assert(sizeof(BlockHeader) <= kHeader);

BlockHeader* header_of(void* key, uint8_t log2) noexcept {
  return reinterpret_cast<BlockHeader*>(reinterpret_cast<uintptr_t>(key) & ~((uintptr_t{1} << log2) - 1));
}

char* new_block(uint8_t log2) {
  const size_t size = size_t{1} << log2;
  // allocate_block maps blocks of 2 MiB and more aligned to 2 MiB.
  void* block = log2 >= kLargestLog2 ? allocate_block(size) : std::aligned_alloc(size, size);
  if (block == nullptr) throw std::bad_alloc();
  new (block) BlockHeader{};
  static_cast<BlockHeader*>(block)->refs.store(kBias, std::memory_order_relaxed);
  return static_cast<char*>(block);
}

// Takes `n` references off the block and frees it when none is left.
void drop(BlockHeader* h, uint8_t log2, uint64_t n) noexcept {
  if (h->refs.fetch_sub(n, std::memory_order_acq_rel) != n) return;
  h->~BlockHeader();
  if (log2 >= kLargestLog2)
    release_block(h, size_t{1} << log2);
  else
    std::free(h);
}

}  // namespace

void KeyArena::retire() noexcept {
  if (block_ != nullptr) drop(reinterpret_cast<BlockHeader*>(block_), log2_, kBias - handed_out_);
  block_ = nullptr;
}

KeyArena::~KeyArena() { retire(); }

void* KeyArena::allocate_in_new_block(size_t bytes, uint8_t& block_log2) {
  void* key = allocate_run(bytes, 1, block_log2);
  // Keys are written front to back into memory that is seldom in cache: ask
  // for the lines a few keys ahead, so that writing them does not wait.
  if (key != nullptr) __builtin_prefetch(block_ + used_ + 512, 1);
  return key;
}

void* KeyArena::allocate_run(size_t bytes, uint64_t keys, uint8_t& block_log2) {
  if (bytes > kLargestKey) return nullptr;
  if (block_ == nullptr || size_ - used_ < bytes) {
    const uint8_t log2 = block_ == nullptr ? kFirstLog2 : static_cast<uint8_t>(log2_ < kLargestLog2 ? log2_ + 1 : log2_);
    uint8_t fit = log2;
    while ((size_t{1} << fit) - kHeader < bytes) ++fit;  // only early, small blocks
    char* block = new_block(fit);                          // the only step that may throw
    retire();
    block_ = block;
    handed_out_ = 0;
    log2_ = fit;
    size_ = size_t{1} << fit;
    used_ = kHeader;
  }
  void* first = block_ + used_;
  used_ += bytes;
  handed_out_ += keys;
  block_log2 = log2_;
  return first;
}

void KeyArena::release(void* key, uint8_t block_log2) noexcept { drop(header_of(key, block_log2), block_log2, 1); }

}  // namespace nodalis::ir
