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

// One trie node. A node's children live by value in one heap block, keys
// ascending, so that a lookup touches the keys and lands next to them, and
// their enumeration order depends only on the keys. Keys made by insertion
// are byte values and are stored as bytes (searched 16 at a time); a node
// that receives a larger key (only a restored state can carry one) switches
// to 32-bit keys. Children move when their parent's block grows: references
// to nodes stay valid only while their parent gains no child.
class TrieNode {
 public:
  TrieNode() noexcept = default;
  ~TrieNode() { release_children(); }
  TrieNode(const TrieNode&) = delete;
  TrieNode& operator=(const TrieNode&) = delete;
  TrieNode(TrieNode&& other) noexcept;
  TrieNode& operator=(TrieNode&& other) noexcept;

  CleanName clean_name;

  std::size_t child_count() const noexcept { return size_; }
  // Children by position, in enumeration order (ascending key).
  std::uint32_t key_at(std::size_t i) const noexcept {
    return wide_ ? wide_keys()[i] : std::uint32_t{byte_keys()[i]};
  }
  TrieNode& child_at(std::size_t i) const noexcept { return nodes()[i]; }

  TrieNode* find_child(std::uint32_t key) const noexcept;
  // The child under `key`, created empty when missing.
  TrieNode& child_or_insert(std::uint32_t key);
  // Files `child` under `key`, destroying any subtree that was there.
  void put_child(std::uint32_t key, TrieNode&& child);
  // Destroys the child under `key` and its subtree; false when there is none.
  bool erase_child(std::uint32_t key) noexcept;

  bool is_empty_leaf() const noexcept { return size_ == 0 && !clean_name.present(); }

 private:
  // Block layout: `capacity_` keys (bytes, or 32-bit words when wide_),
  // padded to 8 bytes, then `capacity_` nodes.
  const std::uint8_t* byte_keys() const noexcept { return block_; }
  const std::uint32_t* wide_keys() const noexcept {
    return reinterpret_cast<const std::uint32_t*>(block_);
  }
  TrieNode* nodes() const noexcept {
    return reinterpret_cast<TrieNode*>(block_ + keys_bytes(capacity_, wide_));
  }
  static std::size_t keys_bytes(std::uint32_t capacity, bool wide) noexcept {
    return (std::size_t{capacity} * (wide ? 4 : 1) + 7) & ~std::size_t{7};
  }
  std::size_t lower_bound(std::uint32_t key) const noexcept;
  // Moves the children into a new block of `capacity`, with wide keys if asked.
  void reallocate(std::uint32_t capacity, bool wide);
  TrieNode& insert_at(std::size_t index, std::uint32_t key, TrieNode&& child);
  void set_key(std::size_t i, std::uint32_t key) noexcept;
  void release_children() noexcept;

  std::uint8_t* block_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ : 31 = 0;
  std::uint32_t wide_ : 1 = 0;
};

static_assert(sizeof(TrieNode) == 24);

// Number of nodes carrying a clean name in the subtree of `node`. Walks with
// an explicit stack, so any depth is fine.
std::uint64_t count_keywords(const TrieNode& node);

}  // namespace termsweep
