// Full Unicode lower-casing of UTF-8 text, driven by tables generated from
// Python's str.lower() (tools/gen_lowercase_tables.py).
//
// The text is lowered in one forward pass: runs of ASCII eight bytes at a
// time, other characters one at a time through a two-stage table. A capital
// sigma looks at its neighbours in the original text only when it is met, so
// the common path keeps no context.
#include "engine/lowercase.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#include "engine/utf8.hpp"

namespace termsweep {
namespace {

// Flag bits of a LowerRecord. The two classes are what the final-sigma rule
// can observe: scans skip case-ignorable characters (even cased ones) and stop
// at the first other character, which decides by being cased or not.
constexpr std::uint8_t kCased = 1;          // cased and not case-ignorable
constexpr std::uint8_t kCaseIgnorable = 2;  // skipped by the final-sigma scans
constexpr std::uint8_t kMultiple = 4;       // delta is an offset into kLowerMultiUtf8
constexpr std::uint8_t kCapitalSigma = 8;   // delta gives small sigma; context may give final

struct LowerRecord {
  std::int32_t delta;  // added to the code point (or a kLowerMultiUtf8 offset)
  std::uint8_t flags;
};

struct LowerRange {
  std::uint32_t first;
  std::uint32_t last;
  std::uint8_t record;
};

#include "engine/lowercase_tables.inc"

static_assert(sizeof(kLowerStage2) / sizeof(kLowerStage2[0]) % (std::size_t{1} << kLowerBlockShift) == 0);
static_assert(sizeof(kLowerRecords) / sizeof(kLowerRecords[0]) <= 256);
static_assert(kLowerGrowthNum >= kLowerGrowthDen && kLowerGrowthDen > 0);

// Record indices of the code points below U+0800 in one table, sparing the
// stage-1 load on the most common non-ASCII characters.
constexpr std::uint32_t kTwoByteLimit = 0x800;
static_assert(kTwoByteLimit <= kLowerTableLimit);

constexpr auto kTwoByteRecords = [] {
  std::array<std::uint8_t, kTwoByteLimit> table{};
  const std::uint32_t mask = (std::uint32_t{1} << kLowerBlockShift) - 1;
  for (std::uint32_t cp = 0; cp < kTwoByteLimit; ++cp) {
    const std::uint32_t block = kLowerStage1[cp >> kLowerBlockShift];
    table[cp] = kLowerStage2[(block << kLowerBlockShift) | (cp & mask)];
  }
  return table;
}();

constexpr std::uint32_t kSmallSigma = 0x03C3;
constexpr std::uint32_t kFinalSigma = 0x03C2;

inline const LowerRecord& record_of(std::uint32_t cp) {
  if (cp < kLowerTableLimit) [[likely]] {
    const std::uint32_t block = kLowerStage1[cp >> kLowerBlockShift];
    const std::uint32_t mask = (std::uint32_t{1} << kLowerBlockShift) - 1;
    return kLowerRecords[kLowerStage2[(block << kLowerBlockShift) | (cp & mask)]];
  }
  for (const LowerRange& range : kLowerHighRanges) {
    if (cp >= range.first && cp <= range.last) return kLowerRecords[range.record];
  }
  return kLowerRecords[0];
}

// Flags of the character ending just before `pos`, and where it starts; an
// invalid byte counts as a character with neither class (as a lone surrogate
// would in Python). Forward decoding can only have split the text the same
// way: a valid sequence ending at `pos` starts at a non-continuation byte, and
// forward decoding stops at every such byte.
inline std::uint8_t flags_before(const unsigned char* begin, const unsigned char*& pos) {
  const unsigned char* last = pos - 1;
  if (*last < 0x80) {
    pos = last;
    return record_of(*last).flags;
  }
  const unsigned char* lead = last;
  while (lead > begin && pos - lead < 4 && is_continuation_byte(*lead)) --lead;
  std::uint32_t cp = 0;
  if (*lead >= 0x80 && decode_utf8(lead, pos, cp) == static_cast<std::size_t>(pos - lead)) {
    pos = lead;
    return record_of(cp).flags;
  }
  pos = last;
  return 0;
}

// Flags of the character starting at `pos`, advancing `pos` past it.
inline std::uint8_t flags_after(const unsigned char*& pos, const unsigned char* end) {
  if (*pos < 0x80) return record_of(*pos++).flags;
  std::uint32_t cp = 0;
  const std::size_t length = decode_utf8(pos, end, cp);
  if (length == 0) {
    ++pos;
    return 0;
  }
  pos += length;
  return record_of(cp).flags;
}

// Final sigma when, skipping case-ignorable characters, the nearest character
// before is cased and the nearest after (if any) is not.
bool sigma_is_final(const unsigned char* begin, const unsigned char* sigma, const unsigned char* after,
                    const unsigned char* end) {
  const unsigned char* pos = sigma;
  std::uint8_t flags = kCaseIgnorable;
  while (pos > begin && (flags & kCaseIgnorable)) flags = flags_before(begin, pos);
  if ((flags & kCaseIgnorable) || !(flags & kCased)) return false;
  pos = after;
  flags = kCaseIgnorable;
  while (pos < end && (flags & kCaseIgnorable)) flags = flags_after(pos, end);
  return (flags & kCaseIgnorable) || !(flags & kCased);
}

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighBits = 0x80 * kOnes;

// Lower-cases the ASCII letters among eight bytes, leaving other bytes as they
// are. The high bit of each byte is masked off first so that no sum carries
// into a neighbouring byte.
inline std::uint64_t lower_ascii8(std::uint64_t x) {
  const std::uint64_t low7 = x & (0x7F * kOnes);
  const std::uint64_t at_least_a = low7 + (0x80 - 'A') * kOnes;
  const std::uint64_t above_z = low7 + (0x80 - 'Z' - 1) * kOnes;
  const std::uint64_t upper = at_least_a & ~above_z & ~x & kHighBits;
  return x | (upper >> 2);
}

// Number of leading bytes (in text order) whose high bit is clear, given the
// non-zero high-bit mask of eight loaded bytes.
inline std::size_t leading_ascii(std::uint64_t high) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(high)) >> 3;
  } else {
    return static_cast<std::size_t>(std::countl_zero(high)) >> 3;
  }
}

inline char lower_ascii(unsigned char b) {
  return static_cast<char>(b + (static_cast<unsigned>(b - 'A') < 26u ? 32 : 0));
}

struct Progress {
  const unsigned char* p;
  char* dst;
};

// Lowers the characters of the text [begin, end) that start in [p, stop),
// writing at `dst`, where `dst_begin` is where the lowered text begins. With
// kRecord, appends the offsets of each character to `starts`; otherwise notes
// in `length_changed` whether some character changed its UTF-8 length.

template <bool kRecord>
Progress lower_span(const unsigned char* begin, const unsigned char* end, const unsigned char* p,
                    const unsigned char* stop, char* dst, char* dst_begin, std::vector<CharOffsets>* starts,
                    bool& length_changed) {
  while (p < stop) {
    const unsigned char b = *p;
    if constexpr (kRecord) {
      starts->push_back({static_cast<std::uint64_t>(p - begin), static_cast<std::uint64_t>(dst - dst_begin)});
    }
    if (b < 0x80) {
      if constexpr (!kRecord) {
        if (stop - p >= 8) {
          // Store all eight lowered bytes, keep only the ASCII prefix: the
          // rest is overwritten by what follows (the buffer has room).
          do {
            std::uint64_t x;
            std::memcpy(&x, p, 8);
            const std::uint64_t y = lower_ascii8(x);
            std::memcpy(dst, &y, 8);
            const std::uint64_t high = x & kHighBits;
            if (high != 0) {
              const std::size_t n = leading_ascii(high);
              p += n;
              dst += n;
              break;
            }
            p += 8;
            dst += 8;
          } while (stop - p >= 8);
          continue;
        }
      }
      *dst++ = lower_ascii(b);
      ++p;
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t length = decode_utf8(p, end, cp);
    if (length == 0) [[unlikely]] {
      *dst++ = static_cast<char>(b);
      ++p;
      continue;
    }
    const LowerRecord& record = length == 2 ? kLowerRecords[kTwoByteRecords[cp]] : record_of(cp);
    const std::int32_t delta = record.delta;
    const std::uint32_t flags = record.flags;
    if (flags & (kMultiple | kCapitalSigma)) [[unlikely]] {
      if (flags & kMultiple) {
        const unsigned char* mapped = kLowerMultiUtf8 + delta;
        std::memcpy(dst, mapped + 1, mapped[0]);
        dst += mapped[0];
        if (mapped[0] != length) length_changed = true;
      } else {
        dst += encode_utf8(sigma_is_final(begin, p, p + length, end) ? kFinalSigma : kSmallSigma, dst);
      }
    } else if (delta == 0) {
      // Unchanged: copy the bytes rather than re-encode. A four-byte copy
      // when the input has them (the output buffer always has room).
      if (end - p >= 4) {
        std::memcpy(dst, p, 4);
      } else {
        std::memcpy(dst, p, length);
      }
      dst += length;
    } else {
      const std::size_t written =
          encode_utf8(static_cast<std::uint32_t>(static_cast<std::int32_t>(cp) + delta), dst);
      dst += written;
      if (written != length) length_changed = true;
    }
    p += length;
  }
  return {p, dst};
}

// Input is lowered in chunks so that the output buffer is grown (and
// zero-filled) a cache-friendly piece at a time.
constexpr std::size_t kChunkBytes = 4096;

// Room needed for the lowered form of the characters starting in `n` bytes
// (the last may run three bytes further), plus slack for 8-byte stores.
constexpr std::size_t lowered_bound(std::size_t n) {
  return ((n + 3) * kLowerGrowthNum + kLowerGrowthDen - 1) / kLowerGrowthDen + 16;
}

// Appends the lowered text to `out`; returns whether some character changed
// its UTF-8 length (only tracked without kRecord).
template <bool kRecord>
bool lower_into(std::string_view text, std::string& out, std::vector<CharOffsets>* starts) {
  const std::size_t base = out.size();
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  // Most text keeps its length: reserve for that, plus one chunk's growth.
  out.reserve(base + text.size() + lowered_bound(std::min(text.size(), kChunkBytes)));
  const unsigned char* p = begin;
  std::size_t written = 0;
  bool length_changed = false;
  while (p < end) {
    const std::size_t chunk = std::min(static_cast<std::size_t>(end - p), kChunkBytes);
    out.resize(base + written + lowered_bound(chunk));
    char* dst_begin = out.data() + base;
    const Progress progress =
        lower_span<kRecord>(begin, end, p, p + chunk, dst_begin + written, dst_begin, starts, length_changed);
    p = progress.p;
    written = static_cast<std::size_t>(progress.dst - dst_begin);
  }
  out.resize(base + written);
  if constexpr (kRecord) starts->push_back({text.size(), written});
  return length_changed;
}

}  // namespace

const char* const kLowercaseUnicodeVersion = kLowerTablesUnicodeVersion;

bool lowers_only_ascii(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    if (end - p >= 8) {
      std::uint64_t x;
      std::memcpy(&x, p, 8);
      if ((x & kHighBits) == 0) {
        p += 8;
        continue;
      }
      p += leading_ascii(x & kHighBits);
    }
    if (*p < 0x80) {
      ++p;
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t length = decode_utf8(p, end, cp);
    if (length == 0) {
      ++p;  // invalid bytes are copied through
      continue;
    }
    const LowerRecord& record = record_of(cp);
    if (record.delta != 0 || (record.flags & (kMultiple | kCapitalSigma))) return false;
    p += length;
  }
  return true;
}

void append_lower(std::string_view text, std::string& out) {
  // ASCII text (most keywords, many texts) keeps its length: lower it in
  // place, eight bytes at a time, without the general pass's reservations.
  const std::size_t base = out.size();
  out.append(text);
  char* p = out.data() + base;
  char* const end = out.data() + out.size();
  for (; end - p >= 8; p += 8) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    if (x & kHighBits) break;
    x = lower_ascii8(x);
    std::memcpy(p, &x, 8);
  }
  for (; p < end; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) break;
    *p = lower_ascii(static_cast<unsigned char>(*p));
  }
  if (p == end) return;
  // Not ASCII after all: the general pass, over the whole text (the
  // final-sigma rule looks back at what came before).
  out.resize(base);
  lower_into<false>(text, out, nullptr);
}

bool lower_with_offsets(std::string_view text, std::string& out, std::vector<CharOffsets>& starts) {
  starts.clear();
  const std::size_t base = out.size();
  if (!lower_into<false>(text, out, nullptr)) return true;
  // Rare: redo the pass, recording where each character starts.
  out.resize(base);
  lower_into<true>(text, out, &starts);
  return false;
}

}  // namespace termsweep
