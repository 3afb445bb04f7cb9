#include "engine/fuzzy_rows.hpp"

#include <algorithm>

namespace termsweep {

// The exhaustive search's answer at a start is the first candidate popped,
// in its order, among those with the best score S*. The rows find S*, then
// the first such candidate.
//
// Rows. States that share (node, k) differ only in their edits, and the one
// with the fewest has, below it, a twin of every state below the others,
// with no more edits (an edit step needs 1 - e / (k + 1) >= t, which fewer
// edits keep). So it suffices to know, for each (node v, k), the fewest
// edits e(v, k) with which the search reaches it. They follow from the
// parent's row and from the row itself:
//   (parent, k - 1, e) -> (v, k): e by the exact step (v's key is text
//     byte k - 1), e + 1 by the substitution;
//   (parent, k, e) -> (v, k, e + 1): v's key skipped;
//   (v, k - 1, e) -> (v, k, e + 1): text byte k - 1 skipped;
// each taken only from a state with k < r, and the edit steps only from
// states that may edit. A cell is left out when the bound of its state is
// below the best score found so far or below t: nothing below it can win.
// Ties with the best are kept, so every state on the way to a candidate
// scoring S* keeps its cell, with its true fewest edits. Left-out cells
// only make other cells' values larger (still edits of a reachable state)
// or absent. The best candidate among the rows' cells therefore scores S*.
//
// The first candidate. On the way from the root to the answer c*, every
// state has the fewest edits of its (node, k): otherwise the way through
// the fewest would reach c*'s keyword and k with fewer edits and a higher
// score. The cells from which steps between such cells lead to a candidate
// scoring S* are marked, from those candidates back to the root. Replaying
// the exhaustive order over marked cells alone pops c*'s way, and any
// candidate it pops before c* would come before c* in the exhaustive order
// too; a cell is expanded once, its state being the same each time.
FuzzyCandidate RowSearch::find(const unsigned char* s, const ByteMap& fold, float known) {
  const float best = fill_rows(s, fold, known);
  if (best == 0.0f) return {};
  mark_best_ways(s, fold, best);
  return first_on_best_way(s, fold, best);
}

float RowSearch::fill_rows(const unsigned char* s, const ByteMap& fold, float best) {
  const std::uint64_t r = scoring_.remaining();
  const float t = scoring_.threshold();
  rows_.clear();
  cells_.clear();
  // The root's row: text bytes skipped one after another.
  const FuzzyIndex::Reach root_reach = index_.reach(KeywordTrie::root());
  row_.assign(1, 0);
  for (std::uint64_t k = 1; k <= r && scoring_.may_edit(k - 1, row_.back()); ++k) {
    const std::int32_t e = row_.back() + 1;
    const float most = scoring_.bound(root_reach, k, e);
    if (most < best || most < t) break;
    row_.push_back(e);
  }
  keep_row(KeywordTrie::root(), 0, 0, 0);
  pending_rows_.assign(1, 0);
  while (!pending_rows_.empty()) {
    const std::uint32_t at = pending_rows_.back();
    pending_rows_.pop_back();
    const Row row = rows_[at];
    clock_.advance(row.size);
    // The best may have grown since the row was made.
    const FuzzyIndex::Reach reach = index_.reach(row.node);
    const NameId name = trie_.name_at(row.node);
    bool live = false;
    for (std::size_t i = 0; i < row.size; ++i) {
      std::int32_t& e = cells_[row.cells + i];
      if (e == kUnreached) continue;
      const std::uint64_t k = row.lo + i;
      const float most = scoring_.bound(reach, k, e);
      if (most < best || most < t) {
        e = kUnreached;
        continue;
      }
      live = true;
      if (name != kNoName && k > 0) {
        const float similarity = scoring_.score(name, k, e);
        if (similarity >= t && similarity > best) best = similarity;
      }
    }
    if (!live) continue;
    add_child_rows(at, s, fold, best);
    const Row& done = rows_[at];
    for (std::uint32_t i = done.children; i > 0; --i) pending_rows_.push_back(done.first_child + i - 1);
  }
  return best;
}

void RowSearch::add_child_rows(std::uint32_t at, const unsigned char* s, const ByteMap& fold, float best) {
  const std::uint64_t r = scoring_.remaining();
  const float t = scoring_.threshold();
  const std::uint32_t first_child = static_cast<std::uint32_t>(rows_.size());
  const Row parent = rows_[at];
  const std::uint64_t lo = parent.lo;
  const std::uint64_t end = parent.lo + parent.size;
  // Steps leave only states with k < r.
  const std::uint64_t expands_below = std::min(end, r);
  trie_.for_each_child(parent.node, [&](std::uint32_t key, Node child) {
    const FuzzyIndex::Reach reach = index_.reach(child);
    const std::int32_t* above = cells_.data() + parent.cells;
    row_.clear();
    for (std::uint64_t k = lo;; ++k) {
      std::int32_t e = kUnreached;
      if (k > lo && k - 1 < expands_below) {
        if (const std::int32_t from = above[k - 1 - lo]; from != kUnreached) {
          if (fold(s[k - 1]) == key) {
            e = from;
          } else if (scoring_.may_edit(k - 1, from)) {
            e = from + 1;
          }
        }
      }
      if (k < expands_below) {
        if (const std::int32_t from = above[k - lo]; from != kUnreached && scoring_.may_edit(k, from)) {
          e = std::min(e, from + 1);
        }
      }
      if (k > lo && k - 1 < r) {
        if (const std::int32_t from = row_.back(); from != kUnreached && scoring_.may_edit(k - 1, from)) {
          e = std::min(e, from + 1);
        }
      }
      if (e != kUnreached) {
        const float most = scoring_.bound(reach, k, e);
        if (most < best || most < t) e = kUnreached;
      }
      // Past the parent's cells only skipped text bytes extend the row.
      if (e == kUnreached && k >= end) break;
      row_.push_back(e);
      if (k >= r) break;
    }
    clock_.advance(row_.size());
    keep_row(child, key, at, lo);
  });
  rows_[at].first_child = first_child;
  rows_[at].children = static_cast<std::uint32_t>(rows_.size()) - first_child;
}

bool RowSearch::keep_row(Node node, std::uint32_t key, std::uint32_t parent, std::uint64_t lo) {
  auto first = row_.begin();
  auto last = row_.end();
  while (first != last && *first == kUnreached) ++first;
  while (last != first && *(last - 1) == kUnreached) --last;
  if (first == last) return false;
  rows_.push_back({node, key, parent, lo + static_cast<std::uint64_t>(first - row_.begin()),
                   static_cast<std::size_t>(last - first), cells_.size()});
  cells_.insert(cells_.end(), first, last);
  return true;
}

void RowSearch::mark_best_ways(const unsigned char* s, const ByteMap& fold, float target) {
  const std::uint64_t r = scoring_.remaining();
  marks_.assign(cells_.size(), 0);
  pending_cells_.clear();
  const auto mark = [&](std::uint32_t at, std::uint64_t k, std::int32_t want) {
    const Row& row = rows_[at];
    if (edits(row, k) != want) return;
    std::uint8_t& cell = marks_[row.cells + (k - row.lo)];
    if (cell & kOnBestWay) return;
    cell |= kOnBestWay;
    pending_cells_.push_back({at, k});
  };
  for (std::uint32_t at = 0; at < rows_.size(); ++at) {
    const Row& row = rows_[at];
    const NameId name = trie_.name_at(row.node);
    if (name == kNoName) continue;
    for (std::size_t i = 0; i < row.size; ++i) {
      const std::int32_t e = cells_[row.cells + i];
      const std::uint64_t k = row.lo + i;
      if (e != kUnreached && k > 0 && scoring_.score(name, k, e) == target) mark(at, k, e);
    }
  }
  // Back along the steps into each marked cell.
  while (!pending_cells_.empty()) {
    const auto [at, k] = pending_cells_.back();
    pending_cells_.pop_back();
    const Row& row = rows_[at];
    const std::int32_t e = edits(row, k);
    if (k > 0 && k - 1 < r) {
      if (e > 0 && scoring_.may_edit(k - 1, e - 1)) mark(at, k - 1, e - 1);
      if (at != 0) {
        if (fold(s[k - 1]) == row.key) {
          mark(row.parent, k - 1, e);
        } else if (e > 0 && scoring_.may_edit(k - 1, e - 1)) {
          mark(row.parent, k - 1, e - 1);
        }
      }
    }
    if (at != 0 && k < r && e > 0 && scoring_.may_edit(k, e - 1)) mark(row.parent, k, e - 1);
  }
}

FuzzyCandidate RowSearch::first_on_best_way(const unsigned char* s, const ByteMap& fold, float target) {
  const std::uint64_t r = scoring_.remaining();
  pending_cells_.assign(1, {0, 0});
  while (!pending_cells_.empty()) {
    const auto [at, k] = pending_cells_.back();
    pending_cells_.pop_back();
    const Row& row = rows_[at];
    std::uint8_t& cell = marks_[row.cells + (k - row.lo)];
    if (cell & kExpanded) continue;
    cell |= kExpanded;
    const std::int32_t e = edits(row, k);
    if (const NameId name = trie_.name_at(row.node); name != kNoName && k > 0 && scoring_.score(name, k, e) == target) {
      return {name, k, target};
    }
    if (k >= r) continue;
    // The exhaustive search's push order: the exact step, then the text
    // byte skipped, each other keyword byte substituted, each keyword byte
    // skipped.
    const auto push = [&](std::uint32_t to, std::uint64_t at_k, std::int32_t want) {
      if (edits(rows_[to], at_k) == want && on_best_way(rows_[to], at_k)) pending_cells_.push_back({to, at_k});
    };
    const unsigned char c = fold(s[k]);
    const std::uint32_t first = row.first_child;
    const std::uint32_t last = row.first_child + row.children;
    for (std::uint32_t child = first; child < last; ++child) {
      if (rows_[child].key == c) push(child, k + 1, e);
    }
    if (!scoring_.may_edit(k, e)) continue;
    push(at, k + 1, e + 1);
    for (std::uint32_t child = first; child < last; ++child) {
      if (rows_[child].key != c) push(child, k + 1, e + 1);
    }
    for (std::uint32_t child = first; child < last; ++child) push(child, k, e + 1);
  }
  return {};  // not reached: the rows hold a candidate scoring `target`
}

}  // namespace termsweep
