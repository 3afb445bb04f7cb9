// The answers of the fuzzy state search within one scan, by the text bytes
// each one depends on (its window), so that a start whose bytes repeat an
// earlier window (a common word and the byte after it) costs one walk down a
// small trie instead of a search.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/fuzzy_scoring.hpp"
#include "engine/scan_bytes.hpp"

namespace termsweep {

// The windows of one scan are prefix-free (see FuzzySearcher::find), so
// they are the leaves of a trie over folded text bytes; an inner node is a prefix
// of some window. Its edges live in one open-addressing table keyed by
// (inner node, byte), where inner nodes are numbered from 0 (the root) and
// leaves by their answer.
class FuzzyWindowCache {
 public:
  // Windows longer than this are not kept.
  static constexpr std::size_t kLongestWindow = 32;

  // Keeps at most `most_edges` edges; windows that would need more are
  // dropped.
  explicit FuzzyWindowCache(std::size_t most_edges) : most_edges_(std::min<std::size_t>(most_edges, kMostEdges)) {}

  // Sets `answer` to the one kept for the window that the folded bytes from
  // s begin with, if any. s must have at least kLongestWindow bytes.
  bool find(const unsigned char* s, const ByteMap& fold, FuzzyCandidate& answer) const {
    if (slots_.empty()) return false;
    std::uint32_t node = 0;
    for (std::size_t i = 0; i < kLongestWindow; ++i) {
      const std::uint32_t to = target(node, fold(s[i]));
      if (to == kNone) return false;
      if (to & kLeaf) {
        const Answer& kept = answers_[to >> 1];
        answer = {kept.name, kept.consumed, kept.score};
        return true;
      }
      node = to >> 1;
    }
    return false;
  }

  // Keeps `answer` for the window of the folded bytes s[0..length).
  void add(const unsigned char* s, std::size_t length, const ByteMap& fold, const FuzzyCandidate& answer) {
    if (length == 0 || length > kLongestWindow) return;
    if (slots_.empty()) slots_.assign(kFirstSlots, Slot{});
    std::uint32_t node = 0;
    std::size_t i = 0;
    // Down the known part. Windows met in one way of searching are never
    // prefixes of one another, but runs counted later in the scan change the
    // way: where a kept window and this one are prefix and extension, the
    // kept one stays (both answers hold).
    for (; i < length; ++i) {
      const std::uint32_t to = target(node, fold(s[i]));
      if (to == kNone) break;
      if (to & kLeaf) return;
      node = to >> 1;
    }
    if (i == length || used_ + (length - i) > most_edges_) return;
    for (; i + 1 < length; ++i) {
      link(node, fold(s[i]), ++inner_ << 1);
      node = inner_;
    }
    link(node, fold(s[i]), static_cast<std::uint32_t>(answers_.size()) << 1 | kLeaf);
    answers_.push_back({answer.name, static_cast<std::uint32_t>(answer.consumed), answer.score});
  }

  void clear() {
    slots_.clear();
    answers_.clear();
    used_ = 0;
    inner_ = 0;
  }

 private:
  struct Answer {
    NameId name;
    std::uint32_t consumed;  // within the window
    float score;
  };
  struct Slot {
    std::uint32_t key = 0;  // inner node << 8 | byte
    std::uint32_t to = 0;   // inner node << 1, or answer << 1 | kLeaf; kNone: empty
  };
  static constexpr std::uint32_t kNone = 0;  // the root is no one's child
  static constexpr std::uint32_t kLeaf = 1;
  static constexpr std::size_t kFirstSlots = 256;
  // Node and answer numbers fit in the 24 and 31 bits left for them.
  static constexpr std::size_t kMostEdges = std::size_t{1} << 23;

  static std::size_t hash(std::uint32_t key) { return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 40); }

  std::uint32_t target(std::uint32_t node, unsigned char byte) const {
    const std::uint32_t key = node << 8 | byte;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash(key) & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.to == kNone || slot.key == key) return slot.to;
    }
  }

  void link(std::uint32_t node, unsigned char byte, std::uint32_t to) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    insert({node << 8 | byte, to});
    ++used_;
  }

  void insert(const Slot& entry) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash(entry.key) & mask;
    while (slots_[i].to != kNone) i = (i + 1) & mask;
    slots_[i] = entry;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.size() * 2, Slot{});
    for (const Slot& slot : old) {
      if (slot.to != kNone) insert(slot);
    }
  }

  std::size_t most_edges_;
  std::vector<Slot> slots_;
  std::vector<Answer> answers_;
  std::size_t used_ = 0;         // edges
  std::uint32_t inner_ = 0;      // the last inner node's number
};

}  // namespace termsweep
