// TokenTable: the engine text of every live node and, per text, the first live
// node that has it, through which opaque engine nodes become IR nodes again.
// Tokens are not injective for every kind (a stage's token is only its member
// count, an external's splices its descriptor texts in unescaped), so an
// opaque node whose token is already taken by a node of other content gets an
// entry of its own with the same text: the engine sees two symbols and each
// comes back as the node it was made from.
// Entered keys are borrowed, not copied: a copy would count a reference up
// and down again for every distinct content, while the node list a pipeline
// reads outlives its table anyway.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ir/node_key.h"
#include "ir/token_escape.h"
#include "optimizer/engine_graph.h"
#include "optimizer/flat_index.h"
#include "optimizer/scratch_vector.h"

namespace nodalis::opt {

class TokenTable {
 public:
  // Room as reserve(expected_nodes) gives.
  explicit TokenTable(size_t expected_nodes);

  // Room for the distinct contents and texts of a graph of `nodes` nodes,
  // up to the few hundred that most graphs stay within, so that entering
  // them does not regrow the tables every few entries.
  void reserve(size_t nodes);

  // The engine text of `key`: the existing entry of its token (for an opaque
  // node, the one whose node equals `key` apart from inputs), else a new one.
  // `key` must outlive the table.
  TextId enter(const ir::NodeKey& key);

  // The first node entered with that text; an internal fault for an unknown id.
  // Nodes equal apart from inputs always get the same text.
  const ir::NodeKey& key_of(TextId id) const;
  const OpTexts& texts() const noexcept { return *texts_; }
  std::shared_ptr<const OpTexts> shared_texts() const noexcept { return texts_; }

 private:
  TextId enter_token(const ir::NodeKey& key);

  std::shared_ptr<OpTexts> texts_;
  ScratchVector<const ir::NodeKey*> keys_;  // by TextId
  FlatIndex index_;                       // TextIds by token text
  // Most nodes share their content (all but the inputs) with an earlier node;
  // finding that one by its bytes is cheaper than building the token again.
  ScratchVector<std::string_view> contents_;  // content bytes of the borrowed keys
  ScratchVector<TextId> content_texts_;
  ScratchVector<ir::NodeKind> content_kinds_;  // beside the bytes: no key is read to compare
  FlatIndex content_index_;  // positions in contents_ by content bytes
  uint64_t seed_;
  ir::TokenOut scratch_;
};

}  // namespace nodalis::opt
