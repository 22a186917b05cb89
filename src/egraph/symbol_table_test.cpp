// The process-wide symbol table: identity of equal texts, lookups that do not
// insert, local symbols, and interning from several threads at once.
#include "egraph/symbol_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/fault.h"

namespace nodalis::egraph {
namespace {

TEST(SymbolTable, EqualTextsGiveEqualSymbolsAndTextsReadBack) {
  GlobalSymbol a = SymbolTable::intern("op|add");
  GlobalSymbol b = SymbolTable::intern(std::string("op|") + "add");
  GlobalSymbol c = SymbolTable::intern("op|add ");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_FALSE(a.is_local());
  EXPECT_EQ(SymbolTable::text(a), "op|add");
  EXPECT_EQ(SymbolTable::text(c), "op|add ");
  // Texts with embedded zero bytes and prefixes of one another stay apart.
  std::string z("a\0b", 3);
  EXPECT_NE(SymbolTable::intern(z), SymbolTable::intern("a"));
  EXPECT_EQ(SymbolTable::text(SymbolTable::intern(z)), z);
  EXPECT_EQ(SymbolTable::text(SymbolTable::intern("")), "");
}

TEST(SymbolTable, FindDoesNotInsert) {
  const std::string text = "symbol-table-test|never-interned-before";
  uint64_t before = SymbolTable::size();
  EXPECT_FALSE(SymbolTable::find(text).has_value());
  EXPECT_EQ(SymbolTable::size(), before);
  GlobalSymbol s = SymbolTable::intern(text);
  EXPECT_EQ(SymbolTable::size(), before + 1);
  ASSERT_TRUE(SymbolTable::find(text).has_value());
  EXPECT_EQ(*SymbolTable::find(text), s);
}

TEST(SymbolTable, LocalSymbolsNeverCollideWithInterned) {
  GlobalSymbol l0 = GlobalSymbol::local(0);
  GlobalSymbol l7 = GlobalSymbol::local(7);
  EXPECT_TRUE(l0.is_local());
  EXPECT_NE(l0, l7);
  EXPECT_EQ(l7, GlobalSymbol::local(7));
  GlobalSymbol interned = SymbolTable::intern("local-test");
  EXPECT_NE(interned.raw(), l0.raw());
  EXPECT_LT(interned, l0);  // interned values sit below the local range
  EXPECT_THROW(SymbolTable::text(l0), InternalFault);
  EXPECT_EQ(SymbolTable::display(l7), "#local7");
  EXPECT_THROW(GlobalSymbol::local(GlobalSymbol::kMaxLocal + 1), InternalFault);
  EXPECT_THROW(SymbolTable::text(GlobalSymbol::from_raw(0x7ffffff0u)), InternalFault);
}

TEST(SymbolTable, ManyThreadsAgreeOnEverySymbol) {
  constexpr int kThreads = 6;
  constexpr int kTexts = 3001;  // prime, so every stride below is a permutation
  std::vector<std::vector<GlobalSymbol>> seen(kThreads, std::vector<GlobalSymbol>(kTexts));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      // Each thread walks the texts in its own order so that inserts race.
      for (int k = 0; k < kTexts; ++k) {
        int i = (k * (2 * t + 1) + t * 17) % kTexts;
        seen[t][i] = SymbolTable::intern("threaded|" + std::to_string(i));
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<uint32_t> distinct;
  for (int i = 0; i < kTexts; ++i) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][i], seen[0][i]) << i;
    distinct.insert(seen[0][i].raw());
    ASSERT_EQ(SymbolTable::text(seen[0][i]), "threaded|" + std::to_string(i));
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kTexts));
}

}  // namespace
}  // namespace nodalis::egraph
