// libFuzzer harness for the processor-state and match-state readers.
//
// The first input byte picks what the rest is fed to:
//   0: the processor reader, as is (word count and set handling);
//   1: the processor reader, after a valid word count and set, so that short
//      inputs reach the trie records and flags;
//   2: the match reader.
// Whatever reads must write back to bytes that read again and write back
// identically; whatever fails must fail with facts that agree with the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/keyword_processor.hpp"
#include "read_error_check.hpp"
#include "state/state_format.hpp"

namespace {

using termsweep::state::read_error_mismatch;
using termsweep::state::ReadError;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "state_reader_fuzzer: %s %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

void check_processor(std::string_view input) {
  ReadError error;
  auto read = termsweep::state::read_processor_state(input, error);
  if (!read) {
    if (const std::string mismatch = read_error_mismatch(input, error); !mismatch.empty()) {
      fail("processor error:", mismatch);
    }
    return;
  }
  const std::string written = termsweep::state::write_processor_state(*read);
  // Keys keep their encoding and duplicates only shrink, so the canonical
  // form is never longer than what was read.
  if (written.size() > input.size()) fail("written state longer than its input");
  auto again = termsweep::state::read_processor_state(written, error);
  if (!again) fail("written processor state does not read");
  if (termsweep::state::write_processor_state(*again) != written) fail("processor round trip unstable");
}

void check_match(std::string_view input) {
  ReadError error;
  auto read = termsweep::state::read_match_state(input, error);
  if (!read) {
    if (const std::string mismatch = read_error_mismatch(input, error); !mismatch.empty()) {
      fail("match error:", mismatch);
    }
    return;
  }
  // A match state has one form: writing must reproduce the bytes read.
  const std::string written = termsweep::state::write_match_state(*read);
  if (input.substr(0, written.size()) != written) fail("match state not reproduced");
  if (!termsweep::state::read_match_state(written, error)) fail("written match state does not read");
}

// A valid word count and an empty set, followed by the fuzzer's bytes.
std::string& with_valid_set(std::string_view tail) {
  static std::string buffer;
  constexpr std::size_t kHeader = 8 + 139264;
  if (buffer.size() < kHeader) {
    buffer.assign(kHeader, '\0');
    buffer[1] = 0x44;  // 17408 = 0x4400, little-endian
  }
  buffer.resize(kHeader);
  buffer.append(tail);
  return buffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      check_processor(rest);
      break;
    case 1:
      check_processor(with_valid_set(rest));
      break;
    default:
      check_match(rest);
      break;
  }
  return 0;
}
