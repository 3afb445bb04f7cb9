#include "engine/fuzzy.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "engine/extract.hpp"
#include "engine/fuzzy_index.hpp"

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

// The fewest edits each (node, consumed) pair has been expanded with during
// one search: an open-addressing table cleared in O(1) by a generation count.
class VisitedStates {
 public:
  void clear() {
    if (++generation_ == 0) {
      slots_.assign(slots_.size(), Slot{});
      generation_ = 1;
    }
    used_ = 0;
    unrecorded_ = 0;
  }

  // Whether `state` is to be expanded: its pair is new or was expanded only
  // with more edits. Records it, except for the first few states of a
  // search: most searches are that short, and a repeat among so few costs
  // less than recording them all.
  bool first_visit(const FuzzyState& state) {
    if (unrecorded_ < kUnrecorded) {
      ++unrecorded_;
      return true;
    }
    return record(state);
  }

 private:
  struct Slot {
    Node node;
    std::uint64_t consumed = 0;
    std::int32_t edits = 0;
    std::uint32_t generation = 0;  // 0: never used
  };

  bool record(const FuzzyState& state) {
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
      if (slot.generation == generation_) record({slot.node, slot.consumed, slot.edits});
    }
  }

  static constexpr std::size_t kUnrecorded = 32;

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::size_t unrecorded_ = 0;
  std::uint32_t generation_ = 0;
};

// The bounded edit search at one start position. Its answer is defined by
// the exhaustive search: depth first, last in first out, children in
// ascending key order; a candidate (a keyword end reached with consumed
// k >= 1 and score >= t) replaces the best only when strictly better. So the
// answer is the FIRST candidate popped, in that order, among those with the
// maximum score S*. It is found in two passes:
//
// 1. best_score() finds S* (and the answer itself when S* = 1), in an order of its own (the exact
//    continuation first, so that good candidates come early), cutting every
//    state whose bound (below) is <= the best score so far or < t.
// 2. first_with(S*) replays the exhaustive order, cutting states whose bound
//    is < S*, and stops at the first candidate scoring S*.
//
// The bound. From a state (node v at depth d, k, e), each step adds 1 to k,
// to the depth or to both, and only the exact step is free, so a candidate w
// at depth D reached with k' consumed and e' edits has
// e' >= e + |(D - d) - (k' - k)|. With c = k + D - d, its score
// 1 - e' / max(L_w, k') is at most 1 - e / max(L_w, min(c, r)): for k' <= c
// the denominator is at most max(L_w, min(c, r)) (k' <= r) and e' >= e; for
// k' > max(L_w, c), e' >= e + k' - c, and (e + k' - c) / k' >= e / c when
// c >= e, while for c < e the score is negative. Over the subtree,
// bound = 1 - e / max(longest name, min(k + height, r)) with the index's
// figures. In 32-bit floats the same holds while every integer involved is
// below 2^24 (conversions are exact, and rounded division and subtraction
// are monotone); where a start lies further than that from the text's end
// the bound is not used (1, no cut but the threshold's).
//
// Memo (both passes): a (node, k) pair is not expanded again once it has
// been expanded with no more edits. Every state below the later one has a
// twin below the earlier one with no more edits: it passed the same
// threshold tests and scores at least as high. Leaving states out of the
// memo only costs time.
//
// Why pass 1 ends with S*: every state z ends up expanded (all its children
// pushed or cut), cut by the bound, or skipped for a twin y that is
// expanded. By induction on (r - k) + the height of z's node, which every
// step lowers and a twin shares: if expanded, the
// final best is >= every score >= t below z through its children; if cut,
// everything below z scores <= bound <= best at the time, or < t; if
// skipped, y's subtree scores at least as high, and y was expanded.
//
// Why pass 2 finds the answer c*: it is a depth-first search in the
// exhaustive order, so its pops are the exhaustive order's pops with whole
// subtrees left out, and it suffices that c* is never left out. A bound cut
// drops only subtrees whose scores are all < S*. A memo skip of x for an
// earlier y: a state is never its own descendant (every step raises k or
// the depth), so y's subtree comes before x in the exhaustive order; if c*
// lay below x, its twin below y would score S* too and come before c*,
// contradicting that c* is the first.
class FuzzySearcher {
 public:
  FuzzySearcher(const KeywordTrie& trie, const FuzzyIndex& index, float t, InterruptClock& clock)
      : trie_(trie), index_(index), t_(t), clock_(clock) {
    edit_from_.fill(kUnknown);
    const FuzzyIndex::Reach all = index_.reach(KeywordTrie::root());
    constexpr std::uint64_t kExactFloats = std::uint64_t{1} << 24;
    const std::uint64_t used = std::uint64_t{all.longest_name} + all.height;
    exact_below_ = used < kExactFloats ? kExactFloats - used : 0;
  }

  template <class Fold>
  FuzzyCandidate find(const unsigned char* s, std::uint64_t remaining, const Fold& fold) {
    exact_bounds_ = remaining < exact_below_;
    const FuzzyCandidate best = best_score(s, remaining, fold);
    if (best.score == 0.0f) return {};
    // A score of 1 takes no edit, so it lies on the exact path from the
    // root, which pass 1 walks first: the first keyword end there is also the
    // first candidate scoring 1 in the exhaustive order (which cuts every
    // edit step, all scoring below 1).
    if (best.score == 1.0f) return best;
    return first_with(best.score, s, remaining, fold);
  }

 private:
  float score(NameId name, std::uint64_t k, std::int32_t e) const {
    const std::uint64_t length = trie_.name(name).size();
    return 1.0f - static_cast<float>(e) / static_cast<float>(std::max<std::uint64_t>(length, k));
  }

  // Edit steps are taken from a state only while
  // 1 - e / (k + 1) >= t. For each e that holds from some k on (rounded
  // division is monotone); for few edits that k is kept rather than divided
  // out each time.
  bool may_edit(std::uint64_t k, std::int32_t e) {
    if (e == 0) return true;
    if (static_cast<std::size_t>(e) >= edit_from_.size()) return gate(k, e);
    std::uint64_t& from = edit_from_[static_cast<std::size_t>(e)];
    if (from == kUnknown) {
      // Near e / (1 - t) - 1, then moved onto the exact edge.
      const double guess = e / (1.0 - static_cast<double>(t_)) - 1.0;
      from = guess > 0 ? static_cast<std::uint64_t>(guess) : 0;
      while (!gate(from, e)) ++from;
      while (from > 0 && gate(from - 1, e)) --from;
    }
    return k >= from;
  }

  bool gate(std::uint64_t k, std::int32_t e) const {
    return 1.0f - static_cast<float>(e) / static_cast<float>(k + 1) >= t_;
  }

  // Whether a state pushed from an expansion can hold a candidate that
  // `counts`. One that may not edit (`branches` false) has only its exact
  // continuation below it: when it is no such candidate itself and the text
  // byte it would read next (`next`, -1 at the end of the text) leads
  // nowhere, its subtree holds none, and it is cut like a bounded one.
  template <class Counts>
  bool fertile(Node node, std::uint64_t k, std::int32_t e, bool branches, int next,
               const Counts& counts) const {
    if (branches) return true;
    if (Node below; next >= 0 && trie_.child(node, static_cast<unsigned char>(next), below)) return true;
    if (k == 0) return false;
    const NameId name = trie_.name_at(node);
    return name != kNoName && counts(score(name, k, e));
  }

  // Calls f(key, child) in ascending key order for the children of `node`
  // that an edit step to (child, k, e) may move to: all of them when the
  // states made there may edit (`branches`), otherwise, where the index lists
  // them, just those that lead on under byte `next` or end a keyword that
  // could reach the threshold there: the only ones `fertile` can accept.
  template <class F>
  void for_each_step_child(Node node, std::uint64_t k, std::int32_t e, bool branches, int next,
                           F&& f) const {
    std::span<const FuzzyIndex::Child> leading, named;
    std::uint32_t longest_named = 0;
    if (branches || !index_.children_towards(node, next, leading, named, longest_named)) {
      trie_.for_each_child(node, f);
      return;
    }
    // A name scores at most 1 - e / max(longest, k).
    if (k == 0 || 1.0f - static_cast<float>(e) / static_cast<float>(std::max<std::uint64_t>(longest_named, k)) < t_) {
      named = {};
    }
    auto a = leading.begin();
    auto b = named.begin();
    while (a != leading.end() || b != named.end()) {
      const FuzzyIndex::Child* pick;
      if (b == named.end() || (a != leading.end() && a->key < b->key)) {
        pick = &*a++;
      } else {
        if (a != leading.end() && a->key == b->key) ++a;
        pick = &*b++;
      }
      f(pick->key, Node{pick->unit, 0});
    }
  }

  // Pushes the edit steps from `state` in the exhaustive search's order:
  // the text byte `c` skipped, standing for each other keyword byte, then
  // each keyword byte skipped. `after` is the text byte past `c` (-1 at the
  // end); push(state, branches, next) gets whether the new state may edit
  // and the byte it reads next.
  template <class Push>
  void push_edit_steps(const FuzzyState& state, unsigned char c, int after, const Push& push) {
    const auto [node, k, e] = state;
    const bool moved_branches = may_edit(k + 1, e + 1);
    const bool kept_branches = may_edit(k, e + 1);
    push({node, k + 1, e + 1}, moved_branches, after);
    for_each_step_child(node, k + 1, e + 1, moved_branches, after, [&](std::uint32_t key, Node child) {
      if (key != c) push({child, k + 1, e + 1}, moved_branches, after);
    });
    for_each_step_child(node, k, e + 1, kept_branches, c, [&](std::uint32_t, Node child) {
      push({child, k, e + 1}, kept_branches, c);
    });
  }

  // The most any candidate at or below `state` can score (see above).
  float bound(const FuzzyState& state, std::uint64_t remaining) const {
    if (state.edits == 0 || !exact_bounds_) return 1.0f;
    const FuzzyIndex::Reach reach = index_.reach(state.node);
    const std::uint64_t span = std::min<std::uint64_t>(state.consumed + reach.height, remaining);
    const std::uint64_t most = std::max<std::uint64_t>(reach.longest_name, span);
    return 1.0f - static_cast<float>(state.edits) / static_cast<float>(most);
  }

  template <class Fold>
  FuzzyCandidate best_score(const unsigned char* s, std::uint64_t remaining, const Fold& fold) {
    float best = 0.0f;
    const auto improves = [&](float similarity) { return similarity >= t_ && similarity > best; };
    const auto push = [&](const FuzzyState& state, bool branches, int next) {
      if (!fertile(state.node, state.consumed, state.edits, branches, next, improves)) return;
      const float most = bound(state, remaining);
      if (most > best && most >= t_) pending_.push_back({state, most});
    };
    visited_.clear();
    pending_.clear();
    pending_.push_back({{KeywordTrie::root(), 0, 0}, 1.0f});
    while (!pending_.empty()) {
      FuzzyState state = pending_.back().state;
      float most = pending_.back().bound;
      pending_.pop_back();
      // best may have grown since the push.
      if (most <= best || !visited_.first_visit(state)) continue;
      // The exact continuation first, as far as it goes (a good best early
      // cuts more), then the edit steps from the states it passed.
      walked_.clear();
      for (;;) {
        clock_.advance(1);
        const auto [node, k, e] = state;
        if (const NameId name = trie_.name_at(node); name != kNoName && k > 0) {
          const float similarity = score(name, k, e);
          if (similarity >= t_ && similarity > best) {
            best = similarity;
            if (best == 1.0f) return {name, k, best};  // nothing scores higher
          }
        }
        if (k >= remaining) break;
        if (may_edit(k, e)) walked_.push_back(state);
        Node next;
        if (!trie_.child(node, fold(s[k]), next)) break;
        state = {next, k + 1, e};
        most = bound(state, remaining);
        // States that may not edit are left out of the memo: they have one
        // child at most, so a repeat costs no more than the lookup would.
        if (most <= best || most < t_ || (may_edit(k + 1, e) && !visited_.first_visit(state))) break;
      }
      for (const auto& [node, k, e] : walked_) {
        // Every edit step's bound is at most this one's (its node's figures
        // cover its children's, and it consumes no less).
        most = bound({node, k + 1, e + 1}, remaining);
        if (most <= best || most < t_) continue;
        push_edit_steps({node, k, e}, fold(s[k]), k + 1 < remaining ? fold(s[k + 1]) : -1, push);
      }
    }
    return {kNoName, 0, best};
  }

  template <class Fold>
  FuzzyCandidate first_with(float target, const unsigned char* s, std::uint64_t remaining,
                            const Fold& fold) {
    const auto reaches = [&](float similarity) { return similarity >= target; };
    const auto push = [&](const FuzzyState& state, bool branches, int next) {
      if (fertile(state.node, state.consumed, state.edits, branches, next, reaches) &&
          bound(state, remaining) >= target) {
        stack_.push_back(state);
      }
    };
    visited_.clear();
    stack_.clear();
    stack_.push_back({KeywordTrie::root(), 0, 0});
    while (!stack_.empty()) {
      FuzzyState state = stack_.back();
      stack_.pop_back();
      if (!visited_.first_visit(state)) continue;
      // The state, then, while it may not edit, its only child state, which
      // would be popped next.
      for (;;) {
        clock_.advance(1);
        const auto [node, k, e] = state;
        if (const NameId name = trie_.name_at(node); name != kNoName && k > 0) {
          const float similarity = score(name, k, e);
          if (similarity >= target) return {name, k, similarity};
        }
        if (k >= remaining) break;
        // The exhaustive search's push order.
        const unsigned char c = fold(s[k]);
        const int after = k + 1 < remaining ? fold(s[k + 1]) : -1;
        Node next;
        const bool exact = trie_.child(node, c, next);
        if (!may_edit(k, e)) {
          if (!exact) break;
          state = {next, k + 1, e};
          if (bound(state, remaining) < target) break;
          continue;
        }
        if (exact) push({next, k + 1, e}, may_edit(k + 1, e), after);
        // Every edit step's bound is at most this one's (as in pass 1).
        if (bound({node, k + 1, e + 1}, remaining) < target) break;
        push_edit_steps(state, c, after, push);
        break;
      }
    }
    return {};  // not reached: pass 1 saw a candidate scoring `target`
  }

  const KeywordTrie& trie_;
  const FuzzyIndex& index_;
  const float t_;
  InterruptClock& clock_;
  std::uint64_t exact_below_;  // bounds are exact for starts this close to the end
  bool exact_bounds_ = false;
  std::vector<FuzzyState> stack_;
  std::vector<FuzzyState> walked_;
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  std::array<std::uint64_t, 64> edit_from_;  // by edits: the least k that may edit
  struct Bounded {
    FuzzyState state;
    float bound;
  };
  std::vector<Bounded> pending_;  // pass 1's stack
  VisitedStates visited_;
};

}  // namespace

void scan_fuzzy(const KeywordProcessor& processor, const unsigned char* s, std::size_t n,
                const bool* is_word, const ByteMap& fold, float t, const Interrupt& interrupt,
                std::vector<KeywordMatch>& matches) {
  InterruptClock clock(interrupt);
  const bool overlaps = processor.allow_overlaps();
  const std::shared_ptr<const FuzzyIndex> index = processor.fuzzy_index();
  FuzzySearcher searcher(processor.trie(), *index, t, clock);
  std::size_t p = 0;
  while (p < n) {
    if (p > 0 && !overlaps && is_word[s[p - 1]]) {
      ++p;
      continue;
    }
    // Candidates that consumed no text byte never compete, so every best
    // candidate ends past its start.
    const FuzzyCandidate best = searcher.find(s + p, n - p, fold);
    if (best.name == kNoName) {
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
