// Extraction and replacement in the engine.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/extract.hpp"
#include "common/failure.hpp"
#include "engine/keyword_processor.hpp"

namespace termsweep {
namespace {

struct Found {
  std::string keyword;
  std::uint64_t start;
  std::uint64_t end;
  float similarity;
  bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Found& f) {
  return out << "(" << f.keyword << ", " << f.start << ", " << f.end << ", " << f.similarity << ")";
}

struct ProcessorSetup {
  std::vector<std::pair<std::string, std::optional<std::string>>> keywords;
  bool case_sensitive = false;
  bool allow_overlaps = false;

  KeywordProcessor build() const {
    KeywordProcessor processor(case_sensitive, allow_overlaps);
    for (const auto& [keyword, clean_name] : keywords) {
      processor.add_keyword(keyword, clean_name ? std::optional<std::string_view>(*clean_name)
                                                : std::nullopt);
    }
    return processor;
  }
};

std::vector<Found> extract(const ProcessorSetup& setup, std::string_view text,
                           std::optional<float> threshold = std::nullopt) {
  const KeywordProcessor processor = setup.build();
  std::vector<Found> found;
  for (const KeywordMatch& m : processor.extract_keywords(text, threshold)) {
    found.push_back({std::string(processor.clean_name(m.keyword)), m.start, m.end, m.similarity});
  }
  return found;
}

struct ExtractCase {
  const char* name;
  ProcessorSetup setup;
  std::string text;
  std::optional<float> threshold;
  std::vector<Found> expected;
};

class ExtractExamples : public testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractExamples, FindsExactlyTheExpectedMatches) {
  const ExtractCase& c = GetParam();
  EXPECT_EQ(extract(c.setup, c.text, c.threshold), c.expected);
}

const float k067 = 0.67f;
const float k083 = 0.83f;

INSTANTIATE_TEST_SUITE_P(
    Engine, ExtractExamples,
    testing::Values(
        ExtractCase{"FoldedText", {{{"Python", {}}}}, "I like PYTHON.", {}, {{"python", 7, 13, 1}}},
        ExtractCase{"LongestOnly", {{{"new", {}}, {"new york", {}}}}, "new york", {}, {{"new york", 0, 8, 1}}},
        ExtractCase{"LongestRejectedShorterNotTried", {{{"new", {}}, {"new york", {}}}}, "new yorkshire", {}, {}},
        ExtractCase{"InsideWord", {{{"cat", {}}}}, "concatenate", {}, {}},
        ExtractCase{"InsideWordWithOverlaps", {{{"cat", {}}}, false, true}, "concatenate", {}, {{"cat", 3, 6, 1}}},
        ExtractCase{"Repeated", {{{"cat", {}}}}, "cat cat", {}, {{"cat", 0, 3, 1}, {"cat", 4, 7, 1}}},
        ExtractCase{"NeverOverlapping", {{{"ab", {}}, {"bc", {}}}, false, true}, "abc", {}, {{"ab", 0, 2, 1}}},
        ExtractCase{"ByteOffsets", {{{"caf\xC3\xA9", {}}}, true}, "un caf\xC3\xA9", {}, {{"caf\xC3\xA9", 3, 8, 1}}},
        ExtractCase{"SecondByteOfMultiByteIsNonWord", {{{"new", {}}}, true}, "\xC3\xB1new", {}, {{"new", 2, 5, 1}}},
        ExtractCase{"EmptyKeywordNeverFound", {{{"", {}}}}, "abc", {}, {}},
        ExtractCase{"EmptyKeywordWithNameNotFoundFuzzily", {{{"", {"long clean name"}}}}, "abc", 0.5f, {}},
        ExtractCase{"OneSpaceKeyword", {{{" ", {}}}}, "  ", {}, {{" ", 1, 1, 1}, {" ", 2, 2, 1}}},
        ExtractCase{"ExactPicksLongest", {{{"app", {}}, {"apple", {}}}}, "apple pie", {}, {{"apple", 0, 5, 1}}},
        ExtractCase{"FuzzyScoresShorterFirst", {{{"app", {}}, {"apple", {}}}}, "apple pie", 0.9f, {{"app", 0, 3, 1}}},
        ExtractCase{"FuzzyOneEdit", {{{"hello", {}}}}, "say helo", 0.8f, {{"hello", 4, 8, 0.8f}}},
        ExtractCase{"FuzzyInsideMultiByte", {{{"eclair", {}}}, true}, "\xC3\xA9" "clair", 0.8f, {{"eclair", 1, 7, k083}}},
        ExtractCase{"FuzzySkipBeforeSubstitute", {{{"abc", {}}}}, "xx abd yy", 0.6f, {{"abc", 3, 5, k067}}},
        ExtractCase{"EmptyCleanName", {{{"x", {""}}}}, "a x b", {}, {{"", 2, 3, 1}}},
        ExtractCase{"ThresholdOneIsExact", {{{"hello", {}}}}, "say helo", 1.0f, {}}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(ExtractTest, ThresholdOutsideTheUnitRangeFailsBeforeScanning) {
  const ProcessorSetup setup{{{"a", {}}}};
  for (float t : {1.5f, -0.1f, std::numeric_limits<float>::quiet_NaN(), 2.0f}) {
    for (std::string text : {"", "a"}) {
      try {
        extract(setup, text, t);
        FAIL() << t;
      } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "Threshold must be between 0 and 1");
      }
    }
  }
  EXPECT_EQ(extract(setup, "a", -0.0f).size(), 1u);
  EXPECT_EQ(extract(setup, "a", 0.0f).size(), 1u);
}

TEST(ExtractTest, SimilarityIsRoundedToTwoDecimalsInSinglePrecision) {
  EXPECT_EQ(round_similarity(2.0f / 3.0f), 0.67f);
  EXPECT_EQ(round_similarity(0.125f), 0.13f);  // halves away from zero
  EXPECT_EQ(round_similarity(0.8f), 0.8f);
  EXPECT_EQ(round_similarity(1.0f), 1.0f);
}

struct ReplaceCase {
  const char* name;
  ProcessorSetup setup;
  std::string text;
  std::optional<float> threshold;
  std::string expected;
};

class ReplaceExamples : public testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceExamples, SplicesCleanNames) {
  const ReplaceCase& c = GetParam();
  EXPECT_EQ(c.setup.build().replace_keywords(c.text, c.threshold), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, ReplaceExamples,
    testing::Values(
        ReplaceCase{"NoKeywords", {}, "Text stays.", {}, "Text stays."},
        ReplaceCase{"EmptyText", {{{"a", {}}}}, "", {}, ""},
        ReplaceCase{"KeepsCaseOutsideMatches", {{{"Big Apple", {"NYC"}}}}, "I love BIG APPLE!", {}, "I love NYC!"},
        ReplaceCase{"FoldedNameWithoutCleanName", {{{"Python", {}}}}, "PYTHON rocks", {}, "python rocks"},
        ReplaceCase{"EmptyCleanNameDeletes", {{{"foo", {""}}}}, "a foo b", {}, "a  b"},
        ReplaceCase{"LengthsShiftNothingElse", {{{"a", {"xxx"}}, {"b", {""}}}}, "a b a", {}, "xxx  xxx"},
        ReplaceCase{"LeadingSpaceStays", {{{" x", {"Y"}}}, false, true}, "a x", {}, "a Y"},
        ReplaceCase{"FuzzyBoundInsideCharacterWidens", {{{"eclair", {}}}, true}, "\xC3\xA9" "clair", 0.8f, "eclair"},
        // A zero-length match followed by one at the same place: both names, in order.
        ReplaceCase{"ZeroLengthThenAdjacent", {{{" ", {"_"}}, {"ab", {"X"}}}, false, true}, " ab", {}, " _X"}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

}  // namespace
}  // namespace termsweep
