// The engine against the reference model (tests/reference) on random
// scenarios: keywords with Unicode, whitespace and empty keys, clean names,
// removals, word characters, restored states with wide and repeated keys,
// both flags and thresholds from 0 to 1.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "differential.hpp"

namespace {

TEST(Differential, EngineAgreesWithReference) {
  termsweep::reference::ScenarioReport total;
  for (std::uint32_t seed = 0; seed < 3000; ++seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> input(random() % 600);
    for (auto& byte : input) byte = static_cast<std::uint8_t>(random());
    const auto report = termsweep::reference::run_scenario(input.data(), input.size());
    ASSERT_EQ(report.mismatch, "") << "seed " << seed;
    total.exact_matches += report.exact_matches;
    total.fuzzy_matches += report.fuzzy_matches;
    total.changed_replacements += report.changed_replacements;
    total.removals += report.removals;
    total.restored_states += report.restored_states;
    total.restored_wide_keys += report.restored_wide_keys;
    total.named_root_scans += report.named_root_scans;
    total.refused_states += report.refused_states;
    total.skipped_scans += report.skipped_scans;
  }
  // The scenarios must keep reaching every feature.
  EXPECT_GT(total.exact_matches, 1000u);
  EXPECT_GT(total.fuzzy_matches, 1000u);
  EXPECT_GT(total.changed_replacements, 1000u);
  EXPECT_GT(total.removals, 300u);
  EXPECT_GT(total.restored_states, 300u);
  EXPECT_GT(total.restored_wide_keys, 100u);
  EXPECT_GT(total.named_root_scans, 30u);
  EXPECT_GT(total.refused_states, 100u);
  EXPECT_LT(total.skipped_scans, 100u);
  std::printf("exact %u, fuzzy %u, replaced %u, removed %u, restored %u (wide %u, refused %u), "
              "named root %u, skipped %u\n",
              total.exact_matches, total.fuzzy_matches, total.changed_replacements, total.removals,
              total.restored_states, total.restored_wide_keys, total.refused_states,
              total.named_root_scans, total.skipped_scans);
}

}  // namespace
