// What the fuzzy search knows about each subtree of the keyword trie, built
// on demand and cached by the processor until its keywords change.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
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
    std::uint32_t depth;               // keyword bytes above the node
    std::uint32_t fanout = kNoFanout;  // its children by next byte, if listed
  };
  static constexpr std::uint32_t kHuge = 0xFFFFFFFFu;
  static constexpr std::uint32_t kNoFanout = 0xFFFFFFFFu;
  // Nodes with at least this many children list them by the byte below them.
  static constexpr std::size_t kWideFanout = 16;

  struct Child {
    std::uint32_t key;
    std::uint32_t unit;
  };

  explicit FuzzyIndex(const KeywordTrie& trie);

  Reach reach(Node node) const {
    // A node inside a tail shares its unit's figures, the tail being the
    // unit's only way down; the unit's own name (if any) only makes the
    // longest name an overestimate there, which is still an upper bound.
    const Reach& unit = units_[node.index];
    const std::uint32_t depth = unit.depth > kHuge - node.tail_depth ? kHuge : unit.depth + node.tail_depth;
    return {unit.longest_name, unit.height - node.tail_depth, depth};
  }

  // Whether some keyword holds byte b: a text byte that none holds can only
  // be skipped or stand in for another byte, each at the cost of an edit.
  bool in_keywords(unsigned char b) const { return in_keywords_[b]; }

  // The most any clean name exceeds its keyword in bytes (0 if none does).
  std::uint32_t name_excess() const { return name_excess_; }

  // For a node with many children: the children with a child of their own
  // under byte `next` (none when next < 0) and the children that end a
  // keyword, each in ascending key order, with the longest clean name of the
  // latter. False when the node keeps no such lists (then every child has to
  // be looked at).
  bool children_towards(Node node, int next, std::span<const Child>& leading,
                        std::span<const Child>& named, std::uint32_t& longest_named) const;

 private:
  // Where a wide node's lists lie in children_: the children leading on
  // under byte b at [by_next[b], by_next[b + 1]), the named ones at
  // [by_next[256], named_end).
  struct Fanout {
    std::array<std::uint32_t, 257> by_next;
    std::uint32_t named_end;
    std::uint32_t longest_named;
  };

  void list_fanout(const KeywordTrie& trie, Node node);

  std::vector<Reach> units_;  // by unit; free units hold zeros
  std::array<bool, 256> in_keywords_{};
  std::uint32_t name_excess_ = 0;
  std::vector<Fanout> fanouts_;
  std::vector<Child> children_;
};

inline bool FuzzyIndex::children_towards(Node node, int next, std::span<const Child>& leading,
                                         std::span<const Child>& named,
                                         std::uint32_t& longest_named) const {
  const std::uint32_t slot = units_[node.index].fanout;
  if (slot == kNoFanout || node.tail_depth != 0) return false;
  const Fanout& fanout = fanouts_[slot];
  const Child* all = children_.data();
  leading = next < 0 ? std::span<const Child>()
                     : std::span<const Child>(all + fanout.by_next[next], all + fanout.by_next[next + 1]);
  named = {all + fanout.by_next[256], all + fanout.named_end};
  longest_named = fanout.longest_named;
  return true;
}

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
