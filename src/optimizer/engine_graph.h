// EngineGraph: the hand-over format between the reduction pipeline and a
// rewrite engine. A flat, topologically ordered node list in which each node
// is an op text and the positions of its children. Texts are held once per
// reduction in an OpTexts table and nodes name them by TextId, so a million
// nodes cost no million strings; equal ids mean the same symbol for the engine.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "optimizer/rule_texts.h"
#include "optimizer/scratch_vector.h"

namespace nodalis::opt {

using TextId = uint32_t;
using EnginePos = uint32_t;

// The op texts of one reduction. Two entries may carry the same text: that is
// how opaque nodes whose tokens collide stay apart (they are different
// symbols). An entry's text, op flag and rule role never change.
class OpTexts {
 public:
  TextId size() const noexcept { return static_cast<TextId>(roles_.size()); }
  std::string_view text(TextId id) const noexcept {
    return std::string_view(arena_.data() + starts_[id], starts_[id + 1] - starts_[id]);
  }
  bool is_op(TextId id) const noexcept { return is_op_[id] != 0; }
  RuleRole role(TextId id) const noexcept { return roles_[id]; }
  // A new entry (never merged with an equal text).
  TextId append(std::string_view text);
  void reserve(size_t texts, size_t bytes);

 private:
  ScratchVector<char> arena_;
  ScratchVector<uint64_t> starts_;  // starts_[id] .. starts_[id + 1]; empty without texts
  ScratchVector<uint8_t> is_op_;
  ScratchVector<RuleRole> roles_;
};

// One node, as a view into its graph.
struct EngineNode {
  TextId op;
  std::span<const EnginePos> children;
  bool opaque;
};

class EngineGraph {
 public:
  explicit EngineGraph(std::shared_ptr<const OpTexts> texts);

  void reserve(size_t nodes, size_t children, size_t outputs = 0);
  // Appends a node; every child must be an earlier position (else an internal
  // fault, "position out of range"). `opaque` defaults to what the text says.
  // Inline, with one test for every check and for room: each pass adds all
  // its nodes here, so the common case is a few stores.
  [[gnu::always_inline]] EnginePos add_node(TextId op, std::span<const EnginePos> children) {
    if (op >= texts_->size()) refuse(op, children);
    return add_node(op, children, !texts_->is_op(op));
  }
  [[gnu::always_inline]] EnginePos add_node(TextId op, std::span<const EnginePos> children, bool opaque) {
    const size_t pos = count_;
    if (pos >= 0xFFFFFFFFu || op >= texts_->size()) [[unlikely]] refuse(op, children);
    if (pos == ops_.size() || children_.size() - child_count_ < children.size()) [[unlikely]]
      grow(children.size());
    // The children are checked as they are copied: a refused node leaves
    // them past child_count_, in room no node owns.
    EnginePos* out = children_.data() + child_count_;
    bool fits = true;
    for (EnginePos c : children) {
      fits &= c < pos;
      *out++ = c;
    }
    if (!fits) [[unlikely]] refuse(op, children);
    child_count_ += children.size();
    starts_[pos + 1] = child_count_;
    ops_[pos] = op;
    opaque_[pos] = opaque ? 1 : 0;
    count_ = pos + 1;
    return static_cast<EnginePos>(pos);
  }
  // Must be an existing node. Inline: a graph may have as many outputs as nodes.
  void add_output(EnginePos pos) {
    if (pos >= count_) [[unlikely]] refuse_output();
    outputs_.push_back(pos);
  }
  // add_output for each, in order, as one call: a graph may have as many
  // outputs as nodes, and a call per output is not always inlined.
  void add_outputs(std::span<const uint64_t> positions);

  size_t size() const noexcept { return count_; }
  EngineNode node(EnginePos i) const noexcept { return {ops_[i], children(i), opaque_[i] != 0}; }
  TextId op(EnginePos i) const noexcept { return ops_[i]; }
  std::string_view op_text(EnginePos i) const noexcept { return texts_->text(ops_[i]); }
  bool opaque(EnginePos i) const noexcept { return opaque_[i] != 0; }
  std::span<const EnginePos> children(EnginePos i) const noexcept {
    return {children_.data() + starts_[i], children_.data() + starts_[i + 1]};
  }
  size_t child_count() const noexcept { return child_count_; }
  // Nodes and children the arrays have room for: what the graph holds in memory.
  std::pair<size_t, size_t> room() const noexcept { return {ops_.size(), children_.size()}; }
  const std::vector<EnginePos>& outputs() const noexcept { return outputs_; }

  // Its maker's word that no two of the nodes so far are equal (same op,
  // same children), for a maker that knows it by construction: CSE then
  // skips its scan for equal nodes. A node added after the word voids it.
  void vouch_distinct() noexcept { vouched_count_ = count_; }
  bool vouched_distinct() const noexcept { return vouched_count_ == count_; }

  const OpTexts& texts() const noexcept { return *texts_; }
  const std::shared_ptr<const OpTexts>& shared_texts() const noexcept { return texts_; }

 private:
  // The fault add_node raises for a node it refuses.
  [[noreturn]] void refuse(TextId op, std::span<const EnginePos> children) const;
  [[noreturn]] static void refuse_output();
  // Room for one more node with `children` more children, at least.
  void grow(size_t children);
  void make_room(size_t nodes, size_t children);

  std::shared_ptr<const OpTexts> texts_;
  // The arrays below are room, sized ahead; the first count_ nodes (and
  // child_count_ children) are the graph.
  size_t count_ = 0;
  size_t child_count_ = 0;
  size_t vouched_count_ = ~size_t{0};  // count_ when vouch_distinct was called
  ScratchRoom<TextId> ops_;
  ScratchRoom<uint8_t> opaque_;
  ScratchRoom<uint64_t> starts_;  // children of i: starts_[i] .. starts_[i + 1]; starts_[0] = 0
  ScratchRoom<EnginePos> children_;
  ScratchVector<EnginePos> outputs_;
};

}  // namespace nodalis::opt
