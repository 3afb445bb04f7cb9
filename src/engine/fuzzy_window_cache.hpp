// The answers of the fuzzy search, by the text bytes each one depends on
// (its window), so that a start whose bytes repeat an earlier window (a
// common word and the byte after it) costs one walk down a small trie
// instead of a search. A processor keeps them between scans, by threshold,
// until its keywords change.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/fuzzy_scoring.hpp"
#include "engine/scan_bytes.hpp"

namespace termsweep {

// Windows are prefix-free (see FuzzySearcher::find), so they are the leaves
// of a trie over folded text bytes; an inner node is a prefix of some
// window. Its edges live in one open-addressing table keyed by (inner node,
// byte), where inner nodes are numbered from 0 (the root) and leaves by
// their answer.
class FuzzyWindowCache {
 public:
  // No more edges than this (about 2 MB); a full cache starts over.
  static constexpr std::size_t kMostEdges = std::size_t{1} << 16;

  // The searches whose answers it keeps: by threshold, whether they used
  // bounds (FuzzyScoring::exact_bounds), and the longest window kept.
  FuzzyWindowCache(float t, bool exact_bounds, std::size_t longest)
      : t_(t), exact_bounds_(exact_bounds), longest_(longest) {}
  bool serves(float t, bool exact_bounds, std::size_t longest) const {
    return t == t_ && exact_bounds == exact_bounds_ && longest == longest_;
  }

  // Sets `answer` to the one kept for a window of at most `longest` bytes
  // that the folded bytes from s begin with, if any.
  bool find(const unsigned char* s, std::size_t longest, const ByteMap& fold, FuzzyCandidate& answer) const {
    if (slots_.empty()) return false;
    std::uint32_t node = 0;
    for (std::size_t i = 0; i < longest; ++i) {
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
    if (length == 0 || length > longest_) return;
    if (slots_.empty()) slots_.assign(kFirstSlots, Slot{});
    std::uint32_t node = 0;
    std::size_t i = 0;
    // Down the known part. Windows met by one way of searching are never
    // prefixes of one another, but the way can change (runs counted during
    // a scan sharpen its bounds): where a kept window and this one are
    // prefix and extension, the kept one stays (both answers hold).
    for (; i < length; ++i) {
      const std::uint32_t to = target(node, fold(s[i]));
      if (to == kNone) break;
      if (to & kLeaf) return;
      node = to >> 1;
    }
    if (i == length) return;
    if (used_ + (length - i) > kMostEdges) {
      clear();
      add(s, length, fold, answer);
      return;
    }
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

  float t_;
  bool exact_bounds_;
  std::size_t longest_;
  std::vector<Slot> slots_;
  std::vector<Answer> answers_;
  std::size_t used_ = 0;         // edges
  std::uint32_t inner_ = 0;      // the last inner node's number
};

// The window caches of one processor's keywords that no scan is using.
class FuzzyWindowCachePool {
 public:
  FuzzyWindowCachePool() = default;
  // Copies and moves start empty: the caches belong to one set of keywords.
  FuzzyWindowCachePool(const FuzzyWindowCachePool&) noexcept {}
  FuzzyWindowCachePool& operator=(const FuzzyWindowCachePool&) noexcept {
    reset();
    return *this;
  }

  // A cache for the searches described (see FuzzyWindowCache), to give back
  // when done: one kept for them if there is one, else a new one.
  std::unique_ptr<FuzzyWindowCache> take(float t, bool exact_bounds, std::size_t longest) const {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        if ((*it)->serves(t, exact_bounds, longest)) {
          std::unique_ptr<FuzzyWindowCache> found = std::move(*it);
          idle_.erase(it);
          return found;
        }
      }
    }
    return std::make_unique<FuzzyWindowCache>(t, exact_bounds, longest);
  }
  // Keeps the most recently used few. Called from destructors, so it never
  // throws: a cache that cannot be kept is dropped.
  void give_back(std::unique_ptr<FuzzyWindowCache> cache) const noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
      idle_.insert(idle_.begin(), std::move(cache));
    } catch (...) {
      return;
    }
    if (idle_.size() > kMostIdle) idle_.pop_back();
  }
  void reset() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    idle_.clear();
  }

 private:
  static constexpr std::size_t kMostIdle = 4;
  mutable std::mutex mutex_;
  mutable std::vector<std::unique_ptr<FuzzyWindowCache>> idle_;
};

}  // namespace termsweep
