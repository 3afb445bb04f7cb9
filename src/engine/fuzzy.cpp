#include "engine/fuzzy.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/extract.hpp"
#include "engine/fuzzy_index.hpp"
#include "engine/fuzzy_rows.hpp"
#include "engine/fuzzy_scoring.hpp"
#include "engine/fuzzy_window_cache.hpp"

namespace termsweep {
namespace {

using Node = KeywordTrie::Node;

struct FuzzyState {
  Node node;
  std::uint64_t consumed;
  std::int32_t edits;
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

// How many states pass 1 may pop before the row search takes over. Where
// pass 1 finishes (high thresholds, exact words) it is the cheaper search;
// where it does not (low thresholds), every pop before the handover is
// wasted. So the budget follows how often searches that outgrow a short
// budget still finish within the full one: while that is rare, searches get
// the short budget, and one in kProbeEvery the full one, to keep watching.
// Answers never depend on it, only the time spent.
class StateBudget {
 public:
  explicit StateBudget(std::size_t full) : full_(full), short_(std::min(full, kShort)) {}

  // The budget of the next search.
  std::size_t next() {
    if (!rare_) return full_;
    return ++searches_ % kProbeEvery == 0 ? full_ : short_;
  }
  // Notes how a search given `budget` went: only those under the full
  // budget that outgrew the short one count.
  void note(std::size_t budget, std::size_t pops, bool finished) {
    if (budget != full_ || pops <= short_) return;
    // The share of finishers, weighed over the last few dozen.
    finishing_ += ((finished ? 1.0 : 0.0) - finishing_) / 32.0;
    rare_ = finishing_ < 0.25;
  }

 private:
  static constexpr std::size_t kShort = 64;
  static constexpr std::size_t kProbeEvery = 8;
  const std::size_t full_;
  const std::size_t short_;
  double finishing_ = 1.0;
  bool rare_ = false;
  std::size_t searches_ = 0;
};

// The bounded edit search at one start position. Its answer is defined by
// the exhaustive search: depth first, last in first out, children in
// ascending key order; a candidate (a keyword end reached with consumed
// k >= 1 and score >= t) replaces the best only when strictly better. So the
// answer is the FIRST candidate popped, in that order, among those with the
// maximum score S*. It is found in two passes:
//
// 1. best_score() finds S* (and the answer itself when S* = 1), in an order
//    of its own (the exact continuation first, so that good candidates come
//    early), cutting every state whose bound (FuzzyScoring::bound_ratio) is
//    <= the best score so far or < t.
// 2. first_with(S*) replays the exhaustive order, cutting states whose bound
//    is < S*, and stops at the first candidate scoring S*.
// Where pass 1 pops more states than its budget (StateBudget), the row
// search (fuzzy_rows.cpp) takes over both, from the best score found.
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
  // For the scan of text[0..n), read through `fold`.
  FuzzySearcher(const KeywordTrie& trie, const FuzzyIndex& index, const FuzzyWindowCachePool& pool, float t,
                InterruptClock& clock, const unsigned char* text, std::size_t n, const ByteMap& fold)
      : trie_(trie),
        index_(index),
        scoring_(trie, index, t, text, n, fold),
        rows_(trie, index, scoring_, clock),
        clock_(clock),
        height_(index.reach(KeywordTrie::root()).height),
        pool_(pool) {}
  ~FuzzySearcher() {
    if (state_answers_) pool_.give_back(std::move(state_answers_));
    if (row_answers_) pool_.give_back(std::move(row_answers_));
  }
  FuzzySearcher(const FuzzySearcher&) = delete;
  FuzzySearcher& operator=(const FuzzySearcher&) = delete;

  // The best candidate at the start s (in the text, read through `fold`).
  //
  // Answers are kept by window: the text bytes s[0..w) that the searches
  // read, w being past every byte they read and every run they asked the
  // length of. Why a kept answer holds at any later start s' (in this text
  // or another) whose folded bytes s'[0..w) are the same: the searches are
  // deterministic, and they depend on the text only through those bytes,
  // those runs (each of them fixed by the bytes up to its end, which lies
  // within the window) and the bytes left, r. Where r >= w + the trie
  // height at both starts, r never enters: no state or cell reaches the
  // end, and every min(k + height, r) in a bound is k + height. The
  // searches at s' would make the same steps and give the same answer,
  // which is the exhaustive search's answer at s'. What else they start
  // from changes no answer, only the steps: the row search's hint (the
  // previous start's best score), runs counted after the answer was kept,
  // the state budget. The threshold and whether bounds are used at all
  // (exact_bounds) decide the answer's meaning or the steps; a cache serves
  // one of each. Answers of the state search alone, whose windows are short
  // (a word and a byte or two), and those that took the row search, whose
  // windows run far, are kept apart so that the latter never crowd out the
  // former. Within one way of searching, windows are never prefixes of one
  // another: a start that shares a window repeats the same steps.
  FuzzyCandidate find(const unsigned char* s, const ByteMap& fold) {
    scoring_.start(s);
    const std::uint64_t remaining = scoring_.remaining();
    const std::uint64_t room = remaining > height_ ? remaining - height_ : 0;  // the longest window that may be kept
    FuzzyCandidate answer;
    if (room > 0) {
      if (kept(state_answers_, kLongestStateWindow).find(s, std::min(room, kLongestStateWindow), fold, answer) ||
          (row_answers_ && row_answers_->find(s, std::min(room, kLongestRowWindow), fold, answer))) {
        clock_.advance(1);
        return answer;
      }
    }
    window_end_ = 0;
    bool finished = true;
    const std::size_t budget = budget_.next();
    std::size_t pops = 0;
    const FuzzyCandidate best = best_score(s, remaining, fold, budget, pops, finished);
    budget_.note(budget, pops, finished);
    if (!finished) {
      answer = rows_.find(s, fold, best.score);
      const std::uint64_t window = std::max(window_end_, rows_.read_end());
      if (window <= std::min(room, kLongestRowWindow)) kept(row_answers_, kLongestRowWindow).add(s, window, fold, answer);
      return answer;
    }
    // A score of 1 takes no edit, so it lies on the exact path from the
    // root, which pass 1 walks first: the first keyword end there is also the
    // first candidate scoring 1 in the exhaustive order (which cuts every
    // edit step, all scoring below 1).
    if (best.score == 1.0f) {
      answer = best;
    } else if (best.score > 0.0f) {
      answer = first_with(best.score, s, remaining, fold);
    }
    if (window_end_ <= std::min(room, kLongestStateWindow)) state_answers_->add(s, window_end_, fold, answer);
    return answer;
  }

 private:
  float score(NameId name, std::uint64_t k, std::int32_t e) const { return scoring_.score(name, k, e); }
  bool may_edit(std::uint64_t k, std::int32_t e) { return scoring_.may_edit(k, e); }
  // The cache in `slot` for the present threshold and bounds, taken from
  // the pool when there is none yet or it serves others.
  FuzzyWindowCache& kept(std::unique_ptr<FuzzyWindowCache>& slot, std::uint64_t longest) {
    const float t = scoring_.threshold();
    const bool exact_bounds = scoring_.exact_bounds();
    if (!slot || !slot->serves(t, exact_bounds, longest)) {
      if (slot) pool_.give_back(std::move(slot));
      slot = pool_.take(t, exact_bounds, longest);
    }
    return *slot;
  }

  // Notes that the search read the text up to offset `end` (exclusive).
  void read_to(std::uint64_t end) { window_end_ = std::max(window_end_, end); }

  float bound(const FuzzyState& state) {
    const std::uint64_t run = scoring_.run_at(state.consumed);
    if (run != 0) read_to(state.consumed + run + 1);
    return scoring_.bound_ratio(index_.reach(state.node), state.consumed, state.edits, run).value();
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
    if (k == 0 || 1.0f - static_cast<float>(e) / static_cast<float>(std::max<std::uint64_t>(longest_named, k)) <
                      scoring_.threshold()) {
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

  // Pass 1. Sets `finished` false, and returns the best so far, if it
  // would pop more than `budget` states; counts its pops in `pops`.
  FuzzyCandidate best_score(const unsigned char* s, std::uint64_t remaining, const ByteMap& fold,
                            std::size_t budget, std::size_t& pops, bool& finished) {
    const float t = scoring_.threshold();
    float best = 0.0f;
    pops = 0;
    const auto improves = [&](float similarity) { return similarity >= t && similarity > best; };
    const auto push = [&](const FuzzyState& state, bool branches, int next) {
      if (!fertile(state.node, state.consumed, state.edits, branches, next, improves)) return;
      const float most = bound(state);
      if (most > best && most >= t) pending_.push_back({state, most});
    };
    visited_.clear();
    pending_.clear();
    pending_.push_back({{KeywordTrie::root(), 0, 0}, 1.0f});
    while (!pending_.empty()) {
      if (++pops > budget) {
        finished = false;
        return {kNoName, 0, best};
      }
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
        read_to(k + 2);  // the bytes at k and k + 1 decide its steps
        if (const NameId name = trie_.name_at(node); name != kNoName && k > 0) {
          const float similarity = score(name, k, e);
          if (similarity >= t && similarity > best) {
            best = similarity;
            if (best == 1.0f) return {name, k, best};  // nothing scores higher
          }
        }
        if (k >= remaining) break;
        if (may_edit(k, e)) walked_.push_back(state);
        Node next;
        if (!trie_.child(node, fold(s[k]), next)) break;
        state = {next, k + 1, e};
        most = bound(state);
        // States that may not edit are left out of the memo: they have one
        // child at most, so a repeat costs no more than the lookup would.
        if (most <= best || most < t || (may_edit(k + 1, e) && !visited_.first_visit(state))) break;
      }
      for (const auto& [node, k, e] : walked_) {
        // Every edit step's bound is at most this one's without runs (its
        // node's figures cover its children's, and it consumes no less).
        most = scoring_.bound_without_runs(node, k + 1, e + 1);
        if (most <= best || most < t) continue;
        push_edit_steps({node, k, e}, fold(s[k]), k + 1 < remaining ? fold(s[k + 1]) : -1, push);
      }
    }
    return {kNoName, 0, best};
  }

  FuzzyCandidate first_with(float target, const unsigned char* s, std::uint64_t remaining,
                            const ByteMap& fold) {
    const auto reaches = [&](float similarity) { return similarity >= target; };
    const auto push = [&](const FuzzyState& state, bool branches, int next) {
      if (fertile(state.node, state.consumed, state.edits, branches, next, reaches) &&
          bound(state) >= target) {
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
        read_to(k + 2);
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
          if (bound(state) < target) break;
          continue;
        }
        if (exact) push({next, k + 1, e}, may_edit(k + 1, e), after);
        // Every edit step's bound is at most this one's without runs (as in
        // pass 1).
        if (scoring_.bound_without_runs(node, k + 1, e + 1) < target) break;
        push_edit_steps(state, c, after, push);
        break;
      }
    }
    return {};  // not reached: pass 1 saw a candidate scoring `target`
  }

  const KeywordTrie& trie_;
  const FuzzyIndex& index_;
  StateBudget budget_{fuzzy_state_budget};
  FuzzyScoring scoring_;
  RowSearch rows_;
  InterruptClock& clock_;
  std::vector<FuzzyState> stack_;
  std::vector<FuzzyState> walked_;
  struct Bounded {
    FuzzyState state;
    float bound;
  };
  std::vector<Bounded> pending_;  // pass 1's stack
  VisitedStates visited_;
  const std::uint64_t height_;  // of the whole trie
  // Windows longer than these are not kept.
  static constexpr std::uint64_t kLongestStateWindow = 32;
  static constexpr std::uint64_t kLongestRowWindow = 1024;
  const FuzzyWindowCachePool& pool_;
  // Taken from pool_ when first used: answers of the state search alone,
  // and answers that took the row search.
  std::unique_ptr<FuzzyWindowCache> state_answers_;
  std::unique_ptr<FuzzyWindowCache> row_answers_;
  std::uint64_t window_end_ = 0;  // of the search at hand
};

}  // namespace

std::size_t fuzzy_state_budget = 1000;

void scan_fuzzy(const KeywordProcessor& processor, const unsigned char* s, std::size_t n,
                const bool* is_word, const ByteMap& fold, float t, const Interrupt& interrupt,
                std::vector<KeywordMatch>& matches) {
  InterruptClock clock(interrupt);
  const bool overlaps = processor.allow_overlaps();
  const std::shared_ptr<const FuzzyIndex> index = processor.fuzzy_index();
  FuzzySearcher searcher(processor.trie(), *index, processor.fuzzy_window_caches(), t, clock, s, n, fold);
  std::size_t p = 0;
  while (p < n) {
    if (p > 0 && !overlaps && is_word[s[p - 1]]) {
      ++p;
      continue;
    }
    // Candidates that consumed no text byte never compete, so every best
    // candidate ends past its start.
    const FuzzyCandidate best = searcher.find(s + p, fold);
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
