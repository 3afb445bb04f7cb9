// The processor state and the operations on it that involve no Python object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/trie.hpp"
#include "engine/word_set.hpp"

namespace termsweep {

// One accepted occurrence. `keyword` borrows the clean name from the trie and
// stays valid only while the processor is not changed.
struct KeywordMatch {
  std::string_view keyword;
  std::uint64_t start;
  std::uint64_t end;
  float similarity;
};

// A match that owns its values: what a Python match object holds and what the
// match state carries.
struct MatchValue {
  std::string keyword;
  float similarity = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

struct KeywordProcessor {
  WordCharSet non_word_boundaries = WordCharSet::with_defaults();
  TrieNode root;
  bool case_sensitive = false;
  bool allow_overlaps = false;

  KeywordProcessor() noexcept = default;
  KeywordProcessor(bool case_sensitive_, bool allow_overlaps_) noexcept
      : case_sensitive(case_sensitive_), allow_overlaps(allow_overlaps_) {}

  // The text as the trie sees it: lower-cased unless case-sensitive.
  std::string fold(std::string_view text) const;

  void add_keyword(std::string_view keyword, std::optional<std::string_view> clean_name);
  std::uint64_t count_keywords() const { return termsweep::count_keywords(root); }
  bool remove_keyword(std::string_view keyword);
  // (keyword, clean name) for every stored keyword, keywords in their own
  // UTF-8 form when their key path is valid UTF-8.
  std::vector<std::pair<std::string, std::string>> get_all_keywords() const;

  // Fails with "Threshold must be between 0 and 1" unless 0 <= threshold <= 1.
  std::vector<KeywordMatch> extract_keywords(std::string_view text,
                                             std::optional<float> threshold) const;
  std::string replace_keywords(std::string_view text, std::optional<float> threshold) const;
};

}  // namespace termsweep
