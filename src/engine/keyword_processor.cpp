#include "engine/keyword_processor.hpp"

#include <vector>

#include "engine/lowercase.hpp"
#include "engine/utf8.hpp"

namespace termsweep {

KeywordProcessor::KeywordProcessor(bool case_sensitive, bool allow_overlaps)
    : word_chars_(WordCharSet::with_defaults()),
      case_sensitive_(case_sensitive),
      allow_overlaps_(allow_overlaps) {
  update_word_bytes();
}

KeywordProcessor::KeywordProcessor(const WordCharSet& word_chars, KeywordTrie trie,
                                   bool case_sensitive, bool allow_overlaps)
    : word_chars_(word_chars),
      trie_(std::move(trie)),
      case_sensitive_(case_sensitive),
      allow_overlaps_(allow_overlaps) {
  update_word_bytes();
}

void KeywordProcessor::update_word_bytes() noexcept {
  for (unsigned b = 0; b < 256; ++b) {
    word_bytes_.scanned[b] = word_chars_.contains(b);
    const unsigned lowered = b >= 'A' && b <= 'Z' ? b + 32 : b;
    word_bytes_.lower_ascii_as_read[b] = word_chars_.contains(lowered);
  }
}

void KeywordProcessor::add_word_char(std::uint32_t code_point) {
  word_chars_.add(code_point);
  update_word_bytes();
}

void KeywordProcessor::set_word_chars(std::span<const std::uint32_t> code_points) {
  word_chars_.clear();
  for (std::uint32_t code_point : code_points) word_chars_.add(code_point);
  update_word_bytes();
}

std::string_view KeywordProcessor::fold_key(std::string_view keyword) {
  if (case_sensitive_) return keyword;
  key_buffer_.clear();
  append_lower(keyword, key_buffer_);
  return key_buffer_;
}

NameId KeywordProcessor::add_keyword(std::string_view keyword,
                                     std::optional<std::string_view> clean_name) {
  const std::string_view key = fold_key(keyword);
  forget_fuzzy_figures();
  return trie_.insert(key, clean_name.value_or(key));
}

std::optional<NameId> KeywordProcessor::remove_keyword(std::string_view keyword) {
  forget_fuzzy_figures();
  return trie_.erase(fold_key(keyword));
}

namespace {

// The listed form of a key path: its bytes when they are valid UTF-8 (every
// path that insertion makes), otherwise each key as the code point of its
// value.
std::string listed_key(const std::vector<std::uint32_t>& path) {
  std::string bytes;
  bytes.reserve(path.size());
  bool all_bytes = true;
  for (std::uint32_t key : path) {
    if (key > 0xFF) {
      all_bytes = false;
      break;
    }
    bytes.push_back(static_cast<char>(key));
  }
  if (all_bytes && utf8_valid_prefix(bytes) == bytes.size()) return bytes;
  std::string listed;
  for (std::uint32_t key : path) append_utf8(key, listed);
  return listed;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> KeywordProcessor::get_all_keywords() const {
  using Node = KeywordTrie::Node;
  std::vector<std::pair<std::string, std::string>> keywords;
  keywords.reserve(trie_.keyword_count());
  struct Pending {
    Node node;
    std::size_t depth;  // of the node: its key is path[depth - 1]
    std::uint32_t key;
  };
  std::vector<Pending> pending{{KeywordTrie::root(), 0, 0}};
  std::vector<std::uint32_t> path;
  std::vector<Pending> children;
  while (!pending.empty()) {
    const Pending item = pending.back();
    pending.pop_back();
    path.resize(item.depth);
    if (item.depth > 0) path.back() = item.key;
    if (const NameId name = trie_.name_at(item.node); name != kNoName) {
      keywords.emplace_back(listed_key(path), trie_.name(name));
    }
    // A tail holds one keyword at its end: list it in one step.
    if (const std::string_view chain = trie_.chain_below(item.node); !chain.empty()) {
      for (unsigned char byte : chain) path.push_back(byte);
      const NameId name = trie_.name_at({item.node.index, item.node.tail_depth + static_cast<std::uint32_t>(chain.size())});
      keywords.emplace_back(listed_key(path), trie_.name(name));
      continue;
    }
    children.clear();
    trie_.for_each_child(item.node, [&](std::uint32_t key, Node child) {
      children.push_back({child, item.depth + 1, key});
    });
    pending.insert(pending.end(), children.rbegin(), children.rend());
  }
  return keywords;
}

}  // namespace termsweep
