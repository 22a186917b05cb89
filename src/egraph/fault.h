// EngineFault: the one exception of the rewrite engine. It stands for a broken
// internal invariant that valid use never reaches; its text is what the binding
// layer shows as PanicException. Nothing in this layer aborts the process.
#pragma once

#include <stdexcept>
#include <string>

namespace nodalis::egraph {

class EngineFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace nodalis::egraph
