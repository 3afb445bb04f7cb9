#include "engine/fuzzy_index.hpp"

#include <algorithm>
#include <utility>

namespace termsweep {
namespace {

std::uint32_t saturated(std::uint64_t value) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, FuzzyIndex::kHuge));
}

}  // namespace

FuzzyIndex::FuzzyIndex(const KeywordTrie& trie) : units_(trie.unit_count(), Reach{0, 0, 0, kNoFanout}) {
  // Post-order without recursion (the trie has no depth limit): a unit is
  // entered once to queue its children and finished once they are done.
  struct Pending {
    Node node;
    std::uint64_t depth;
    bool children_done;
  };
  std::int64_t excess = 0;
  // The length of a node's clean name (0: none), noting how far it exceeds
  // the keyword.
  const auto note_name = [&](NameId name, std::uint64_t depth) -> std::uint64_t {
    if (name == kNoName) return 0;
    const std::uint64_t length = trie.name(name).size();
    excess = std::max(excess, static_cast<std::int64_t>(length) - static_cast<std::int64_t>(depth));
    return length;
  };
  std::vector<Pending> pending{{KeywordTrie::root(), 0, false}};
  while (!pending.empty()) {
    Pending& top = pending.back();
    const Node node = top.node;
    const std::uint64_t depth = top.depth;
    const std::string_view chain = trie.chain_below(node);
    if (!top.children_done && chain.empty()) {
      top.children_done = true;
      trie.for_each_child(node, [&](std::uint32_t key, Node child) {
        if (key <= 0xFF) in_keywords_[key] = true;
        pending.push_back({child, depth + 1, false});
      });
      continue;
    }
    pending.pop_back();
    std::uint64_t longest = note_name(trie.name_at(node), depth);
    std::uint64_t height = 0;
    if (!chain.empty()) {
      const Node end{node.index, static_cast<std::uint32_t>(chain.size())};
      longest = std::max<std::uint64_t>(longest, note_name(trie.name_at(end), depth + chain.size()));
      height = chain.size();
      for (const char byte : chain) in_keywords_[static_cast<unsigned char>(byte)] = true;
    } else {
      trie.for_each_child(node, [&](std::uint32_t, Node child) {
        const Reach& below = units_[child.index];
        longest = std::max<std::uint64_t>(longest, below.longest_name);
        height = std::max<std::uint64_t>(height, std::uint64_t{below.height} + 1);
      });
    }
    units_[node.index] = {saturated(longest), saturated(height), saturated(depth)};
    if (chain.empty()) list_fanout(trie, node);
  }
  name_excess_ = saturated(static_cast<std::uint64_t>(excess));
}

void FuzzyIndex::list_fanout(const KeywordTrie& trie, Node node) {
  std::size_t count = 0;
  trie.for_each_child(node, [&](std::uint32_t, Node) { ++count; });
  if (count < kWideFanout) return;
  // (byte below, child) pairs in ascending child order, then grouped by byte
  // with a stable counting sort.
  std::vector<std::pair<unsigned char, Child>> pairs;
  std::array<std::uint32_t, 257> counts{};
  std::vector<Child> named;
  std::uint64_t longest_named = 0;
  trie.for_each_child(node, [&](std::uint32_t key, Node child) {
    if (const NameId name = trie.name_at(child); name != kNoName) {
      named.push_back({key, child.index});
      longest_named = std::max<std::uint64_t>(longest_named, trie.name(name).size());
    }
    trie.for_each_child(child, [&](std::uint32_t below, Node) {
      if (below > 0xFF) return;  // no text byte leads there
      pairs.push_back({static_cast<unsigned char>(below), Child{key, child.index}});
      ++counts[below];
    });
  });
  Fanout fanout;
  std::uint32_t at = static_cast<std::uint32_t>(children_.size());
  for (unsigned b = 0; b < 256; ++b) {
    fanout.by_next[b] = at;
    at += counts[b];
  }
  fanout.by_next[256] = at;
  fanout.named_end = at + static_cast<std::uint32_t>(named.size());
  fanout.longest_named = saturated(longest_named);
  children_.resize(fanout.named_end);
  std::array<std::uint32_t, 256> next_slot;
  std::copy(fanout.by_next.begin(), fanout.by_next.end() - 1, next_slot.begin());
  for (const auto& [below, child] : pairs) children_[next_slot[below]++] = child;
  std::copy(named.begin(), named.end(), children_.begin() + fanout.by_next[256]);
  units_[node.index].fanout = static_cast<std::uint32_t>(fanouts_.size());
  fanouts_.push_back(fanout);
}

std::shared_ptr<const FuzzyIndex> FuzzyIndexCache::get(const KeywordTrie& trie) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!index_) index_ = std::make_shared<const FuzzyIndex>(trie);
  return index_;
}

}  // namespace termsweep
