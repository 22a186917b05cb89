// The probing design of the store's interning table (InternIndex; the
// e-graph's memo keeps whole short nodes in its slots and probes them
// itself): open addressing with linear probing over power-of-two
// capacities, and one control byte per slot in an array of its own (0 for
// empty, else 8 bits of the key's hash, a 0 among them read as 1). A probe
// for a key that is not there, which is what every insert of a new key does,
// almost always reads only control bytes, an array far smaller than the slots and far
// likelier to be in cache.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nodalis::control {

inline constexpr uint8_t kEmpty = 0;

// The control byte of a key whose hash has `hash_hi` as its high 32 bits.
// All 8 bits rather than a flag and 7: a probe past a full slot compares
// keys on one match in 255 instead of one in 128, and in a big store that
// compare is two or three cache misses (the id, the node, the key).
inline uint8_t mark(uint32_t hash_hi) noexcept {
  const auto bits = static_cast<uint8_t>(hash_hi);
  return static_cast<uint8_t>(bits | (bits == 0));
}

// Home slot: the high hash bits scaled onto the capacity. The scaling keeps
// slots in hash order, so growth that walks the old table front to back
// writes the new one front to back too.
inline size_t home(uint32_t hash_hi, size_t capacity) noexcept {
  return static_cast<size_t>((static_cast<uint64_t>(hash_hi) * capacity) >> 32);
}

struct Probe {
  size_t slot;  // the key's slot, or the empty slot where it would go
  bool found;
};

// Probes from the home slot of `hash_hi`; `same(slot)` is asked only where
// the control byte matches. `capacity` must be non-zero, with an empty slot.
template <class Same>
inline Probe probe(const uint8_t* ctrl, size_t capacity, uint32_t hash_hi, Same&& same) {
  const uint8_t m = mark(hash_hi);
  const size_t mask = capacity - 1;
  for (size_t i = home(hash_hi, capacity);; i = (i + 1) & mask) {
    const uint8_t c = ctrl[i];
    if (c == kEmpty) return {i, false};
    if (c == m && same(i)) return {i, true};
  }
}

// The empty slot a key known to be absent takes.
inline size_t free_slot(const uint8_t* ctrl, size_t capacity, uint32_t hash_hi) noexcept {
  const size_t mask = capacity - 1;
  size_t i = home(hash_hi, capacity);
  while (ctrl[i] != kEmpty) i = (i + 1) & mask;
  return i;
}

// What first_free_slot answers when the common case does not hold.
inline constexpr size_t kProbeFurther = ~size_t{0};

// The empty slot a probe for `hash_hi` ends at, when it is among the 16
// slots from the home one and no control byte before it matches the key's; else
// kProbeFurther, for the full probe. A probe loop of varying length
// mispredicts its exit about once per key; a caller placing many keys at
// once decides the common case on one 16-byte load without a loop.
inline size_t first_free_slot(const uint8_t* ctrl, size_t capacity, uint32_t hash_hi) noexcept {
#if defined(__SSE2__)
  const size_t home_slot = home(hash_hi, capacity);
  if (home_slot + 16 > capacity) return kProbeFurther;
  const __m128i group = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ctrl + home_slot));
  const auto empty = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(group, _mm_setzero_si128())));
  const auto same = static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(group, _mm_set1_epi8(static_cast<char>(mark(hash_hi))))));
  if (empty == 0 || (same & ((empty & (0u - empty)) - 1)) != 0) return kProbeFurther;
  return home_slot + static_cast<size_t>(std::countr_zero(empty));
#else
  (void)ctrl, (void)capacity, (void)hash_hi;
  return kProbeFurther;
#endif
}

}  // namespace nodalis::control
