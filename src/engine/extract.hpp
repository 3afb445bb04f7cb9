// Extraction over the text as the trie sees it; shared by extraction and
// replacement.
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

// How a scan reads its text: bytes already folded (or a case-sensitive
// processor's text), or text whose only capitals are ASCII, lower-cased byte
// by byte as it is read (the folded text then has the same offsets).
enum class TextForm { kScanned, kLowerAsciiAsRead };

// The form in which `processor` can scan `text` without a folded copy, if
// there is one.
std::optional<TextForm> form_without_copy(const KeywordProcessor& processor, std::string_view text);

// Scans `text` (read as `form` says) with the checked threshold `t`.
std::vector<KeywordMatch> extract_scanned(const KeywordProcessor& processor, std::string_view text,
                                          TextForm form, float t, const Interrupt& interrupt);

}  // namespace termsweep
