#include "engine/extract.hpp"

#include <algorithm>
#include <cmath>

#include "engine/failure.hpp"

namespace termsweep {
namespace {

bool is_whitespace(unsigned char byte) {
  return byte == '\t' || byte == '\n' || byte == '\r' || byte == ' ';
}

// Word test of one byte of the scanned text: only members below U+0100 can
// answer true, since a byte is looked up as the code point of its value.
class WordBytes {
 public:
  explicit WordBytes(const WordCharSet& set) {
    for (int i = 0; i < 4; ++i) bits_[i] = set.words()[i];
  }
  bool operator()(unsigned char byte) const { return (bits_[byte >> 6] >> (byte & 63)) & 1u; }

 private:
  std::uint64_t bits_[4];
};

// Scores a popped state and pushes its successors, in the order that decides
// between equally good candidates. Shared by both searches.
template <class Stack>
void visit(const FuzzyState& state, const unsigned char* s, std::uint64_t remaining, float t,
           FuzzyCandidate& best, Stack& stack) {
  const TrieNode& node = *state.node;
  const std::uint64_t k = state.consumed;
  const std::int32_t e = state.edits;
  if (node.clean_name) {
    const std::uint64_t length = node.clean_name.view().size();
    const float similarity =
        1.0f - static_cast<float>(e) / static_cast<float>(std::max<std::uint64_t>(length, k));
    if (similarity >= t && similarity > best.score) best = {&node, k, similarity};
  }
  if (k >= remaining) return;
  const unsigned char c = s[k];
  if (const TrieNode* next = node.find_child(c)) stack.push_back({next, k + 1, e});
  if (1.0f - static_cast<float>(e) / static_cast<float>(k + 1) < t) return;
  stack.push_back({&node, k + 1, e + 1});  // the text byte is skipped
  const std::size_t children = node.child_count();
  for (std::size_t i = 0; i < children; ++i) {  // the text byte stands for another keyword byte
    if (node.key_at(i) != c) stack.push_back({&node.child_at(i), k + 1, e + 1});
  }
  for (std::size_t i = 0; i < children; ++i) {  // a keyword byte is skipped
    stack.push_back({&node.child_at(i), k, e + 1});
  }
}

}  // namespace

float checked_threshold(std::optional<float> threshold) {
  float t = threshold.value_or(1.0f);
  if (!(t >= 0.0f && t <= 1.0f)) fail("Threshold must be between 0 and 1");
  return t;
}

float round_similarity(float similarity) {
  return std::round(similarity * 100.0f) / 100.0f;
}

FuzzyCandidate find_fuzzy_candidate_reference(const TrieNode& root, std::string_view text,
                                              std::uint64_t start, float t) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data()) + start;
  FuzzyCandidate best;
  std::vector<FuzzyState> stack{{&root, 0, 0}};
  while (!stack.empty()) {
    const FuzzyState state = stack.back();
    stack.pop_back();
    visit(state, s, text.size() - start, t, best, stack);
  }
  return best;
}

bool FuzzySearcher::first_visit(const FuzzyState& state) {
  if ((used_ + 1) * 2 > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  std::uint64_t hash = (reinterpret_cast<std::uintptr_t>(state.node) >> 3) * 0x9E3779B97F4A7C15ull ^
                       state.consumed * 0xC2B2AE3D27D4EB4Full;
  for (std::size_t i = (hash ^ (hash >> 29)) & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.generation != generation_) {
      slot = {state.node, state.consumed, state.edits, generation_};
      ++used_;
      return true;
    }
    if (slot.node == state.node && slot.consumed == state.consumed) {
      if (slot.edits <= state.edits) return false;
      slot.edits = state.edits;
      return true;
    }
  }
}

void FuzzySearcher::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(std::max<std::size_t>(64, old.size() * 2), Slot{nullptr, 0, 0, 0});
  used_ = 0;
  for (const Slot& slot : old) {
    if (slot.generation == generation_) first_visit({slot.node, slot.consumed, slot.edits});
  }
}

FuzzyCandidate FuzzySearcher::find(const TrieNode& root, std::string_view text, std::uint64_t start,
                                   float t) {
  // A new generation empties the table without touching it; generation 0
  // marks never-used slots.
  if (++generation_ == 0) {
    slots_.assign(slots_.size(), Slot{nullptr, 0, 0, 0});
    generation_ = 1;
  }
  used_ = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data()) + start;
  FuzzyCandidate best;
  stack_.assign(1, {&root, 0, 0});
  while (!stack_.empty()) {
    const FuzzyState state = stack_.back();
    stack_.pop_back();
    if (first_visit(state)) visit(state, s, text.size() - start, t, best, stack_);
  }
  return best;
}

std::vector<KeywordMatch> extract_folded(const KeywordProcessor& processor, std::string_view folded,
                                         float t, FuzzyEngine engine) {
  std::vector<KeywordMatch> matches;
  const auto* s = reinterpret_cast<const unsigned char*>(folded.data());
  const std::uint64_t n = folded.size();
  const WordBytes is_word(processor.non_word_boundaries);
  const bool overlaps = processor.allow_overlaps;
  const bool exact = t == 1.0f;
  FuzzySearcher searcher;

  std::uint64_t p = 0;
  while (p < n) {
    if (p > 0 && !overlaps && is_word(s[p - 1])) {
      ++p;
      continue;
    }
    const std::uint64_t start = is_whitespace(s[p]) ? p + 1 : p;
    if (exact) {
      // Longest keyword starting at p; shorter ones are not tried.
      const TrieNode* node = &processor.root;
      const TrieNode* found = nullptr;
      std::uint64_t length = 0;
      for (std::uint64_t q = p; q < n; ++q) {
        node = node->find_child(s[q]);
        if (!node) break;
        if (node->clean_name) {
          found = node;
          length = q + 1 - p;
        }
      }
      const std::uint64_t end = p + length;
      if (!found || (end < n && !overlaps && is_word(s[end]))) {
        ++p;
        continue;
      }
      matches.push_back({found->clean_name.view(), start, end, 1.0f});
      p = end;
    } else {
      const FuzzyCandidate best = engine == FuzzyEngine::Fast
                                       ? searcher.find(processor.root, folded, p, t)
                                       : find_fuzzy_candidate_reference(processor.root, folded, p, t);
      // A candidate that consumed no text byte (a clean name longer than its
      // key) would be an empty match that resumes where it started.
      if (!best.node || best.consumed == 0) {
        ++p;
        continue;
      }
      const std::uint64_t raw_end = p + best.consumed;
      const std::uint64_t end = is_whitespace(s[raw_end - 1]) ? raw_end - 1 : raw_end;
      bool accepted = overlaps || end == n;
      for (std::uint64_t i = end; !accepted && i < std::min(end + 3, n); ++i) {
        accepted = !is_word(s[i]);
      }
      if (!accepted) {
        ++p;
        continue;
      }
      matches.push_back({best.node->clean_name.view(), start, end, round_similarity(best.score)});
      p = raw_end;
    }
  }
  return matches;
}

std::vector<KeywordMatch> KeywordProcessor::extract_keywords(std::string_view text,
                                                             std::optional<float> threshold) const {
  const float t = checked_threshold(threshold);
  if (case_sensitive) return extract_folded(*this, text, t);
  const std::string folded = fold(text);
  return extract_folded(*this, folded, t);
}

}  // namespace termsweep
