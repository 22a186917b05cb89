// Parameter maps between Python dicts and the IR: the general conversion,
// the stack-only path of a node record's params, and the dicts nodes() shows.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <span>

#include "ir/node_record.h"
#include "ir/param_map.h"
#include "python/object_lock.h"

namespace nodalis::py {

// Buffers for converting one params dict: the builder, its encoding and the
// Python objects whose text the builder borrows. Each conversion holds one for
// as long as it uses the resulting map view. The calling thread's buffers are
// reused from call to call and taken only when a non-empty dict comes; a
// conversion that starts while they are lent (one reentered from an __index__
// or __float__ method) gets fresh ones.
class ParamScratch {
 public:
  ParamScratch() noexcept;
  ~ParamScratch();
  ParamScratch(const ParamScratch&) = delete;
  ParamScratch& operator=(const ParamScratch&) = delete;

  // Whether the map that params_from_py made holds a float NaN.
  bool has_nan() const noexcept;

  struct Buffers;

 private:
  friend bool params_from_py(PyObject*, ParamScratch&, ir::ParamMapView&);
  Buffers& buffers();
  Buffers* buffers_ = nullptr;
  std::unique_ptr<Buffers> own_;
};

// None (or null) gives the empty map; a dict (or subclass) from str to int,
// float, bool or str gives its entries sorted by key. The view points into
// `scratch`. TypeError "params must be a dict or None" / "param values must
// be int, float, bool, or str"; a non-str key raises the str conversion's
// error as it is.
bool params_from_py(PyObject* params, ParamScratch& scratch, ir::ParamMapView& out);
// A params argument on its way into a node record. The common dict (a few
// str keys, values of exact builtin types) becomes entries on the stack that
// borrow the dict's text, with no Python code run; any other goes through
// params_from_py. Convert params last: the borrowed text must not change
// before to_write().
class RecordParams {
 public:
  RecordParams() noexcept {}  // leaves the entries unset: only count_ of them are read
  // params_from_py's rules and errors.
  bool convert(PyObject* params);
  // The map for a record builder, which sorts and encodes it.
  ir::ParamsToWrite to_write() noexcept {
    if (small_) return ir::ParamsToWrite(std::span<ir::ParamEntryRef>(entries_, count_));
    return ir::ParamsToWrite(view_, scratch_->has_nan());
  }

 private:
  static constexpr size_t kSmall = 8;
  union {
    ir::ParamEntryRef entries_[kSmall];
  };
  size_t count_ = 0;
  bool small_ = true;
  std::optional<ObjectLock> lock_;       // the dict's, on interpreters without a GIL
  std::optional<ParamScratch> scratch_;  // only for the general path
  ir::ParamMapView view_;
};

class StrCache;
// A new dict with the map's entries in stored order; keys and string values
// come from `strs` when one is given.
PyObject* params_to_py(ir::ParamMapView map, StrCache* strs = nullptr);

}  // namespace nodalis::py
