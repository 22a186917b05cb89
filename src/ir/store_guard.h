// The store's lock guard, shared by the store operations and the DOT
// renderer: it refuses a poisoned store and poisons the store when a fault
// escapes while the lock is held, so no later call sees a half-done change.
#pragma once

#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "ir/fault.h"
#include "ir/graph_store.h"

namespace nodalis::ir {

class GraphStore::Guard {
 public:
  explicit Guard(const GraphStore& store) : store_(store), lock_(store.mu_) {
    if (store_.poisoned_) [[unlikely]] refuse_poisoned();
  }

  // Runs `work` under the lock. Running out of memory or past the 32-bit
  // limits is not a fault: every operation takes its memory and checks its
  // limits before it changes anything, so the store is still whole and stays
  // usable.
  template <class Work>
  decltype(auto) run(Work&& work) const {
    try {
      return std::forward<Work>(work)();
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const CapacityError&) {
      throw;
    } catch (...) {
      store_.poisoned_ = true;
      throw;
    }
  }

 private:
  // Out of line, so that the check costs every operation one compare only.
  [[noreturn, gnu::cold, gnu::noinline]] static void refuse_poisoned() {
    throw InternalFault(std::string(kStorePoisoned) + ": an earlier operation failed while holding it");
  }

  const GraphStore& store_;
  std::lock_guard<std::mutex> lock_;
};

}  // namespace nodalis::ir
