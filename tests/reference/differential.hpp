// Differential scenarios: a byte string drives the same operations on the
// engine and on the reference model, and every answer is compared. Shared by
// the C++ differential test (random bytes) and engine_diff_fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace termsweep::reference {

struct ScenarioReport {
  std::string mismatch;  // the first disagreement, empty when there was none

  // What the scenario reached, so that a test can tell that the generator
  // still covers every feature.
  unsigned exact_matches = 0;
  unsigned fuzzy_matches = 0;
  unsigned changed_replacements = 0;
  unsigned removals = 0;
  unsigned restored_states = 0;
  unsigned restored_wide_keys = 0;
  unsigned named_root_scans = 0;  // fuzzy scans with a clean name on the root
  unsigned refused_states = 0;
  unsigned skipped_scans = 0;  // the reference's fuzzy search hit its limit
};

ScenarioReport run_scenario(const std::uint8_t* data, std::size_t size);

}  // namespace termsweep::reference
