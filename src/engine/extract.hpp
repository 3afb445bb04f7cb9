// Extraction over an already folded text; shared by extraction, replacement
// and the tests that compare the fuzzy search with its reference.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/keyword_processor.hpp"

namespace termsweep {

// The threshold in force: 1 when absent. Fails with "Threshold must be
// between 0 and 1" outside [0, 1] and for NaN.
float checked_threshold(std::optional<float> threshold);

// Two decimals in 32-bit arithmetic, halves away from zero.
float round_similarity(float similarity);

// A state of the fuzzy search: a trie node, the text bytes consumed from the
// start position and the edits spent.
struct FuzzyState {
  const TrieNode* node;
  std::uint64_t consumed;
  std::int32_t edits;
};

// The best fuzzy candidate at one start position.
struct FuzzyCandidate {
  const TrieNode* node = nullptr;  // null: no candidate
  std::uint64_t consumed = 0;      // text bytes consumed (k)
  float score = 0;
};

// The exhaustive depth-first search, state for state as described by the
// matching rules: last-in-first-out stack, strict improvement only.
FuzzyCandidate find_fuzzy_candidate_reference(const TrieNode& root, std::string_view text,
                                              std::uint64_t start, float threshold);

// The same search, made fast by never expanding a (node, consumed) pair
// again once it has been expanded with no more edits. That is exact: such a
// state is never its own descendant, so the earlier one's whole subtree has
// been searched by then, and every score below the later one is at most the
// corresponding earlier score, which the strictly-better rule already saw.
class FuzzySearcher {
 public:
  FuzzyCandidate find(const TrieNode& root, std::string_view text, std::uint64_t start, float t);

 private:
  struct Slot {
    const TrieNode* node;
    std::uint64_t consumed;
    std::int32_t edits;
    std::uint32_t generation;
  };
  // True when the state still needs expanding; records it as expanded.
  bool first_visit(const FuzzyState& state);
  void grow();

  std::vector<FuzzyState> stack_;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::uint32_t generation_ = 0;
};

enum class FuzzyEngine { Fast, Reference };

// Scans `folded` (the text after folding) with threshold `t`, which must
// already be checked.
std::vector<KeywordMatch> extract_folded(const KeywordProcessor& processor, std::string_view folded,
                                         float t, FuzzyEngine engine = FuzzyEngine::Fast);

}  // namespace termsweep
