// OpIndex: which root classes hold a node of a given symbol, as one sorted
// array of (symbol, class) pairs. A search of a pattern rooted at symbol S
// visits only S's run, so its cost follows the candidates, not the graph.
// Refreshed by each rebuild from the classes that rebuild touched.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "egraph/id.h"
#include "egraph/symbol_table.h"
#include "egraph/union_find.h"

namespace nodalis::egraph {

class OpIndex {
 public:
  // The class ids listed under one symbol, ascending.
  class Range {
   public:
    class Iterator {
     public:
      explicit Iterator(const uint64_t* p) noexcept : p_(p) {}
      Id operator*() const noexcept { return static_cast<Id>(*p_); }
      Iterator& operator++() noexcept {
        ++p_;
        return *this;
      }
      bool operator==(const Iterator&) const noexcept = default;

     private:
      const uint64_t* p_;
    };
    Range(const uint64_t* b, const uint64_t* e) noexcept : b_(b), e_(e) {}
    Iterator begin() const noexcept { return Iterator(b_); }
    Iterator end() const noexcept { return Iterator(e_); }
    size_t size() const noexcept { return static_cast<size_t>(e_ - b_); }
    Id operator[](size_t k) const noexcept { return static_cast<Id>(b_[k]); }
    bool empty() const noexcept { return b_ == e_; }

   private:
    const uint64_t* b_;
    const uint64_t* e_;
  };

  static uint64_t entry(GlobalSymbol op, Id id) noexcept { return (uint64_t{op.raw()} << 32) | id; }

  Range classes_with_op(GlobalSymbol op) const noexcept {
    uint64_t lo = entry(op, 0);
    uint64_t hi = entry(op, UINT32_MAX);
    auto b = std::lower_bound(entries_.begin(), entries_.end(), lo);
    auto e = std::upper_bound(b, entries_.end(), hi);
    return Range(entries_.data() + (b - entries_.begin()), entries_.data() + (e - entries_.begin()));
  }

  size_t size() const noexcept { return entries_.size(); }
  // Empty, keeping the room.
  void clear() noexcept {
    entries_.clear();
    scratch_.clear();
  }
  bool empty() const noexcept { return entries_.empty(); }

  // `fresh` holds the pairs of the classes a rebuild touched, generated in
  // ascending class order with distinct symbols per class. Entries of classes
  // that are no longer roots are dropped, and pairs present in both lists are
  // kept once. `fresh` is used as scratch.
  void refresh(std::vector<uint64_t>& fresh, const UnionFind& uf);

 private:
  static constexpr size_t kKeptScratch = 4096;

  std::vector<uint64_t> entries_;  // ascending, (symbol << 32) | class
  std::vector<uint64_t> scratch_;
};

}  // namespace nodalis::egraph
