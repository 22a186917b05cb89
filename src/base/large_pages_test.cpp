// Large-page blocks: zeroed when asked, whatever a kept block held before, and
// a stock of kept blocks that threads share.
#include "base/large_pages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace nodalis {
namespace {

TEST(LargePages, BlocksComeZeroedAndWritable) {
  // Each size twice: a large block released dirty is kept and handed out
  // again, and must come back zeroed all the same.
  for (size_t bytes : {size_t{0}, size_t{100}, (size_t{2} << 20) - 8, size_t{2} << 20, (size_t{5} << 20) + 24,
                       size_t{0}, size_t{100}, (size_t{2} << 20) - 8, size_t{2} << 20, (size_t{5} << 20) + 24}) {
    if (bytes >= (size_t{2} << 20)) {  // another dirty one to keep
      void* dirty = allocate_block(bytes);
      std::memset(dirty, 0xCD, bytes);
      release_block(dirty, bytes);
    }
    auto* p = static_cast<unsigned char*>(allocate_zeroed(bytes));
    ASSERT_NE(p, nullptr);
    bool zero = true;
    for (size_t i = 0; i < bytes; ++i) zero = zero && p[i] == 0;
    EXPECT_TRUE(zero) << bytes;
    if (bytes > 0) std::memset(p, 0xAB, bytes);
    release_block(p, bytes);
  }
}

TEST(LargePages, ThreadsShareTheKeptBlocksWithoutSharingABlock) {
  // Threads take and give back blocks of a few sizes at once: a kept block
  // handed to two of them would show another thread's mark in its pages.
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::vector<int> clashes(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &clashes] {
      for (int r = 0; r < kRounds; ++r) {
        const size_t bytes = (size_t{2} << 20) * static_cast<size_t>(1 + (r + t) % 3);
        auto* p = static_cast<unsigned char*>(r % 2 ? allocate_zeroed(bytes) : allocate_block(bytes));
        const auto mark = static_cast<unsigned char>(t + 1);
        for (size_t i = 0; i < bytes; i += 4096) p[i] = mark;
        std::this_thread::yield();
        for (size_t i = 0; i < bytes; i += 4096) clashes[t] += p[i] != mark;
        release_block(p, bytes);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(clashes[t], 0) << t;
}

}  // namespace
}  // namespace nodalis
