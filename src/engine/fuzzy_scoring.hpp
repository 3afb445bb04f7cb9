// How the fuzzy search scores a candidate, when it may edit, and how high
// anything below a search state can score: shared by its two searches (the
// state search of fuzzy.cpp and the row search of fuzzy_rows.cpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "engine/fuzzy_index.hpp"
#include "engine/keyword_trie.hpp"
#include "engine/scan_bytes.hpp"

namespace termsweep {

// A keyword end reached at a start position: its clean name, the text bytes
// consumed and its similarity.
struct FuzzyCandidate {
  NameId name = kNoName;
  std::uint64_t consumed = 0;
  float score = 0;
};

class FuzzyScoring {
 public:
  using Node = KeywordTrie::Node;

  // For the scan of text[0..n), read through `fold`.
  FuzzyScoring(const KeywordTrie& trie, const FuzzyIndex& index, float t, const unsigned char* text,
               std::size_t n, const ByteMap& fold)
      : trie_(trie), index_(index), t_(t), excess_(index.name_excess()), text_(text), text_size_(n), fold_(fold) {
    edit_from_.fill(kUnknown);
    const FuzzyIndex::Reach all = index_.reach(KeywordTrie::root());
    constexpr std::uint64_t kExactFloats = std::uint64_t{1} << 24;
    const std::uint64_t used = std::uint64_t{all.longest_name} + all.height;
    exact_below_ = used < kExactFloats ? kExactFloats - used : 0;
  }

  // Sets up the search at the start s (in the text).
  void start(const unsigned char* s) {
    start_ = static_cast<std::size_t>(s - text_);
    remaining_ = text_size_ - start_;
    exact_bounds_ = remaining_ < exact_below_;
  }

  // How many text bytes from offset k on no keyword holds (0 at the end of
  // the text), once count_runs() has run; 0 before.
  std::uint64_t run_at(std::uint64_t k) const { return runs_.empty() ? 0 : runs_[start_ + k]; }
  // Counts them over the whole text, once: the row search does, and the
  // state search uses them from then on.
  void count_runs() {
    if (!runs_.empty()) return;
    runs_.assign(text_size_ + 1, 0);
    for (std::size_t x = text_size_; x-- > 0;) {
      if (!index_.in_keywords(fold_(text_[x]))) runs_[x] = runs_[x + 1] + (runs_[x + 1] != UINT32_MAX);
    }
  }

  float threshold() const { return t_; }
  // Whether bounds are used at the start set up (they are exact there).
  bool exact_bounds() const { return exact_bounds_; }
  std::uint64_t remaining() const { return remaining_; }

  float score(NameId name, std::uint64_t k, std::int32_t e) const {
    const std::uint64_t length = trie_.name(name).size();
    return 1.0f - static_cast<float>(e) / static_cast<float>(std::max<std::uint64_t>(length, k));
  }

  // Edit steps are taken from a state only while 1 - e / (k + 1) >= t.
  // Rounded division is monotone, so for each e the test holds from some k
  // on, and for each k up to some e. The state search asks by state and
  // keeps the first figure for few edits; the row search asks for whole
  // rows and keeps the second (edit_cap).
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
  // The most edits a state at k may have and still edit.
  std::int64_t edit_cap(std::uint64_t k) { return k < caps_.size() ? caps_[k] : extend_caps(k); }

  // The most any candidate at or below the state (a node with figures
  // `reach`, k bytes consumed, e edits) can score, where the `run` text
  // bytes from offset k on are bytes that no keyword holds (0: none known).
  //
  // From a state (node v at depth d, k, e), each step adds 1 to k, to the
  // depth or to both, and only the exact step is free, so a candidate w at
  // depth D reached with k' consumed and e' edits has
  // e' >= e + |(D - d) - (k' - k)|. With c = k + D - d, its score
  // 1 - e' / max(L_w, k') is at most 1 - e / max(L_w, min(c, r)): for
  // k' <= c the denominator is at most max(L_w, min(c, r)) (k' <= r) and
  // e' >= e; for k' > max(L_w, c), e' >= e + k' - c, and
  // (e + k' - c) / k' >= e / c when c >= e, while for c < e the score is
  // negative. Over the subtree,
  // bound = 1 - e / max(longest name, min(k + height, r)).
  //
  // A run sharpens it. While inside the run no step is exact, so a
  // candidate that stops within it has e' >= e + max(k' - k, D - d); if
  // e >= k and e >= d + X (X: the most a clean name exceeds its keyword),
  // that is at least max(k', D + X) >= max(L_w, k'), and it scores at most
  // 0, which never wins. A candidate beyond the run passes a state at offset
  // k + run below v with at least e + run edits, and the bound above applies
  // there: 1 - (e + run) / max(longest name, min(k + run + height, r)).
  //
  // In 32-bit floats all this holds while every integer involved is below
  // 2^24 (conversions are exact, and rounded division and subtraction are
  // monotone); where a start lies further than that from the text's end the
  // bound is not used (1, no cut but the threshold's).
  //
  // Ratio holds the bound as 1 - edits / most (1 where edits is 0 or the
  // bound is not used).
  struct Ratio {
    std::uint64_t edits;
    std::uint64_t most;
    float value() const { return edits == 0 ? 1.0f : 1.0f - static_cast<float>(edits) / static_cast<float>(most); }
  };
  Ratio bound_ratio(const FuzzyIndex::Reach& reach, std::uint64_t k, std::int32_t e, std::uint64_t run = 0) const {
    std::uint64_t edits = static_cast<std::uint64_t>(e);
    if (run != 0 && edits >= k && edits >= std::uint64_t{reach.depth} + excess_) {
      k += run;
      edits += run;
    }
    if (!exact_bounds_) return {0, 1};
    const std::uint64_t span = std::min<std::uint64_t>(k + reach.height, remaining_);
    return {edits, std::max<std::uint64_t>(reach.longest_name, span)};
  }
  float bound_without_runs(Node node, std::uint64_t k, std::int32_t e) const {
    return bound_ratio(index_.reach(node), k, e).value();
  }

 private:
  std::int64_t extend_caps(std::uint64_t k) {
    while (caps_.size() <= k) {
      const std::uint64_t at = caps_.size();
      std::int64_t cap = caps_.empty() ? 0 : caps_.back();
      while (gate(at, cap + 1)) ++cap;
      caps_.push_back(cap);
    }
    return caps_[k];
  }

  bool gate(std::uint64_t k, std::int64_t e) const {
    return 1.0f - static_cast<float>(e) / static_cast<float>(k + 1) >= t_;
  }

  const KeywordTrie& trie_;
  const FuzzyIndex& index_;
  const float t_;
  const std::uint64_t excess_;
  std::uint64_t exact_below_;  // bounds are exact for starts this close to the end
  bool exact_bounds_ = false;
  std::uint64_t remaining_ = 0;
  const unsigned char* const text_;
  const std::size_t text_size_;
  const ByteMap& fold_;
  std::size_t start_ = 0;            // where the search at hand starts in the text
  std::vector<std::uint32_t> runs_;  // run_at by text offset (saturating)
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  std::array<std::uint64_t, 64> edit_from_;  // by edits: the least k that may edit
  std::vector<std::int64_t> caps_;           // edit_cap by k, as far as asked
};

}  // namespace termsweep
