// KeyArena: the memory of the keys one store interns, carved from blocks
// instead of one heap allocation per node. A block is freed when the last key
// in it dies (keys outlive their store in snapshots), so a single surviving
// key keeps its block; in exchange a new node costs a pointer bump, and the
// records of a big graph sit on a few huge pages instead of many small ones.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nodalis::ir {

class KeyArena {
 public:
  static constexpr uint8_t kLargestLog2 = 21;  // blocks of 2 MiB at most: one huge page
  // Larger keys are allocated alone, so that one does not hold a block.
  static constexpr size_t kLargestKey = (size_t{1} << kLargestLog2) / 8;

  KeyArena() noexcept = default;
  ~KeyArena();  // lets go of the current block; keys in it stay valid
  KeyArena(const KeyArena&) = delete;
  KeyArena& operator=(const KeyArena&) = delete;

  // Room for one key of `bytes` (4-byte aligned), counted as a live key of
  // its block, and the block's size as a power of two in `block_log2`; or
  // nullptr for a key too large for blocks. std::bad_alloc on failure.
  // Not thread-safe: the store calls it under its lock. Inline: a key that
  // fits the current block (nearly every one) is a pointer bump.
  void* allocate(size_t bytes, uint8_t& block_log2) {
    bytes = (bytes + 3) & ~size_t{3};
    if (size_ - used_ < bytes || bytes > kLargestKey) [[unlikely]] return allocate_in_new_block(bytes, block_log2);
    void* key = block_ + used_;
    used_ += bytes;
    handed_out_ += 1;
    block_log2 = log2_;
    // Keys are written front to back into memory that is seldom in cache: ask
    // for the lines a few keys ahead, so that writing them does not wait.
    __builtin_prefetch(block_ + used_ + 512, 1);
    return key;
  }
  // Room for `keys` keys one after another, `bytes` in all (each key's size
  // rounded up to 4), counted as live keys of one block: for a caller adding
  // many keys at once. nullptr when they are too large for blocks together.
  void* allocate_run(size_t bytes, uint64_t keys, uint8_t& block_log2);
  // The last `keys` keys of the latest allocate_run were never made (the
  // caller gave up): they no longer hold the block.
  void give_back(uint64_t keys) noexcept { handed_out_ -= keys; }

  // A key from allocate() has died; frees its block once none is left in it.
  // Any thread.
  static void release(void* key, uint8_t block_log2) noexcept;

 private:
  void* allocate_in_new_block(size_t bytes, uint8_t& block_log2);
  void retire() noexcept;  // lets go of the current block
  char* block_ = nullptr;
  uint64_t handed_out_ = 0;  // keys allocated from the current block
  size_t used_ = 0;
  size_t size_ = 0;
  uint8_t log2_ = 0;
};

}  // namespace nodalis::ir
