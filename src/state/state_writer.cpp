#include <bit>
#include <cassert>
#include <cstring>
#include <vector>

#include "state/little_endian.hpp"
#include "state/state_format.hpp"

namespace termsweep::state {
namespace {

std::size_t key_length(std::uint32_t key) noexcept {
  return key < 0x80 ? 1 : key < 0x800 ? 2 : key < 0x10000 ? 3 : 4;
}

unsigned char* store_key(unsigned char* p, std::uint32_t key) noexcept {
  assert(key <= 0x10FFFF && (key < 0xD800 || key > 0xDFFF));
  if (key < 0x80) {
    *p++ = static_cast<unsigned char>(key);
  } else if (key < 0x800) {
    *p++ = static_cast<unsigned char>(0xC0 | (key >> 6));
    *p++ = static_cast<unsigned char>(0x80 | (key & 0x3F));
  } else if (key < 0x10000) {
    *p++ = static_cast<unsigned char>(0xE0 | (key >> 12));
    *p++ = static_cast<unsigned char>(0x80 | ((key >> 6) & 0x3F));
    *p++ = static_cast<unsigned char>(0x80 | (key & 0x3F));
  } else {
    *p++ = static_cast<unsigned char>(0xF0 | (key >> 18));
    *p++ = static_cast<unsigned char>(0x80 | ((key >> 12) & 0x3F));
    *p++ = static_cast<unsigned char>(0x80 | ((key >> 6) & 0x3F));
    *p++ = static_cast<unsigned char>(0x80 | (key & 0x3F));
  }
  return p;
}

unsigned char* store_bytes(unsigned char* p, std::string_view text) noexcept {
  p = store_u64_le(p, text.size());
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

unsigned char* store_clean_name(unsigned char* p, const CleanName& name) noexcept {
  if (!name.present()) {
    *p++ = 0;
    return p;
  }
  *p++ = 1;
  return store_bytes(p, name.view());
}

std::size_t clean_name_size(const CleanName& name) noexcept {
  return name.present() ? 9 + name.view().size() : 1;
}

// Size of the root's node record. Order does not matter here, so the walk
// goes breadth first: the nodes at the head of the queue were found long
// before they are visited, which lets their cache misses overlap instead of
// forming one dependent chain as a depth-first stack would.
std::size_t record_size(const TrieNode& root) {
  std::size_t size = 0;
  std::vector<const TrieNode*> queue{&root};
  std::size_t head = 0;
  while (head < queue.size()) {
    if (head >= 4096 && head * 2 >= queue.size()) {
      queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
    }
    const TrieNode* node = queue[head++];
    size += 8 + clean_name_size(node->clean_name);
    for (std::size_t i = 0; i < node->child_count(); ++i) {
      size += key_length(node->key_at(i));
      queue.push_back(&node->child_at(i));
    }
  }
  return size;
}

// Writes the node records depth first: a node's count, then per child its
// key and the child's whole record, and only then the node's clean name.
// Each stack entry remembers which child of its node comes next.
unsigned char* store_records(unsigned char* p, const TrieNode& root) {
  struct Frame {
    const TrieNode* node;
    std::size_t next_child;
  };
  std::vector<Frame> stack;
  stack.reserve(64);
  p = store_u64_le(p, root.child_count());
  stack.push_back({&root, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next_child == top.node->child_count()) {
      p = store_clean_name(p, top.node->clean_name);
      stack.pop_back();
      continue;
    }
    const std::size_t i = top.next_child++;
    p = store_key(p, top.node->key_at(i));
    const TrieNode& child = top.node->child_at(i);
    p = store_u64_le(p, child.child_count());
    if (child.child_count() == 0) {
      p = store_clean_name(p, child.clean_name);  // a leaf needs no frame
    } else {
      // Ask for all grandchildren now; they are visited one after another,
      // and each would otherwise be a cache miss of its own.
      for (std::size_t j = 0; j < child.child_count(); ++j) __builtin_prefetch(&child.child_at(j));
      stack.push_back({&child, 0});
    }
  }
  return p;
}

}  // namespace

std::string write_processor_state(const KeywordProcessor& processor) {
  const std::size_t size = kProcessorStateFixedBytes + record_size(processor.root);
  std::string out(size, '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());

  const auto& words = processor.non_word_boundaries.words();
  p = store_u64_le(p, words.size());
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, words.data(), words.size() * 8);
    p += words.size() * 8;
  } else {
    for (std::uint64_t word : words) p = store_u64_le(p, word);
  }

  p = store_records(p, processor.root);
  *p++ = processor.case_sensitive ? 1 : 0;
  *p++ = processor.allow_overlaps ? 1 : 0;
  assert(p == reinterpret_cast<unsigned char*>(out.data()) + out.size());
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
