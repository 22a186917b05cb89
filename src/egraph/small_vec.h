// SmallVec<T, N>: a vector whose first N elements live inside it. An e-class
// starts with one node and a handful of parent entries, so keeping those
// inline spares a heap allocation per class (and per parent list) on the
// e-graph's hottest path.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>

namespace nodalis::egraph {

template <class T, uint32_t N>
class SmallVec {
  static_assert(N >= 1);

 public:
  SmallVec() noexcept = default;
  SmallVec(const SmallVec& other) { append(other.begin(), other.end()); }
  SmallVec(SmallVec&& other) noexcept { take(other); }
  SmallVec& operator=(const SmallVec& other) {
    if (this != &other) {
      SmallVec copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  SmallVec& operator=(SmallVec&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }
  ~SmallVec() { reset(); }

  uint32_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return on_heap() ? heap_ : inline_data(); }
  const T* data() const noexcept { return on_heap() ? heap_ : inline_data(); }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }
  T& operator[](size_t k) noexcept { return data()[k]; }
  const T& operator[](size_t k) const noexcept { return data()[k]; }
  T& back() noexcept { return data()[size_ - 1]; }
  operator std::span<const T>() const noexcept { return {data(), size_}; }
  // True while the elements live in a heap block rather than inline.
  bool owns_block() const noexcept { return on_heap(); }

  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == cap_) grow(size_ + 1);
    T* slot = data() + size_;
    std::construct_at(slot, std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }
  void push_back(const T& value) { emplace_back(value); }
  void push_back(T&& value) { emplace_back(std::move(value)); }

  template <class It>
  void append(It first, It last) {
    size_t extra = static_cast<size_t>(std::distance(first, last));
    if (size_ + extra > cap_) grow(size_ + extra);
    T* out = data() + size_;
    for (; first != last; ++first, ++out) std::construct_at(out, *first);
    size_ += static_cast<uint32_t>(extra);
  }
  // Moves every element of `other` to the end of this list and empties it.
  void append_from(SmallVec& other) {
    if (size_ + other.size_ > cap_) grow(size_ + other.size_);
    T* out = data() + size_;
    for (T& v : other) std::construct_at(out++, std::move(v));
    size_ += other.size_;
    other.reset();
  }
  // Drops the elements from position n on.
  void truncate(uint32_t n) noexcept {
    if (n >= size_) return;
    std::destroy(data() + n, data() + size_);
    size_ = n;
  }
  // Empties the list and gives back any heap block.
  void reset() noexcept {
    std::destroy(data(), data() + size_);
    if (on_heap()) std::allocator<T>().deallocate(heap_, cap_);
    size_ = 0;
    cap_ = N;
  }

  friend void swap(SmallVec& a, SmallVec& b) noexcept {
    SmallVec tmp(std::move(a));
    a = std::move(b);
    b = std::move(tmp);
  }

 private:
  bool on_heap() const noexcept { return cap_ > N; }
  T* inline_data() noexcept { return std::launder(reinterpret_cast<T*>(buf_)); }
  const T* inline_data() const noexcept { return std::launder(reinterpret_cast<const T*>(buf_)); }

  void take(SmallVec& other) noexcept {
    if (other.on_heap()) {
      heap_ = other.heap_;
      cap_ = other.cap_;
      size_ = other.size_;
      other.size_ = 0;
      other.cap_ = N;
      return;
    }
    std::uninitialized_move(other.begin(), other.end(), inline_data());
    size_ = other.size_;
    cap_ = N;
    std::destroy(other.begin(), other.end());
    other.size_ = 0;
  }

  void grow(size_t need) {
    size_t cap = std::max<size_t>(need, size_t{cap_} * 2);
    if (cap > UINT32_MAX) throw std::length_error("SmallVec too long");
    T* fresh = std::allocator<T>().allocate(cap);
    std::uninitialized_move(begin(), end(), fresh);
    std::destroy(begin(), end());
    if (on_heap()) std::allocator<T>().deallocate(heap_, cap_);
    heap_ = fresh;
    cap_ = static_cast<uint32_t>(cap);
  }

  static constexpr size_t kBytes = sizeof(T) * N > sizeof(T*) ? sizeof(T) * N : sizeof(T*);
  union {
    alignas(T) alignas(T*) unsigned char buf_[kBytes];
    T* heap_;
  };
  uint32_t size_ = 0;
  uint32_t cap_ = N;
};

}  // namespace nodalis::egraph
