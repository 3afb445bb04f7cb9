// Writes a starting corpus for state_reader_fuzzer into the directory given
// as the only argument: valid states of a few small processors and matches,
// each behind the mode byte the harness expects.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

#include "engine/keyword_processor.hpp"
#include "state/state_format.hpp"

namespace {

using termsweep::KeywordProcessor;
using termsweep::MatchValue;

constexpr std::size_t kHeader = 8 + 139264;

void save(const std::string& dir, const std::string& name, char mode, const std::string& body) {
  std::ofstream out(dir + "/" + name, std::ios::binary);
  out.put(mode);
  out.write(body.data(), static_cast<std::streamsize>(body.size()));
}

std::string u64(std::uint64_t value) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

void add(KeywordProcessor& processor, std::string_view keyword, std::string_view clean_name) {
  processor.add_keyword(keyword, clean_name);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];

  // Mode 1: the trie records and flags after the set.
  KeywordProcessor empty;
  save(dir, "trie-empty", 1, termsweep::state::write_processor_state(empty).substr(kHeader));

  KeywordProcessor words(true, true);
  for (std::string_view keyword : {"new", "new york", "newark", "york", "a", ""}) {
    add(words, keyword, keyword);
  }
  add(words, "x", "");
  save(dir, "trie-words", 1, termsweep::state::write_processor_state(words).substr(kHeader));

  KeywordProcessor unicode;
  add(unicode, "\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89");
  add(unicode, "\xE2\x82\xAC", "euro");
  add(unicode, "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80");
  save(dir, "trie-unicode", 1, termsweep::state::write_processor_state(unicode).substr(kHeader));

  // Keys above 0xFF, as only a saved state carries them.
  termsweep::TrieRestorer wide;
  wide.enter(0x10FFFF);
  wide.enter(0x800);
  wide.leave("wide keys");
  wide.leave(std::nullopt);
  const KeywordProcessor wide_keys(termsweep::WordCharSet::with_defaults(), wide.finish(std::nullopt), false, false);
  save(dir, "trie-wide", 1, termsweep::state::write_processor_state(wide_keys).substr(kHeader));

  // Mode 0: word-count handling; a whole state would only be truncated.
  save(dir, "set-count-5", 0, u64(5) + std::string(40, '\0'));
  save(dir, "set-count-short", 0, u64(17408) + std::string(64, '\xFF'));

  // Mode 2: matches.
  save(dir, "match-ab", 2, termsweep::state::write_match_state(MatchValue{"ab", 1.0f, 0, 2}));
  save(dir, "match-greek", 2,
       termsweep::state::write_match_state(MatchValue{"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82", 0.85f, 4, 12}));
  return 0;
}
