// The fuzzy scan: at each start, the bounded edit search for the most
// similar keyword.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/keyword_processor.hpp"
#include "engine/scan_bytes.hpp"

namespace termsweep {

// How many states the state search may pop at one start before the row
// search takes over (at most: where few searches finish within it, most get
// a shorter one). A variable so that tests can hand every start to the row
// search (0) or every start past its first few states.
extern std::size_t fuzzy_state_budget;

// Sets fuzzy_state_budget for one scope.
class ScopedFuzzyStateBudget {
 public:
  explicit ScopedFuzzyStateBudget(std::size_t budget) : saved_(fuzzy_state_budget) { fuzzy_state_budget = budget; }
  ~ScopedFuzzyStateBudget() { fuzzy_state_budget = saved_; }
  ScopedFuzzyStateBudget(const ScopedFuzzyStateBudget&) = delete;
  ScopedFuzzyStateBudget& operator=(const ScopedFuzzyStateBudget&) = delete;

 private:
  std::size_t saved_;
};

// Appends the fuzzy matches of the text s[0..n) (read through `fold`; word
// bytes per `is_word`) for the checked threshold t < 1.
void scan_fuzzy(const KeywordProcessor& processor, const unsigned char* s, std::size_t n,
                const bool* is_word, const ByteMap& fold, float t, const Interrupt& interrupt,
                std::vector<KeywordMatch>& matches);

}  // namespace termsweep
