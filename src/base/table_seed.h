// Seeds for every in-memory hash table (interning tables and the optimizer's
// per-call maps). Keys are texts and values callers control, so each table
// gets its own seed; drawing it from the system per table would cost more
// than building a small store, so the draw happens once per process.
#pragma once

#include <cstdint>

namespace nodalis {

// A seed no other table of this process has had: one random draw per
// process, stepped by a counter and mixed, so tables stay distinct.
uint64_t table_seed() noexcept;

}  // namespace nodalis
