// The UTF-8 helpers: strict decoding, and the (valid_up_to, error_len) pair
// that describes the first error of a byte string.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/utf8.hpp"

namespace termsweep {
namespace {

using namespace std::string_literals;

TEST(Utf8, AppendThenDecodeEveryScalarValue) {
  std::string out;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp == 0xD800) cp = 0xE000;  // surrogates are not scalar values
    out.clear();
    append_utf8(cp, out);
    const std::size_t expected_length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    ASSERT_EQ(out.size(), expected_length) << cp;
    const Utf8Decoded decoded = decode_utf8(out + "z");  // trailing bytes are not consumed
    ASSERT_EQ(decoded.code_point, cp);
    ASSERT_EQ(decoded.length, expected_length) << cp;
    ASSERT_EQ(utf8_valid_prefix(out), out.size()) << cp;
  }
}

TEST(Utf8, DecodeRejectsInvalidSequences) {
  const std::vector<std::string> invalid = {
      "",
      "\x80",              // continuation without lead
      "\xBF",
      "\xC0\x80",          // overlong two-byte forms
      "\xC1\xBF",
      "\xC3",              // cut short
      "\xC3\x41",          // bad continuation
      "\xE0\x80\x80",      // overlong three-byte
      "\xE0\x9F\xBF",
      "\xED\xA0\x80",      // surrogates
      "\xED\xBF\xBF",
      "\xE2\x82",
      "\xF0\x80\x80\x80",  // overlong four-byte
      "\xF0\x8F\xBF\xBF",
      "\xF4\x90\x80\x80",  // above 0x10FFFF
      "\xF5\x80\x80\x80",
      "\xFF",
      "\xF0\x9F\x98",
  };
  for (const std::string& bytes : invalid) {
    EXPECT_EQ(decode_utf8(bytes).length, 0u) << testing::PrintToString(bytes);
  }
}

// Expected values are those of a standard UTF-8 validator reporting the
// longest valid prefix and the length of the maximal invalid subpart there
// (nothing when the input ends inside a sequence that could still be valid).
TEST(Utf8, FirstErrorDescription) {
  struct Case {
    std::string bytes;
    std::size_t valid_up_to;
    std::optional<std::size_t> error_len;
  };
  const std::vector<Case> cases = {
      {"\xFF", 0, 1},
      {"a\x80", 1, 1},
      {"\xC3", 0, std::nullopt},
      {"\xC3\x28", 0, 1},
      {"\xC0\x80", 0, 1},
      {"\xE0\x80\x80", 0, 1},         // second byte outside A0..BF
      {"\xE0\xA0", 0, std::nullopt},
      {"\xE1\x80\x41", 0, 2},
      {"\xED\xA0\x80", 0, 1},         // surrogate: second byte outside 80..9F
      {"\xF0\x80", 0, 1},
      {"\xF0\x90", 0, std::nullopt},
      {"\xF0\x90\x80", 0, std::nullopt},
      {"\xF0\x90\x80\x41", 0, 3},
      {"\xF4\x90\x80\x80", 0, 1},
      {"\xF5", 0, 1},
      {"ab\xE2\x82", 2, std::nullopt},
      {"ab\xE2\x82\xACz\xE2", 6, std::nullopt},
      // Errors right after and inside the eight-byte ASCII runs.
      {"abcdefgh\xFF", 8, 1},
      {"abcdefghi\xC3\x28", 9, 1},
      {"abcdefg\xC3\xA9xyzwvuts\x80", 17, 1},
      {"abcdefghijklmnop\xF0\x9F\x98", 16, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const std::size_t valid = utf8_valid_prefix(c.bytes);
    EXPECT_EQ(valid, c.valid_up_to);
    EXPECT_EQ(utf8_error_length(c.bytes, valid), c.error_len);
  }
}

TEST(Utf8, ValidTextIsValidToTheEnd) {
  for (const std::string& text : {""s, "plain ascii text, longer than eight bytes"s,
                                  "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"s,
                                  "\x00\x7F"s}) {
    EXPECT_EQ(utf8_valid_prefix(text), text.size());
  }
}

}  // namespace
}  // namespace termsweep
