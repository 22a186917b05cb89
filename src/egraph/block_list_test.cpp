// BlockList: appends through its cursor land where indexing finds them, across
// block boundaries, after its elements are forgotten (the blocks kept) and
// after the list is moved or swapped.
#include "egraph/block_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

namespace nodalis::egraph {
namespace {

using List = BlockList<uint64_t>;
constexpr size_t kPastOneBlock = List::kBlock + 5;

void append(List& list, size_t count, uint64_t tag) {
  for (size_t k = 0; k < count; ++k) list.push_back(tag + k);
}

void expect_holds(const List& list, size_t count, uint64_t tag) {
  ASSERT_EQ(list.size(), count);
  for (size_t k = 0; k < count; ++k) ASSERT_EQ(list[k], tag + k) << "at " << k;
}

TEST(BlockList, ForgottenElementsAreOverwrittenFromTheFirstBlock) {
  List list;
  append(list, kPastOneBlock, 0);
  list.forget_elements();
  append(list, kPastOneBlock + List::kBlock, 1000000);
  expect_holds(list, kPastOneBlock + List::kBlock, 1000000);
}

TEST(BlockList, MovedAndSwappedListsAppendWhereTheyLeftOff) {
  List a;
  append(a, kPastOneBlock, 0);
  List b(std::move(a));
  EXPECT_EQ(a.size(), 0u);
  append(a, 3, 500);
  append(b, 10, kPastOneBlock);
  expect_holds(a, 3, 500);
  expect_holds(b, kPastOneBlock + 10, 0);

  swap(a, b);
  append(a, List::kBlock, kPastOneBlock + 10);
  append(b, 2, 503);
  expect_holds(a, kPastOneBlock + 10 + List::kBlock, 0);
  expect_holds(b, 5, 500);

  b = std::move(a);
  append(a, 2, 7);
  append(b, 1, kPastOneBlock + 10 + List::kBlock);
  expect_holds(a, 2, 7);
  expect_holds(b, kPastOneBlock + 11 + List::kBlock, 0);
}

}  // namespace
}  // namespace nodalis::egraph
