// ScratchVector: a std::vector whose buffer is taken from, and given back to,
// a small per-thread stock of spare buffers of its element type. A reduction
// of a few nodes is dominated by the fixed cost of its two dozen per-call
// arrays; with the stock, a reduction reuses the buffers the previous one on
// its thread left behind instead of allocating and freeing each again.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <utility>
#include <vector>

namespace nodalis::opt {

template <class T>
class ScratchVector : public std::vector<T> {
  using Base = std::vector<T>;

 public:
  // A buffer larger than this is freed, not kept, so that one large reduction
  // does not pin its memory in every thread that ran it.
  static constexpr size_t kKeepBytes = 64 * 1024;
  // Spare buffers kept per thread and element type: more than one reduction
  // holds at once.
  static constexpr size_t kSpares = 32;

  ScratchVector() : Base(take()) {}
  explicit ScratchVector(size_t count, const T& value = T()) : Base(take()) { this->assign(count, value); }
  ScratchVector(const ScratchVector& other) : Base(take()) { this->assign(other.begin(), other.end()); }
  ScratchVector(ScratchVector&& other) noexcept : Base(std::move(static_cast<Base&>(other))) {}
  ScratchVector& operator=(const ScratchVector& other) {
    if (this != &other) this->assign(other.begin(), other.end());
    return *this;
  }
  // The buffer this one held goes back to the stock with `other`.
  ScratchVector& operator=(ScratchVector&& other) noexcept {
    this->swap(other);
    return *this;
  }
  // A plain vector's buffer is adopted as it is.
  ScratchVector(Base&& other) noexcept : Base(std::move(other)) {}
  ScratchVector& operator=(Base&& other) noexcept {
    this->swap(other);
    return *this;
  }
  ScratchVector& operator=(std::initializer_list<T> list) {
    this->assign(list);
    return *this;
  }
  ~ScratchVector() { give_back(static_cast<Base&>(*this)); }

 private:
  struct Stock {
    std::vector<Base> spares;
    // Without room for spares (out of memory), nothing is kept.
    Stock() noexcept {
      try {
        spares.reserve(kSpares);
      } catch (...) {
      }
    }
  };
  static Stock& stock() {
    thread_local Stock s;
    return s;
  }
  static Base take() {
    std::vector<Base>& spares = stock().spares;
    if (spares.empty()) return Base();
    Base v = std::move(spares.back());
    spares.pop_back();
    return v;
  }
  static void give_back(Base& v) noexcept {
    if (v.capacity() == 0 || v.capacity() * sizeof(T) > kKeepBytes) return;
    std::vector<Base>& spares = stock().spares;
    // Never grows the stock: a destructor must not allocate.
    if (spares.size() == spares.capacity()) return;
    v.clear();
    spares.push_back(std::move(v));
  }
};

}  // namespace nodalis::opt
