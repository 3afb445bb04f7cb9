// Byte layouts of a saved processor and a saved match: their writers and
// readers. Numbers are little-endian on every host.
//
// Processor state: u64 word count (17408), the 17408 u64 words of the
// word-character set, the root's node record, then the flags case_sensitive
// and allow_overlaps (one byte each, 0 or 1).
// Node record: u64 child count; per child its key as UTF-8 (1-4 bytes)
// followed at once by the child's own record; then the clean name as an
// optional string (tag 0, or tag 1 + u64 length + UTF-8 bytes).
// Match state: keyword as u64 length + UTF-8 bytes, similarity as the 4
// bytes of its binary32 pattern, then start and end as u64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/keyword_processor.hpp"

namespace termsweep::state {

// Bytes of a processor state outside the root's node record: the word count,
// the set and the two flags.
inline constexpr std::size_t kProcessorStateFixedBytes = 8 + 139264 + 2;
// Bytes of a match state besides the keyword's text.
inline constexpr std::size_t kMatchStateFixedBytes = 28;

// Why a state could not be read: the first fault met, with its facts. The
// Python layer words it.
struct ReadError {
  enum class Kind {
    kShortRead,    // a fixed-size value is cut off: `expected` bytes, `found` left
    kShortBody,    // a string's declared length `expected` runs past the `found` bytes left
    kInvalidUtf8,  // a string of `expected` bytes is valid UTF-8 only up to `found`
    kInvalidBool,  // a flag byte `found` is neither 0 nor 1
    kInvalidChar,  // a child key is not one valid UTF-8 character
    kInvalidTag,   // an optional string's tag `found` is neither 0 nor 1
    kWordCount,    // the word count `found` is not `expected` (17408)
  };
  Kind kind = Kind::kShortRead;
  std::size_t offset = 0;  // where the faulty value (a string's body) starts in the input
  std::uint64_t expected = 0;
  std::uint64_t found = 0;
  // kInvalidUtf8: the length (1 to 3) of the invalid sequence at `found`;
  // none when the string ends inside a sequence.
  std::optional<std::size_t> error_len;

  bool operator==(const ReadError&) const = default;
};

// Child keys must be Unicode scalar values (insertion only makes 0-255).
std::string write_processor_state(const KeywordProcessor& processor);

// A complete new processor, or nullptr with `error` filled. Bytes after the
// last flag are ignored. Safe on any input: walks without recursion, never
// reads past `bytes`, and allocates only for what the input really holds.
std::unique_ptr<KeywordProcessor> read_processor_state(std::string_view bytes, ReadError& error);

std::string write_match_state(const MatchValue& match);

// The four fields, or nothing with `error` filled. Bytes after `end` are
// ignored.
std::optional<MatchValue> read_match_state(std::string_view bytes, ReadError& error);

}  // namespace termsweep::state
