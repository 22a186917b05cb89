// Conversions between Python values and the IR's values (names, node ids,
// parameter maps, payload descriptors), with the exceptions each failure
// raises. Every building, query and reduction method converts through here.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ir/bad_node_id.h"
#include "ir/node_key.h"
#include "ir/node_record.h"
#include "ir/param_map.h"
#include "ir/payload_descriptor.h"

namespace nodalis::py {

// ---- arguments -------------------------------------------------------------

// If the pending error is a TypeError, replaces it by a TypeError
// "argument '<param>': <message>" caused by the original; any other error is
// left as it is. Always returns false, so a failed conversion can end with
// `return argument_error("inputs");`.
bool argument_error(const char* param) noexcept;

// ---- text ------------------------------------------------------------------

// The UTF-8 text of a str (or str subclass), borrowed from the object: valid
// while the object lives. TypeError "expected str, not int" for a non-str,
// UnicodeEncodeError for an unpaired surrogate.
bool str_from_py(PyObject* o, std::string_view& out);
bool str_from_py(PyObject* o, std::string& out);
// str_from_py with the argument prefix on a TypeError.
bool str_arg(const char* param, PyObject* o, std::string_view& out);

// A new str from UTF-8 text held by the IR.
PyObject* str_to_py(std::string_view text);

// ---- flags and bytes ----------------------------------------------------------

// A flag such as maximal_fusion: absent or None is false, otherwise only a
// bool is accepted; TypeError "argument '<param>': expected bool, not int".
bool bool_arg(const char* param, PyObject* o, bool& out);
// A bytes object (or subclass), borrowed: valid while `o` lives; TypeError
// "argument '<param>': expected bytes, not bytearray" otherwise.
bool bytes_arg(const char* param, PyObject* o, std::string_view& out);

// ---- node ids --------------------------------------------------------------

// A list of node ids; short lists (nearly all of them) stay inline.
class NodeIds {
 public:
  void push(ir::NodeId id) {
    if (n_ < kInline && heap_.empty())
      inline_[n_++] = id;
    else
      spill(id);
  }
  void clear() noexcept {
    n_ = 0;
    heap_.clear();
  }
  size_t size() const noexcept { return heap_.empty() ? n_ : heap_.size(); }
  std::span<const ir::NodeId> span() const noexcept {
    return heap_.empty() ? std::span<const ir::NodeId>(inline_, n_)
                         : std::span<const ir::NodeId>(heap_);
  }
  std::vector<ir::NodeId> to_vector() const { return {span().begin(), span().end()}; }

 private:
  void spill(ir::NodeId id);
  static constexpr size_t kInline = 8;
  ir::NodeId inline_[kInline];
  size_t n_ = 0;
  std::vector<ir::NodeId> heap_;
};

// Any sequence but a str, of ints in [0, 2^64) or objects with __index__.
// TypeError "Can't extract `str` to `Vec`" for a str, TypeError for a
// non-sequence or a non-integer item, OverflowError for an id out of range.
bool ids_from_py(PyObject* o, NodeIds& out);
// ids_from_py with the argument prefix on a TypeError.
bool ids_arg(const char* param, PyObject* o, NodeIds& out);

PyObject* id_to_py(ir::NodeId id);
PyObject* ids_to_py(std::span<const ir::NodeId> ids);
PyObject* ids_to_py(const ir::InputsView& ids);

// ValueError "no node with id N"; returns null so that callers can
// `return raise_bad_node_id(r.error());`.
PyObject* raise_bad_node_id(const ir::BadNodeId& error);

// ---- parameter maps --------------------------------------------------------

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
  std::optional<ParamScratch> scratch_;  // only for the general path
  ir::ParamMapView view_;
};

class StrCache;
// A new dict with the map's entries in stored order; keys and string values
// come from `strs` when one is given.
PyObject* params_to_py(ir::ParamMapView map, StrCache* strs = nullptr);

// ---- payload descriptors ---------------------------------------------------

// A PayloadDescriptor object (copied) or a dict with the six fields.
// TypeError "descriptor must be a PayloadDescriptor or dict", ValueError
// "descriptor missing required field 'kind'", or the str conversion's error.
bool descriptor_from_py(PyObject* o, ir::PayloadDescriptor& out);
// A new dict with the six fields, "preprocessing_ref" None when absent.
PyObject* descriptor_to_py(const ir::PayloadDescriptorView& d);

}  // namespace nodalis::py
