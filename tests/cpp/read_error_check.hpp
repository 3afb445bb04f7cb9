// Checks the facts of a state reader's error against the input it came
// from, so that tests and the fuzzer judge errors without their wording.
#pragma once

#include <string>
#include <string_view>

#include "engine/utf8.hpp"
#include "state/little_endian.hpp"
#include "state/state_format.hpp"

namespace termsweep::state {

// Empty when `error` agrees with `input`, else what does not.
inline std::string read_error_mismatch(std::string_view input, const ReadError& error) {
  using Kind = ReadError::Kind;
  if (error.offset > input.size()) return "offset past the input";
  if (error.error_len && error.kind != Kind::kInvalidUtf8) return "error_len outside a UTF-8 error";
  const std::string_view rest = input.substr(error.offset);
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(input[i]); };
  // A string's u64 length stands right before its body.
  const auto declared_length = [&] {
    const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
    return error.offset >= 8 ? load_u64_le(bytes + error.offset - 8) : ~std::uint64_t{0};
  };
  switch (error.kind) {
    case Kind::kShortRead:
      if (error.expected != 1 && error.expected != 4 && error.expected != 8) return "odd size of a value";
      if (error.found != rest.size() || error.found >= error.expected) return "short read with enough input";
      return {};
    case Kind::kShortBody:
      if (error.found != rest.size() || error.found >= error.expected) return "short body with enough input";
      if (declared_length() != error.expected) return "short body of another length";
      return {};
    case Kind::kInvalidUtf8: {
      if (declared_length() != error.expected || error.expected > rest.size()) return "string of another length";
      const std::string_view body = rest.substr(0, error.expected);
      if (error.found >= body.size() || utf8_valid_prefix(body) != error.found) return "wrong valid prefix";
      if (utf8_error_length(body, error.found) != error.error_len) return "wrong error length";
      return {};
    }
    case Kind::kInvalidBool:
    case Kind::kInvalidTag:
      if (rest.empty() || at(error.offset) != error.found || error.found < 2) return "byte is not the one reported";
      return {};
    case Kind::kInvalidChar:
      if (rest.empty() || decode_utf8(rest).length != 0) return "key is a valid character";
      return {};
    case Kind::kWordCount:
      if (error.offset != 0 || error.expected != WordCharSet::kWords || error.found == error.expected) {
        return "word count error at the wrong place";
      }
      if (input.size() < 8 || load_u64_le(reinterpret_cast<const unsigned char*>(input.data())) != error.found ||
          (input.size() - 8) / 8 < error.found) {
        return "word count not the one declared, or the words not all there";
      }
      return {};
  }
  return "unknown kind";
}

}  // namespace termsweep::state
