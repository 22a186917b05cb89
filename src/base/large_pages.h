// Memory for the big flat arrays of the store (the intern table, the node
// list, key blocks) and of the e-graph (its memo). Blocks of 2 MiB and more
// are mapped on their own and marked for transparent huge pages: a table
// probed at random then costs few TLB misses, and growing it costs a few page
// faults instead of thousands.
#pragma once

#include <cstddef>
#include <new>

namespace nodalis {

// `bytes` of zeroed memory aligned for any type; std::bad_alloc on failure.
void* allocate_zeroed(size_t bytes);
// The same without the zeroing, for memory written before it is read (key
// blocks, arrays that grow): it may hold what an earlier block held.
void* allocate_block(size_t bytes);
// Frees a block from either; `bytes` must be the size it was asked for.
void release_block(void* block, size_t bytes) noexcept;

// allocate_block's memory for standard containers.
template <class T>
struct LargePageAllocator {
  using value_type = T;
  LargePageAllocator() noexcept = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_block(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept { release_block(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const LargePageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace nodalis
