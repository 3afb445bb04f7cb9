// The keyword trie: one node per byte of a folded key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace termsweep {

// An optional owned UTF-8 string, one pointer wide: [length][bytes] on the
// heap, or nothing.
class CleanName {
 public:
  CleanName() noexcept = default;
  CleanName(CleanName&&) noexcept = default;
  CleanName& operator=(CleanName&&) noexcept = default;

  bool present() const noexcept { return data_ != nullptr; }
  explicit operator bool() const noexcept { return present(); }
  // The stored text; empty when absent.
  std::string_view view() const noexcept;
  void assign(std::string_view text);
  void reset() noexcept { data_.reset(); }

 private:
  std::unique_ptr<char[]> data_;
};

// One trie node. Children are kept in one heap block, keys ascending, so that
// their enumeration order depends only on the keys. Keys made by insertion
// are byte values; a restored state may carry any 32-bit key.
class TrieNode {
 public:
  TrieNode() noexcept = default;
  ~TrieNode();
  TrieNode(const TrieNode&) = delete;
  TrieNode& operator=(const TrieNode&) = delete;
  TrieNode(TrieNode&& other) noexcept;
  TrieNode& operator=(TrieNode&& other) noexcept;

  CleanName clean_name;

  std::size_t child_count() const noexcept { return size_; }
  // Children by position, in enumeration order (ascending key).
  std::uint32_t key_at(std::size_t i) const noexcept { return keys()[i]; }
  TrieNode& child_at(std::size_t i) const noexcept { return *nodes()[i]; }

  TrieNode* find_child(std::uint32_t key) const noexcept;
  // The child under `key`, created empty when missing.
  TrieNode& child_or_insert(std::uint32_t key);
  // Files `child` under `key`, destroying any subtree that was there.
  void put_child(std::uint32_t key, std::unique_ptr<TrieNode> child);
  // Detaches and returns the child under `key` (null when there is none).
  std::unique_ptr<TrieNode> take_child(std::uint32_t key) noexcept;

  bool is_empty_leaf() const noexcept { return size_ == 0 && !clean_name.present(); }

 private:
  // Block layout: capacity_ keys (uint32), padded to 8 bytes, then capacity_
  // child pointers.
  std::uint32_t* keys() const noexcept { return reinterpret_cast<std::uint32_t*>(block_); }
  TrieNode** nodes() const noexcept {
    return reinterpret_cast<TrieNode**>(block_ + keys_bytes(capacity_));
  }
  static std::size_t keys_bytes(std::uint32_t capacity) noexcept {
    return (std::size_t{capacity} * 4 + 7) & ~std::size_t{7};
  }
  std::size_t lower_bound(std::uint32_t key) const noexcept;
  void insert_at(std::size_t index, std::uint32_t key, TrieNode* child);
  void release_children() noexcept;

  unsigned char* block_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
};

// Number of nodes carrying a clean name in the subtree of `node`. Walks with
// an explicit stack, so any depth is fine.
std::uint64_t count_keywords(const TrieNode& node);

}  // namespace termsweep
