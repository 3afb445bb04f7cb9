#include <bit>
#include <cassert>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/utf8.hpp"
#include "state/little_endian.hpp"
#include "state/state_format.hpp"

namespace termsweep::state {
namespace {

unsigned char* store_bytes(unsigned char* p, std::string_view text) noexcept {
  p = store_u64_le(p, text.size());
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// The node records of the whole trie, depth first: a node's child count, then
// per child its key and the child's whole record, then the node's clean name.
// A tail is emitted in one go: the records down its chain, its keyword, then
// the absent names of the nodes above it.
template <class Sink>
void emit_records(const KeywordTrie& trie, Sink& sink) {
  using Node = KeywordTrie::Node;
  struct Step {
    Node node;
    std::uint32_t key;
    bool closing;  // the node's children are done: its name comes next
  };
  std::vector<Step> stack;
  std::vector<std::pair<std::uint32_t, Node>> children;
  const auto name_of = [&](Node node) {
    const NameId name = trie.name_at(node);
    return name == kNoName ? std::optional<std::string_view>() : trie.name(name);
  };
  const auto open = [&](Node node) {
    if (const std::string_view chain = trie.chain_below(node); !chain.empty()) {
      for (unsigned char byte : chain) {
        sink.count(1);
        sink.key(byte);
      }
      sink.count(0);
      sink.name(name_of({node.index, node.tail_depth + static_cast<std::uint32_t>(chain.size())}));
      sink.absent_names(chain.size() - 1);
      sink.name(name_of(node));
      return;
    }
    children.clear();
    trie.for_each_child(node, [&](std::uint32_t key, Node child) { children.emplace_back(key, child); });
    sink.count(children.size());
    stack.push_back({node, 0, true});
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back({it->second, it->first, false});
  };
  open(KeywordTrie::root());
  while (!stack.empty()) {
    const Step step = stack.back();
    stack.pop_back();
    if (step.closing) {
      sink.name(name_of(step.node));
    } else {
      sink.key(step.key);
      open(step.node);
    }
  }
}

// Appends to the output, which grows as it goes: sizing the output first
// would cost a second walk, and the walk is bound by its cache misses.
struct ByteSink {
  std::string& out;
  void raw(const unsigned char* bytes, const unsigned char* end) {
    out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(end - bytes));
  }
  void count(std::uint64_t count) {
    unsigned char buffer[8];
    raw(buffer, store_u64_le(buffer, count));
  }
  void key(std::uint32_t key) {
    assert(key <= 0x10FFFF && (key < 0xD800 || key > 0xDFFF));
    char buffer[4];
    out.append(buffer, encode_utf8(key, buffer));
  }
  void name(std::optional<std::string_view> name) {
    out.push_back(name ? '\1' : '\0');
    if (!name) return;
    count(name->size());
    out.append(*name);
  }
  void absent_names(std::size_t count) { out.append(count, '\0'); }
};

}  // namespace

std::string write_processor_state(const KeywordProcessor& processor) {
  std::string out;
  out.reserve(kProcessorStateFixedBytes + 64 * processor.count_keywords());
  const auto& words = processor.word_chars().words();
  unsigned char buffer[8];
  out.append(reinterpret_cast<const char*>(buffer), store_u64_le(buffer, words.size()) - buffer);
  if constexpr (std::endian::native == std::endian::little) {
    out.append(reinterpret_cast<const char*>(words.data()), words.size() * 8);
  } else {
    for (std::uint64_t word : words) out.append(reinterpret_cast<const char*>(buffer), store_u64_le(buffer, word) - buffer);
  }
  ByteSink records{out};
  emit_records(processor.trie(), records);
  out.push_back(processor.case_sensitive() ? 1 : 0);
  out.push_back(processor.allow_overlaps() ? 1 : 0);
  return out;
}

std::string write_match_state(const MatchValue& match) {
  std::string out(kMatchStateFixedBytes + match.keyword.size(), '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  p = store_bytes(p, match.keyword);
  p = store_u32_le(p, std::bit_cast<std::uint32_t>(match.similarity));
  p = store_u64_le(p, match.start);
  p = store_u64_le(p, match.end);
  assert(p == reinterpret_cast<unsigned char*>(out.data()) + out.size());
  (void)p;
  return out;
}

}  // namespace termsweep::state
