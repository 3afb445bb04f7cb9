#include "reference.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "engine/lowercase.hpp"

namespace termsweep::reference {
namespace {

// --- UTF-8 -----------------------------------------------------------------

// Length of the shortest-form encoding of one scalar value at the start of
// `s` (its value in `cp`), or 0 when there is none.
std::size_t decode_utf8(std::string_view s, std::uint32_t& cp) {
  if (s.empty()) return 0;
  const auto lead = static_cast<unsigned char>(s[0]);
  std::size_t length;
  std::uint32_t smallest;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, smallest = 0x80, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, smallest = 0x800, cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, smallest = 0x10000, cp = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(s[i]);
    if ((byte & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte & 0x3F);
  }
  if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

bool is_valid_utf8(std::string_view s) {
  std::uint32_t cp;
  for (std::size_t i = 0, length; i < s.size(); i += length) {
    length = decode_utf8(s.substr(i), cp);
    if (length == 0) return false;
  }
  return true;
}

// --- keywords ---------------------------------------------------------------

std::string fold(const Processor& processor, std::string_view text) {
  return processor.case_sensitive ? std::string(text) : to_lower(text);
}

bool remove_from(Node& node, std::string_view key) {
  if (key.empty()) {
    if (!node.clean_name) return false;
    node.clean_name.reset();
    return true;
  }
  auto child = node.children.find(static_cast<unsigned char>(key[0]));
  if (child == node.children.end() || !remove_from(child->second, key.substr(1))) return false;
  if (child->second.children.empty() && !child->second.clean_name) node.children.erase(child);
  return true;
}

std::uint64_t count_in(const Node& node) {
  std::uint64_t count = node.clean_name ? 1 : 0;
  for (const auto& [key, child] : node.children) count += count_in(child);
  return count;
}

// A key path lists as its bytes when they spell valid UTF-8, otherwise as
// one character per key.
std::string listed_key(const std::vector<std::uint32_t>& path) {
  std::string bytes;
  for (std::uint32_t key : path) bytes += static_cast<char>(key);
  const bool all_bytes = std::all_of(path.begin(), path.end(), [](auto key) { return key <= 0xFF; });
  if (all_bytes && is_valid_utf8(bytes)) return bytes;
  std::string listed;
  for (std::uint32_t key : path) append_utf8(key, listed);
  return listed;
}

void collect(const Node& node, std::vector<std::uint32_t>& path,
             std::vector<std::pair<std::string, std::string>>& out) {
  if (node.clean_name) out.emplace_back(listed_key(path), *node.clean_name);
  for (const auto& [key, child] : node.children) {
    path.push_back(key);
    collect(child, path, out);
    path.pop_back();
  }
}

// --- extraction -------------------------------------------------------------

bool is_whitespace(unsigned char byte) {
  return byte == '\t' || byte == '\n' || byte == '\r' || byte == ' ';
}

float round_to_hundredths(float similarity) { return std::round(similarity * 100.0f) / 100.0f; }

// The candidate accepted at one position: its clean name, where its reported
// span ends, where the scan goes on and its score.
struct Found {
  const std::string* keyword;
  std::uint64_t end;
  std::uint64_t resume;
  float similarity;
};

class Scanner {
 public:
  Scanner(const Processor& processor, std::string_view s) : processor_(processor), s_(s) {}

  std::vector<Match> scan(float threshold) {
    std::vector<Match> matches;
    std::uint64_t p = 0;
    while (p < s_.size()) {
      if (p > 0 && !processor_.allow_overlaps && is_word(p - 1)) {
        ++p;
        continue;
      }
      const std::optional<Found> found = threshold == 1.0f ? exact_at(p) : fuzzy_at(p, threshold);
      if (!found) {
        ++p;
        continue;
      }
      const std::uint64_t start = is_whitespace(byte(p)) ? p + 1 : p;
      matches.push_back({*found->keyword, start, found->end, round_to_hundredths(found->similarity)});
      p = found->resume;
    }
    return matches;
  }

 private:
  unsigned char byte(std::uint64_t i) const { return static_cast<unsigned char>(s_[i]); }
  bool is_word(std::uint64_t i) const { return processor_.word_chars.contains(byte(i)); }

  // The longest keyword starting at p (never the root's).
  std::optional<Found> exact_at(std::uint64_t p) const {
    const Node* node = &processor_.root;
    const Node* longest = nullptr;
    std::uint64_t end = 0;
    for (std::uint64_t i = p; i < s_.size(); ++i) {
      auto child = node->children.find(byte(i));
      if (child == node->children.end()) break;
      node = &child->second;
      if (node->clean_name) longest = node, end = i + 1;
    }
    if (!longest) return std::nullopt;
    if (end < s_.size() && !processor_.allow_overlaps && is_word(end)) return std::nullopt;
    return Found{&*longest->clean_name, end, end, 1.0f};
  }

  // The exhaustive edit search from p: depth first on a last-in-first-out
  // stack; a candidate replaces the best only with a strictly higher score,
  // and one that consumed no text byte does not compete.
  std::optional<Found> fuzzy_at(std::uint64_t p, float t) {
    struct State {
      const Node* node;
      std::uint64_t consumed;
      std::int32_t edits;
    };
    const std::uint64_t remaining = s_.size() - p;
    const Node* best = nullptr;
    std::uint64_t best_consumed = 0;
    float best_score = 0;
    std::vector<State> stack{{&processor_.root, 0, 0}};
    while (!stack.empty()) {
      if (++visited_ > fuzzy_state_limit && fuzzy_state_limit != 0) throw SearchLimitExceeded{};
      const auto [node, k, e] = stack.back();
      stack.pop_back();
      if (node->clean_name && k > 0) {
        const std::uint64_t length = node->clean_name->size();
        const float score =
            1.0f - static_cast<float>(e) / static_cast<float>(std::max<std::uint64_t>(length, k));
        if (score >= t && score > best_score) best = node, best_consumed = k, best_score = score;
      }
      if (k >= remaining) continue;
      const unsigned char c = byte(p + k);
      if (auto same = node->children.find(c); same != node->children.end()) {
        stack.push_back({&same->second, k + 1, e});
      }
      if (1.0f - static_cast<float>(e) / static_cast<float>(k + 1) < t) continue;
      stack.push_back({node, k + 1, e + 1});  // the text byte is skipped
      for (const auto& [key, child] : node->children) {
        if (key != c) stack.push_back({&child, k + 1, e + 1});  // a byte substituted
      }
      for (const auto& [key, child] : node->children) {
        stack.push_back({&child, k, e + 1});  // a keyword byte skipped
      }
    }
    if (!best) return std::nullopt;
    const std::uint64_t raw_end = p + best_consumed;
    const std::uint64_t end = is_whitespace(byte(raw_end - 1)) ? raw_end - 1 : raw_end;
    bool accepted = processor_.allow_overlaps || end == s_.size();
    for (std::uint64_t i = end; i < std::min<std::uint64_t>(end + 3, s_.size()); ++i) {
      accepted = accepted || !is_word(i);
    }
    if (!accepted) return std::nullopt;
    return Found{&*best->clean_name, end, raw_end, best_score};
  }

  const Processor& processor_;
  std::string_view s_;
  std::uint64_t visited_ = 0;  // states popped by this scan's fuzzy searches
};

// --- state ------------------------------------------------------------------

void put_u64(std::uint64_t value, std::string& out) {
  char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  out.append(bytes, 8);
}

void write_node(const Node& node, std::string& out) {
  put_u64(node.children.size(), out);
  for (const auto& [key, child] : node.children) {
    append_utf8(key, out);
    write_node(child, out);
  }
  if (!node.clean_name) {
    out += '\0';
  } else {
    out += '\1';
    put_u64(node.clean_name->size(), out);
    out += *node.clean_name;
  }
}

class StateReader {
 public:
  explicit StateReader(std::string_view bytes) : rest_(bytes) {}

  bool u64(std::uint64_t& value) {
    if (rest_.size() < 8) return false;
    value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(rest_[i]);
    rest_.remove_prefix(8);
    return true;
  }
  bool byte(unsigned char& value) {
    if (rest_.empty()) return false;
    value = static_cast<unsigned char>(rest_[0]);
    rest_.remove_prefix(1);
    return true;
  }
  bool flag(bool& value) {
    unsigned char b;
    if (!byte(b) || b > 1) return false;
    value = b == 1;
    return true;
  }
  bool key(std::uint32_t& cp) {
    const std::size_t length = decode_utf8(rest_, cp);
    rest_.remove_prefix(length);
    return length > 0;
  }
  bool node(Node& node) {
    std::uint64_t count;
    if (!u64(count)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint32_t k;
      Node child;
      if (!key(k) || !this->node(child)) return false;
      node.children[k] = std::move(child);  // a repeated key replaces the earlier child
    }
    unsigned char tag;
    if (!byte(tag) || tag > 1) return false;
    if (tag == 1) {
      std::uint64_t length;
      if (!u64(length) || length > rest_.size()) return false;
      node.clean_name = std::string(rest_.substr(0, length));
      rest_.remove_prefix(length);
      if (!is_valid_utf8(*node.clean_name)) return false;
    }
    return true;
  }

 private:
  std::string_view rest_;
};

}  // namespace

void append_utf8(std::uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void Processor::add_keyword(std::string_view keyword, std::optional<std::string_view> clean_name) {
  const std::string key = fold(*this, keyword);
  Node* node = &root;
  for (unsigned char byte : key) node = &node->children[byte];
  node->clean_name = clean_name ? std::string(*clean_name) : key;
}

bool Processor::remove_keyword(std::string_view keyword) {
  return remove_from(root, fold(*this, keyword));
}

std::uint64_t Processor::count_keywords() const { return count_in(root); }

std::vector<std::pair<std::string, std::string>> Processor::get_all_keywords() const {
  std::vector<std::pair<std::string, std::string>> keywords;
  std::vector<std::uint32_t> path;
  collect(root, path, keywords);
  return keywords;
}

std::vector<Match> Processor::extract_keywords(std::string_view text, float threshold) const {
  const std::string scanned = fold(*this, text);
  return Scanner(*this, scanned).scan(threshold);
}

std::string Processor::replace_keywords(std::string_view text, float threshold) const {
  // Where each character of `text` begins, in `text` and in the scanned
  // text, plus one entry for the ends. Only sigma's lower case depends on its
  // neighbours, and both of its forms take two bytes.
  std::vector<std::uint64_t> original{0}, scanned{0};
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t cp;
    std::size_t length = decode_utf8(text.substr(i), cp);
    std::size_t scanned_length = length;
    if (length == 0) {
      length = scanned_length = 1;  // an invalid byte passes through as is
    } else if (!case_sensitive) {
      scanned_length = to_lower(text.substr(i, length)).size();
    }
    i += length;
    original.push_back(i);
    scanned.push_back(scanned.back() + scanned_length);
  }
  if (scanned.back() != fold(*this, text).size()) std::abort();  // the model itself is wrong

  // The character whose scanned form holds `bound`.
  const auto char_at = [&](std::uint64_t bound) {
    return static_cast<std::size_t>(std::upper_bound(scanned.begin(), scanned.end(), bound) -
                                    scanned.begin() - 1);
  };
  // Bounds inside a character widen the span over the whole character.
  const auto map_start = [&](std::uint64_t bound) { return original[char_at(bound)]; };
  const auto map_end = [&](std::uint64_t bound) {
    const std::size_t i = char_at(bound);
    return scanned[i] == bound ? original[i] : original[i + 1];
  };

  std::string out;
  std::uint64_t copied = 0;
  for (const Match& match : extract_keywords(text, threshold)) {
    // Widening may reach back into the previous replacement: clip it.
    const std::uint64_t start = std::max(map_start(match.start), copied);
    const std::uint64_t end = map_end(match.end);
    if (end < start) continue;  // a trimmed fuzzy match that covers nothing
    out += text.substr(copied, start - copied);
    out += match.keyword;
    copied = end;
  }
  out += text.substr(copied);
  return out;
}

std::string write_state(const Processor& processor) {
  const auto& words = processor.word_chars.words();
  std::string out;
  put_u64(words.size(), out);
  std::string set(8 * words.size(), '\0');
  for (std::size_t i = 0; i < set.size(); ++i) set[i] = static_cast<char>(words[i / 8] >> (8 * (i % 8)));
  out += set;
  write_node(processor.root, out);
  out += static_cast<char>(processor.case_sensitive);
  out += static_cast<char>(processor.allow_overlaps);
  return out;
}

std::optional<Processor> read_state(std::string_view bytes) {
  StateReader in(bytes);
  Processor processor;
  std::uint64_t count;
  if (!in.u64(count) || count != WordCharSet::kWords) return std::nullopt;
  for (std::uint64_t& word : processor.word_chars.words()) {
    if (!in.u64(word)) return std::nullopt;
  }
  if (!in.node(processor.root) || !in.flag(processor.case_sensitive) ||
      !in.flag(processor.allow_overlaps)) {
    return std::nullopt;
  }
  return processor;
}

}  // namespace termsweep::reference
