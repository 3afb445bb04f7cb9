#include "engine/keyword_processor.hpp"

#include <vector>

#include "engine/lowercase.hpp"
#include "engine/utf8.hpp"

namespace termsweep {

std::string KeywordProcessor::fold(std::string_view text) const {
  return case_sensitive ? std::string(text) : to_lower(text);
}

void KeywordProcessor::add_keyword(std::string_view keyword,
                                   std::optional<std::string_view> clean_name) {
  const std::string key = fold(keyword);
  // Prepare the name first, so that a failed allocation leaves no change.
  CleanName name;
  name.assign(clean_name.value_or(key));
  TrieNode* node = &root;
  for (unsigned char byte : key) node = &node->child_or_insert(byte);
  node->clean_name = std::move(name);
}

bool KeywordProcessor::remove_keyword(std::string_view keyword) {
  const std::string key = fold(keyword);
  // The path from the root, so that emptied nodes can be pruned bottom-up.
  std::vector<TrieNode*> path{&root};
  path.reserve(key.size() + 1);
  for (unsigned char byte : key) {
    TrieNode* next = path.back()->find_child(byte);
    if (!next) return false;
    path.push_back(next);
  }
  if (!path.back()->clean_name) return false;
  path.back()->clean_name.reset();
  for (std::size_t depth = key.size(); depth > 0 && path[depth]->is_empty_leaf(); --depth) {
    path[depth - 1]->erase_child(static_cast<unsigned char>(key[depth - 1]));
  }
  return true;
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
  std::vector<std::pair<std::string, std::string>> keywords;
  struct Pending {
    const TrieNode* node;
    std::size_t depth;
    std::uint32_t key;
  };
  std::vector<Pending> pending{{&root, 0, 0}};
  std::vector<std::uint32_t> path;
  while (!pending.empty()) {
    const Pending item = pending.back();
    pending.pop_back();
    if (item.depth > 0) {
      path.resize(item.depth - 1);
      path.push_back(item.key);
    }
    const TrieNode& node = *item.node;
    if (node.clean_name) keywords.emplace_back(listed_key(path), node.clean_name.view());
    for (std::size_t i = node.child_count(); i-- > 0;) {
      pending.push_back({&node.child_at(i), item.depth + 1, node.key_at(i)});
    }
  }
  return keywords;
}

}  // namespace termsweep
