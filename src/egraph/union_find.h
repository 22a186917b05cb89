// UnionFind: one 32-bit parent entry per issued Id in a flat array. add and
// lookup use the plain walk, which never writes, so they can run on a const
// e-graph; unions and rebuilds use path halving.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/fault.h"
#include "egraph/id.h"

namespace nodalis::egraph {

class UnionFind {
 public:
  size_t size() const noexcept { return parents_.size(); }
  void reserve(size_t n) { parents_.reserve(n); }
  // Forgets every id, keeping the room.
  void clear() noexcept { parents_.clear(); }

  Id make_set() {
    // The top value stays free so that no caller ever sees an id equal to
    // the "none" marker some tables use.
    if (parents_.size() >= uint64_t{UINT32_MAX}) throw InternalFault("e-class ids exhausted");
    Id id = static_cast<Id>(parents_.size());
    parents_.push_back(id);
    return id;
  }

  Id parent(Id id) const noexcept { return parents_[id]; }
  bool is_root(Id id) const noexcept { return parents_[id] == id; }

  // Plain walk: no writes.
  Id find(Id id) const noexcept {
    while (parents_[id] != id) id = parents_[id];
    return id;
  }

  // Path halving: each visited entry skips to its grandparent, and the walk
  // continues from there.
  Id find_mut(Id id) noexcept {
    while (parents_[id] != id) {
      Id grand = parents_[parents_[id]];
      parents_[id] = grand;
      id = grand;
    }
    return id;
  }

  void set_parent(Id id, Id root) noexcept { parents_[id] = root; }
  // Asks for the entry of `id` to be fetched (ids never issued are ignored).
  void prefetch(Id id) const noexcept {
    if (id < parents_.size()) __builtin_prefetch(parents_.data() + id);
  }

  // The message ids out of range get, wherever a caller hands one in. Every
  // add and merge checks each id it is given, so the test stays inline and
  // the message is built out of line.
  void check(Id id) const {
    if (id >= parents_.size()) [[unlikely]] out_of_range(id, parents_.size());
  }

 private:
  [[noreturn, gnu::cold, gnu::noinline]] static void out_of_range(Id id, size_t len) {
    throw InternalFault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                        std::to_string(id));
  }

  std::vector<Id> parents_;
};

}  // namespace nodalis::egraph
