// Exact byte layouts of the processor and match states, and every reader
// error with its facts (the Python layer's tests check their wording).
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "engine/keyword_processor.hpp"
#include "state/state_format.hpp"
#include "read_error_check.hpp"
#include "trie_support.hpp"

namespace termsweep::state {
namespace {

using namespace std::string_literals;

constexpr std::size_t kSetOffset = 8;
constexpr std::size_t kRootOffset = 8 + 139264;

std::string u64(std::uint64_t value) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

// An optional string that is present.
std::string name(std::string_view text) { return "\x01"s + u64(text.size()) + std::string(text); }
const std::string kNoName = "\x00"s;
const std::string kFlags = "\x00\x00"s;

// A valid word count and an empty set, ready for a root record.
std::string header() { return u64(17408) + std::string(139264, '\0'); }

std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

// The facts of an error in short ("Tag 2", "Utf8 1 Some(2)"), after
// checking them against the input; "<ok>" when the input reads.
std::string facts(std::string_view bytes, const ReadError& error) {
  if (const std::string mismatch = read_error_mismatch(bytes, error); !mismatch.empty()) return mismatch;
  const std::string found = std::to_string(error.found);
  switch (error.kind) {
    case ReadError::Kind::kShortRead: return "ShortRead";
    case ReadError::Kind::kShortBody: return "ShortBody";
    case ReadError::Kind::kInvalidUtf8:
      return "Utf8 " + found +
             (error.error_len ? " Some(" + std::to_string(*error.error_len) + ")" : " None");
    case ReadError::Kind::kInvalidBool: return "Bool " + found;
    case ReadError::Kind::kInvalidChar: return "Char";
    case ReadError::Kind::kInvalidTag: return "Tag " + found;
    case ReadError::Kind::kWordCount: return "WordCount " + found;
  }
  return "?";
}

std::string read_error(std::string_view bytes) {
  ReadError error;
  auto processor = read_processor_state(bytes, error);
  return processor ? "<ok>" : facts(bytes, error);
}

std::string match_error(std::string_view bytes) {
  ReadError error;
  auto match = read_match_state(bytes, error);
  return match ? "<ok>" : facts(bytes, error);
}

std::unique_ptr<KeywordProcessor> read_ok(std::string_view bytes) {
  ReadError error;
  auto processor = read_processor_state(bytes, error);
  EXPECT_NE(processor, nullptr) << facts(bytes, error);
  return processor;
}

// ---- writer ----

TEST(StateWriter, NewProcessorLayout) {
  const KeywordProcessor processor;
  const std::string state = write_processor_state(processor);
  ASSERT_EQ(state.size(), 139283u);
  EXPECT_EQ(hex(state.substr(0, 8)), "00 44 00 00 00 00 00 00");
  EXPECT_EQ(hex(state.substr(kSetOffset, 16)),
            "00 00 00 00 00 00 FF 03 FE FF FF 87 FE FF FF 07");
  EXPECT_EQ(state.substr(kSetOffset + 16, 139248), std::string(139248, '\0'));
  EXPECT_EQ(state.substr(kRootOffset), std::string(11, '\0'));  // root 9 bytes, flags 2
}

TEST(StateWriter, SetBitsMapToBytesLittleEndian) {
  KeywordProcessor processor;
  const std::uint32_t a = 'a', top = 0x10FFFF;
  processor.set_word_chars({&a, 1});
  std::string set = write_processor_state(processor).substr(kSetOffset, 139264);
  EXPECT_EQ(static_cast<unsigned char>(set[12]), 0x02);
  set[12] = 0;
  EXPECT_EQ(set, std::string(139264, '\0'));

  // The top code point lands in the last bit of the last byte.
  processor.set_word_chars({&top, 1});
  set = write_processor_state(processor).substr(kSetOffset, 139264);
  EXPECT_EQ(static_cast<unsigned char>(set.back()), 0x80);
}

TEST(StateWriter, RootRecordOfOneKeyword) {
  KeywordProcessor processor;
  processor.add_keyword("ab", std::nullopt);
  const std::string state = write_processor_state(processor);
  ASSERT_EQ(state.size(), 139274u + 39u);
  EXPECT_EQ(hex(state.substr(kRootOffset, 39)),
            "01 00 00 00 00 00 00 00 61 01 00 00 00 00 00 00 00 62 00 00 00 00 00 00 00 00 "
            "01 02 00 00 00 00 00 00 00 61 62 00 00");
}

TEST(StateWriter, FlagsAreTheLastTwoBytes) {
  for (bool case_sensitive : {false, true}) {
    for (bool allow_overlaps : {false, true}) {
      const std::string state = write_processor_state(KeywordProcessor(case_sensitive, allow_overlaps));
      EXPECT_EQ(state[state.size() - 2], case_sensitive ? 1 : 0);
      EXPECT_EQ(state[state.size() - 1], allow_overlaps ? 1 : 0);
    }
  }
}

TEST(StateWriter, ByteKeysAboveAsciiTakeTwoBytes) {
  KeywordProcessor processor;
  processor.add_keyword("\xC3\xA9", "e");  // keys 0xC3, then 0xA9
  const std::string state = write_processor_state(processor);
  EXPECT_EQ(state.substr(kRootOffset), u64(1) + "\xC3\x83"s + u64(1) + "\xC2\xA9"s + u64(0) +
                                           name("e") + kNoName + kNoName + kFlags);
}

TEST(StateWriter, MatchLayout) {
  const MatchValue match{"ab", 1.0f, 0, 2};
  EXPECT_EQ(hex(write_match_state(match)),
            "02 00 00 00 00 00 00 00 61 62 00 00 80 3F 00 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00");
  const MatchValue empty{"", 0.5f, 0x0102030405060708, ~std::uint64_t{0}};
  EXPECT_EQ(write_match_state(empty),
            u64(0) + "\x00\x00\x00\x3F"s + "\x08\x07\x06\x05\x04\x03\x02\x01"s + std::string(8, '\xFF'));
}

// ---- keys of every UTF-8 width, both directions ----

TEST(StateKeys, EveryWidthIsWrittenAndReadBack) {
  struct Case {
    std::uint32_t key;
    std::string utf8;
  };
  const std::vector<Case> cases = {
      {0x00, "\x00"s},           {0x7F, "\x7F"},           {0x80, "\xC2\x80"},
      {0xA9, "\xC2\xA9"},        {0xC3, "\xC3\x83"},       {0xFF, "\xC3\xBF"},
      {0x100, "\xC4\x80"},       {0x7FF, "\xDF\xBF"},      {0x800, "\xE0\xA0\x80"},
      {0x20AC, "\xE2\x82\xAC"},  {0xD7FF, "\xED\x9F\xBF"}, {0xE000, "\xEE\x80\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},  {0x10000, "\xF0\x90\x80\x80"},
      {0x1F600, "\xF0\x9F\x98\x80"}, {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    testing::Tree tree;
    tree.children[c.key].name = "k";
    const KeywordProcessor processor(WordCharSet::with_defaults(), testing::build(tree), false, false);
    const std::string state = write_processor_state(processor);
    EXPECT_EQ(state.substr(kRootOffset), u64(1) + c.utf8 + u64(0) + name("k") + kNoName + kFlags);

    auto read = read_ok(state);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(testing::tree_of(read->trie()), tree);
  }
}

// ---- reader: accepted input ----

TEST(StateReader, ReadsWhatTheWriterWrote) {
  KeywordProcessor processor(true, false);
  processor.add_word_char(0x10FFFF);
  processor.add_keyword("new", "NEW");
  processor.add_keyword("new york", std::nullopt);
  processor.add_keyword("", "root");
  processor.add_keyword("x", "");
  auto read = read_ok(write_processor_state(processor));
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->word_chars(), processor.word_chars());
  EXPECT_TRUE(read->case_sensitive());
  EXPECT_FALSE(read->allow_overlaps());
  EXPECT_TRUE(testing::same_trie(read->trie(), processor.trie()));
  const testing::Tree tree = testing::tree_of(read->trie());
  EXPECT_EQ(tree.name, "root");
  EXPECT_EQ(tree.children.at('x').name, "");
}

TEST(StateReader, TrailingBytesAreIgnored) {
  KeywordProcessor processor;
  processor.add_keyword("ab", std::nullopt);
  const std::string state = write_processor_state(processor);
  auto read = read_ok(state + "\x02garbage\xFF"s);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(write_processor_state(*read), state);

  ReadError error;
  auto match = read_match_state(write_match_state({"ab", 0.25f, 3, 5}) + "\xFF\xFF"s, error);
  ASSERT_TRUE(match.has_value());
  EXPECT_EQ(match->keyword, "ab");
  EXPECT_EQ(match->similarity, 0.25f);
  EXPECT_EQ(match->start, 3u);
  EXPECT_EQ(match->end, 5u);
}

TEST(StateReader, LaterDuplicateKeyReplacesTheEarlierSubtree) {
  // root: 'a' -> {name "first", child 'b' -> "deep"}, then 'a' -> "second".
  const std::string first = u64(1) + "b" + u64(0) + name("deep") + name("first");
  const std::string second = u64(0) + name("second");
  auto read = read_ok(header() + u64(2) + "a" + first + "a" + second + kNoName + kFlags);
  ASSERT_NE(read, nullptr);
  testing::Tree expected;
  expected.children['a'].name = "second";
  EXPECT_EQ(testing::tree_of(read->trie()), expected);
  EXPECT_EQ(read->count_keywords(), 1u);
}

TEST(StateReader, ChildrenInAnyOrderAreFiledByKey) {
  // Out of order, with a duplicate of 'b' whose second copy must win.
  const std::string record = u64(4) + "c" + u64(0) + name("c") + "b" + u64(0) + name("b1") + "a" +
                             u64(0) + name("a") + "b" + u64(0) + name("b2") + kNoName;
  auto read = read_ok(header() + record + kFlags);
  ASSERT_NE(read, nullptr);
  testing::Tree expected;
  expected.children['a'].name = "a";
  expected.children['b'].name = "b2";
  expected.children['c'].name = "c";
  EXPECT_EQ(testing::tree_of(read->trie()), expected);
  // Written back in key order.
  const std::string sorted = u64(3) + "a" + u64(0) + name("a") + "b" + u64(0) + name("b2") + "c" +
                             u64(0) + name("c") + kNoName;
  EXPECT_EQ(write_processor_state(*read), header() + sorted + kFlags);
}

TEST(StateReader, MeaningIsNotChecked) {
  // Upper-case key on a case-insensitive processor, a node with neither
  // children nor name, an empty name: all taken as they stand.
  const std::string record = u64(2) + "A" + u64(0) + kNoName + "z" + u64(0) + name("") + kNoName;
  auto read = read_ok(header() + record + kFlags);
  ASSERT_NE(read, nullptr);
  EXPECT_FALSE(read->case_sensitive());
  testing::Tree expected;
  expected.children['A'];
  expected.children['z'].name = "";
  EXPECT_EQ(testing::tree_of(read->trie()), expected);

  ReadError error;
  auto match = read_match_state(write_match_state({"k", 7.5f, 9, 1}), error);
  ASSERT_TRUE(match.has_value());
  EXPECT_EQ(match->similarity, 7.5f);
  EXPECT_EQ(match->start, 9u);
  EXPECT_EQ(match->end, 1u);
}

TEST(StateReader, MatchKeepsExactFloatBitsAndText) {
  for (float similarity : {0.85f, -0.0f, 1e-45f, std::numeric_limits<float>::infinity()}) {
    const MatchValue match{"caf\xC3\xA9 \xF0\x9F\x98\x80", similarity, 12, 19};
    ReadError error;
    auto read = read_match_state(write_match_state(match), error);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(read->similarity), std::bit_cast<std::uint32_t>(similarity));
    EXPECT_EQ(read->keyword, match.keyword);
  }
}

// ---- reader errors ----

const std::string kEof = "ShortRead";
const std::string kShortBody = "ShortBody";

std::string utf8_error(int valid_up_to, const char* error_len) {
  return "Utf8 " + std::to_string(valid_up_to) + " " + error_len;
}

TEST(StateReader, ProcessorErrors) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string expected;
  };
  const std::string h = header();
  const std::string empty_root = u64(0) + kNoName;
  auto with_key = [&](std::string key_bytes) { return h + u64(1) + key_bytes; };
  auto with_name = [&](std::string name_bytes) { return h + u64(0) + name_bytes; };
  const std::vector<Case> cases = {
      {"empty input", "", kEof},
      {"count cut short", u64(17408).substr(0, 7), kEof},
      {"count 5, five words", u64(5) + std::string(40, '\0'), "WordCount 5"},
      {"count 5, too few words", u64(5) + std::string(39, '\0'), kEof},
      {"count 0", u64(0) + empty_root + kFlags, "WordCount 0"},
      {"count 17409 and enough bytes", u64(17409) + std::string(17409 * 8, '\0'),
       "WordCount 17409"},
      {"huge count", u64(~std::uint64_t{0}) + std::string(64, '\0'), kEof},
      {"set cut short", h.substr(0, h.size() - 1), kEof},
      {"no root", h, kEof},
      {"root count cut short", h + u64(0).substr(0, 4), kEof},
      {"child key missing", h + u64(1), kEof},
      {"continuation byte as key", with_key("\x80"), "Char"},
      {"lead byte at the end", with_key("\xC3"), "Char"},
      {"three-byte key cut short", with_key("\xE2\x82"), "Char"},
      {"bad second byte", with_key("\xC3\x41" + u64(0)), "Char"},
      {"overlong key", with_key("\xC0\x80" + u64(0)), "Char"},
      {"overlong three-byte key", with_key("\xE0\x80\x80" + u64(0)), "Char"},
      {"surrogate key", with_key("\xED\xA0\x80" + u64(0)), "Char"},
      {"key above 0x10FFFF", with_key("\xF4\x90\x80\x80" + u64(0)), "Char"},
      {"lead byte F5", with_key("\xF5\x80\x80\x80" + u64(0)), "Char"},
      {"lead byte FF", with_key("\xFF"), "Char"},
      {"child count cut short", with_key("a" + u64(0).substr(0, 3)), kEof},
      {"huge child count", h + u64(~std::uint64_t{0}) + "a" + u64(0) + kNoName, kEof},
      {"tag missing", h + u64(0), kEof},
      {"tag 2", with_name("\x02"), "Tag 2"},
      {"tag 255", with_name("\xFF"), "Tag 255"},
      {"tag 2 on a child", with_key("a" + u64(0) + "\x02"), "Tag 2"},
      {"name length missing", with_name("\x01"), kEof},
      {"name body short", with_name("\x01" + u64(3) + "ab"), kShortBody},
      {"name length 2^63", with_name("\x01" + u64(std::uint64_t{1} << 63) + "ab"), kShortBody},
      {"name length 2^64-1", with_name("\x01" + u64(~std::uint64_t{0})), kShortBody},
      {"name FF", with_name(name("\xFF")), utf8_error(0, "Some(1)")},
      {"name cut inside a sequence", with_name(name("ab\xE2\x82")), utf8_error(2, "None")},
      {"name bad continuation", with_name(name("a\xE2\x28\xA1")), utf8_error(1, "Some(1)")},
      {"name bad third byte", with_name(name("a\xE2\x82\x28")), utf8_error(1, "Some(2)")},
      {"name bad fourth byte", with_name(name("\xF0\x9F\x98\x28")), utf8_error(0, "Some(3)")},
      {"name surrogate", with_name(name("abc\xED\xA0\x80")), utf8_error(3, "Some(1)")},
      {"name after long ASCII", with_name(name("abcdefghijklmnop\xC0")), utf8_error(16, "Some(1)")},
      {"flags missing", h + empty_root, kEof},
      {"second flag missing", h + empty_root + "\x01", kEof},
      {"first flag 2", h + empty_root + "\x02\x00"s, "Bool 2"},
      {"second flag 7", h + empty_root + "\x01\x07"s, "Bool 7"},
      {"first flag 255", h + empty_root + "\xFF", "Bool 255"},
      {"first error wins", with_name("\x03") + "\x05", "Tag 3"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_error(c.bytes), c.expected) << c.what;
  }
}

TEST(StateReader, MatchErrors) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string expected;
  };
  const std::string ab = u64(2) + "ab";
  const std::vector<Case> cases = {
      {"empty input", "", kEof},
      {"length cut short", u64(2).substr(0, 5), kEof},
      {"keyword short", u64(3) + "ab", kShortBody},
      {"keyword length 2^63", u64(std::uint64_t{1} << 63) + std::string(40, 'x'), kShortBody},
      {"keyword C3 alone", u64(1) + "\xC3" + std::string(20, '\0'), utf8_error(0, "None")},
      {"keyword bad byte", u64(3) + "ab\xFF" + std::string(20, '\0'), utf8_error(2, "Some(1)")},
      {"similarity cut short", ab + "\x00\x00\x80"s, kEof},
      {"start cut short", ab + std::string(4 + 7, '\0'), kEof},
      {"end cut short", ab + std::string(4 + 8 + 7, '\0'), kEof},
      {"complete", ab + std::string(4 + 8 + 8, '\0'), "<ok>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(match_error(c.bytes), c.expected) << c.what;
  }
}

// Cutting a valid state anywhere is a short read: a plain one, or the
// short-body form inside a clean name. The one exception is a cut right
// after the lead byte of a two-byte key, which is a character error.
TEST(StateReader, EveryTruncationOfAProcessorStateFails) {
  KeywordProcessor processor(true, true);
  processor.add_keyword("ab", "\xC3\x9C" "ber");
  processor.add_keyword("a", std::nullopt);
  processor.add_keyword("\xC3\xA9", "e");
  processor.add_keyword("x", "");
  const std::string state = write_processor_state(processor);
  std::set<std::size_t> after_lead;  // keys 0xC3 and 0xA9 are written C3 83 and C2 A9
  for (const char* key : {"\xC3\x83", "\xC2\xA9"}) {
    const std::size_t at = state.find(key, kRootOffset);
    ASSERT_NE(at, std::string::npos);
    after_lead.insert(at + 1);
  }

  int short_bodies = 0;
  for (std::size_t cut = 0; cut < state.size(); ++cut) {
    const std::string error = read_error(std::string_view(state).substr(0, cut));
    if (after_lead.count(cut)) {
      EXPECT_EQ(error, "Char") << cut;
    } else if (error == kShortBody) {
      ++short_bodies;
    } else {
      EXPECT_EQ(error, kEof) << cut;
    }
  }
  // One per byte of the non-empty names: 5 for "\xC3\x9Cber", 1 for "a", 1 for "e".
  EXPECT_EQ(short_bodies, 5 + 1 + 1);
}

TEST(StateReader, EveryTruncationOfAMatchStateFails) {
  const std::string state = write_match_state({"caf\xC3\xA9", 0.5f, 1, 6});
  for (std::size_t cut = 0; cut < state.size(); ++cut) {
    const bool inside_keyword = cut >= 8 && cut < 8 + 5;
    EXPECT_EQ(match_error(std::string_view(state).substr(0, cut)), inside_keyword ? kShortBody : kEof)
        << cut;
  }
  EXPECT_EQ(match_error(state), "<ok>");
}

}  // namespace
}  // namespace termsweep::state
