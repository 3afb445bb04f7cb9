#include "engine/name_table.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace termsweep {

std::uint64_t NameTable::append(std::string_view name) {
  // One append of the whole record: on failure the arena is unchanged.
  const std::uint64_t offset = arena_.size();
  const std::uint64_t length = name.size();
  if (arena_.capacity() - arena_.size() < sizeof length + length) {
    arena_.reserve(std::max(arena_.size() + sizeof length + length, arena_.capacity() * 2));
  }
  arena_.append(reinterpret_cast<const char*>(&length), sizeof length);
  arena_.append(name);
  return offset;
}

std::uint64_t NameTable::record_size(std::uint64_t offset) const {
  std::uint64_t length;
  std::memcpy(&length, arena_.data() + offset, sizeof length);
  return sizeof length + length;
}

NameId NameTable::add(std::string_view name) {
  if (free_head_ == kNoName) {
    if (slots_.size() >= kNoName) throw std::bad_alloc();
    if (slots_.size() == slots_.capacity()) slots_.reserve(slots_.capacity() * 2 + 1);
  }
  const std::uint64_t offset = append(name);
  ++live_;
  if (free_head_ != kNoName) {
    const NameId id = free_head_;
    free_head_ = static_cast<NameId>(slots_[id] & ~kFreeTag);
    slots_[id] = offset;
    return id;
  }
  slots_.push_back(offset);
  return static_cast<NameId>(slots_.size() - 1);
}

void NameTable::assign(NameId id, std::string_view name) {
  const std::uint64_t old = slots_[id];
  slots_[id] = append(name);
  garbage_bytes_ += record_size(old);
  collect_garbage();
}

void NameTable::release(NameId id) noexcept {
  garbage_bytes_ += record_size(slots_[id]);
  slots_[id] = kFreeTag | free_head_;
  free_head_ = id;
  if (--live_ == 0) {
    // Nothing left: start afresh rather than keep a table of holes.
    arena_.clear();
    slots_.clear();
    free_head_ = kNoName;
    garbage_bytes_ = 0;
    return;
  }
  collect_garbage();
}

std::string_view NameTable::get(NameId id) const {
  const std::uint64_t offset = slots_[id];
  std::uint64_t length;
  std::memcpy(&length, arena_.data() + offset, sizeof length);
  return {arena_.data() + offset + sizeof length, static_cast<std::size_t>(length)};
}

// Rewrites the arena once garbage makes up more than half of it (and is worth
// the pass), so that the total work stays linear in the bytes ever written.
// Never fails: without memory for the copy, the garbage simply stays.
void NameTable::collect_garbage() noexcept {
  if (garbage_bytes_ < 4096 || garbage_bytes_ * 2 < arena_.size()) return;
  std::string compact;
  try {
    compact.reserve(arena_.size() - garbage_bytes_);
  } catch (const std::bad_alloc&) {
    return;
  }
  for (std::uint64_t& slot : slots_) {
    if (slot & kFreeTag) continue;
    const std::uint64_t size = record_size(slot);
    const std::uint64_t moved = compact.size();
    compact.append(arena_, slot, size);
    slot = moved;
  }
  arena_.swap(compact);
  garbage_bytes_ = 0;
}

}  // namespace termsweep
