// What the fuzzy search knows about each subtree of the keyword trie, built
// on demand and cached by the processor until its keywords change.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/keyword_trie.hpp"

namespace termsweep {

class FuzzyIndex {
 public:
  using Node = KeywordTrie::Node;

  // Over the keywords ending at a node or below it: the longest clean name
  // (bytes) and the most keyword bytes below the node. Lengths that do not
  // fit saturate at kHuge.
  struct Reach {
    std::uint32_t longest_name;
    std::uint32_t height;
  };
  static constexpr std::uint32_t kHuge = 0xFFFFFFFFu;

  explicit FuzzyIndex(const KeywordTrie& trie);

  Reach reach(Node node) const {
    // A node inside a tail shares its unit's figures, the tail being the
    // unit's only way down; the unit's own name (if any) only makes the
    // longest name an overestimate there, which is still an upper bound.
    const Reach& unit = units_[node.index];
    return {unit.longest_name, unit.height - node.tail_depth};
  }

  std::size_t memory_bytes() const { return units_.capacity() * sizeof(Reach); }

 private:
  std::vector<Reach> units_;  // by unit; free units hold zeros
};

// The index of a processor's current keywords. Readers under a shared borrow
// may ask at the same time; the first one builds it. A change of keywords
// (under an exclusive borrow, so with no reader) drops it.
class FuzzyIndexCache {
 public:
  FuzzyIndexCache() = default;
  // Copies and moves start empty: the index belongs to one trie.
  FuzzyIndexCache(const FuzzyIndexCache&) noexcept {}
  FuzzyIndexCache& operator=(const FuzzyIndexCache&) noexcept {
    reset();
    return *this;
  }

  std::shared_ptr<const FuzzyIndex> get(const KeywordTrie& trie) const;
  void reset() noexcept { index_.reset(); }

 private:
  mutable std::mutex mutex_;
  mutable std::shared_ptr<const FuzzyIndex> index_;
};

}  // namespace termsweep
