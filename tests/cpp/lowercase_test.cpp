#include "engine/lowercase.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/utf8.hpp"

namespace termsweep {
namespace {

// UTF-8 for a list of code points, for characters that are hard to read or
// type in a literal.
std::string cps(std::initializer_list<std::uint32_t> code_points) {
  std::string out;
  for (std::uint32_t cp : code_points) append_utf8(cp, out);
  return out;
}

struct Case {
  const char* name;
  std::string input;
  std::string expected;
};

// A copy of `text` in a heap block of exactly its size, so that a sanitizer
// build reports any read past its end.
class ExactCopy {
 public:
  explicit ExactCopy(std::string_view text) : bytes_(new char[text.size()]), size_(text.size()) {
    std::copy(text.begin(), text.end(), bytes_.get());
  }
  std::string_view view() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

void expect_lowered(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const ExactCopy input(c.input);
    EXPECT_EQ(to_lower(input.view()), c.expected) << c.name;
  }
}

TEST(LowerAscii, EveryByteValueInOneText) {
  std::string input;
  for (int b = 0; b < 128; ++b) input.push_back(static_cast<char>(b));
  std::string expected = input.substr(0, 'A') + "abcdefghijklmnopqrstuvwxyz" + input.substr('Z' + 1);
  EXPECT_EQ(to_lower(input), expected);
  EXPECT_EQ(to_lower(""), "");
  EXPECT_EQ(to_lower("Hello, WORLD! @[`{ 0123"), "hello, world! @[`{ 0123");
}

TEST(LowerAscii, OtherCharacterAtEveryPositionOfAnAsciiRun) {
  // Runs of ASCII are lowered several bytes at a time; a character of another
  // kind at each offset of runs of every length checks where those runs stop
  // and resume.
  const std::vector<std::pair<std::string, std::string>> inserts = {
      {"\xC3\x89", "\xC3\xA9"},                     // É -> é
      {"\xFF", "\xFF"},                             // invalid byte
      {cps({0x130}), cps({'i', 0x307})},            // İ grows
      {cps({0x212A}), "k"},                         // Kelvin sign shrinks
      {cps({0x10400}), cps({0x10428})},             // four-byte character
      {cps({0x3A3}) + "'", cps({0x3C3}) + "'"},     // sigma before a letter
  };
  for (const auto& [insert, lowered] : inserts) {
    for (std::size_t length = 0; length <= 40; ++length) {
      for (std::size_t at = 0; at < length; ++at) {
        const std::string input = std::string(at, 'Q') + insert + std::string(length - at, 'Q');
        const std::string expected = std::string(at, 'q') + lowered + std::string(length - at, 'q');
        ASSERT_EQ(to_lower(input), expected) << "length " << length << " at " << at;
      }
    }
  }
}

TEST(LowerUnicode, Mappings) {
  expect_lowered({
      {"sharp s stays", "Straße", "straße"},
      {"capital sharp s", cps({0x1E9E}), "ß"},
      {"dotted capital I becomes two characters", cps({0x130}), cps({'i', 0x307})},
      {"dotless i stays, I becomes i", "ıI", "ıi"},
      {"Kelvin sign", cps({0x212A}), "k"},
      {"Angstrom sign", cps({0x212B}), cps({0xE5})},
      {"Ohm sign", cps({0x2126}), cps({0x3C9})},
      {"Greek with tonos", "ΆΈΉ", "άέή"},
      {"Cyrillic", "ПРИВЕТ, Мир! Ёж", "привет, мир! ёж"},
      {"Armenian", "ԱԲԳ Ֆ", "աբգ ֆ"},
      {"Georgian Mtavruli", cps({0x1C90, 0x1C91}), cps({0x10D0, 0x10D1})},
      {"Georgian Asomtavruli", cps({0x10A0}), cps({0x2D00})},
      {"Cherokee", cps({0x13A0, 0x13F0}), cps({0xAB70, 0x13F8})},
      {"Cherokee small letter stays", cps({0xAB70}), cps({0xAB70})},
      {"Glagolitic", cps({0x2C00}), cps({0x2C30})},
      {"Deseret", cps({0x10400, 0x10427}), cps({0x10428, 0x1044F})},
      {"Adlam", cps({0x1E900}), cps({0x1E922})},
      {"titlecase digraphs", cps({0x1C5, 0x1C8, 0x1F2}), cps({0x1C6, 0x1C9, 0x1F3})},
      {"Latin A with stroke grows", cps({0x23A}), cps({0x2C65})},
      {"fullwidth", "ＡＢＣ", "ａｂｃ"},
      {"Roman numeral", cps({0x216B}), cps({0x217B})},
      {"circled letter", cps({0x24B6}), cps({0x24D0})},
      {"ypogegrammeni stays", cps({0x345}), cps({0x345})},
      {"uncased scripts stay", "漢字 かな 😀", "漢字 かな 😀"},
      {"tag letter stays", cps({0xE0041}), cps({0xE0041})},
      {"last code point", cps({0x10FFFF}), cps({0x10FFFF})},
  });
}

TEST(LowerSigma, FinalOnlyAtTheEndOfACasedWord) {
  const std::string small = cps({0x3C3});
  const std::string final = cps({0x3C2});
  expect_lowered({
      {"alone", "Σ", small},
      {"word", "ΟΔΟΣ", "οδο" + final},
      {"start of word", "ΣΑ", small + "α"},
      {"middle of word", "ΑΣΑ", "α" + small + "α"},
      {"end of word", "ΑΣ", "α" + final},
      {"end of word before space", "ΑΣ Α", "α" + final + " α"},
      {"before comma", "ΑΣ, ", "α" + final + ", "},
      {"two sigmas", "ΑΣΣ", "α" + small + final},
      {"sigma after sigma", "ΣΣ", small + final},
      {"after ASCII lower-case letter", "aΣ", "a" + final},
      {"after four-byte cased letter", cps({0x10400, 0x3A3}), cps({0x10428, 0x3C2})},
      {"after space", " Σ", " " + small},
      {"after digit", "1Σ", "1" + small},
      {"after emoji", "Α😀Σ", "α😀" + small},
      {"after apostrophe", "Α'Σ", "α'" + final},
      {"after combining mark", cps({0x391, 0x301, 0x3A3}), cps({0x3B1, 0x301, 0x3C2})},
      {"after soft hyphen", cps({0x391, 0xAD, 0x3A3}), cps({0x3B1, 0xAD, 0x3C2})},
      {"after language tag", cps({0x391, 0xE0001, 0x3A3}), cps({0x3B1, 0xE0001, 0x3C2})},
      {"after tag space", cps({0x391, 0xE0020, 0x3A3}), cps({0x3B1, 0xE0020, 0x3C2})},
      {"after variation selector 17", cps({0x391, 0xE0100, 0x3A3}), cps({0x3B1, 0xE0100, 0x3C2})},
      {"only ignorables before", "'Σ", "'" + small},
      {"cased ignorable is skipped, not counted", cps({0x2B0, 0x3A3}), cps({0x2B0, 0x3C3})},
      {"cased ignorable after a letter", cps({'A', 0x2B0, 0x3A3}), cps({'a', 0x2B0, 0x3C2})},
      {"ignorable then cased after", "ΑΣ'Α", "α" + small + "'α"},
      {"period then cased after", "ΑΣ.Α", "α" + small + ".α"},
      {"colons both sides", "Α:Σ:Α", "α:" + small + ":α"},
      {"ignorable at the end", "ΑΣ'", "α" + final + "'"},
      {"combining mark at the end", cps({0x391, 0x3A3, 0x301}), cps({0x3B1, 0x3C2, 0x301})},
      {"cased ignorable after", cps({'A', 0x3A3, 0x2B0}), cps({'a', 0x3C2, 0x2B0})},
      {"cased ignorable then letter after", cps({'A', 0x3A3, 0x2B0, 'b'}), cps({'a', 0x3C3, 0x2B0, 'b'})},
      {"four-byte ignorable then letter", cps({0x391, 0x3A3, 0xE0001, 'x'}), cps({0x3B1, 0x3C3, 0xE0001, 'x'})},
      {"invalid byte before", "Α\x80Σ", "α\x80" + small},
      {"invalid byte after", "ΑΣ\xFF", "α" + final + "\xFF"},
      {"truncated sequence after", "ΑΣ\xCE", "α" + final + "\xCE"},
      {"stray continuation byte before", "\xCE\xA3\x80Σ", small + "\x80" + small},
  });
}

TEST(LowerInvalidUtf8, BytesPassThroughOneByOne) {
  expect_lowered({
      {"lone continuation byte", "\x80", "\x80"},
      {"continuation byte between letters", "A\x80" "B", "a\x80" "b"},
      {"0xFF", "\xFF", "\xFF"},
      {"0xFE and 0xC0", "\xFE\xC0", "\xFE\xC0"},
      {"truncated two-byte at end", "A\xC3", "a\xC3"},
      {"truncated three-byte at end", "A\xE2\x82", "a\xE2\x82"},
      {"truncated four-byte at end", "A\xF0\x90\x90", "a\xF0\x90\x90"},
      {"truncated four-byte before a letter", "\xF0\x90\x90" "A", "\xF0\x90\x90" "a"},
      {"lead byte before a letter", "\xC3" "A", "\xC3" "a"},
      {"lead byte before a capital", "\xC3\xC3\x89", "\xC3\xC3\xA9"},
      {"overlong slash", "\xC0\xAF", "\xC0\xAF"},
      {"overlong three-byte", "\xE0\x80\x80", "\xE0\x80\x80"},
      {"surrogate", "\xED\xA0\x80", "\xED\xA0\x80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "\xF4\x90\x80\x80"},
      {"valid four-byte still lowered", "\xF0\x90\x90\x80", cps({0x10428})},
      {"invalid byte in a long ASCII run", "ABCDEFGHIJ\x80KLMNOPQRSTUV", "abcdefghij\x80klmnopqrstuv"},
  });
}

TEST(LowerWithOffsets, SameLengthsLeaveOffsetsEmpty) {
  const std::vector<std::string> texts = {
      "", "Hello World", "Straße", "ΟΔΟΣ ΣΑ", "ПРИВЕТ", cps({0x10400, 0x1E900}), "A\x80\xFF\xC3",
  };
  for (const std::string& text : texts) {
    std::string out;
    std::vector<CharOffsets> starts = {{7, 7}};  // stale content must go
    EXPECT_TRUE(lower_with_offsets(text, out, starts)) << text;
    EXPECT_TRUE(starts.empty()) << text;
    EXPECT_EQ(out, to_lower(text)) << text;
  }
}

using Offsets = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

Offsets pairs(const std::vector<CharOffsets>& starts) {
  Offsets result;
  for (const CharOffsets& s : starts) result.emplace_back(s.original, s.lowered);
  return result;
}

TEST(LowerWithOffsets, ChangedLengthsGiveEveryCharacterStart) {
  struct OffsetCase {
    const char* name;
    std::string input;
    std::string expected;
    Offsets starts;
  };
  const std::vector<OffsetCase> cases = {
      {"dotted I grows", cps({'a', 0x130, 'b'}), cps({'a', 'i', 0x307, 'b'}), {{0, 0}, {1, 1}, {3, 4}, {4, 5}}},
      {"Kelvin sign shrinks", cps({'x', 0x212A, 'y'}), "xky", {{0, 0}, {1, 1}, {4, 2}, {5, 3}}},
      {"A with stroke grows", cps({0x23A}), cps({0x2C65}), {{0, 0}, {2, 3}}},
      {"growth and shrinkage cancelling out", cps({0x130, 0x130, 0x212A}), cps({'i', 0x307, 'i', 0x307, 'k'}),
       {{0, 0}, {2, 3}, {4, 6}, {7, 7}}},
      {"invalid bytes count as characters", cps({0x130}) + "\x80\xE2\x82", cps({'i', 0x307}) + "\x80\xE2\x82",
       {{0, 0}, {2, 3}, {3, 4}, {4, 5}, {5, 6}}},
      {"an encoded surrogate is three invalid bytes", cps({0x212A}) + "\xED\xA0\x80", "k\xED\xA0\x80",
       {{0, 0}, {3, 1}, {4, 2}, {5, 3}, {6, 4}}},
      {"four-byte and sigma around", cps({0x10400, 0x3A3, 0x212A}), cps({0x10428, 0x3C3, 'k'}),
       {{0, 0}, {4, 4}, {6, 6}, {9, 7}}},
  };
  for (const OffsetCase& c : cases) {
    const ExactCopy input(c.input);
    std::string out;
    std::vector<CharOffsets> starts;
    EXPECT_FALSE(lower_with_offsets(input.view(), out, starts)) << c.name;
    EXPECT_EQ(out, c.expected) << c.name;
    EXPECT_EQ(pairs(starts), c.starts) << c.name;
  }
}

TEST(LowerWithOffsets, AppendsAndCountsFromTheLoweredTextStart) {
  std::string out = "kept:";
  std::vector<CharOffsets> starts;
  EXPECT_FALSE(lower_with_offsets(cps({0x212A}) + "A", out, starts));
  EXPECT_EQ(out, "kept:ka");
  EXPECT_EQ(pairs(starts), (Offsets{{0, 0}, {3, 1}, {4, 2}}));
}

// Long texts assembled from pieces whose lowered forms are known, so that
// every kind of character lands at many offsets (including across any
// internal buffering) and the results can be checked piece by piece.
TEST(LowerLongText, RandomPiecesMatchPieceByPiece) {
  struct Piece {
    std::string input;
    std::string lowered;
    std::size_t characters;
  };
  const std::vector<Piece> pieces = {
      {"Hello ", "hello ", 6},
      {"ΟΔΟΣ ", "οδο" + cps({0x3C2}) + " ", 5},
      {cps({0x130}), cps({'i', 0x307}), 1},
      {cps({0x212A}), "k", 1},
      {cps({0x23A}), cps({0x2C65}), 1},
      {"\xFF", "\xFF", 1},
      {"\xE2\x82", "\xE2\x82", 2},
      {cps({0x10400}), cps({0x10428}), 1},
      {"ЖЖ", "жж", 2},
      {"x", "x", 1},
      {"漢", "漢", 1},
  };
  std::mt19937 rng(12345);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  for (int round = 0; round < 20; ++round) {
    std::string input;
    std::string expected;
    std::size_t characters = 0;
    std::set<std::pair<std::uint64_t, std::uint64_t>> boundaries = {{0, 0}};
    while (input.size() < 20000) {
      const Piece& piece = pieces[pick(rng)];
      // No piece starts with a continuation byte, so the truncated sequence
      // stays truncated whatever follows it.
      input += piece.input;
      expected += piece.lowered;
      characters += piece.characters;
      boundaries.insert({input.size(), expected.size()});
    }
    ASSERT_EQ(to_lower(input), expected) << "round " << round;

    std::string out;
    std::vector<CharOffsets> starts;
    const bool same_lengths = lower_with_offsets(input, out, starts);
    ASSERT_EQ(out, expected);
    if (same_lengths) {
      EXPECT_EQ(input.size(), expected.size());
      continue;
    }
    ASSERT_EQ(starts.size(), characters + 1);
    const Offsets recorded_list = pairs(starts);
    const std::set<std::pair<std::uint64_t, std::uint64_t>> recorded(recorded_list.begin(), recorded_list.end());
    for (const auto& boundary : boundaries) {
      ASSERT_TRUE(recorded.count(boundary)) << boundary.first << " -> " << boundary.second;
    }
  }
}

TEST(LowerLongText, RandomBytesNeverBreakTheTwoPaths) {
  // Arbitrary bytes: both functions agree and the offsets partition both
  // texts in order, ending at the two ends.
  std::mt19937 rng(777);
  const std::string alphabet = "AZaz'. " "\x80\xBF\xC3\xCE\xA3\xE2\xED\xF0\xF4\xFF\x90\xB0\xC4";
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<std::size_t> length(0, 300);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes;
    for (std::size_t n = length(rng); n > 0; --n) bytes.push_back(alphabet[pick(rng)]);
    const ExactCopy copy(bytes);
    const std::string_view input = copy.view();
    const std::string lowered = to_lower(input);
    std::string out;
    std::vector<CharOffsets> starts;
    const bool same_lengths = lower_with_offsets(input, out, starts);
    ASSERT_EQ(out, lowered);
    if (same_lengths) {
      ASSERT_TRUE(starts.empty());
      ASSERT_EQ(lowered.size(), input.size());
      continue;
    }
    ASSERT_GE(starts.size(), 2u);
    EXPECT_EQ(starts.front().original, 0u);
    EXPECT_EQ(starts.front().lowered, 0u);
    EXPECT_EQ(starts.back().original, input.size());
    EXPECT_EQ(starts.back().lowered, lowered.size());
    for (std::size_t i = 1; i < starts.size(); ++i) {
      ASSERT_LT(starts[i - 1].original, starts[i].original);
      ASSERT_LT(starts[i - 1].lowered, starts[i].lowered);
    }
  }
}

TEST(LowerTables, RecordTheirUnicodeVersion) {
  const std::string version = kLowercaseUnicodeVersion;
  int dots = 0;
  for (char c : version) {
    if (c == '.') {
      ++dots;
    } else {
      ASSERT_TRUE(c >= '0' && c <= '9') << version;
    }
  }
  EXPECT_EQ(dots, 2) << version;
}

}  // namespace
}  // namespace termsweep
