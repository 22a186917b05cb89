// The store's lock guard, shared by the store operations and the DOT
// renderer: it refuses a poisoned store and poisons the store when a fault
// escapes while the lock is held, so no later call sees a half-done change.
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "base/fault.h"
#include "base/poisoning.h"
#include "ir/graph_store.h"

namespace nodalis::ir {

class GraphStore::Guard {
 public:
  explicit Guard(const GraphStore& store) : store_(store), lock_(store.mu_) {
    if (store_.poisoned_) [[unlikely]] refuse_poisoned();
  }

  // Runs `work` under the lock, by the poisoning rule of run_poisoning.
  template <class Work>
  decltype(auto) run(Work&& work) const {
    return run_poisoning(store_.poisoned_, std::forward<Work>(work));
  }

 private:
  // Out of line, so that the check costs every operation one compare only.
  [[noreturn, gnu::cold, gnu::noinline]] static void refuse_poisoned() {
    throw InternalFault(std::string(kStorePoisoned) + ": an earlier operation failed while holding it");
  }

  const GraphStore& store_;
  std::lock_guard<StoreLock> lock_;
};

}  // namespace nodalis::ir
