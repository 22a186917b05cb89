// Building engine graphs; the bounds checks here are what lets every consumer
// (engines, CSE, stage fusion) index children and outputs without checking.
#include "optimizer/engine_graph.h"

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
}

void EngineGraph::reserve(size_t nodes, size_t children, size_t outputs) {
  outputs_.reserve(outputs);
  ops_.reserve(nodes);
  opaque_.reserve(nodes);
  starts_.reserve(nodes + 1);
  children_.reserve(children);
}

EnginePos EngineGraph::add_node(TextId op, std::span<const EnginePos> children) {
  if (op >= texts_->size()) throw InternalFault("engine node names an unknown op text");
  return add_node(op, children, !texts_->is_op(op));
}

EnginePos EngineGraph::add_node(TextId op, std::span<const EnginePos> children, bool opaque) {
  const size_t pos = ops_.size();
  if (pos >= 0xFFFFFFFFu) throw CapacityError("engine graph past 2^32 - 1 nodes");
  if (op >= texts_->size()) throw InternalFault("engine node names an unknown op text");
  for (EnginePos c : children)
    if (c >= pos) throw InternalFault("position out of range");
  if (starts_.empty()) starts_.push_back(0);
  children_.insert(children_.end(), children.begin(), children.end());
  starts_.push_back(children_.size());
  ops_.push_back(op);
  opaque_.push_back(opaque ? 1 : 0);
  return static_cast<EnginePos>(pos);
}

void EngineGraph::add_output(EnginePos pos) {
  if (pos >= ops_.size()) throw InternalFault("position out of range");
  outputs_.push_back(pos);
}

}  // namespace nodalis::opt
