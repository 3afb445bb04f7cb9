// The row search: the fuzzy search at one start position as a dynamic
// program over the trie, one row of edit counts per node. It costs a few
// operations per (node, consumed) pair, where the state search costs a stack
// entry and a memo lookup per state, so it takes over at starts where the
// state search finds nothing good early (low thresholds, runs of
// punctuation or indentation). Rows under nodes whose ceiling
// (fuzzy_ceilings.hpp) is below the floor are never filled, and where the
// ceilings find the answer itself no row is.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/fuzzy_ceilings.hpp"
#include "engine/fuzzy_edit_limits.hpp"
#include "engine/fuzzy_index.hpp"
#include "engine/fuzzy_scoring.hpp"
#include "engine/interrupt.hpp"
#include "engine/keyword_trie.hpp"
#include "engine/scan_bytes.hpp"

namespace termsweep {

class RowSearch {
 public:
  RowSearch(const KeywordTrie& trie, const FuzzyIndex& index, FuzzyScoring& scoring, InterruptClock& clock)
      : trie_(trie), index_(index), scoring_(scoring), clock_(clock), ceilings_(trie, index, scoring) {}

  // The candidate that the exhaustive search picks at the start set up in
  // `scoring` (text s, read through `fold`), given the score `known` of some
  // candidate there (0 if none is known).
  FuzzyCandidate find(const unsigned char* s, const ByteMap& fold, float known);
  // How far into the text the last find read: past every cell's k, every
  // run it asked the length of and the ceilings' window.
  std::uint64_t read_end() const { return read_end_; }

 private:
  using Node = KeywordTrie::Node;
  static constexpr std::int32_t kUnreached = INT32_MAX;

  // The fewest edits with which the search reaches (node, k), for k in
  // [lo, lo + size), at cells_[cells ...].
  struct Row {
    Node node;
    std::uint32_t key;     // the byte (key) leading to the node
    std::uint32_t parent;  // its parent's row
    std::uint64_t lo;
    std::size_t size;
    std::size_t cells;
    std::int64_t least_excess;      // the least e - k over the cells (INT64_MAX: none)
    float floor;                    // the floor the cells were cut by
    std::uint32_t first_child = 0;  // the children's rows follow in ascending key order
    std::uint32_t children = 0;
  };

  std::int32_t edits(const Row& row, std::uint64_t k) const {
    return k >= row.lo && k - row.lo < row.size ? cells_[row.cells + (k - row.lo)] : kUnreached;
  }
  bool on_best_way(const Row& row, std::uint64_t k) const {
    return k >= row.lo && k - row.lo < row.size && (marks_[row.cells + (k - row.lo)] & kOnBestWay) != 0;
  }

  // Whether the state (a node with figures `reach`, k, e) may hold a
  // candidate scoring at least the floor (the best so far, or t) and more
  // than 0.
  bool keeps(const FuzzyIndex::Reach& reach, std::uint64_t k, std::int32_t e) {
    // The run's length at k depends on the bytes from k to its end.
    const std::uint64_t run = scoring_.run_at(k);
    read_end_ = std::max(read_end_, k + run + 1);
    return reaches_floor(scoring_.bound_ratio(reach, k, e, run));
  }
  // Whether a cell (k, e) with e - k >= least could be kept: by the bound
  // without runs, which is at least the bound.
  bool could_keep(const FuzzyIndex::Reach& reach, std::uint64_t k, std::int64_t least) {
    const std::int64_t e = static_cast<std::int64_t>(k) + least;
    return e <= 0 ||
           reaches_floor(scoring_.bound_ratio(reach, k, static_cast<std::int32_t>(std::min<std::int64_t>(e, INT32_MAX))));
  }
  bool reaches_floor(const FuzzyScoring::Ratio& bound) { return limits_.reaches(bound.edits, bound.most); }
  void set_floor(float floor) { limits_.set_floor(floor); }
  float floor() const { return limits_.floor(); }

  // The best score of a candidate at or above `lowest` (and t), 0 if none:
  // cells whose bound is below that floor or the best so far are cut.
  float fill_rows(const unsigned char* s, const ByteMap& fold, float lowest);
  void add_child_rows(std::uint32_t at, const unsigned char* s, const ByteMap& fold);
  bool keep_row(Node node, std::uint32_t key, std::uint32_t parent, std::uint64_t lo);
  void mark_best_ways(const unsigned char* s, const ByteMap& fold, float target);
  FuzzyCandidate first_on_best_way(const unsigned char* s, const ByteMap& fold, float target);

  enum : std::uint8_t { kOnBestWay = 1, kExpanded = 2 };

  const KeywordTrie& trie_;
  const FuzzyIndex& index_;
  FuzzyScoring& scoring_;
  InterruptClock& clock_;
  FuzzyCeilings ceilings_;
  std::vector<Row> rows_;
  std::vector<std::int32_t> cells_;
  std::vector<std::uint8_t> marks_;  // by cell
  std::vector<std::int32_t> row_;    // the row being computed, from its parent's lo
  std::vector<std::int32_t> stepped_;  // add_child_rows: the parent's cells after an edit step
  std::vector<std::uint32_t> pending_rows_;
  std::vector<std::pair<std::uint32_t, std::uint64_t>> pending_cells_;  // (row, k)
  float hint_ = 0.0f;  // the best score at the previous start
  float met_ = 0.0f;   // the best score of a candidate that fill_rows met, below its floor or not
  std::uint64_t read_end_ = 0;  // see read_end()
  static constexpr float kLowestGuess = 1.0f / 4096;  // the last floor halved to before 0
  EditLimits limits_;  // by the floor
};

}  // namespace termsweep
