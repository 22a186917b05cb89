// The process-wide intern table: 16 shards, each an open-addressing table of
// indexes into its own list of texts, behind its own mutex. Texts are copied
// into blocks that are never freed, so a returned view stays valid forever.
#include "egraph/symbol_table.h"

#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "base/fault.h"
#include "base/hash.h"

namespace nodalis::egraph {
namespace {

constexpr uint32_t kShardBits = 4;
constexpr uint32_t kShards = 1u << kShardBits;
// Interned values are (index << 4) | shard and must stay below the local range.
constexpr uint64_t kMaxPerShard = uint64_t{1} << (31 - kShardBits);
constexpr size_t kBlockBytes = 64 * 1024;

class Shard {
 public:
  // Index of `text` in this shard, inserting when `insert` is set.
  std::optional<uint32_t> get(std::string_view text, uint64_t hash, bool insert) {
    std::lock_guard<std::mutex> lock(mu_);
    uint32_t tag = static_cast<uint32_t>(hash);
    if (!slots_.empty()) {
      size_t mask = slots_.size() - 1;
      for (size_t pos = hash & mask;; pos = (pos + 1) & mask) {
        const Slot& s = slots_[pos];
        if (s.index_plus1 == 0) break;
        if (s.tag == tag && texts_[s.index_plus1 - 1] == text) return s.index_plus1 - 1;
      }
    }
    if (!insert) return std::nullopt;
    if (texts_.size() >= kMaxPerShard) throw InternalFault("symbol table is full");
    if ((texts_.size() + 1) * 4 > slots_.size() * 3) grow();
    uint32_t index = static_cast<uint32_t>(texts_.size());
    texts_.push_back(store(text));
    place(Slot{tag, index + 1}, hash);
    return index;
  }

  std::optional<std::string_view> text(uint32_t index) {
    std::lock_guard<std::mutex> lock(mu_);
    if (index >= texts_.size()) return std::nullopt;
    return texts_[index];
  }

  uint64_t size() {
    std::lock_guard<std::mutex> lock(mu_);
    return texts_.size();
  }

 private:
  struct Slot {
    uint32_t tag;          // low bits of the text's hash
    uint32_t index_plus1;  // 0 marks an empty slot
  };

  std::string_view store(std::string_view text) {
    if (text.size() > kBlockBytes / 4) {
      // Large texts get a block of their own, so blocks stay well used.
      blocks_.push_back(std::make_unique<char[]>(text.size() + 1));
      char* p = blocks_.back().get();
      std::copy(text.begin(), text.end(), p);
      return {p, text.size()};
    }
    if (left_ < text.size() || !cur_) {
      // Not zeroed: only the bytes texts are copied to are ever read, and
      // zeroing a block per shard touched all of their pages, which made a
      // process's first reduction of a small graph several times slower.
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockBytes));
      cur_ = blocks_.back().get();
      left_ = kBlockBytes;
    }
    char* p = cur_;
    std::copy(text.begin(), text.end(), p);
    cur_ += text.size();
    left_ -= text.size();
    return {p, text.size()};
  }

  void place(Slot slot, uint64_t hash) {
    size_t mask = slots_.size() - 1;
    size_t pos = hash & mask;
    while (slots_[pos].index_plus1 != 0) pos = (pos + 1) & mask;
    slots_[pos] = slot;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{0, 0});
    for (const Slot& s : old) {
      if (s.index_plus1 != 0) place(s, fx_bytes(texts_[s.index_plus1 - 1]) >> kShardBits);
    }
  }

  std::mutex mu_;
  std::vector<Slot> slots_;
  std::vector<std::string_view> texts_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* cur_ = nullptr;
  size_t left_ = 0;
};

// Never destroyed: a thread may still intern while static destructors run,
// and the texts must outlive every symbol anyway.
std::array<Shard, kShards>& shards() {
  static auto* table = new std::array<Shard, kShards>();
  return *table;
}

}  // namespace

GlobalSymbol GlobalSymbol::local(uint32_t n) {
  if (n > kMaxLocal) throw InternalFault("local symbol number out of range: " + std::to_string(n));
  return GlobalSymbol(kLocalBit | n);
}

GlobalSymbol SymbolTable::intern(std::string_view text) {
  uint64_t hash = fx_bytes(text);
  uint32_t shard = static_cast<uint32_t>(hash & (kShards - 1));
  uint32_t index = *shards()[shard].get(text, hash >> kShardBits, true);
  return GlobalSymbol::from_raw((index << kShardBits) | shard);
}

std::optional<GlobalSymbol> SymbolTable::find(std::string_view text) {
  uint64_t hash = fx_bytes(text);
  uint32_t shard = static_cast<uint32_t>(hash & (kShards - 1));
  auto index = shards()[shard].get(text, hash >> kShardBits, false);
  if (!index) return std::nullopt;
  return GlobalSymbol::from_raw((*index << kShardBits) | shard);
}

std::string_view SymbolTable::text(GlobalSymbol symbol) {
  if (symbol.is_local()) {
    throw InternalFault("local symbol " + std::to_string(symbol.raw() & GlobalSymbol::kMaxLocal) +
                      " has no interned text");
  }
  auto text = shards()[symbol.raw() & (kShards - 1)].text(symbol.raw() >> kShardBits);
  if (!text) throw InternalFault("symbol " + std::to_string(symbol.raw()) + " was never interned");
  return *text;
}

std::string SymbolTable::display(GlobalSymbol symbol) {
  if (symbol.is_local()) return "#local" + std::to_string(symbol.raw() & GlobalSymbol::kMaxLocal);
  return std::string(text(symbol));
}

uint64_t SymbolTable::size() {
  uint64_t total = 0;
  for (Shard& s : shards()) total += s.size();
  return total;
}

}  // namespace nodalis::egraph
