#include "engine/trie.hpp"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace termsweep {

std::string_view CleanName::view() const noexcept {
  if (!data_) return {};
  std::size_t length;
  std::memcpy(&length, data_.get(), sizeof length);
  return {data_.get() + sizeof length, length};
}

void CleanName::assign(std::string_view text) {
  std::size_t length = text.size();
  auto data = std::make_unique_for_overwrite<char[]>(sizeof length + length);
  std::memcpy(data.get(), &length, sizeof length);
  if (length) std::memcpy(data.get() + sizeof length, text.data(), length);
  data_ = std::move(data);
}

TrieNode::TrieNode(TrieNode&& other) noexcept
    : clean_name(std::move(other.clean_name)),
      block_(std::exchange(other.block_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(other.capacity_),
      wide_(other.wide_) {
  other.capacity_ = 0;
  other.wide_ = 0;
}

TrieNode& TrieNode::operator=(TrieNode&& other) noexcept {
  if (this != &other) {
    release_children();
    clean_name = std::move(other.clean_name);
    block_ = std::exchange(other.block_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = other.capacity_;
    wide_ = other.wide_;
    other.capacity_ = 0;
    other.wide_ = 0;
  }
  return *this;
}

// Frees the whole subtree without recursion: every node is emptied of its
// children (moved onto a list) before it is destroyed, so each destruction is
// shallow.
void TrieNode::release_children() noexcept {
  if (!block_) return;
  std::vector<TrieNode> pending;
  pending.emplace_back(std::move(*this));  // `this` is now childless
  while (!pending.empty()) {
    TrieNode node = std::move(pending.back());
    pending.pop_back();
    TrieNode* children = node.nodes();
    for (std::uint32_t i = 0; i < node.size_; ++i) {
      if (children[i].block_) pending.emplace_back(std::move(children[i]));
    }
    // The children left hold no block now: destroying them cannot recurse.
    for (std::uint32_t i = 0; i < node.size_; ++i) children[i].~TrieNode();
    std::free(node.block_);
    node.block_ = nullptr;
    node.size_ = 0;
  }
}

std::size_t TrieNode::lower_bound(std::uint32_t key) const noexcept {
  std::size_t low = 0, high = size_;
  while (low < high) {
    const std::size_t middle = (low + high) / 2;
    if (key_at(middle) < key) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

TrieNode* TrieNode::find_child(std::uint32_t key) const noexcept {
  if (!wide_) {
    if (key > 0xFF) return nullptr;
#if defined(__SSE2__)
    // Sixteen keys per compare. Reading a whole 16-byte chunk stays inside
    // the block: its nodes follow the keys and take at least 24 bytes.
    const __m128i wanted = _mm_set1_epi8(static_cast<char>(key));
    // The first chunk serves every node of up to 16 children without a
    // data-dependent branch on the size.
    const auto hits_in = [&](std::uint32_t base) {
      const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block_ + base));
      const std::uint32_t in_chunk = std::min<std::uint32_t>(size_ - base, 16);
      return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, wanted))) &
             ((1u << in_chunk) - 1);
    };
    if (size_ == 0) return nullptr;
    for (std::uint32_t base = 0;;) {
      if (const unsigned hits = hits_in(base)) {
        return &nodes()[base + static_cast<std::uint32_t>(__builtin_ctz(hits))];
      }
      base += 16;
      if (base >= size_) return nullptr;
    }
#else
    const std::uint8_t* keys = byte_keys();
    for (std::uint32_t i = 0; i < size_; ++i) {
      if (keys[i] == key) return &nodes()[i];
    }
    return nullptr;
#endif
  }
  const std::size_t i = lower_bound(key);
  return (i < size_ && wide_keys()[i] == key) ? &nodes()[i] : nullptr;
}

void TrieNode::reallocate(std::uint32_t capacity, bool wide) {
  auto* block = static_cast<std::uint8_t*>(
      std::malloc(keys_bytes(capacity, wide) + std::size_t{capacity} * sizeof(TrieNode)));
  if (!block) throw std::bad_alloc();
  auto* new_nodes = reinterpret_cast<TrieNode*>(block + keys_bytes(capacity, wide));
  TrieNode* old_nodes = nodes();
  for (std::uint32_t i = 0; i < size_; ++i) {
    if (wide) {
      reinterpret_cast<std::uint32_t*>(block)[i] = key_at(i);
    } else {
      block[i] = static_cast<std::uint8_t>(key_at(i));
    }
    new (&new_nodes[i]) TrieNode(std::move(old_nodes[i]));
    old_nodes[i].~TrieNode();
  }
  std::free(block_);
  block_ = block;
  capacity_ = capacity & 0x7FFFFFFF;
  wide_ = wide;
}

void TrieNode::set_key(std::size_t i, std::uint32_t key) noexcept {
  if (wide_) {
    reinterpret_cast<std::uint32_t*>(block_)[i] = key;
  } else {
    block_[i] = static_cast<std::uint8_t>(key);
  }
}

TrieNode& TrieNode::insert_at(std::size_t index, std::uint32_t key, TrieNode&& child) {
  const bool wide = wide_ || key > 0xFF;
  if (size_ == capacity_ || wide != static_cast<bool>(wide_)) {
    if (size_ == 0x7FFFFFFF) throw std::bad_alloc();
    reallocate(size_ == capacity_ ? (capacity_ ? capacity_ * 2 : 1) : capacity_, wide);
  }
  for (std::size_t i = size_; i > index; --i) set_key(i, key_at(i - 1));
  TrieNode* n = nodes();
  if (index < size_) {
    new (&n[size_]) TrieNode(std::move(n[size_ - 1]));
    for (std::size_t i = size_ - 1; i > index; --i) n[i] = std::move(n[i - 1]);
    n[index] = std::move(child);
  } else {
    new (&n[index]) TrieNode(std::move(child));
  }
  set_key(index, key);
  ++size_;
  return n[index];
}

TrieNode& TrieNode::child_or_insert(std::uint32_t key) {
  if (TrieNode* existing = find_child(key)) return *existing;
  return insert_at(lower_bound(key), key, TrieNode());
}

void TrieNode::put_child(std::uint32_t key, TrieNode&& child) {
  if (TrieNode* existing = find_child(key)) {
    *existing = std::move(child);  // the old subtree goes here
    return;
  }
  insert_at(lower_bound(key), key, std::move(child));
}

bool TrieNode::erase_child(std::uint32_t key) noexcept {
  TrieNode* child = find_child(key);
  if (!child) return false;
  const std::size_t i = static_cast<std::size_t>(child - nodes());
  TrieNode* n = nodes();
  for (std::size_t j = i; j + 1 < size_; ++j) {
    n[j] = std::move(n[j + 1]);
    set_key(j, key_at(j + 1));
  }
  n[size_ - 1].~TrieNode();
  if (--size_ == 0) {
    std::free(block_);
    block_ = nullptr;
    capacity_ = 0;
    wide_ = 0;
  }
  return true;
}

std::uint64_t count_keywords(const TrieNode& node) {
  std::uint64_t count = 0;
  std::vector<const TrieNode*> pending{&node};
  while (!pending.empty()) {
    const TrieNode* current = pending.back();
    pending.pop_back();
    if (current->clean_name) ++count;
    for (std::size_t i = 0; i < current->child_count(); ++i) pending.push_back(&current->child_at(i));
  }
  return count;
}

}  // namespace termsweep
