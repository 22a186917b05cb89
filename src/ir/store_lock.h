// StoreLock: the store's mutex. Nearly every store operation is a short one
// on a store no other thread is using (building a graph node by node), so
// taking and releasing the lock are one atomic instruction each, inline; a
// std::mutex costs two calls into the C library per operation on top.
#pragma once

#include <atomic>
#include <cstdint>

namespace nodalis::ir {

class StoreLock {
 public:
  void lock() noexcept {
    uint32_t free = kFree;
    if (state_.compare_exchange_strong(free, kHeld, std::memory_order_acquire, std::memory_order_relaxed))
        [[likely]]
      return;
    lock_contended();
  }
  void unlock() noexcept {
    if (state_.exchange(kFree, std::memory_order_release) == kContended) [[unlikely]]
      state_.notify_one();
  }

 private:
  // A thread that finds the lock held marks it contended and sleeps until it
  // is released; it takes the lock still marked contended, since it cannot
  // know whether others sleep too, so its own release wakes the next one.
  [[gnu::noinline]] void lock_contended() noexcept {
    while (state_.exchange(kContended, std::memory_order_acquire) != kFree)
      state_.wait(kContended, std::memory_order_relaxed);
  }

  static constexpr uint32_t kFree = 0, kHeld = 1, kContended = 2;
  std::atomic<uint32_t> state_{kFree};
};

}  // namespace nodalis::ir
