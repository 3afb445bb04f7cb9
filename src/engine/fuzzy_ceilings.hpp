// Ceilings for the row search: at one start position, an upper bound on the
// best score of any candidate at or below each trie node, from the plain
// edit distance between keyword prefixes and the first text bytes (a
// window of 64 to 256, as wide as the level needs).
//
// The plain distance allows every step at every state (no threshold gate,
// no cut), so it is at most the edits of any state the search reaches: a
// score computed from it is at least the candidate's real score. It costs a
// few word operations per node (Myers' bit-parallel columns, one bit per
// consumed count), where the row search costs a few operations per cell, so
// the row search asks for a node's ceiling before it fills the node's row
// and leaves out every row whose ceiling is below its floor.
//
// Only what may reach the level (the best real score known) is worked out:
// a subtree that cannot reach it is not descended into, and a keyword whose
// plain score cannot reach it gets no real score. Both get a ceiling just
// below the level. So whether a score reaches the level is all that is ever
// asked of a column, a table lookup per consumed count (EditLimits).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/fuzzy_edit_limits.hpp"
#include "engine/fuzzy_index.hpp"
#include "engine/fuzzy_scoring.hpp"
#include "engine/keyword_trie.hpp"
#include "engine/scan_bytes.hpp"

namespace termsweep {

class FuzzyCeilings {
 public:
  using Node = KeywordTrie::Node;

  FuzzyCeilings(const KeywordTrie& trie, const FuzzyIndex& index, FuzzyScoring& scoring)
      : trie_(trie), index_(index), scoring_(scoring) {}

  // Computes the ceilings at the start set up in `scoring` (text s, read
  // through `fold`), from the level `known`: a score that some candidate
  // there reaches, or t; `guess` is a guess at the best score there.
  void compute(const unsigned char* s, const ByteMap& fold, float known, float guess);

  // Whether no candidate at or below `node` can score `floor` or more.
  bool rules_out(Node node, float floor) const {
    if (!active_ || !(floor > far_)) return false;
    const std::uint32_t unit = node.index;
    if (stamps_[unit] != generation_) return false;  // not visited: nothing known
    return (node.tail_depth == 0 ? ceilings_[unit] : tail_ceilings_[unit]) < floor;
  }

  // The most any candidate can score, the floor to try first (0 where the
  // last compute did not apply).
  float first_floor() const { return active_ ? std::max(far_, ceilings_[KeywordTrie::root().index]) : 0.0f; }

  // Where the last compute found the answer itself: a single candidate
  // (clean name and consumed count) with the best score, which nothing past
  // the window reaches. Then it is the exhaustive search's answer, there
  // being no other candidate with that score to come first.
  bool sole_best(FuzzyCandidate& out) const {
    if (!active_ || best_tied_ || best_.name == kNoName || !(best_.score > far_) ||
        best_.score < scoring_.threshold() || ceilings_[KeywordTrie::root().index] != best_.score) {
      return false;
    }
    out = best_;
    return true;
  }

  // How far into the text the last compute read (0 if it read nothing).
  std::uint64_t read_end() const { return active_ ? window_ : 0; }

 private:
  // Columns take one to kMostWords words per half: as many as the window
  // needs, chosen per start.
  static constexpr std::size_t kMostWords = 4;

  // A column of W words a half holds the edit counts E(k) = depth + the
  // signed sum of the low k difference bits, for k in [0, window]: words
  // [0, W) are the rises (bit k - 1: E(k) = E(k - 1) + 1), words [W, 2 W)
  // the falls (bit k - 1: E(k) = E(k - 1) - 1). The functions on columns
  // take W as a constant, W being words_.
  using Word = std::uint64_t;
  using Column = std::array<Word, 2 * kMostWords>;
  // The column of a child under `key`, into `next` (which may be `column`).
  template <std::size_t W>
  void step(const Word* column, std::uint32_t key, Word* next) const;
  // The most a candidate consuming more than w bytes can score.
  float past_window(std::uint64_t w) const;
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};
  // The last k in [first, window] (the first found, with kAny) at which
  // 1 - E(k) / most(k) reaches the level; kNone if there is none. `most`
  // is nondecreasing in k.
  template <std::size_t W, bool kAny, class Most>
  std::uint64_t reaching(const Word* column, std::uint64_t depth, std::uint64_t first, const Most& most);
  template <std::size_t W>
  bool subtree_reaches(const Word* column, std::uint64_t depth, Node node);
  void set_level(float level);

  const KeywordTrie& trie_;
  const FuzzyIndex& index_;
  FuzzyScoring& scoring_;
  bool active_ = false;
  float far_ = 0.0f;  // the most a candidate consuming more than the window can score
  EditLimits level_;  // its floor: a score known to be reached (or t)
  // The ceiling of what cannot reach the level: just below it, and 0 where
  // the level is 0 (nothing above 0 there).
  float below_level_ = 0.0f;
  std::uint64_t window_ = 0;
  std::size_t words_ = 0;  // a column's half: a power of two that the window fits
  // By folded byte: bit k - 1 where text byte k - 1 is it; the bytes set.
  Word equal_[256][kMostWords] = {};
  std::vector<unsigned char> equal_bytes_;
  const unsigned char* text_ = nullptr;
  const ByteMap* fold_ = nullptr;
  // By unit: the ceiling at the unit and at any node of its tail.
  std::vector<float> ceilings_;
  std::vector<float> tail_ceilings_;
  std::vector<std::uint32_t> stamps_;
  std::uint32_t generation_ = 0;
  // The nodes visited, parents before children, for the ceilings bottom up.
  struct Visited {
    std::uint32_t unit;
    std::uint32_t parent;
    std::uint32_t key;  // the byte leading to it
    float ceiling;  // the most its own name and its children's ceilings score
  };
  std::vector<Visited> visited_;
  // Nodes to visit, last first, with their columns, 2 words_ each, in
  // pending_columns_: the depth-first walk over the nodes that may reach
  // the level.
  struct Pending {
    Node node;
    std::uint32_t parent;
    std::uint32_t key;
    std::uint64_t depth;
  };
  std::vector<Pending> pending_;
  std::vector<Word> pending_columns_;
  void compute_from(const unsigned char* s, const ByteMap& fold, float level);
  template <std::size_t W>
  void descend();
  template <std::size_t W>
  void visit(const Pending& next, const Word* column);
  template <std::size_t W>
  float name_ceiling(std::uint32_t at, const Word* column, std::uint64_t depth, std::string_view chain,
                     NameId name);
  // Also sets `tied` where another count gives the same best score.
  FuzzyCandidate exact_score(std::uint32_t at, std::string_view chain, NameId name, std::uint64_t last, bool& tied);
  void note_best(const FuzzyCandidate& found, bool tied);
  FuzzyCandidate best_;     // the first candidate found with the highest score
  bool best_tied_ = false;  // and whether another scores the same
  std::vector<std::uint32_t> path_;  // exact_score's keyword bytes
  std::vector<std::int32_t> above_;  // and its rows
  std::vector<std::int32_t> below_;
};

}  // namespace termsweep
