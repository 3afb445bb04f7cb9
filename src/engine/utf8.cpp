#include "engine/utf8.hpp"

namespace termsweep {

std::size_t utf8_valid_prefix(std::string_view bytes) {
  const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = begin + bytes.size();
  const unsigned char* p = begin;
  while (p < end) {
    // ASCII runs, eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t chunk = 0;
      for (int j = 0; j < 8; ++j) chunk |= std::uint64_t{p[j]} << (8 * j);
      if (chunk & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p == end) break;
    std::uint32_t cp;
    const std::size_t length = decode_utf8(p, end, cp);
    if (length == 0) break;
    p += length;
  }
  return static_cast<std::size_t>(p - begin);
}

std::optional<std::size_t> utf8_error_length(std::string_view bytes, std::size_t valid_up_to) {
  if (valid_up_to >= bytes.size()) return std::nullopt;
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data()) + valid_up_to;
  const std::size_t available = bytes.size() - valid_up_to;
  const Utf8Lead lead = utf8_lead(b[0]);
  if (lead.length == 0) return 1;
  // The bytes that still fit the lead's rule make up the invalid sequence.
  std::size_t fitting = 1;
  for (; fitting < lead.length && fitting < available; ++fitting) {
    const unsigned char lo = fitting == 1 ? lead.second_min : 0x80;
    const unsigned char hi = fitting == 1 ? lead.second_max : 0xBF;
    if (b[fitting] < lo || b[fitting] > hi) return fitting;
  }
  // Cut off by the end of the input while still valid so far: no length.
  if (fitting < lead.length) return std::nullopt;
  return fitting;
}

}  // namespace termsweep
