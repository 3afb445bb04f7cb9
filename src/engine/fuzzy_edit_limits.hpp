// A floor on scores turned into a limit on edits: for each denominator
// `most`, the most edits e with which 1 - e / most still reaches the floor
// and is above 0 (a score of 0 never wins). Rounded division and
// subtraction are monotone, so 1 - e / most reaches the floor exactly when
// e == 0 or e is at most that limit, and a test costs a table lookup where
// the score would cost a division.
#pragma once

#include <cstdint>
#include <vector>

namespace termsweep {

class EditLimits {
 public:
  float floor() const { return floor_; }
  void set_floor(float floor) {
    if (floor == floor_) return;
    floor_ = floor;
    limits_.clear();
  }

  bool reaches_score(float score) const { return score >= floor_ && score > 0.0f; }
  // Whether 1 - edits / most reaches the floor (always where edits is 0).
  bool reaches(std::uint64_t edits, std::uint64_t most) { return edits == 0 || edits <= limit(most); }

  std::uint64_t limit(std::uint64_t most) { return most < limits_.size() ? limits_[most] : limit_beyond_table(most); }

  // The limits by most for every most up to `top`, or null where `top` is
  // beyond the table. Valid until the floor changes.
  const std::uint64_t* table_to(std::uint64_t top) {
    if (top >= kTable) return nullptr;
    if (top >= limits_.size()) limit_beyond_table(top);
    return limits_.data();
  }

 private:
  bool passes(std::uint64_t e, std::uint64_t most) const {
    return reaches_score(1.0f - static_cast<float>(e) / static_cast<float>(most));
  }
  // The limit grows with most: from a guess or the entry before, moved
  // onto the exact edge.
  std::uint64_t edge(std::uint64_t e, std::uint64_t most) const {
    while (e > 0 && !passes(e, most)) --e;
    while (passes(e + 1, most)) ++e;
    return e;
  }
  std::uint64_t limit_beyond_table(std::uint64_t most) {
    if (most >= kTable) {
      return edge(static_cast<std::uint64_t>((1.0 - static_cast<double>(floor_)) * static_cast<double>(most)), most);
    }
    if (limits_.empty()) limits_.push_back(0);  // most 0: no edit passes
    while (limits_.size() <= most) limits_.push_back(edge(limits_.back(), limits_.size()));
    return limits_[most];
  }

  static constexpr std::uint64_t kTable = 1 << 12;
  float floor_ = -1.0f;
  std::vector<std::uint64_t> limits_;  // by most, for small most, as far as asked
};

}  // namespace termsweep
