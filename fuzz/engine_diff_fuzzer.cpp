// libFuzzer harness: the input drives a scenario of keyword additions,
// removals, word-character changes, restored states, scans and state round
// trips on the engine and on the reference model (tests/reference), and any
// disagreement aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "differential.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto report = termsweep::reference::run_scenario(data, size);
  if (!report.mismatch.empty()) {
    std::fprintf(stderr, "engine_diff_fuzzer: %s\n", report.mismatch.c_str());
    std::abort();
  }
  return 0;
}
