// The clean names of a processor's keywords, each under a stable id.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace termsweep {

// Identifies one keyword's clean name for as long as the keyword exists. An id
// freed by removal may be handed out again for a later keyword.
using NameId = std::uint32_t;
inline constexpr NameId kNoName = 0xFFFFFFFFu;

// Names live back to back in one arena ([u64 length][bytes] records), so a
// million names cost a million records rather than a million allocations.
// Replaced and removed names stay in place as garbage until it outweighs the
// live names; then the arena is rewritten. Ids never move.
class NameTable {
 public:
  // Strong guarantee: a failed allocation changes nothing.
  NameId add(std::string_view name);
  void assign(NameId id, std::string_view name);
  void release(NameId id) noexcept;

  std::string_view get(NameId id) const;
  std::size_t memory_bytes() const {
    return arena_.capacity() + slots_.capacity() * sizeof(std::uint64_t);
  }

 private:
  // A free slot holds kFreeTag | the next free id (kNoName ends the list).
  static constexpr std::uint64_t kFreeTag = std::uint64_t{1} << 63;

  std::uint64_t append(std::string_view name);
  std::uint64_t record_size(std::uint64_t offset) const;
  void collect_garbage() noexcept;

  std::string arena_;
  std::vector<std::uint64_t> slots_;  // per id: offset of its record, or a free-list link
  NameId free_head_ = kNoName;
  std::size_t live_ = 0;
  std::uint64_t garbage_bytes_ = 0;
};

}  // namespace termsweep
