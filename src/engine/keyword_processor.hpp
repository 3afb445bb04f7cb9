// The processor: its keywords, its word characters and its two flags, with
// every operation that involves no Python object.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/fuzzy_index.hpp"
#include "engine/fuzzy_window_cache.hpp"
#include "engine/interrupt.hpp"
#include "engine/keyword_trie.hpp"
#include "engine/word_set.hpp"

namespace termsweep {

// One accepted occurrence: the clean name of the keyword found (its id in the
// processor, valid while the processor is not changed) and its place in the
// scanned text, in bytes.
struct KeywordMatch {
  NameId keyword;
  float similarity;
  std::uint64_t start;
  std::uint64_t end;
};

// A match that owns its values: what the match state carries.
struct MatchValue {
  std::string keyword;
  float similarity = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

// Which bytes of a scanned text are word bytes: a byte is looked up as the
// code point of its value, so only members below U+0100 take part.
struct WordBytes {
  std::array<bool, 256> scanned{};              // bytes of an already folded text
  std::array<bool, 256> lower_ascii_as_read{};  // bytes read through ASCII lowering
};

class KeywordProcessor {
 public:
  explicit KeywordProcessor(bool case_sensitive = false, bool allow_overlaps = false);
  KeywordProcessor(const WordCharSet& word_chars, KeywordTrie trie, bool case_sensitive,
                   bool allow_overlaps);

  bool case_sensitive() const noexcept { return case_sensitive_; }
  bool allow_overlaps() const noexcept { return allow_overlaps_; }
  const KeywordTrie& trie() const noexcept { return trie_; }
  // The fuzzy search's figures for the current keywords (built on first use).
  std::shared_ptr<const FuzzyIndex> fuzzy_index() const { return fuzzy_index_.get(trie_); }
  // The fuzzy search's answers kept from earlier scans of these keywords.
  const FuzzyWindowCachePool& fuzzy_window_caches() const noexcept { return fuzzy_windows_; }

  // The word characters: characters that are not word boundaries.
  const WordCharSet& word_chars() const noexcept { return word_chars_; }
  const WordBytes& word_bytes() const noexcept { return word_bytes_; }
  void add_word_char(std::uint32_t code_point);
  void set_word_chars(std::span<const std::uint32_t> code_points);

  // Files a keyword (its clean name defaults to the folded keyword) and
  // returns the id of its clean name.
  NameId add_keyword(std::string_view keyword, std::optional<std::string_view> clean_name);
  // The id the removed keyword's name had; nothing when there was none.
  std::optional<NameId> remove_keyword(std::string_view keyword);
  std::uint64_t count_keywords() const noexcept { return trie_.keyword_count(); }
  std::string_view clean_name(NameId id) const { return trie_.name(id); }
  // (keyword, clean name) for every stored keyword, keywords in their own
  // UTF-8 form when their key path is valid UTF-8.
  std::vector<std::pair<std::string, std::string>> get_all_keywords() const;

  // Fails with "Threshold must be between 0 and 1" unless 0 <= threshold <= 1.
  // A long call polls `interrupt` and throws Interrupted when it says so.
  std::vector<KeywordMatch> extract_keywords(std::string_view text, std::optional<float> threshold,
                                             const Interrupt& interrupt = {}) const;
  std::string replace_keywords(std::string_view text, std::optional<float> threshold,
                               const Interrupt& interrupt = {}) const;

 private:
  void update_word_bytes() noexcept;
  // Drops what the fuzzy search keeps about the keywords, which are about
  // to change.
  void forget_fuzzy_figures() noexcept {
    fuzzy_index_.reset();
    fuzzy_windows_.reset();
  }
  // The folded form of a keyword, in a buffer reused across calls (they
  // mutate, so they never overlap).
  std::string_view fold_key(std::string_view keyword);

  WordCharSet word_chars_;
  WordBytes word_bytes_;
  KeywordTrie trie_;
  FuzzyIndexCache fuzzy_index_;
  FuzzyWindowCachePool fuzzy_windows_;
  bool case_sensitive_ = false;
  bool allow_overlaps_ = false;
  std::string key_buffer_;
};

}  // namespace termsweep
