// A plain model of the engine, written for clarity rather than speed: the
// oracle that the differential tests and the fuzzer hold the engine to. It
// shares only lower-casing and the word-character set with the engine.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/word_set.hpp"

namespace termsweep::reference {

struct Node {
  std::optional<std::string> clean_name;
  std::map<std::uint32_t, Node> children;  // ascending keys

  bool operator==(const Node&) const = default;
};

struct Match {
  std::string keyword;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  float similarity = 0;

  bool operator==(const Match&) const = default;
};

// How test failures show a match.
inline void PrintTo(const Match& m, std::ostream* out) {
  *out << "(" << m.keyword << ", " << m.start << ", " << m.end << ", " << m.similarity << ")";
}

struct Processor {
  WordCharSet word_chars = WordCharSet::with_defaults();
  Node root;
  bool case_sensitive = false;
  bool allow_overlaps = false;

  bool operator==(const Processor&) const = default;

  void add_keyword(std::string_view keyword, std::optional<std::string_view> clean_name);
  bool remove_keyword(std::string_view keyword);
  std::uint64_t count_keywords() const;
  // (listed keyword, clean name) per keyword, in key order.
  std::vector<std::pair<std::string, std::string>> get_all_keywords() const;
  // `threshold` must lie in [0, 1]; 1 scans exactly.
  std::vector<Match> extract_keywords(std::string_view text, float threshold) const;
  std::string replace_keywords(std::string_view text, float threshold) const;
};

// The exhaustive fuzzy search explodes on long texts with low thresholds.
// Random tests set a limit on the states that one scan may visit (0: none);
// a scan that needs more throws SearchLimitExceeded.
struct SearchLimitExceeded {};
inline thread_local std::uint64_t fuzzy_state_limit = 0;

std::string write_state(const Processor& processor);
// Nothing when the bytes are not a valid processor state.
std::optional<Processor> read_state(std::string_view bytes);

// The UTF-8 form of a code point, as states store child keys.
void append_utf8(std::uint32_t cp, std::string& out);

}  // namespace termsweep::reference
