// BlockList<T>: an append-only list stored in fixed blocks of 2^14 elements.
// Growing never moves or copies what is already stored and never holds twice
// the memory, which matters for the e-graph's per-node lists: a vector that
// doubles past a million entries briefly needs room for three million.
// Each thread keeps one freed block aside for the next list, so that a small
// e-graph made and dropped per call does not pay for a large allocation.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace nodalis::egraph {

template <class T>
class BlockList {
 public:
  static constexpr unsigned kShift = 14;
  static constexpr size_t kBlock = size_t{1} << kShift;

  BlockList() = default;
  BlockList(BlockList&& other) noexcept
      : blocks_(std::move(other.blocks_)),
        size_(std::exchange(other.size_, 0)),
        next_(std::exchange(other.next_, nullptr)),
        end_(std::exchange(other.end_, nullptr)) {
    other.blocks_.clear();
  }
  BlockList& operator=(BlockList&& other) noexcept {
    if (this != &other) {
      clear();
      blocks_ = std::move(other.blocks_);
      other.blocks_.clear();
      size_ = std::exchange(other.size_, 0);
      next_ = std::exchange(other.next_, nullptr);
      end_ = std::exchange(other.end_, nullptr);
    }
    return *this;
  }
  BlockList(const BlockList& other) {
    for (size_t k = 0; k < other.size(); ++k) push_back(other[k]);
  }
  BlockList& operator=(const BlockList& other) {
    if (this != &other) {
      BlockList copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  ~BlockList() { clear(); }

  // Exchanges the blocks themselves: the three moves of std::swap would empty
  // and refill both lists.
  friend void swap(BlockList& a, BlockList& b) noexcept {
    a.blocks_.swap(b.blocks_);
    std::swap(a.size_, b.size_);
    std::swap(a.next_, b.next_);
    std::swap(a.end_, b.end_);
  }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](size_t k) noexcept { return blocks_[k >> kShift][k & (kBlock - 1)]; }
  const T& operator[](size_t k) const noexcept { return blocks_[k >> kShift][k & (kBlock - 1)]; }
  T& back() noexcept { return (*this)[size_ - 1]; }

  // Appending writes through a cursor into the current block: the e-graph
  // appends to four lists per node it loads, and finding the slot from the
  // size each time was a visible share of a small graph's load.
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (next_ == end_) [[unlikely]] next_block();
    T* slot = next_;
    std::construct_at(slot, std::forward<Args>(args)...);
    ++next_;
    ++size_;
    return *slot;
  }
  void push_back(const T& value) { emplace_back(value); }
  void push_back(T&& value) { emplace_back(std::move(value)); }

  // Only the block table is sized ahead; blocks come as they fill.
  void reserve(size_t n) { blocks_.reserve((n + kBlock - 1) >> kShift); }

  // Empties the list without running the elements' destructors, keeping
  // its blocks: for a caller that has already released whatever the
  // elements held, and would otherwise read every one of them again only to
  // find nothing to free.
  void forget_elements() noexcept {
    size_ = 0;
    next_ = end_ = nullptr;
  }

  void clear() noexcept {
    if constexpr (!std::is_trivially_destructible_v<T>) {
      for (size_t b = 0; b * kBlock < size_; ++b) std::destroy_n(blocks_[b], std::min(kBlock, size_ - b * kBlock));
    }
    for (T* block : blocks_) release(block);
    blocks_.clear();
    size_ = 0;
    next_ = end_ = nullptr;
  }

 private:
  // Blocks start on a cache line, so that an element of 64 bytes
  // never straddles two: a large allocation otherwise starts 16 bytes past a
  // page boundary.
  static constexpr std::align_val_t kAlign{alignof(T) > 64 ? alignof(T) : 64};

  // The block a thread set aside; freed when the thread ends.
  struct Spare {
    T* block = nullptr;
    ~Spare() {
      ::operator delete(std::exchange(block, nullptr), kAlign);
    }
  };
  static Spare& spare() noexcept {
    static thread_local Spare s;
    return s;
  }

  // The cursor reached the end of its block (or there is none yet): size_
  // is a multiple of kBlock, and the block it starts is kept or added.
  [[gnu::noinline]] void next_block() {
    const size_t b = size_ >> kShift;
    if (b == blocks_.size()) add_block();
    next_ = blocks_[b];
    end_ = next_ + kBlock;
  }
  void add_block() {
    blocks_.reserve(blocks_.size() + 1);
    T* block = std::exchange(spare().block, nullptr);
    if (!block) block = static_cast<T*>(::operator new(kBlock * sizeof(T), kAlign));
    blocks_.push_back(block);
  }
  static void release(T* block) noexcept {
    Spare& s = spare();
    if (s.block) {
      ::operator delete(block, kAlign);
    } else {
      s.block = block;
    }
  }

  std::vector<T*> blocks_;
  size_t size_ = 0;
  // The next free slot and the end of its block; equal when the next
  // append starts a block.
  T* next_ = nullptr;
  T* end_ = nullptr;
};

}  // namespace nodalis::egraph
