#include "differential.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/fuzzy.hpp"
#include "engine/keyword_processor.hpp"
#include "reference.hpp"
#include "state/state_format.hpp"

namespace termsweep::reference {
namespace {

// Reads choices off the input; past its end every choice is 0.
class Choices {
 public:
  Choices(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool exhausted() const { return position_ >= size_; }
  unsigned byte() { return position_ < size_ ? data_[position_++] : 0; }
  unsigned below(std::size_t bound) { return static_cast<unsigned>(byte() % bound); }
  bool coin() { return byte() & 1; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// Text pieces: ASCII words and separators, whitespace, characters whose
// lower case is longer or shorter (İ, the Kelvin sign, ẞ, the ohm sign),
// sigma in all its forms, other multi-byte characters.
constexpr std::string_view kPieces[] = {
    "a",  "b",  "c",      "ab",     "A",      "B",      " ",      " ",
    "\t", "\n", "-",      "_",      "1",      "\xC3\xA9", "\xC3\x89", "\xC3\x9F",
    "\xE1\xBA\x9E", "\xC4\xB0", "\xE2\x84\xAA", "\xE2\x84\xA6", "\xCE\xA3", "\xCF\x83",
    "\xCF\x82", "\xF0\x9F\x98\x80", "k", "x",
};

// Code points to make word characters of: separators, bytes of the pieces'
// encodings (only values below 0x100 take part in matching) and large ones.
constexpr std::uint32_t kWordChoices[] = {'-', ' ', '\t', 'a', 'b', '_', 0xA9, 0xC3, 0x89, 0x9F,
                                          0xB0, 0x84, 0xE2, 0xCE, 0xE9, 0x3A3, 0x1F600};

constexpr float kThresholds[] = {1.0f, 0.99f, 0.9f, 0.8f, 0.75f, 0.67f, 0.6f,
                                 0.5f, 0.34f, 0.25f, 0.1f, 0.0f};

// Wide keys and byte keys (the first bytes of the pieces) for restored tries.
constexpr std::uint32_t kStateKeys[] = {'a', 'b', ' ', 'k', 0xC3, 0xA9, 0xCF, 0xE2,
                                        0x100, 0x3C3, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF};

std::string pieces(Choices& in, unsigned most) {
  std::string out;
  for (unsigned n = in.below(most + 1); n > 0; --n) out += kPieces[in.below(std::size(kPieces))];
  return out;
}

// A child list that may repeat keys, as a crafted state can.
struct RawNode {
  std::vector<std::uint32_t> keys;
  std::vector<RawNode> children;
  std::optional<std::string> clean_name;
};

RawNode raw_tree(Choices& in, unsigned depth, bool& wide) {
  RawNode node;
  if (in.below(3) == 0) {
    // Mostly valid names; 0xFF is never valid UTF-8.
    node.clean_name = in.below(64) == 0 ? std::string("\xFF") : pieces(in, 3);
  }
  if (depth == 0) return node;
  for (unsigned n = in.below(4); n > 0; --n) {
    const std::uint32_t key = kStateKeys[in.below(std::size(kStateKeys))];
    wide = wide || key > 0xFF;
    node.keys.push_back(key);
    node.children.push_back(raw_tree(in, depth - 1, wide));
  }
  return node;
}

void put_u64(std::uint64_t value, std::string& out) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>(value >> (8 * i));
}

void encode(const RawNode& node, std::string& out) {
  put_u64(node.children.size(), out);
  for (std::size_t i = 0; i < node.children.size(); ++i) {
    append_utf8(node.keys[i], out);
    encode(node.children[i], out);
  }
  if (!node.clean_name) {
    out += '\0';
  } else {
    out += '\1';
    put_u64(node.clean_name->size(), out);
    out += *node.clean_name;
  }
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out + "\"";
}

template <class M>
std::string describe(const std::vector<M>& matches) {
  std::ostringstream out;
  out << "[";
  for (const M& m : matches) {
    out << " (" << quoted(m.keyword) << " " << m.start << ".." << m.end << " " << m.similarity << ")";
  }
  out << " ]";
  return out.str();
}

class Scenario {
 public:
  Scenario(const std::uint8_t* data, std::size_t size) : in_(data, size) {}

  ScenarioReport run() {
    const bool case_sensitive = in_.coin();
    const bool allow_overlaps = in_.coin();
    engine_ = std::make_unique<KeywordProcessor>(case_sensitive, allow_overlaps);
    model_.case_sensitive = case_sensitive;
    model_.allow_overlaps = allow_overlaps;
    for (unsigned step = 0; step < 40 && !in_.exhausted() && report_.mismatch.empty(); ++step) {
      switch (in_.below(8)) {
        case 0: case 1: case 2: add(); break;
        case 3: remove(); break;
        case 4: change_word_chars(); break;
        case 5: restore(); break;
        default: scan(); break;
      }
    }
    // States are large (the word-character set alone is 139 KB): compared
    // once, at the end.
    if (report_.mismatch.empty()) compare_keywords();
    if (report_.mismatch.empty()) compare_states();
    if (report_.mismatch.empty()) scan();
    return report_;
  }

 private:
  void mismatch(const std::string& what) {
    if (report_.mismatch.empty()) report_.mismatch = what;
  }

  // The keyword to remove or to put in a text: mostly one added before.
  std::string known_keyword() {
    if (!keywords_.empty() && in_.below(4) != 0) return keywords_[in_.below(keywords_.size())];
    return pieces(in_, 3);
  }

  void add() {
    if (keywords_.size() >= 12) return;  // keeps the exhaustive fuzzy search cheap
    const std::string keyword = pieces(in_, 3);
    std::optional<std::string> clean_name;
    if (in_.coin()) clean_name = pieces(in_, 4);
    engine_->add_keyword(keyword, clean_name);
    model_.add_keyword(keyword, clean_name);
    keywords_.push_back(keyword);
  }

  void remove() {
    const std::string keyword = known_keyword();
    const bool engine_removed = engine_->remove_keyword(keyword).has_value();
    if (engine_removed != model_.remove_keyword(keyword)) {
      mismatch("remove_keyword " + quoted(keyword) + ": engine says " +
               (engine_removed ? "removed" : "absent"));
    }
    report_.removals += engine_removed;
    compare_keywords();
  }

  void change_word_chars() {
    if (in_.coin()) {
      engine_->set_word_chars({});
      model_.word_chars.clear();
    }
    for (unsigned n = in_.below(4); n > 0; --n) {
      const std::uint32_t cp = in_.below(4) == 0 ? 0x80 + in_.below(0x80)
                                                 : kWordChoices[in_.below(std::size(kWordChoices))];
      engine_->add_word_char(cp);
      model_.word_chars.add(cp);
    }
  }

  // Loads both processors from a crafted state (word characters and flags
  // kept or changed, repeated and wide keys, sometimes an invalid name or a
  // damaged byte): both must refuse it or both read the same content.
  void restore() {
    if (++restores_ > 3) return;  // each costs a few full-size states
    bool wide = false;
    const RawNode root = raw_tree(in_, 4, wide);
    Processor header;
    header.word_chars = model_.word_chars;
    header.case_sensitive = model_.case_sensitive;
    header.allow_overlaps = model_.allow_overlaps;
    if (in_.coin()) header.case_sensitive = !header.case_sensitive;
    if (in_.coin()) header.allow_overlaps = !header.allow_overlaps;
    std::string bytes = write_state(header);
    std::string record;
    encode(root, record);
    bytes.replace(8 + 8 * WordCharSet::kWords, bytes.size() - 2 - 8 - 8 * WordCharSet::kWords,
                  record);
    if (in_.below(8) == 0) {
      const std::size_t at = 8 + 8 * WordCharSet::kWords + in_.below(record.size() + 2);
      bytes[at] = static_cast<char>(bytes[at] ^ (1u << in_.below(8)));
    }
    state::ReadError error;
    std::unique_ptr<KeywordProcessor> engine = state::read_processor_state(bytes, error);
    std::optional<Processor> model = read_state(bytes);
    if (static_cast<bool>(engine) != model.has_value()) {
      mismatch(std::string("read_processor_state: engine ") + (engine ? "accepts" : "refuses") +
               " a state (fault at byte " + std::to_string(error.offset) + ")");
      return;
    }
    if (!engine) {
      ++report_.refused_states;
      return;
    }
    engine_ = std::move(engine);
    model_ = std::move(*model);
    ++report_.restored_states;
    report_.restored_wide_keys += wide;
    compare_keywords();
  }

  // Equal content written as equal bytes, and a written state that reads
  // back to the same content.
  void compare_states() {
    const std::string written = state::write_processor_state(*engine_);
    if (written != write_state(model_)) return mismatch("write_processor_state differs from the model");
    const std::optional<Processor> model_copy = read_state(written);
    if (!model_copy || !(*model_copy == model_)) return mismatch("written state reads back differently");
    state::ReadError error;
    const auto engine_copy = state::read_processor_state(written, error);
    if (!engine_copy) {
      return mismatch("written state does not read: fault at byte " + std::to_string(error.offset));
    }
    if (state::write_processor_state(*engine_copy) != written) mismatch("state round trip unstable");
  }

  void compare_keywords() {
    if (engine_->count_keywords() != model_.count_keywords()) {
      mismatch("count_keywords: " + std::to_string(engine_->count_keywords()) + " against " +
               std::to_string(model_.count_keywords()));
    }
    // Listing order is not part of the contract: compare as sorted lists.
    auto listed = engine_->get_all_keywords();
    auto expected = model_.get_all_keywords();
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    if (listed != expected) mismatch("get_all_keywords differs");
  }

  void scan() {
    const unsigned mode = in_.below(4);
    const float t = mode < 2 ? 1.0f
                    : mode == 2 ? static_cast<float>(in_.below(101)) / 100.0f
                                : kThresholds[in_.below(std::size(kThresholds))];
    // Fuzzy texts stay short: the reference search is exhaustive.
    const unsigned items = t == 1.0f ? 12 : t >= 0.5f ? 6 : 3;
    std::string text;
    for (unsigned n = in_.below(items + 1); n > 0; --n) {
      text += in_.below(3) == 0 ? known_keyword() : std::string(kPieces[in_.below(std::size(kPieces))]);
    }
    const std::string context = " on " + quoted(text) + " at " + std::to_string(t);

    fuzzy_state_limit = 50000;
    std::vector<Match> expected;
    std::string expected_text;
    try {
      expected = model_.extract_keywords(text, t);
      expected_text = model_.replace_keywords(text, t);
    } catch (const SearchLimitExceeded&) {
      ++report_.skipped_scans;
      return;
    }
    // Some scans hand every start to the row search, or every start past
    // its first few states.
    const std::size_t budgets[] = {fuzzy_state_budget, 0, 3};
    const ScopedFuzzyStateBudget budget(budgets[in_.below(3)]);
    std::vector<Match> found;
    for (const KeywordMatch& m : engine_->extract_keywords(text, t)) {
      found.push_back({std::string(engine_->clean_name(m.keyword)), m.start, m.end, m.similarity});
    }
    const bool same = found.size() == expected.size() &&
                      std::equal(found.begin(), found.end(), expected.begin(),
                                 [](const Match& a, const Match& b) {
                                   return a.keyword == b.keyword && a.start == b.start &&
                                          a.end == b.end && a.similarity == b.similarity;
                                 });
    if (!same) {
      return mismatch("extract_keywords" + context + ": engine " + describe(found) + ", model " +
                      describe(expected));
    }
    (t == 1.0f ? report_.exact_matches : report_.fuzzy_matches) += static_cast<unsigned>(found.size());
    if (t < 1.0f && model_.root.clean_name) ++report_.named_root_scans;

    const std::string replaced = engine_->replace_keywords(text, t);
    if (replaced != expected_text) {
      return mismatch("replace_keywords" + context + ": engine " + quoted(replaced) + ", model " +
                      quoted(expected_text));
    }
    report_.changed_replacements += replaced != text;
  }

  Choices in_;
  std::unique_ptr<KeywordProcessor> engine_;
  Processor model_;
  std::vector<std::string> keywords_;
  unsigned restores_ = 0;
  ScenarioReport report_;
};

}  // namespace

ScenarioReport run_scenario(const std::uint8_t* data, std::size_t size) {
  return Scenario(data, size).run();
}

}  // namespace termsweep::reference
