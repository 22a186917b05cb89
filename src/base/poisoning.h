// The poisoning rule of every lock-holding object (the store, the locked
// reducer): a fault that escapes while the lock is held leaves the object
// possibly half changed, so it is marked poisoned and refuses later calls.
#pragma once

#include <new>
#include <utility>

#include "base/fault.h"

namespace nodalis {

// Runs `work` (under the caller's lock) and sets `poisoned` when anything
// but these two escapes it: running out of memory or past the 32-bit limits
// is no fault, because every operation takes its memory and checks its limits
// before it changes anything, so the object is still whole and stays usable.
template <class Work>
decltype(auto) run_poisoning(bool& poisoned, Work&& work) {
  try {
    return std::forward<Work>(work)();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const CapacityError&) {
    throw;
  } catch (...) {
    poisoned = true;
    throw;
  }
}

}  // namespace nodalis
