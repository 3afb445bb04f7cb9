// Ceilings for the row search: at one start position, an upper bound on the
// best score of any candidate at or below each trie node, from the plain
// edit distance between keyword prefixes and the first 128 text bytes.
//
// The plain distance allows every step at every state (no threshold gate,
// no cut), so it is at most the edits of any state the search reaches: a
// score computed from it is at least the candidate's real score. It costs a
// few word operations per node (Myers' bit-parallel columns, one bit per
// consumed count), where the row search costs a few operations per cell, so
// the row search asks for a node's ceiling before it fills the node's row
// and leaves out every row whose ceiling is below its floor.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

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
  // through `fold`). Subtrees whose ceiling is found below `prune_below` are
  // not descended into: they keep a coarser ceiling, still an upper bound.
  void compute(const unsigned char* s, const ByteMap& fold, float prune_below);

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

  // How far into the text the last compute read (0 if it read nothing).
  std::uint64_t read_end() const { return active_ ? window_ : 0; }

 private:
  static constexpr std::size_t kWords = 2;
  static constexpr std::uint64_t kWindow = 64 * kWords;

  // Edit counts E(k) = depth + the signed sum of the low k difference bits,
  // for k in [0, window].
  struct Column {
    std::uint64_t up[kWords];    // bit k - 1: E(k) = E(k - 1) + 1
    std::uint64_t down[kWords];  // bit k - 1: E(k) = E(k - 1) - 1
    std::uint64_t depth;
  };
  Column step(const Column& column, std::uint32_t key) const;
  // The most 1 - E(k) / most(k) scores over k, `most` nondecreasing in k;
  // where that is below the level, possibly only a bound below the level.
  template <class Most>
  float most_score(const Column& column, const Most& most) const;
  float subtree_bound(const Column& column, Node node) const;
  float own_bound(const Column& column, NameId name) const;

  const KeywordTrie& trie_;
  const FuzzyIndex& index_;
  FuzzyScoring& scoring_;
  bool active_ = false;
  float far_ = 0.0f;  // the most a candidate consuming more than the window can score
  float prune_below_ = 0.0f;
  std::uint64_t window_ = 0;
  std::size_t words_ = 0;  // that the window takes
  std::uint64_t equal_[256][kWords] = {};  // by folded byte: bit k - 1 where text byte k - 1 is it
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
    float bound;  // of the subtree, from the node's own column
    float best;   // the most its own name and its children's ceilings score
  };
  std::vector<Visited> visited_;
  struct Pending {
    Node node;
    std::uint32_t parent;
    std::uint32_t key;
    Column column;
    float bound;  // of the subtree, from the node's own column
  };
  void visit(const Pending& next);
  float exact_score(std::uint32_t at, std::string_view chain, NameId name);
  std::vector<std::uint32_t> path_;  // exact_score's keyword bytes
  std::vector<std::int32_t> above_;  // and its rows
  std::vector<std::int32_t> below_;
  std::vector<Pending> pending_;
};

}  // namespace termsweep
