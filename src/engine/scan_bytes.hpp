// What the exact and the fuzzy scan share: how they read the bytes of a text.
#pragma once

#include <array>

namespace termsweep {

// Whitespace for the trimming of match bounds: tab, line feed, carriage
// return and space.
inline bool is_whitespace(unsigned char byte) {
  return byte == '\t' || byte == '\n' || byte == '\r' || byte == ' ';
}

// How a scan reads each byte of its text: through one of these tables.
struct ByteMap {
  std::array<unsigned char, 256> to;
  unsigned char operator()(unsigned char byte) const { return to[byte]; }
};

inline constexpr ByteMap kAsIs = [] {
  ByteMap map{};
  for (unsigned b = 0; b < 256; ++b) map.to[b] = static_cast<unsigned char>(b);
  return map;
}();

inline constexpr ByteMap kLowerAscii = [] {
  ByteMap map = kAsIs;
  for (unsigned b = 'A'; b <= 'Z'; ++b) map.to[b] = static_cast<unsigned char>(b + 32);
  return map;
}();

}  // namespace termsweep
