// Unaligned little-endian loads and stores, whatever the host's byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace termsweep::state {

inline std::uint64_t load_u64_le(const unsigned char* p) noexcept {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
  return value;
}

inline std::uint32_t load_u32_le(const unsigned char* p) noexcept {
  std::uint32_t value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
  return value;
}

inline unsigned char* store_u64_le(unsigned char* p, std::uint64_t value) noexcept {
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
  std::memcpy(p, &value, sizeof value);
  return p + sizeof value;
}

inline unsigned char* store_u32_le(unsigned char* p, std::uint32_t value) noexcept {
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
  std::memcpy(p, &value, sizeof value);
  return p + sizeof value;
}

}  // namespace termsweep::state
