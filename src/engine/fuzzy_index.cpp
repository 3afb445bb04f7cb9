#include "engine/fuzzy_index.hpp"

#include <algorithm>

namespace termsweep {
namespace {

std::uint32_t saturated(std::uint64_t value) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, FuzzyIndex::kHuge));
}

}  // namespace

FuzzyIndex::FuzzyIndex(const KeywordTrie& trie) : units_(trie.unit_count(), Reach{0, 0}) {
  // Post-order without recursion (the trie has no depth limit): a unit is
  // entered once to queue its children and finished once they are done.
  struct Pending {
    Node node;
    bool children_done;
  };
  std::vector<Pending> pending{{KeywordTrie::root(), false}};
  while (!pending.empty()) {
    Pending& top = pending.back();
    const Node node = top.node;
    const std::string_view chain = trie.chain_below(node);
    if (!top.children_done && chain.empty()) {
      top.children_done = true;
      trie.for_each_child(node, [&](std::uint32_t, Node child) { pending.push_back({child, false}); });
      continue;
    }
    pending.pop_back();
    const NameId own = trie.name_at(node);
    std::uint64_t longest = own == kNoName ? 0 : trie.name(own).size();
    std::uint64_t height = 0;
    if (!chain.empty()) {
      const Node end{node.index, static_cast<std::uint32_t>(chain.size())};
      longest = std::max<std::uint64_t>(longest, trie.name(trie.name_at(end)).size());
      height = chain.size();
    } else {
      trie.for_each_child(node, [&](std::uint32_t, Node child) {
        const Reach& below = units_[child.index];
        longest = std::max<std::uint64_t>(longest, below.longest_name);
        height = std::max<std::uint64_t>(height, std::uint64_t{below.height} + 1);
      });
    }
    units_[node.index] = {saturated(longest), saturated(height)};
  }
}

std::shared_ptr<const FuzzyIndex> FuzzyIndexCache::get(const KeywordTrie& trie) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!index_) index_ = std::make_shared<const FuzzyIndex>(trie);
  return index_;
}

}  // namespace termsweep
