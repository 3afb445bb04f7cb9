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

using FuzzySearch = FuzzyCandidate (*)(const TrieNode&, std::string_view, std::uint64_t, float);

// Scans `folded` (the text after folding) with threshold `t`, which must
// already be checked.
std::vector<KeywordMatch> extract_folded(const KeywordProcessor& processor, std::string_view folded,
                                         float t,
                                         FuzzySearch fuzzy = &find_fuzzy_candidate_reference);

}  // namespace termsweep
