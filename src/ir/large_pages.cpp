// Large zeroed blocks straight from the kernel, aligned and advised for huge
// pages; small ones from the C heap. Freshly mapped pages are zero already,
// so the big blocks are never cleared by hand.
#include "ir/large_pages.h"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace nodalis::ir {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;

#if defined(__linux__)
size_t mapped_size(size_t bytes) noexcept { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }
#endif
}  // namespace

void* allocate_zeroed(size_t bytes) {
  if (bytes == 0) bytes = 1;
#if defined(__linux__)
  if (bytes >= kHugePage) {
    if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    const size_t size = mapped_size(bytes);
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
  void* block = std::calloc(1, bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void release_zeroed(void* block, size_t bytes) noexcept {
  if (block == nullptr) return;
#if defined(__linux__)
  if (bytes >= kHugePage) {
    munmap(block, mapped_size(bytes));
    return;
  }
#endif
  std::free(block);
}

}  // namespace nodalis::ir
