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
// below the best score found so far or below t, and a whole row when its
// node's ceiling is below that floor: nothing below it can win.
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
  scoring_.count_runs();
  // The best score of the previous start is the guess: neighbouring starts
  // score alike.
  ceilings_.compute(s, fold, std::max(known, scoring_.threshold()), hint_);
  read_end_ = ceilings_.read_end();
  if (FuzzyCandidate sole; ceilings_.sole_best(sole)) {
    hint_ = sole.score;
    return sole;
  }
  // The fewer cells the floor keeps, the cheaper the rows: first try the
  // most any candidate can score (from the ceilings, usually the answer's
  // score), then the best score of the previous start. A fill that nothing
  // reaches gives 0, but the candidates its rows met are real, so the best
  // of them is a lower bound like the known score.
  float best = 0.0f;
  const auto try_floor = [&](float floor) {
    best = fill_rows(s, fold, floor);
    if (best == 0.0f) known = std::max(known, met_);
  };
  if (const float most = ceilings_.first_floor(); most > known) try_floor(most);
  if (best == 0.0f && hint_ > known) try_floor(hint_);
  // With nothing known, a fill from 0 would keep every cell whose bound is
  // above 0, in rows as long as the rest of the text. Halve a floor from
  // 1/2 instead; each fill that nothing reaches stays small. (Floors at or
  // below t are all the same fill, the last one below.)
  for (float guess = 0.5f; best == 0.0f && known == 0.0f && guess >= kLowestGuess && guess > scoring_.threshold();
       guess /= 2.0f) {
    try_floor(guess);
  }
  if (best == 0.0f) best = fill_rows(s, fold, known);
  hint_ = best;
  if (best == 0.0f) return {};
  mark_best_ways(s, fold, best);
  return first_on_best_way(s, fold, best);
}

float RowSearch::fill_rows(const unsigned char* s, const ByteMap& fold, float lowest) {
  const std::uint64_t r = scoring_.remaining();
  const float t = scoring_.threshold();
  rows_.clear();
  cells_.clear();
  met_ = 0.0f;
  float best = 0.0f;
  set_floor(std::max(lowest, t));
  // The root's row: text bytes skipped one after another.
  const FuzzyIndex::Reach root_reach = index_.reach(KeywordTrie::root());
  row_.assign(1, 0);
  for (std::uint64_t k = 1; k <= r && scoring_.may_edit(k - 1, row_.back()); ++k) {
    const std::int32_t e = row_.back() + 1;
    if (!keeps(root_reach, k, e)) break;
    row_.push_back(e);
  }
  keep_row(KeywordTrie::root(), 0, 0, 0);
  pending_rows_.assign(1, 0);
  while (!pending_rows_.empty()) {
    const std::uint32_t at = pending_rows_.back();
    pending_rows_.pop_back();
    Row& row = rows_[at];
    clock_.advance(row.size);
    const NameId name = trie_.name_at(row.node);
    if (row.floor != floor()) {
      // The best has grown since the row was made.
      const FuzzyIndex::Reach reach = index_.reach(row.node);
      row.least_excess = INT64_MAX;
      for (std::size_t i = 0; i < row.size; ++i) {
        std::int32_t& e = cells_[row.cells + i];
        if (e == kUnreached) continue;
        const std::uint64_t k = row.lo + i;
        if (!keeps(reach, k, e)) {
          e = kUnreached;
          continue;
        }
        row.least_excess = std::min(row.least_excess, static_cast<std::int64_t>(e) - static_cast<std::int64_t>(k));
      }
      row.floor = floor();
    }
    if (row.least_excess == INT64_MAX || ceilings_.rules_out(row.node, floor())) continue;
    for (std::size_t i = 0; i < row.size && name != kNoName; ++i) {
      const std::int32_t e = cells_[row.cells + i];
      const std::uint64_t k = row.lo + i;
      if (e == kUnreached || k == 0) continue;
      const float similarity = scoring_.score(name, k, e);
      met_ = std::max(met_, similarity);
      if (similarity >= floor() && similarity > best) {
        best = similarity;
        set_floor(best);
      }
    }
    add_child_rows(at, s, fold);
    const Row& done = rows_[at];
    for (std::uint32_t i = done.children; i > 0; --i) pending_rows_.push_back(done.first_child + i - 1);
  }
  return best;
}

void RowSearch::add_child_rows(std::uint32_t at, const unsigned char* s, const ByteMap& fold) {
  const std::uint64_t r = scoring_.remaining();
  const std::uint32_t first_child = static_cast<std::uint32_t>(rows_.size());
  const Row parent = rows_[at];
  const std::uint64_t lo = parent.lo;
  const std::size_t size = parent.size;
  // Steps leave only the parent's cells with k < r, the first `leaving`.
  const std::size_t leaving = static_cast<std::size_t>(std::min<std::uint64_t>(size, r - lo));
  // The parent's cells after an edit step, where they may edit.
  stepped_.assign(size + 1, kUnreached);
  for (std::size_t i = 0; i < leaving; ++i) {
    const std::int32_t e = cells_[parent.cells + i];
    if (e <= scoring_.edit_cap(lo + i)) stepped_[i] = e + 1;
  }
  trie_.for_each_child(parent.node, [&](std::uint32_t key, Node child) {
    if (ceilings_.rules_out(child, floor())) return;
    const FuzzyIndex::Reach reach = index_.reach(child);
    // Every step into the child's row keeps e - k at least one below the
    // parent's least; cells past the last one that could_keep are cut
    // anyway, so they are not computed.
    std::size_t count = size + 1;
    while (count > 0 && !could_keep(reach, lo + count - 1, parent.least_excess - 1)) --count;
    if (count == 0) return;
    const std::int32_t* above = cells_.data() + parent.cells;
    row_.resize(count);
    // (child, k) from (parent, k - 1) by the exact step or a substitution,
    // from (parent, k) by skipping the key, from (child, k - 1) by skipping
    // text byte k - 1. A cell is kept only if its bound reaches the floor,
    // but a cut cell's edits still lead on (its successors are cut too).
    std::int32_t before = kUnreached;
    for (std::size_t j = 0; j < count; ++j) {
      std::int32_t e = stepped_[j];
      if (j > 0) {
        e = std::min(e, stepped_[j - 1]);
        if (j - 1 < leaving) {
          if (fold(s[lo + j - 1]) == key) e = std::min(e, above[j - 1]);
          if (before <= scoring_.edit_cap(lo + j - 1)) e = std::min(e, before + 1);
        }
      }
      before = e;
      row_[j] = e != kUnreached && keeps(reach, lo + j, e) ? e : kUnreached;
    }
    // Past the parent's cells only skipped text bytes extend the row, and
    // a cell cut there cuts those after it (see keeps).
    if (count == size + 1) {
      for (std::uint64_t k = lo + count; before != kUnreached && k - 1 < r && before <= scoring_.edit_cap(k - 1);
           ++k) {
        before += 1;
        if (!keeps(reach, k, before)) break;
        row_.push_back(before);
      }
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
  const std::uint64_t first_k = lo + static_cast<std::uint64_t>(first - row_.begin());
  std::int64_t least_excess = INT64_MAX;
  for (auto cell = first; cell != last; ++cell) {
    if (*cell != kUnreached) {
      const std::uint64_t k = first_k + static_cast<std::uint64_t>(cell - first);
      least_excess = std::min(least_excess, std::int64_t{*cell} - static_cast<std::int64_t>(k));
    }
  }
  rows_.push_back({node, key, parent, first_k, static_cast<std::size_t>(last - first), cells_.size(), least_excess,
                   floor()});
  // Steps from a cell at k read the text byte at k.
  read_end_ = std::max(read_end_, first_k + static_cast<std::uint64_t>(last - first));
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
