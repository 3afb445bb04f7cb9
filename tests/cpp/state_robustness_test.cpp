// The readers on damaged input: mutated valid states and random bytes must
// either read (and then round-trip stably) or fail with an error whose facts
// agree with the input.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/keyword_processor.hpp"
#include "state/state_format.hpp"
#include "read_error_check.hpp"
#include "trie_support.hpp"

namespace termsweep::state {
namespace {

constexpr std::size_t kRootOffset = 8 + 139264;

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng_() % n); }
  char random_byte() { return static_cast<char>(rng_()); }

  // Damages `bytes` in place, at positions from `hot` onward most of the time
  // (for a processor state: the trie and flags rather than the opaque set).
  void mutate(std::string& bytes, std::size_t hot) {
    for (std::size_t n = 1 + below(3); n > 0; --n) {
      const std::size_t start = below(10) == 0 || hot >= bytes.size() ? 0 : hot;
      const std::size_t at = start + below(bytes.size() - start);
      switch (below(7)) {
        case 0:  // flip one bit
          if (!bytes.empty()) bytes[at] = static_cast<char>(bytes[at] ^ (1 << below(8)));
          break;
        case 1:
          if (!bytes.empty()) bytes[at] = random_byte();
          break;
        case 2:
          bytes.resize(at);
          break;
        case 3:
          for (std::size_t k = 1 + below(8); k > 0; --k) bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), random_byte());
          break;
        case 4:
          bytes.erase(at, 1 + below(16));
          break;
        case 5: {  // copy a slice elsewhere, e.g. a subtree next to its twin
          const std::size_t from = start + below(bytes.size() - start);
          const std::string slice = bytes.substr(from, 1 + below(64));
          bytes.insert(at, slice);
          break;
        }
        default: {  // a count or length with an interesting value
          static const std::uint64_t values[] = {0, 1, 2, 17408, 255, std::uint64_t{1} << 63,
                                                 ~std::uint64_t{0}, 0xFFFFFFFF};
          std::uint64_t v = values[below(std::size(values))];
          for (int i = 0; i < 8 && at + static_cast<std::size_t>(i) < bytes.size(); ++i, v >>= 8) {
            bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(v);
          }
        }
      }
    }
  }

 private:
  std::mt19937_64 rng_;
};

std::vector<std::string> valid_processor_states() {
  std::vector<std::string> states;
  KeywordProcessor plain;
  states.push_back(write_processor_state(plain));
  KeywordProcessor rich(true, true);
  for (const char* keyword : {"new", "new york", "\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC", "", "a"}) {
    rich.add_keyword(keyword, std::nullopt);
  }
  rich.add_keyword("x", "\xF0\x9F\x98\x80 named");
  states.push_back(write_processor_state(rich));
  // A key above 0xFF, as only a saved state can carry.
  testing::Tree wide;
  wide.children[0x1F600].name = "";
  wide.children['x'].children['y'].name = "xy";
  states.push_back(write_processor_state(KeywordProcessor(WordCharSet::with_defaults(), testing::build(wide), true, true)));
  return states;
}

void check_processor_input(const std::string& bytes) {
  ReadError error;
  auto read = read_processor_state(bytes, error);
  if (!read) {
    ASSERT_EQ(read_error_mismatch(bytes, error), "");
    return;
  }
  const std::string written = write_processor_state(*read);
  auto again = read_processor_state(written, error);
  ASSERT_NE(again, nullptr) << read_error_mismatch(written, error);
  ASSERT_EQ(write_processor_state(*again), written);
}

void check_match_input(const std::string& bytes) {
  ReadError error;
  auto read = read_match_state(bytes, error);
  if (!read) {
    ASSERT_EQ(read_error_mismatch(bytes, error), "");
    return;
  }
  const std::string written = write_match_state(*read);
  ASSERT_EQ(written, bytes.substr(0, written.size()));
  auto again = read_match_state(written, error);
  ASSERT_TRUE(again.has_value());
  ASSERT_EQ(write_match_state(*again), written);
}

TEST(StateReaderRobustness, MismatchedFactsAreNoticed) {
  // Guards the check used below against accepting anything.
  const std::string flags_2 = std::string(8, '\0') + "\x02";
  EXPECT_EQ(read_error_mismatch(flags_2, {ReadError::Kind::kInvalidBool, 8, 0, 2, std::nullopt}), "");
  EXPECT_NE(read_error_mismatch(flags_2, {ReadError::Kind::kInvalidBool, 7, 0, 2, std::nullopt}), "");
  EXPECT_NE(read_error_mismatch(flags_2, {ReadError::Kind::kShortRead, 8, 8, 2, std::nullopt}), "");
  EXPECT_NE(read_error_mismatch(flags_2, {ReadError::Kind::kShortRead, 0, 8, 9, std::nullopt}), "");
  EXPECT_NE(read_error_mismatch(flags_2, {ReadError::Kind::kWordCount, 0, 17408, 5, std::nullopt}), "");
}

TEST(StateReaderRobustness, MutatedProcessorStates) {
  const std::vector<std::string> seeds = valid_processor_states();
  Mutator mutator(0x5eed);
  int successes = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string bytes = seeds[static_cast<std::size_t>(i) % seeds.size()];
    mutator.mutate(bytes, kRootOffset);
    ReadError error;
    successes += read_processor_state(bytes, error) != nullptr;
    ASSERT_NO_FATAL_FAILURE(check_processor_input(bytes)) << "iteration " << i;
  }
  // Some damage (in the set, in a name's text) still reads.
  EXPECT_GT(successes, 0);
}

TEST(StateReaderRobustness, RandomTrieBytesAfterAValidSet) {
  const std::string header = valid_processor_states()[0].substr(0, kRootOffset);
  Mutator mutator(0xfeed);
  for (int i = 0; i < 3000; ++i) {
    std::string bytes = header;
    for (std::size_t n = mutator.below(64); n > 0; --n) {
      // Small values now and then, so that counts and tags are often sane.
      bytes.push_back(mutator.below(2) ? static_cast<char>(mutator.below(3)) : mutator.random_byte());
    }
    ASSERT_NO_FATAL_FAILURE(check_processor_input(bytes)) << "iteration " << i;
  }
}

TEST(StateReaderRobustness, MutatedAndRandomMatchStates) {
  const std::vector<std::string> seeds = {
      write_match_state({"ab", 1.0f, 0, 2}),
      write_match_state({"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82", 0.85f, 4, 12}),
      write_match_state({"", 0.0f, 0, 0}),
  };
  Mutator mutator(0xbeef);
  for (int i = 0; i < 3000; ++i) {
    std::string bytes = seeds[static_cast<std::size_t>(i) % seeds.size()];
    mutator.mutate(bytes, 0);
    ASSERT_NO_FATAL_FAILURE(check_match_input(bytes)) << "iteration " << i;
    std::string noise;
    for (std::size_t n = mutator.below(48); n > 0; --n) noise.push_back(mutator.random_byte());
    ASSERT_NO_FATAL_FAILURE(check_match_input(noise)) << "noise " << i;
  }
}

}  // namespace
}  // namespace termsweep::state
