// Full Unicode lower-casing of UTF-8 text, as Python's str.lower() does it:
// one-to-many mappings (U+0130 -> "i\u0307"), the final-sigma rule, and no
// case folding ('ß' stays, U+1E9E becomes 'ß').
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace termsweep {

// Unicode version of the generated tables.
extern const char* const kLowercaseUnicodeVersion;

// Lower-cases `text`, appending to `out`. Invalid UTF-8 bytes are copied
// through unchanged, each as a character of its own.
void append_lower(std::string_view text, std::string& out);

inline std::string to_lower(std::string_view text) {
  std::string out;
  append_lower(text, out);
  return out;
}

// True when lower-casing `text` changes nothing but ASCII capitals: every
// other character is its own lowercase form (most text that is not ASCII
// only has punctuation or lowercase letters beyond it). Such text can be
// scanned in place, lowering ASCII bytes as they are read.
bool lowers_only_ascii(std::string_view text);

// Where one character of the original text begins, in the original text and
// in its lower-cased form.
struct CharOffsets {
  std::uint64_t original;
  std::uint64_t lowered;
};

// Lower-cases `text` like append_lower. When some character's lower-cased
// form has another UTF-8 length than the character itself, fills `starts`
// with one entry per character of `text` plus a final entry for the two ends,
// and returns false; otherwise leaves `starts` empty and returns true (byte
// offsets of the two texts then coincide).
bool lower_with_offsets(std::string_view text, std::string& out, std::vector<CharOffsets>& starts);

}  // namespace termsweep
