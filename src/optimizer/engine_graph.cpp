// Building engine graphs; the bounds checks here are what lets every consumer
// (engines, CSE, stage fusion) index children and outputs without checking.
#include "optimizer/engine_graph.h"

#include <algorithm>

#include "base/fault.h"

namespace nodalis::opt {

TextId OpTexts::append(std::string_view text) {
  if (roles_.size() >= 0xFFFFFFFEu) throw CapacityError("too many op texts in one reduction");
  if (starts_.empty()) starts_.push_back(0);
  arena_.insert(arena_.end(), text.begin(), text.end());
  starts_.push_back(arena_.size());
  is_op_.push_back(is_op_text(text) ? 1 : 0);
  roles_.push_back(rule_role(text));
  return static_cast<TextId>(roles_.size() - 1);
}

void OpTexts::reserve(size_t texts, size_t bytes) {
  arena_.reserve(bytes);
  starts_.reserve(texts + 1);
  is_op_.reserve(texts);
  roles_.reserve(texts);
}

EngineGraph::EngineGraph(std::shared_ptr<const OpTexts> texts) : texts_(std::move(texts)) {
  if (!texts_) throw InternalFault("engine graph without op texts");
  starts_.push_back(0);
}

void EngineGraph::make_room(size_t nodes, size_t children) {
  if (nodes > ops_.size()) {
    ops_.resize(nodes);
    opaque_.resize(nodes);
    starts_.resize(nodes + 1);
  }
  if (children > children_.size()) children_.resize(children);
}

void EngineGraph::reserve(size_t nodes, size_t children, size_t outputs) {
  outputs_.reserve(outputs);
  make_room(nodes, children);
}

// Only the array that ran out doubles: doubling both whenever either ran
// out made the node arrays grow with the product of the two growth counts.
void EngineGraph::grow(size_t children) {
  const size_t nodes = count_ < ops_.size() ? ops_.size() : std::max<size_t>(16, 2 * ops_.size());
  const size_t need = child_count_ + children;
  make_room(nodes, need <= children_.size() ? children_.size() : std::max({need, size_t{16}, 2 * children_.size()}));
}

void EngineGraph::refuse(TextId op, std::span<const EnginePos> children) const {
  const size_t pos = count_;
  if (pos >= 0xFFFFFFFFu) throw CapacityError("engine graph past 2^32 - 1 nodes");
  if (op >= texts_->size()) throw InternalFault("engine node names an unknown op text");
  for (EnginePos c : children)
    if (c >= pos) throw InternalFault("position out of range");
  throw InternalFault("engine node refused without a reason");
}

void EngineGraph::add_outputs(std::span<const uint64_t> positions) {
  for (uint64_t p : positions)
    if (p >= count_) refuse_output();
  outputs_.insert(outputs_.end(), positions.begin(), positions.end());
}

void EngineGraph::refuse_output() { throw InternalFault("position out of range"); }

}  // namespace nodalis::opt
