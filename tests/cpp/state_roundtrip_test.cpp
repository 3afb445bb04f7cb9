// Writing then reading gives back the same processor; deep and wide tries
// are handled without recursion or quadratic work.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/keyword_processor.hpp"
#include "engine/utf8.hpp"
#include "state/state_format.hpp"
#include "trie_support.hpp"

namespace termsweep::state {
namespace {

using namespace std::string_literals;

std::string u64(std::uint64_t value) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

std::string header() { return u64(17408) + std::string(139264, '\0'); }

std::unique_ptr<KeywordProcessor> read_ok(std::string_view bytes) {
  ReadError error;
  auto processor = read_processor_state(bytes, error);
  EXPECT_NE(processor, nullptr);
  return processor;
}

using testing::depth_of_first_path;
using testing::same_trie;

// ---- random tries ----

class RandomTrie {
 public:
  explicit RandomTrie(std::uint64_t seed) : rng_(seed) {}

  std::unique_ptr<KeywordProcessor> make() {
    const bool case_sensitive = coin(), allow_overlaps = coin();
    WordCharSet word_chars = WordCharSet::with_defaults();
    if (coin()) word_chars.clear();
    for (int i = below(300); i > 0; --i) word_chars.add(scalar());
    testing::Tree tree;
    const int keywords = below(200);
    for (int k = 0; k < keywords; ++k) {
      testing::Tree* node = &tree;
      for (int depth = below(12); depth > 0; --depth) node = &node->children[key()];
      // Some paths end on a node that carries no name, as a loaded state may.
      if (below(8) != 0) node->name = clean_name();
    }
    return std::make_unique<KeywordProcessor>(word_chars, testing::build(tree), case_sensitive, allow_overlaps);
  }

 private:
  bool coin() { return rng_() & 1; }
  int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }

  std::uint32_t scalar() {
    std::uint32_t cp;
    do {
      cp = static_cast<std::uint32_t>(rng_() % 0x110000);
    } while (cp >= 0xD800 && cp <= 0xDFFF);
    return cp;
  }

  // Mostly a few letters, so that keywords share prefixes; some other byte
  // values; now and then a key above 0xFF such as only a loaded state has.
  std::uint32_t key() {
    switch (below(10)) {
      case 0:
        return static_cast<std::uint32_t>(below(256));
      case 1:
        return scalar();
      default:
        return static_cast<std::uint32_t>('a' + below(4));
    }
  }

  std::string clean_name() {
    std::string name;
    for (int n = below(4) == 0 ? 0 : below(12); n > 0; --n) {
      append_utf8(below(3) == 0 ? scalar() : static_cast<std::uint32_t>('a' + below(26)), name);
    }
    return name;
  }

  std::mt19937_64 rng_;
};

TEST(StateRoundTrip, RandomProcessorsComeBackEqualAndRewriteIdentically) {
  for (std::uint64_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE(seed);
    auto original = RandomTrie(seed).make();
    const std::string first = write_processor_state(*original);
    auto read = read_ok(first);
    ASSERT_NE(read, nullptr);
    EXPECT_TRUE(same_trie(original->trie(), read->trie()));
    EXPECT_EQ(read->word_chars(), original->word_chars());
    EXPECT_EQ(read->case_sensitive(), original->case_sensitive());
    EXPECT_EQ(read->allow_overlaps(), original->allow_overlaps());
    EXPECT_EQ(read->count_keywords(), original->count_keywords());
    EXPECT_EQ(write_processor_state(*read), first);
  }
}

TEST(StateRoundTrip, MatchValues) {
  const std::vector<MatchValue> matches = {
      {"", 0.0f, 0, 0},
      {"ab", 1.0f, 0, 2},
      {"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82 \xF0\x9F\x98\x80", 0.85f, 7, 1},
      {std::string(100000, 'k'), 0.33f, ~std::uint64_t{0}, std::uint64_t{1} << 40},
  };
  for (const MatchValue& match : matches) {
    const std::string state = write_match_state(match);
    EXPECT_EQ(state.size(), 28 + match.keyword.size());
    ReadError error;
    auto read = read_match_state(state, error);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->keyword, match.keyword);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(read->similarity), std::bit_cast<std::uint32_t>(match.similarity));
    EXPECT_EQ(read->start, match.start);
    EXPECT_EQ(read->end, match.end);
    EXPECT_EQ(write_match_state(*read), state);
  }
}

// ---- depth ----

TEST(StateRoundTrip, MillionByteKeywordNeedsNoDeepStack) {
  constexpr std::size_t kDepth = 1'000'000;
  KeywordProcessor processor(true, false);
  processor.add_keyword(std::string(kDepth, 'q'), "deep");
  const std::string state = write_processor_state(processor);
  // Per node a count and a tag, per edge a one-byte key, plus the name.
  EXPECT_EQ(state.size(), 139274 + (kDepth + 1) * 9 + kDepth + 8 + 4);
  auto read = read_ok(state);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(depth_of_first_path(read->trie()), kDepth);
  EXPECT_TRUE(same_trie(processor.trie(), read->trie()));
  EXPECT_EQ(write_processor_state(*read), state);
}

// A crafted chain of nested records, with clean names on every level,
// complete and cut short: the partial trie is discarded without recursion.
TEST(StateRoundTrip, CraftedDeepChainReadsAndFailsCleanly) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string state = header();
  state.reserve(state.size() + kDepth * 21 + 64);
  for (std::size_t i = 0; i < kDepth; ++i) state += u64(1) + "\xC3\x83";  // key 0xC3
  state += u64(0);
  const std::string named = "\x01"s + u64(1) + "n";
  for (std::size_t i = 0; i <= kDepth; ++i) state += named;
  auto read = read_ok(state + "\x01\x00"s);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(depth_of_first_path(read->trie()), kDepth);
  EXPECT_EQ(read->count_keywords(), kDepth + 1);
  EXPECT_TRUE(read->case_sensitive());
  EXPECT_EQ(write_processor_state(*read), state + "\x01\x00"s);

  ReadError error;
  EXPECT_EQ(read_processor_state(std::string_view(state).substr(0, state.size() / 2), error), nullptr);
  EXPECT_EQ(error.kind, ReadError::Kind::kShortRead);
  // Every level declaring 2^64-1 children, then the input ends.
  std::string hostile = header();
  for (int i = 0; i < 100000; ++i) hostile += u64(~std::uint64_t{0}) + "a";
  EXPECT_EQ(read_processor_state(hostile, error), nullptr);
  EXPECT_EQ(error.kind, ReadError::Kind::kShortRead);
}

// ---- width ----

// Children arriving in descending key order must still be filed in
// n log n, not by shifting the ordered child block on every insertion.
TEST(StateRoundTrip, WideNodeInDescendingOrder) {
  constexpr std::uint32_t kFirst = 0x20000;
  constexpr std::uint32_t kCount = 400'000;
  std::string record = u64(kCount);
  for (std::uint32_t i = kCount; i-- > 0;) {
    append_utf8(kFirst + i, record);
    record += u64(0) + "\x00"s;
  }
  record += "\x00"s;
  auto read = read_ok(header() + record + "\x00\x00"s);
  ASSERT_NE(read, nullptr);
  std::uint32_t expected = kFirst;
  read->trie().for_each_child(KeywordTrie::root(), [&](std::uint32_t key, KeywordTrie::Node) {
    ASSERT_EQ(key, expected++);
  });
  EXPECT_EQ(expected, kFirst + kCount);
}

TEST(StateRoundTrip, RepeatedKeyKeepsOnlyTheLast) {
  constexpr int kRepeats = 200'000;
  std::string record = u64(kRepeats);
  for (int i = 0; i < kRepeats; ++i) {
    const std::string name = std::to_string(i);
    // 'x' -> {'y' -> unnamed leaf}, named with the repeat's number.
    record.append("x").append(u64(1)).append("y").append(u64(0)).append(1, '\0');
    record.append(1, '\x01').append(u64(name.size())).append(name);
  }
  record += "\x00"s;
  auto read = read_ok(header() + record + "\x00\x00"s);
  ASSERT_NE(read, nullptr);
  testing::Tree expected;
  expected.children['x'].name = std::to_string(kRepeats - 1);
  expected.children['x'].children['y'];
  EXPECT_EQ(testing::tree_of(read->trie()), expected);
  EXPECT_EQ(read->count_keywords(), 1u);
}

}  // namespace
}  // namespace termsweep::state
