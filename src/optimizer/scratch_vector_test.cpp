// ScratchVector's stock: a buffer given back is the next one taken on its
// thread, empty; large buffers and other threads' buffers are never handed
// out; moves and assignments keep each buffer with exactly one owner.
#include "optimizer/scratch_vector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace nodalis::opt {
namespace {

using Vec = ScratchVector<uint64_t>;

// The buffer a vector of `count` elements leaves behind.
const uint64_t* left_behind(size_t count) {
  Vec v(count, 7);
  return v.data();
}

TEST(ScratchVector, ReusesSmallBuffersEmptyAndFreesLargeOnes) {
  struct Case {
    size_t count;
    bool kept;
  };
  const size_t limit = Vec::kKeepBytes / sizeof(uint64_t);
  for (Case c : {Case{1, true}, Case{100, true}, Case{limit, true}, Case{limit + 1, false}}) {
    const uint64_t* old = left_behind(c.count);
    Vec next;
    EXPECT_TRUE(next.empty()) << c.count;
    EXPECT_EQ(next.data() == old, c.kept) << c.count;
    if (c.kept) {
      EXPECT_GE(next.capacity(), c.count);
    }
  }
}

TEST(ScratchVector, MovesAndAssignmentsKeepOneOwnerPerBuffer) {
  Vec a(3, 1);
  const uint64_t* buffer = a.data();
  Vec b(std::move(a));
  EXPECT_EQ(b.data(), buffer);
  Vec c(2, 5);
  c = std::move(b);  // c's old buffer goes to b, and back to the stock with it
  EXPECT_EQ(c.data(), buffer);
  EXPECT_EQ(c, (std::vector<uint64_t>{1, 1, 1}));
  Vec d = c;  // a copy has a buffer of its own
  EXPECT_NE(d.data(), c.data());
  EXPECT_EQ(d, c);
  d = {4, 5};
  EXPECT_EQ(d, (std::vector<uint64_t>{4, 5}));
  c = std::vector<uint64_t>{9};
  EXPECT_EQ(c, (std::vector<uint64_t>{9}));
}

TEST(ScratchVector, ThreadsKeepTheirOwnSpares) {
  const uint64_t* mine = left_behind(10);
  const uint64_t* theirs = nullptr;
  std::thread other([&] {
    Vec v;
    theirs = v.capacity() == 0 ? nullptr : v.data();
  });
  other.join();
  EXPECT_EQ(theirs, nullptr);
  Vec again;
  EXPECT_EQ(again.data(), mine);
}

}  // namespace
}  // namespace nodalis::opt
