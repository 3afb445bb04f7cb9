#include "engine/utf8.hpp"

namespace termsweep {
namespace {

// Bytes that may follow the lead byte of a sequence: the second byte's range
// depends on the lead (this excludes overlong forms, surrogates and values
// above 0x10FFFF).
struct LeadRule {
  std::size_t length;
  unsigned char second_min;
  unsigned char second_max;
};

LeadRule lead_rule(unsigned char lead) {
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

// Number of bytes of a valid sequence present at the start of `bytes`
// (checking as far as the input goes), and whether it is complete.
struct Probe {
  std::size_t valid_bytes;
  bool complete;
  std::size_t needed;
};

Probe probe(std::string_view bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const LeadRule rule = lead_rule(b[0]);
  if (rule.length == 0) return {0, false, 0};
  if (rule.length == 1) return {1, true, 1};
  std::size_t i = 1;
  for (; i < rule.length && i < bytes.size(); ++i) {
    const unsigned char lo = i == 1 ? rule.second_min : 0x80;
    const unsigned char hi = i == 1 ? rule.second_max : 0xBF;
    if (b[i] < lo || b[i] > hi) return {i, false, rule.length};
  }
  return {i, i == rule.length, rule.length};
}

}  // namespace

Utf8Decoded decode_utf8(std::string_view bytes) {
  if (bytes.empty()) return {0, 0};
  const Probe p = probe(bytes);
  if (!p.complete) return {0, 0};
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  switch (p.needed) {
    case 1:
      return {b[0], 1};
    case 2:
      return {(std::uint32_t{b[0]} & 0x1F) << 6 | (b[1] & 0x3Fu), 2};
    case 3:
      return {(std::uint32_t{b[0]} & 0x0F) << 12 | (b[1] & 0x3Fu) << 6 | (b[2] & 0x3Fu), 3};
    default:
      return {(std::uint32_t{b[0]} & 0x07) << 18 | (b[1] & 0x3Fu) << 12 | (b[2] & 0x3Fu) << 6 |
                  (b[3] & 0x3Fu),
              4};
  }
}

std::size_t utf8_valid_prefix(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    // ASCII runs, eight bytes at a time.
    while (i + 8 <= bytes.size()) {
      std::uint64_t chunk = 0;
      for (int j = 0; j < 8; ++j) chunk |= std::uint64_t{static_cast<unsigned char>(bytes[i + j])} << (8 * j);
      if (chunk & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= bytes.size()) break;
    const Probe p = probe(bytes.substr(i));
    if (!p.complete) break;
    i += p.needed;
  }
  return i;
}

std::optional<std::size_t> utf8_error_length(std::string_view bytes, std::size_t valid_up_to) {
  if (valid_up_to >= bytes.size()) return std::nullopt;
  const Probe p = probe(bytes.substr(valid_up_to));
  // An incomplete but so far valid sequence at the very end: no length.
  if (p.needed != 0 && p.valid_bytes == bytes.size() - valid_up_to && !p.complete) {
    return std::nullopt;
  }
  return p.valid_bytes == 0 ? 1 : p.valid_bytes;
}

}  // namespace termsweep
