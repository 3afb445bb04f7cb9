#include "engine/fuzzy_ceilings.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace termsweep {
namespace {

constexpr float kNothing = -std::numeric_limits<float>::infinity();
constexpr std::uint32_t kNoParent = 0xFFFFFFFFu;

}  // namespace

// Myers' step in Hyyro's form for the global distance, a word at a time
// from the lowest: the column of a child under `key` from its parent's.
// Bits above the window carry garbage that never reaches the bits below it
// (sums and shifts only move upwards). Each word is read before it is
// written, so `next` may be `column`.
template <std::size_t W>
inline void FuzzyCeilings::step(const Word* column, std::uint32_t key, Word* next) const {
  static const Word kNoBytes[kMostWords] = {};
  const Word* equal = key < 256 ? equal_[key] : kNoBytes;
  Word carry = 0;
  Word rise_in = 1;  // row 0 (k = 0) grows by one per keyword byte
  Word fall_in = 0;
  for (std::size_t i = 0; i < W; ++i) {
    const Word up = column[i];
    const Word down = column[W + i];
    const Word vertical = equal[i] | down;
    const Word part = (equal[i] & up) + up;
    const Word sum = part + carry;
    carry = (part < up) | (sum < part);
    const Word horizontal = (sum ^ up) | equal[i];
    const Word rises = down | ~(horizontal | up);
    const Word falls = up & horizontal;
    const Word rises_shifted = rises << 1 | rise_in;
    const Word falls_shifted = falls << 1 | fall_in;
    rise_in = rises >> 63;
    fall_in = falls >> 63;
    next[i] = falls_shifted | ~(vertical | rises_shifted);
    next[W + i] = rises_shifted & vertical;
  }
}

template <std::size_t W, bool kAny, class Most>
std::uint64_t FuzzyCeilings::reaching(const Word* column, std::uint64_t depth, std::uint64_t first,
                                      const Most& most) {
  const std::uint64_t* const table = level_.table_to(most(window_));
  const auto limit = [&](std::uint64_t k) {
    return static_cast<std::int64_t>(table ? table[most(k)] : level_.limit(most(k)));
  };
  // E(k) >= 0 passes where it is at most the limit. Past the depth,
  // E(k') >= k' - depth, and 1 - (k' - depth) / most(k') only falls as k'
  // grows: once k - depth is above the limit, nothing further passes.
  const auto signed_depth = static_cast<std::int64_t>(depth);
  std::uint64_t last = kNone;
  std::int64_t e = signed_depth;
  if (first == 0 && e <= limit(0)) {
    if (kAny) return 0;
    last = 0;
  }
  for (std::size_t word = 0; word < W; ++word) {
    Word up = column[word];
    Word down = column[W + word];
    const std::uint64_t end = std::min<std::uint64_t>(window_, 64 * (word + 1));
    for (std::uint64_t k = 64 * word + 1; k <= end; ++k) {
      e += static_cast<std::int64_t>(up & 1) - static_cast<std::int64_t>(down & 1);
      up >>= 1;
      down >>= 1;
      const std::int64_t at_most = limit(k);
      if (e <= at_most) {
        if (kAny) return k;
        last = k;
      } else if (static_cast<std::int64_t>(k) - signed_depth > at_most) {
        return last;
      }
    }
  }
  return last;
}

// A candidate at or below the node passes it at some k. Where k is within
// the window, its score is at most the node's bound for (k, E(k)) (see
// FuzzyScoring::bound_ratio, which holds for any edits at least the
// state's; E(k) is at most those). Where k lies past the window, rules_out
// leaves the floor to far_.
template <std::size_t W>
bool FuzzyCeilings::subtree_reaches(const Word* column, std::uint64_t depth, Node node) {
  const FuzzyIndex::Reach reach = index_.reach(node);
  const std::uint64_t r = scoring_.remaining();
  return reaching<W, true>(column, depth, 0, [&](std::uint64_t k) {
           return std::max<std::uint64_t>(reach.longest_name, std::min<std::uint64_t>(k + reach.height, r));
         }) != kNone;
}

// The best candidates found: one with the highest score, and whether
// another (name, count) pair scores the same.
void FuzzyCeilings::note_best(const FuzzyCandidate& found, bool tied) {
  if (found.score > best_.score) {
    best_ = found;
    best_tied_ = tied;
  } else if (found.score == best_.score) {
    best_tied_ = best_tied_ || tied || found.name != best_.name || found.consumed != best_.consumed;
  }
}

void FuzzyCeilings::set_level(float level) {
  level_.set_floor(level);
  below_level_ = level > 0.0f ? std::nextafter(level, 0.0f) : 0.0f;
}

// A candidate that consumes k > w bytes (w the window) skips at least k - D
// of them (D its keyword's length): it scores at most D / k where k >= L,
// else 1 - (k - D) / L. Over the trie, at most H / (w + 1) or
// 1 - (w + 1 - H) / Lmax (H its height, Lmax the longest name). A small
// margin covers the float rounding of the scores.
float FuzzyCeilings::past_window(std::uint64_t w) const {
  const FuzzyIndex::Reach all = index_.reach(KeywordTrie::root());
  const double past = static_cast<double>(w + 1);
  const double height = all.height;
  double far = height / past;
  if (all.longest_name > 0) far = std::max(far, 1.0 - (past - height) / all.longest_name);
  return static_cast<float>(std::min(far + 1e-4, 1.0));
}

void FuzzyCeilings::compute(const unsigned char* s, const ByteMap& fold, float known, float guess) {
  // From a level at the best score, only what reaches that score is worked
  // out; from a lower one, more. A guess that some candidate reaches gives
  // ceilings as exact as the known score does.
  if (guess > known) {
    compute_from(s, fold, guess);
    if (active_ && ceilings_[KeywordTrie::root().index] >= guess && far_ < guess) return;
  }
  compute_from(s, fold, known);
}

void FuzzyCeilings::compute_from(const unsigned char* s, const ByteMap& fold, float level) {
  active_ = false;
  const std::uint64_t r = scoring_.remaining();
  if (!scoring_.exact_bounds() || r == 0) return;
  // The narrowest window past which no candidate reaches the level: a word
  // of columns costs a few operations per node.
  window_ = 64;
  while (window_ < r && window_ < 64 * kMostWords && !(past_window(window_) < level)) window_ *= 2;
  window_ = std::min(window_, r);
  far_ = kNothing;
  if (window_ < r) {
    far_ = past_window(window_);
    if (far_ >= 1.0f) return;
  }
  active_ = true;
  text_ = s;
  fold_ = &fold;
  set_level(level);
  best_ = {kNoName, 0, kNothing};
  best_tied_ = false;
  words_ = static_cast<std::size_t>((window_ + 63) / 64);
  for (const unsigned char byte : equal_bytes_) std::fill(std::begin(equal_[byte]), std::end(equal_[byte]), Word{0});
  equal_bytes_.clear();
  for (std::uint64_t k = 0; k < window_; ++k) {
    const unsigned char byte = fold(s[k]);
    Word* equal = equal_[byte];
    if (std::all_of(equal, equal + words_, [](Word w) { return w == 0; })) equal_bytes_.push_back(byte);
    equal[k / 64] |= Word{1} << (k % 64);
  }
  const std::size_t units = trie_.unit_count();
  if (stamps_.size() != units) {
    stamps_.assign(units, 0);
    ceilings_.assign(units, 0.0f);
    tail_ceilings_.assign(units, 0.0f);
  }
  if (++generation_ == 0) {
    std::fill(stamps_.begin(), stamps_.end(), 0);
    generation_ = 1;
  }
  visited_.clear();
  // Whole powers of two: the bits past the window carry garbage that never
  // reaches the bits within it.
  words_ = std::bit_ceil(words_);
  switch (words_) {
    case 1: descend<1>(); break;
    case 2: descend<2>(); break;
    default: descend<kMostWords>(); break;
  }
  // Children come after their parents: bottom up, each node's ceiling is
  // the most its name and its children's ceilings score.
  for (std::size_t i = visited_.size(); i-- > 0;) {
    const Visited& node = visited_[i];
    ceilings_[node.unit] = node.ceiling;
    stamps_[node.unit] = generation_;
    if (node.parent != kNoParent) visited_[node.parent].ceiling = std::max(visited_[node.parent].ceiling, node.ceiling);
  }
}

template <std::size_t W>
void FuzzyCeilings::descend() {
  pending_.assign(1, {KeywordTrie::root(), kNoParent, 0, 0});
  pending_columns_.assign(2 * W, Word{0});
  std::fill(pending_columns_.begin(), pending_columns_.begin() + W, ~Word{0});  // the root's: E(k) = k
  Column column;
  while (!pending_.empty()) {
    const Pending next = pending_.back();
    pending_.pop_back();
    std::copy_n(pending_columns_.end() - 2 * W, 2 * W, column.begin());
    pending_columns_.resize(pending_columns_.size() - 2 * W);
    visit<W>(next, column.data());
  }
}

// Nodes are expanded while their subtree may reach the level: the highest
// score known to be reached (it rises to every real score found at or above
// it). A node left unexpanded has nothing reaching the level below it, and
// gets the ceiling below_level_.
template <std::size_t W>
void FuzzyCeilings::visit(const Pending& next, const Word* column) {
  const Node node = next.node;
  const auto at = static_cast<std::uint32_t>(visited_.size());
  visited_.push_back({node.index, next.parent, next.key, kNothing});
  if (!subtree_reaches<W>(column, next.depth, node)) {
    visited_[at].ceiling = below_level_;
    tail_ceilings_[node.index] = visited_[at].ceiling;
    return;
  }
  float ceiling = kNothing;
  const std::string_view chain = trie_.chain_below(node);
  if (const NameId name = trie_.name_at(node); name != kNoName) {
    ceiling = name_ceiling<W>(at, column, next.depth, {}, name);
  }
  if (!chain.empty()) {
    // One keyword below: its ceiling holds at every node of the chain.
    Column below;
    std::copy_n(column, 2 * W, below.begin());
    for (const char byte : chain) step<W>(below.data(), static_cast<unsigned char>(byte), below.data());
    const Node end{node.index, node.tail_depth + static_cast<std::uint32_t>(chain.size())};
    const float tail = name_ceiling<W>(at, below.data(), next.depth + chain.size(), chain, trie_.name_at(end));
    tail_ceilings_[node.index] = tail;
    ceiling = std::max(ceiling, tail);
  } else {
    trie_.for_each_child(node, [&](std::uint32_t key, Node child) {
      pending_.push_back({child, at, key, next.depth + 1});
      pending_columns_.resize(pending_columns_.size() + 2 * W);
      step<W>(column, key, pending_columns_.data() + pending_columns_.size() - 2 * W);
    });
  }
  visited_[at].ceiling = ceiling;
}

// The ceiling of the keyword at the node visited_[at] (and `chain` below
// it), whose column is `column`. Its plain score reaches the level at no k
// past `last`, the last k at which it does, and its real score there is at
// most the plain one; up to `last` the real score is computed. So the
// ceiling is the real best where that reaches the level (which rises to
// it), else below_level_.
template <std::size_t W>
float FuzzyCeilings::name_ceiling(std::uint32_t at, const Word* column, std::uint64_t depth, std::string_view chain,
                                  NameId name) {
  const std::uint64_t length = trie_.name(name).size();
  const std::uint64_t last =
      reaching<W, false>(column, depth, 1, [&](std::uint64_t k) { return std::max(length, k); });
  if (last != kNone) {
    bool tied = false;
    const FuzzyCandidate best = exact_score(at, chain, name, last, tied);
    if (level_.reaches_score(best.score)) {
      note_best(best, tied);
      set_level(best.score);
      return best.score;
    }
  }
  return below_level_;
}

// The best score of the keyword at the node visited_[at] (and `chain`
// below it) over the consumed counts up to `last`: the row search's fill
// along its path alone, with no cut. Its rows depend only on the path, so
// they are the rows the search would fill there; a cell at k depends on
// cells at k and before only.
FuzzyCandidate FuzzyCeilings::exact_score(std::uint32_t at, std::string_view chain, NameId name, std::uint64_t last,
                                          bool& tied) {
  path_.clear();
  for (std::uint32_t i = at; visited_[i].parent != kNoParent; i = visited_[i].parent) path_.push_back(visited_[i].key);
  std::reverse(path_.begin(), path_.end());
  for (const char byte : chain) path_.push_back(static_cast<unsigned char>(byte));
  constexpr std::int32_t kUnreached = INT32_MAX / 2;
  const std::uint64_t r = scoring_.remaining();
  const std::uint64_t w = last;
  const auto may_edit = [&](std::uint64_t k, std::int32_t e) { return e <= scoring_.edit_cap(k); };
  above_.assign(w + 1, kUnreached);
  above_[0] = 0;
  for (std::uint64_t k = 1; k <= w && may_edit(k - 1, above_[k - 1]); ++k) above_[k] = above_[k - 1] + 1;
  below_.resize(w + 1);
  for (const std::uint32_t key : path_) {
    // As in the row search: the key skipped, the exact step or a
    // substitution, a text byte skipped; edits only where the state may.
    below_[0] = r > 0 && may_edit(0, above_[0]) ? above_[0] + 1 : kUnreached;
    for (std::uint64_t k = 1; k <= w; ++k) {
      std::int32_t e = k < r && may_edit(k, above_[k]) ? above_[k] + 1 : kUnreached;
      const std::int32_t before = above_[k - 1];
      if ((*fold_)(text_[k - 1]) == key) e = std::min(e, before);
      if (may_edit(k - 1, before)) e = std::min(e, before + 1);
      if (may_edit(k - 1, below_[k - 1])) e = std::min(e, below_[k - 1] + 1);
      below_[k] = e;
    }
    above_.swap(below_);
  }
  FuzzyCandidate best{name, 0, kNothing};
  tied = false;
  for (std::uint64_t k = 1; k <= w; ++k) {
    if (above_[k] >= kUnreached) continue;
    const float score = scoring_.score(name, k, above_[k]);
    if (score > best.score) {
      best = {name, k, score};
      tied = false;
    } else if (score == best.score) {
      tied = true;
    }
  }
  return best;
}

}  // namespace termsweep
