// Large blocks straight from the kernel, aligned and advised for huge pages;
// small ones from the C heap. A released large block is kept for the next
// block of its size, so that a store built after another one dies (decoding
// blob after blob), or the e-graph of the next large reduction, neither faults
// its pages in again nor has the kernel clear them; only what must read as
// zero is cleared, by hand.
#include "base/large_pages.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace nodalis {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;

#if defined(__linux__)
size_t mapped_size(size_t bytes) noexcept { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

// Blocks kept for reuse, up to kSpareLimit bytes in all. They are handed to
// the kernel as free-when-needed (MADV_FREE): under memory pressure it takes
// their pages back without writing them anywhere, and they read as zero when
// touched again. Under ASan nothing is kept, so that a key outliving its
// block still faults.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kSpareLimit = 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kSpareLimit = 0;
#else
constexpr size_t kSpareLimit = size_t{128} << 20;
#endif
#else
constexpr size_t kSpareLimit = size_t{128} << 20;
#endif

class Spares {
 public:
  // A kept block of exactly `size` mapped bytes, or nullptr.
  void* take(size_t size) noexcept {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = count_; i-- > 0;) {
      if (blocks_[i].size != size) continue;
      void* block = blocks_[i].block;
      blocks_[i] = blocks_[--count_];
      held_ -= size;
      return block;
    }
    return nullptr;
  }
  // Keeps `block` if there is room; false when the caller must unmap it.
  bool keep(void* block, size_t size) noexcept {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (count_ == kSlots || size > kSpareLimit - held_) return false;
      held_ += size;
    }
    (void)madvise(block, size, MADV_FREE);
    std::lock_guard<std::mutex> lock(mu_);
    blocks_[count_++] = {block, size};
    return true;
  }

 private:
  static constexpr size_t kSlots = kSpareLimit / kHugePage + 1;
  struct Kept {
    void* block;
    size_t size;
  };
  std::mutex mu_;
  Kept blocks_[kSlots] = {};
  size_t count_ = 0;
  size_t held_ = 0;
};

// Never destroyed: keys may release blocks while the process exits.
Spares& spares() noexcept {
  static Spares* kept = new Spares();
  return *kept;
}

// A block of `size` mapped bytes; `fresh` tells whether it is newly mapped
// (all zero) rather than kept.
void* map_block(size_t size, bool& fresh) {
  fresh = false;
  if (void* kept = spares().take(size)) return kept;
  fresh = true;
  // Map one huge page more than needed and cut to a 2 MiB boundary, so
  // that every page of the block can be a huge one.
  void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + size + kHugePage;
  if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
  void* block = reinterpret_cast<void*>(aligned);
  madvise(block, size, MADV_HUGEPAGE);  // only advice: plain pages serve as well
  return block;
}
#endif
}  // namespace

void* allocate_block(size_t bytes) {
  if (bytes == 0) bytes = 1;
#if defined(__linux__)
  if (bytes >= kHugePage) {
    if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    bool fresh;
    return map_block(mapped_size(bytes), fresh);
  }
#endif
  void* block = std::malloc(bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* allocate_zeroed(size_t bytes) {
#if defined(__linux__)
  if (bytes >= kHugePage) {
    if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    bool fresh;
    void* block = map_block(mapped_size(bytes), fresh);
    if (!fresh) std::memset(block, 0, bytes);  // new mappings read as zero already
    return block;
  }
#endif
  void* block = std::calloc(1, bytes == 0 ? 1 : bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void release_block(void* block, size_t bytes) noexcept {
  if (block == nullptr) return;
#if defined(__linux__)
  if (bytes >= kHugePage) {
    const size_t size = mapped_size(bytes);
    if (!spares().keep(block, size)) munmap(block, size);
    return;
  }
#endif
  std::free(block);
}

}  // namespace nodalis
