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

// Why a state could not be read. `description` is the text the Python layer
// puts after "called `Result::unwrap()` on an `Err` value: ", e.g.
// "Io(Kind(UnexpectedEof))".
struct ReadError {
  std::string description;
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
