// WordMutex: a mutex in one 32-bit word, for locks that are nearly always
// free (a store's, taken once per node added from Python). Taking and
// releasing it uncontended is one atomic instruction each, where the
// platform mutex adds its type and owner bookkeeping; a contended lock
// sleeps in the kernel (atomic wait) like the platform's does.
#pragma once

#include <atomic>
#include <cstdint>

namespace nodalis {

class WordMutex {
 public:
  WordMutex() noexcept = default;
  WordMutex(const WordMutex&) = delete;
  WordMutex& operator=(const WordMutex&) = delete;

  void lock() noexcept {
    uint32_t seen = kFree;
    if (state_.compare_exchange_strong(seen, kHeld, std::memory_order_acquire, std::memory_order_relaxed))
      [[likely]] return;
    lock_contended(seen);
  }

  void unlock() noexcept {
    if (state_.exchange(kFree, std::memory_order_release) == kWaited) [[unlikely]]
      state_.notify_one();
  }

 private:
  // Free, held with no thread asleep on it, or held with perhaps some asleep:
  // only the last state makes unlock wake one.
  static constexpr uint32_t kFree = 0, kHeld = 1, kWaited = 2;

  [[gnu::noinline]] void lock_contended(uint32_t seen) noexcept {
    // Whoever takes the lock from here on marks it waited, since it cannot
    // know whether others still sleep; that costs at most one spare wake.
    if (seen != kWaited) seen = state_.exchange(kWaited, std::memory_order_acquire);
    while (seen != kFree) {
      state_.wait(kWaited, std::memory_order_relaxed);
      seen = state_.exchange(kWaited, std::memory_order_acquire);
    }
  }

  std::atomic<uint32_t> state_{kFree};
};

}  // namespace nodalis
