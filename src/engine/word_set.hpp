// The set of word characters: one bit per Unicode code point.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace termsweep {

class WordCharSet {
 public:
  static constexpr std::uint32_t kCodePoints = 0x110000;
  static constexpr std::size_t kWords = kCodePoints / 64;  // 17408

  // An empty set; see with_defaults() for a processor's initial set.
  WordCharSet() noexcept { words_.fill(0); }

  // 'a'-'z', 'A'-'Z', '0'-'9' and '_'.
  static WordCharSet with_defaults() noexcept {
    WordCharSet set;
    for (std::uint32_t c = '0'; c <= '9'; ++c) set.add(c);
    for (std::uint32_t c = 'A'; c <= 'Z'; ++c) set.add(c);
    for (std::uint32_t c = 'a'; c <= 'z'; ++c) set.add(c);
    set.add('_');
    return set;
  }

  bool contains(std::uint32_t code_point) const noexcept {
    return code_point < kCodePoints && ((words_[code_point >> 6] >> (code_point & 63)) & 1u);
  }
  void add(std::uint32_t code_point) noexcept {
    if (code_point < kCodePoints) words_[code_point >> 6] |= std::uint64_t{1} << (code_point & 63);
  }
  void clear() noexcept { words_.fill(0); }

  const std::array<std::uint64_t, kWords>& words() const noexcept { return words_; }
  std::array<std::uint64_t, kWords>& words() noexcept { return words_; }

  bool operator==(const WordCharSet&) const = default;

 private:
  std::array<std::uint64_t, kWords> words_;
};

static_assert(sizeof(WordCharSet) == 139264);

}  // namespace termsweep
