// UTF-8: the one encoder and the one decoder that every layer uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace termsweep {

inline bool is_continuation_byte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Writes the UTF-8 form of a code point (any value up to 0x10FFFF; callers
// pass scalar values) at `out`, which has room for four bytes. Returns its
// length.
inline std::size_t encode_utf8(std::uint32_t cp, char* out) noexcept {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

inline void append_utf8(std::uint32_t cp, std::string& out) {
  char buffer[4];
  out.append(buffer, encode_utf8(cp, buffer));
}

// What a lead byte allows: the sequence's length (0 for a byte that cannot
// lead) and the range of its second byte, which is what excludes overlong
// forms, surrogates and values above 0x10FFFF.
struct Utf8Lead {
  std::size_t length;
  unsigned char second_min;
  unsigned char second_max;
};

constexpr Utf8Lead utf8_lead(unsigned char lead) {
  if (lead < 0x80) return {1, 0, 0};
  if (lead < 0xC2) return {0, 0, 0};
  if (lead < 0xE0) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead < 0xF0) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead < 0xF4) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// Decodes the scalar value at `p` (p < end) into `cp`. Returns its length, or
// 0 when the bytes there are not one complete, valid (shortest-form,
// non-surrogate) sequence.
inline std::size_t decode_utf8(const unsigned char* p, const unsigned char* end,
                               std::uint32_t& cp) noexcept {
  const std::uint32_t b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  const Utf8Lead lead = utf8_lead(static_cast<unsigned char>(b0));
  if (lead.length == 0 || static_cast<std::size_t>(end - p) < lead.length ||
      p[1] < lead.second_min || p[1] > lead.second_max) {
    return 0;
  }
  if (lead.length == 2) {
    cp = (b0 & 0x1F) << 6 | (p[1] & 0x3Fu);
    return 2;
  }
  if (!is_continuation_byte(p[2])) return 0;
  if (lead.length == 3) {
    cp = (b0 & 0x0F) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    return 3;
  }
  if (!is_continuation_byte(p[3])) return 0;
  cp = (b0 & 0x07) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
  return 4;
}

// The same over a string: the scalar value at its start and the bytes it
// takes (length 0 when invalid or empty).
struct Utf8Decoded {
  std::uint32_t code_point;
  std::size_t length;
};

inline Utf8Decoded decode_utf8(std::string_view bytes) noexcept {
  if (bytes.empty()) return {0, 0};
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::uint32_t cp = 0;
  const std::size_t length = decode_utf8(p, p + bytes.size(), cp);
  return {length == 0 ? 0 : cp, length};
}

// Length of the longest valid UTF-8 prefix of `bytes`.
std::size_t utf8_valid_prefix(std::string_view bytes);

// Describes the first UTF-8 error at `valid_up_to`: the length (1 to 3) of
// the invalid sequence, or nothing when the input ends inside an incomplete
// sequence.
std::optional<std::size_t> utf8_error_length(std::string_view bytes, std::size_t valid_up_to);

}  // namespace termsweep
