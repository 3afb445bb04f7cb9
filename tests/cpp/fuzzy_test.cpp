// The fuzzy search against the reference model's exhaustive search on random
// processors large enough for wide nodes (many children), with clean names
// longer and shorter than their keywords, empty and whitespace keywords,
// removals between scans, multi-byte text and thresholds down to 0.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/fuzzy.hpp"
#include "engine/fuzzy_ceilings.hpp"
#include "engine/keyword_processor.hpp"
#include "reference.hpp"

namespace {

namespace ref = termsweep::reference;

constexpr float kThresholds[] = {0.0f, 1e-45f, 1e-6f, 0.3f, 0.5f, 0.67f, 0.8f, 0.9f, 0.99f};

class RandomCase {
 public:
  explicit RandomCase(std::uint32_t seed) : random_(seed) {}

  std::size_t below(std::size_t bound) { return random_() % bound; }

  // Letters of a wide alphabet (so that nodes get many children), a space,
  // an upper-case letter and a two-byte character.
  std::string piece() {
    const std::size_t pick = below(40);
    if (pick < 30) return std::string(1, static_cast<char>('a' + pick % 26));
    if (pick < 34) return " ";
    if (pick < 36) return "Q";
    if (pick < 38) return "\xC3\xA9";
    return std::string(1, static_cast<char>('0' + below(3)));
  }

  std::string word(std::size_t most) {
    std::string out;
    for (std::size_t n = below(most + 1); n > 0; --n) out += piece();
    return out;
  }

  // Mostly a keyword with up to two edits, else random pieces.
  std::string text(const std::vector<std::string>& keywords) {
    std::string out;
    for (std::size_t n = 1 + below(4); n > 0; --n) {
      std::string part = keywords.empty() || below(3) == 0 ? word(5) : keywords[below(keywords.size())];
      for (std::size_t edits = below(3); edits > 0 && !part.empty(); --edits) {
        const std::size_t at = below(part.size());
        switch (below(3)) {
          case 0: part.erase(at, 1); break;
          case 1: part[at] = static_cast<char>('a' + below(26)); break;
          default: part = part.substr(0, at) + piece() + part.substr(at); break;
        }
      }
      out += part;
      // Separators, some of them runs of bytes that no keyword holds.
      static const char* const kSeparators[] = {" ", " ", " ", "-", "  ", "\n\n  ", "*****", ") = ("};
      out += kSeparators[below(std::size(kSeparators))];
    }
    return out;
  }

  // Texts of the kind above, a few of them repeated in any order, long
  // enough that later starts meet the windows of earlier ones.
  std::string long_text(const std::vector<std::string>& keywords) {
    std::vector<std::string> parts;
    for (std::size_t n = 1 + below(12); n > 0; --n) parts.push_back(text(keywords));
    std::string out;
    while (out.size() < 400) out += parts[below(parts.size())];
    return out;
  }

 private:
  std::mt19937 random_;
};

// Runs the comparison with the state search handing over to the row search
// after `budget` states at every start, on short texts or long ones.
void compare_with_exhaustive_search(std::size_t budget, bool long_texts = false) {
  const termsweep::ScopedFuzzyStateBudget scoped(budget);
  std::uint64_t compared = 0, matches = 0, skipped = 0;
  for (std::uint32_t seed = 0; seed < 400; ++seed) {
    RandomCase in(seed);
    const bool case_sensitive = in.below(2) == 0;
    const bool allow_overlaps = in.below(3) == 0;
    termsweep::KeywordProcessor engine(case_sensitive, allow_overlaps);
    ref::Processor model;
    model.case_sensitive = case_sensitive;
    model.allow_overlaps = allow_overlaps;
    std::vector<std::string> keywords;
    const std::size_t count = 1 + in.below(seed % 4 == 0 ? 8 : 80);
    for (std::size_t i = 0; i < count; ++i) {
      const std::string keyword = in.word(i % 7 == 0 ? 1 : 6);
      std::optional<std::string> clean_name;
      switch (in.below(6)) {
        case 0: clean_name = in.word(2); break;                // shorter (maybe empty)
        case 1: clean_name = keyword + in.word(12); break;     // longer
        default: break;
      }
      engine.add_keyword(keyword, clean_name);
      model.add_keyword(keyword, clean_name);
      keywords.push_back(keyword);
    }
    for (int round = 0; round < 6; ++round) {
      if (in.below(3) == 0) {  // the cached index must follow changes
        const std::string gone = keywords[in.below(keywords.size())];
        engine.remove_keyword(gone);
        model.remove_keyword(gone);
      }
      const std::string text = long_texts ? in.long_text(keywords) : in.text(keywords);
      const float t = in.below(4) == 0 ? static_cast<float>(in.below(100)) / 100.0f
                                       : kThresholds[in.below(std::size(kThresholds))];
      ref::fuzzy_state_limit = 300000;
      std::vector<ref::Match> expected;
      try {
        expected = model.extract_keywords(text, t);
      } catch (const ref::SearchLimitExceeded&) {
        ++skipped;
        continue;
      }
      std::vector<ref::Match> found;
      for (const termsweep::KeywordMatch& m : engine.extract_keywords(text, t)) {
        found.push_back({std::string(engine.clean_name(m.keyword)), m.start, m.end, m.similarity});
      }
      ASSERT_EQ(found, expected) << "seed " << seed << " round " << round << " threshold " << t
                                 << " text '" << text << "'";
      ++compared;
      matches += found.size();
    }
  }
  std::printf("compared %llu scans, %llu matches, %llu skipped\n",
              static_cast<unsigned long long>(compared), static_cast<unsigned long long>(matches),
              static_cast<unsigned long long>(skipped));
  EXPECT_GT(compared, long_texts ? 1500u : 1800u);
  EXPECT_GT(matches, 3000u);
}

TEST(FuzzySearch, AgreesWithExhaustiveSearch) { compare_with_exhaustive_search(termsweep::fuzzy_state_budget); }
TEST(FuzzySearch, RowSearchAgreesWithExhaustiveSearch) { compare_with_exhaustive_search(0); }
TEST(FuzzySearch, HandOverToRowSearchAgreesWithExhaustiveSearch) { compare_with_exhaustive_search(3); }
TEST(FuzzySearch, AgreesWithExhaustiveSearchOnLongTexts) {
  compare_with_exhaustive_search(20, true);
}

// The best real score of one keyword at the start of `text`: the search's
// edit steps over that keyword alone, every consumed count up to the end.
float best_score_of(const std::string& keyword, termsweep::NameId name, const std::string& text,
                    termsweep::FuzzyScoring& scoring) {
  constexpr std::int32_t kNone = INT32_MAX / 2;
  const std::size_t r = text.size();
  const auto may = [&](std::size_t k, std::int32_t e) { return e < kNone && scoring.may_edit(k, e); };
  std::vector<std::int32_t> row(r + 1, kNone), next(r + 1);
  row[0] = 0;
  for (std::size_t k = 1; k <= r && may(k - 1, row[k - 1]); ++k) row[k] = row[k - 1] + 1;
  for (const char key : keyword) {
    for (std::size_t k = 0; k <= r; ++k) {
      std::int32_t e = k < r && may(k, row[k]) ? row[k] + 1 : kNone;
      if (k > 0) {
        if (text[k - 1] == key) e = std::min(e, row[k - 1]);
        if (may(k - 1, row[k - 1])) e = std::min(e, row[k - 1] + 1);
        if (may(k - 1, next[k - 1])) e = std::min(e, next[k - 1] + 1);
      }
      next[k] = e;
    }
    row.swap(next);
  }
  float best = -1.0f;
  for (std::size_t k = 1; k <= r; ++k) {
    if (row[k] < kNone) best = std::max(best, scoring.score(name, k, row[k]));
  }
  return best;
}

// No node on the way to a keyword is ruled out at that keyword's best score
// (where it is a candidate), the first floor is at least the best of all,
// and an answer the ceilings give alone scores that best; on texts longer
// than the ceilings' windows and shorter, from random levels and guesses.
TEST(FuzzyCeilings, NeverRuleOutAReachableScore) {
  std::uint64_t checked = 0;
  std::uint64_t sole_answers = 0;
  for (std::uint32_t seed = 0; seed < 300; ++seed) {
    std::mt19937 random(seed);
    const auto below = [&](std::size_t bound) { return random() % bound; };
    const auto word = [&](std::size_t most) {
      std::string out;
      for (std::size_t n = 1 + below(most); n > 0; --n) out += static_cast<char>(below(8) == 0 ? ' ' : 'a' + below(4));
      return out;
    };
    termsweep::KeywordProcessor engine(true, false);
    const std::string text = word(seed % 3 == 0 ? 600 : seed % 3 == 1 ? 300 : 100);
    // Near copies of the text's start, some longer than a word of columns,
    // score high at counts past the first word.
    const auto near_copy = [&] {
      std::string out = text.substr(0, 1 + below(std::min<std::size_t>(text.size(), 200)));
      for (std::size_t n = below(6); n > 0 && !out.empty(); --n) {
        const std::size_t at = below(out.size());
        if (below(2) == 0) out.erase(at, 1); else out[at] = static_cast<char>('a' + below(4));
      }
      return out.empty() ? std::string("a") : out;
    };
    std::vector<std::string> keywords;
    for (std::size_t n = 1 + below(40); n > 0; --n) {
      keywords.push_back(seed % 4 == 3 && below(3) == 0 ? near_copy() : word(seed % 3 == 0 ? 30 : 8));
      engine.add_keyword(keywords.back(), below(4) == 0 ? std::optional<std::string>(word(20)) : std::nullopt);
    }
    const auto index = engine.fuzzy_index();
    const auto& trie = engine.trie();
    const float t = kThresholds[below(std::size(kThresholds))];
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    termsweep::FuzzyScoring scoring(trie, *index, t, s, text.size(), termsweep::kAsIs);
    scoring.start(s);
    termsweep::FuzzyCeilings ceilings(trie, *index, scoring);
    ceilings.compute(s, termsweep::kAsIs, below(2) == 0 ? t : static_cast<float>(below(100)) / 100.0f,
                     static_cast<float>(below(100)) / 100.0f);
    float best = -1.0f;
    for (const std::string& keyword : keywords) {
      termsweep::KeywordTrie::Node node = termsweep::KeywordTrie::root();
      std::vector<termsweep::KeywordTrie::Node> way{node};
      for (const char byte : keyword) {
        ASSERT_TRUE(trie.child(node, static_cast<unsigned char>(byte), node));
        way.push_back(node);
      }
      const float score = best_score_of(keyword, trie.name_at(node), text, scoring);
      if (score < t || score <= 0.0f) continue;  // no candidate
      best = std::max(best, score);
      for (const auto& on_way : way) {
        ASSERT_FALSE(ceilings.rules_out(on_way, score)) << "seed " << seed << " keyword '" << keyword << "' score " << score << " t " << t << " depth " << on_way.tail_depth << " unit " << on_way.index << " text " << text;
      }
      ++checked;
    }
    if (best > 0.0f && ceilings.first_floor() != 0.0f) {
      EXPECT_GE(ceilings.first_floor(), best) << "seed " << seed;
    }
    if (termsweep::FuzzyCandidate sole; ceilings.sole_best(sole)) {
      EXPECT_EQ(sole.score, best) << "seed " << seed;
      ++sole_answers;
    }
  }
  EXPECT_GT(checked, 2000u);
  EXPECT_GT(sole_answers, 30u);
}

}  // namespace
