// ScratchVector: a std::vector whose buffer is taken from, and given back to,
// a small per-thread stock of spare buffers of its element type. A reduction
// of a few nodes is dominated by the fixed cost of its two dozen per-call
// arrays; with the stock, a reduction reuses the buffers the previous one on
// its thread left behind instead of allocating and freeing each again.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace nodalis::opt {

// Elements made without a value are left as they are (uninitialized, for the
// plain types this is used with), so that resize() takes room without
// zero-filling it; filling with a value still fills.
template <class T>
struct RoomAllocator : std::allocator<T> {
  RoomAllocator() noexcept = default;
  template <class U>
  RoomAllocator(const RoomAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T, class Alloc = std::allocator<T>>
class ScratchVector : public std::vector<T, Alloc> {
  using Base = std::vector<T, Alloc>;

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
  // The spares of one thread. Reached through `Link`, a plain pointer that
  // needs no construction guard, so that a take or a give-back costs one
  // thread-local lookup; the stock itself is made on the thread's first take
  // and freed with the thread, after which nothing is kept.
  struct Stock {
    Base spares[kSpares];
    size_t count = 0;
    ~Stock();
  };
  struct Link {
    Stock* stock;
    bool gone;
  };
  static Link& link() noexcept {
    thread_local Link l{nullptr, false};  // constant-initialized: no guard
    return l;
  }

  static Stock* made_stock() noexcept {
    thread_local Stock stock;
    link().stock = &stock;
    return &stock;
  }
  static Base take() noexcept {
    Link& l = link();
    Stock* s = l.stock;
    if (s == nullptr) {
      if (l.gone) return Base();
      s = made_stock();
    }
    if (s->count == 0) return Base();
    return std::move(s->spares[--s->count]);
  }
  static void give_back(Base& v) noexcept {
    if (v.capacity() == 0 || v.capacity() * sizeof(T) > kKeepBytes) return;
    Stock* s = link().stock;
    if (s == nullptr || s->count == kSpares) return;
    v.clear();
    s->spares[s->count++] = std::move(v);
  }
};

template <class T, class Alloc>
ScratchVector<T, Alloc>::Stock::~Stock() {
  link() = Link{nullptr, true};
}

// Room for arrays that are written before they are read (an engine graph's
// nodes past its count, a pass's per-node slices): resize() leaves the new
// elements as they are, whatever an earlier reduction left in a reused buffer.
template <class T>
using ScratchRoom = ScratchVector<T, RoomAllocator<T>>;

}  // namespace nodalis::opt
