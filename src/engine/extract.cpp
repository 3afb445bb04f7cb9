#include "engine/extract.hpp"

#include <cmath>
#include <cstddef>

#include "common/failure.hpp"
#include "engine/fuzzy.hpp"
#include "engine/lowercase.hpp"
#include "engine/scan_bytes.hpp"

namespace termsweep {
namespace {

// The longest keyword at each start; a start is any offset after a non-word
// byte (every offset with overlaps allowed).
template <bool kOverlaps>
void scan_exact(const KeywordTrie& trie, const unsigned char* s, std::size_t n, const bool* is_word,
                const ByteMap& fold, const Interrupt& interrupt, std::vector<KeywordMatch>& matches) {
  const KeywordTrie::LongestMatcher longest(trie);
  // Bytes left to look at before the next poll; one subtraction and a sign
  // test per start.
  auto budget = static_cast<std::ptrdiff_t>(Interrupt::kPollBytes);
  std::size_t p = 0;
  while (p < n) {
    const KeywordTrie::LongestMatch found = longest(s, p, n, fold);
    budget -= static_cast<std::ptrdiff_t>(found.walked);
    if (budget < 0) [[unlikely]] {
      interrupt.check();
      budget = static_cast<std::ptrdiff_t>(Interrupt::kPollBytes);
    }
    if (found.name != kNoName && (kOverlaps || found.end == n || !is_word[s[found.end]])) {
      matches.push_back({found.name, 1.0f, is_whitespace(s[p]) ? p + 1 : p, found.end});
      p = found.end;
    } else {
      ++p;  // shorter keywords ending here are not tried
    }
    if (!kOverlaps && p < n && is_word[s[p - 1]]) {
      // Inside a word: the next start follows its end.
      while (p < n && is_word[s[p]]) ++p;
      ++p;
    }
  }
}

std::vector<KeywordMatch> scan(const KeywordProcessor& processor, std::string_view text,
                               const bool* is_word, const ByteMap& fold, float t, const Interrupt& interrupt) {
  std::vector<KeywordMatch> matches;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  if (t == 1.0f) {
    const auto exact = processor.allow_overlaps() ? scan_exact<true> : scan_exact<false>;
    exact(processor.trie(), s, text.size(), is_word, fold, interrupt, matches);
  } else {
    scan_fuzzy(processor, s, text.size(), is_word, fold, t, interrupt, matches);
  }
  return matches;
}

}  // namespace

float checked_threshold(std::optional<float> threshold) {
  float t = threshold.value_or(1.0f);
  if (!(t >= 0.0f && t <= 1.0f)) fail("Threshold must be between 0 and 1");
  return t;
}

float round_similarity(float similarity) {
  return std::round(similarity * 100.0f) / 100.0f;
}

std::optional<TextForm> form_without_copy(const KeywordProcessor& processor, std::string_view text) {
  if (processor.case_sensitive()) return TextForm::kScanned;
  if (lowers_only_ascii(text)) return TextForm::kLowerAsciiAsRead;
  return std::nullopt;
}

std::vector<KeywordMatch> extract_scanned(const KeywordProcessor& processor, std::string_view text,
                                          TextForm form, float t, const Interrupt& interrupt) {
  const WordBytes& words = processor.word_bytes();
  if (form == TextForm::kLowerAsciiAsRead) {
    return scan(processor, text, words.lower_ascii_as_read.data(), kLowerAscii, t, interrupt);
  }
  return scan(processor, text, words.scanned.data(), kAsIs, t, interrupt);
}

std::vector<KeywordMatch> KeywordProcessor::extract_keywords(std::string_view text,
                                                             std::optional<float> threshold,
                                                             const Interrupt& interrupt) const {
  const float t = checked_threshold(threshold);
  if (const std::optional<TextForm> form = form_without_copy(*this, text)) {
    return extract_scanned(*this, text, *form, t, interrupt);
  }
  const std::string folded = to_lower(text);
  return extract_scanned(*this, folded, TextForm::kScanned, t, interrupt);
}

}  // namespace termsweep
