#include "engine/fuzzy.hpp"

#include <algorithm>
#include <cstdint>

#include "engine/extract.hpp"

namespace termsweep {
namespace {

using Node = KeywordTrie::Node;

struct FuzzyState {
  Node node;
  std::uint64_t consumed;
  std::int32_t edits;
};

struct FuzzyCandidate {
  NameId name = kNoName;
  std::uint64_t consumed = 0;
  float score = 0;
};

// The bounded edit search at one start position: depth first, last in first
// out, a candidate replacing the best only when strictly better; children
// are visited in ascending key order, which decides between equal scores.
// A (node, consumed) pair is never expanded again once it has been expanded
// with no more edits: such a state is never its own descendant, so the
// earlier one's whole subtree has been searched by then, and every score
// below the later one is at most the corresponding earlier score, which the
// strictly-better rule already saw.
class FuzzySearcher {
 public:
  template <class Fold>
  FuzzyCandidate find(const KeywordTrie& trie, const unsigned char* s, std::uint64_t remaining,
                      float t, const Fold& fold, InterruptClock& clock) {
    if (++generation_ == 0) {
      slots_.assign(slots_.size(), Slot{});
      generation_ = 1;
    }
    used_ = 0;
    FuzzyCandidate best;
    stack_.assign(1, {KeywordTrie::root(), 0, 0});
    while (!stack_.empty()) {
      const FuzzyState state = stack_.back();
      stack_.pop_back();
      if (!first_visit(state)) continue;
      clock.advance(1);
      const Node node = state.node;
      const std::uint64_t k = state.consumed;
      const std::int32_t e = state.edits;
      if (const NameId name = trie.name_at(node); name != kNoName) {
        const std::uint64_t length = trie.name(name).size();
        const float similarity =
            1.0f - static_cast<float>(e) / static_cast<float>(std::max<std::uint64_t>(length, k));
        if (similarity >= t && similarity > best.score) best = {name, k, similarity};
      }
      if (k >= remaining) continue;
      const unsigned char c = fold(s[k]);
      Node next;
      if (trie.child(node, c, next)) stack_.push_back({next, k + 1, e});
      if (1.0f - static_cast<float>(e) / static_cast<float>(k + 1) < t) continue;
      stack_.push_back({node, k + 1, e + 1});  // the text byte is skipped
      trie.for_each_child(node, [&](std::uint32_t key, Node child) {  // it stands for another byte
        if (key != c) stack_.push_back({child, k + 1, e + 1});
      });
      trie.for_each_child(node, [&](std::uint32_t, Node child) {  // a keyword byte is skipped
        stack_.push_back({child, k, e + 1});
      });
    }
    return best;
  }

 private:
  struct Slot {
    Node node;
    std::uint64_t consumed = 0;
    std::int32_t edits = 0;
    std::uint32_t generation = 0;  // 0: never used
  };

  bool first_visit(const FuzzyState& state) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    std::uint64_t hash = (std::uint64_t{state.node.index} << 32 | state.node.tail_depth) * 0x9E3779B97F4A7C15ull ^
                         state.consumed * 0xC2B2AE3D27D4EB4Full;
    for (std::size_t i = (hash ^ (hash >> 29)) & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.generation != generation_) {
        slot = {state.node, state.consumed, state.edits, generation_};
        ++used_;
        return true;
      }
      if (slot.node == state.node && slot.consumed == state.consumed) {
        if (slot.edits <= state.edits) return false;
        slot.edits = state.edits;
        return true;
      }
    }
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(64, old.size() * 2), Slot{});
    used_ = 0;
    for (const Slot& slot : old) {
      if (slot.generation == generation_) first_visit({slot.node, slot.consumed, slot.edits});
    }
  }

  std::vector<FuzzyState> stack_;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::uint32_t generation_ = 0;
};

}  // namespace

void scan_fuzzy(const KeywordProcessor& processor, const unsigned char* s, std::size_t n,
                const bool* is_word, const ByteMap& fold, float t, const Interrupt& interrupt,
                std::vector<KeywordMatch>& matches) {
  InterruptClock clock(interrupt);
  const bool overlaps = processor.allow_overlaps();
  FuzzySearcher searcher;
  std::size_t p = 0;
  while (p < n) {
    if (p > 0 && !overlaps && is_word[s[p - 1]]) {
      ++p;
      continue;
    }
    const FuzzyCandidate best = searcher.find(processor.trie(), s + p, n - p, t, fold, clock);
    // A candidate that consumed no text byte (a clean name longer than its
    // key) would be an empty match that resumes where it started.
    if (best.name == kNoName || best.consumed == 0) {
      ++p;
      continue;
    }
    const std::size_t raw_end = p + best.consumed;
    const std::size_t end = is_whitespace(s[raw_end - 1]) ? raw_end - 1 : raw_end;
    bool accepted = overlaps || end == n;
    for (std::size_t i = end; !accepted && i < std::min(end + 3, n); ++i) accepted = !is_word[s[i]];
    if (!accepted) {
      ++p;
      continue;
    }
    matches.push_back({best.name, round_similarity(best.score), is_whitespace(s[p]) ? p + 1 : p, end});
    p = raw_end;
  }
}


}  // namespace termsweep
