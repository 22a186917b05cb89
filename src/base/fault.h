// Exceptions of the core. Expected failures are values (Result); these are for
// what valid use never reaches. The binding layer turns InternalFault (and any
// other std::exception but the two below) into PanicException.
#pragma once

#include <stdexcept>
#include <string>

namespace nodalis {

// A broken internal invariant; the text is what Python sees.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A value too large for the fixed-width encodings (a string, list or store of
// 2^32 entries or more). Raised before anything is changed; the binding layer
// maps it to OverflowError.
class CapacityError : public std::length_error {
 public:
  using std::length_error::length_error;
};

}  // namespace nodalis
