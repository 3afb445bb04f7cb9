// Small UTF-8 helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace termsweep {

inline bool is_continuation_byte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Appends the UTF-8 form of a code point (any value up to 0x10FFFF; callers
// pass scalar values).
inline void append_utf8(std::uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Result of decoding one UTF-8 sequence.
struct Utf8Decoded {
  std::uint32_t code_point;
  std::size_t length;  // bytes consumed; 0 when the sequence is invalid
};

// Decodes the scalar value at the start of `bytes`; length 0 when the bytes
// there are not a complete, valid (shortest-form, non-surrogate) sequence.
Utf8Decoded decode_utf8(std::string_view bytes);

// Length of the longest valid UTF-8 prefix of `bytes`.
std::size_t utf8_valid_prefix(std::string_view bytes);

// Describes the first UTF-8 error at `valid_up_to`: the length (1 to 3) of
// the invalid sequence, or nothing when the input ends inside an incomplete
// sequence.
std::optional<std::size_t> utf8_error_length(std::string_view bytes, std::size_t valid_up_to);

}  // namespace termsweep
