#include "engine/trie.hpp"

#include <algorithm>
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
      capacity_(std::exchange(other.capacity_, 0)) {}

TrieNode& TrieNode::operator=(TrieNode&& other) noexcept {
  if (this != &other) {
    release_children();
    clean_name = std::move(other.clean_name);
    block_ = std::exchange(other.block_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

TrieNode::~TrieNode() { release_children(); }

// Frees the whole subtree without recursion: every node is emptied of its
// children before it is deleted, so each delete is shallow.
void TrieNode::release_children() noexcept {
  if (!block_) return;
  std::vector<TrieNode*> pending;
  auto detach = [&pending](TrieNode& node) {
    TrieNode** children = node.nodes();
    pending.insert(pending.end(), children, children + node.size_);
    std::free(node.block_);
    node.block_ = nullptr;
    node.size_ = node.capacity_ = 0;
  };
  detach(*this);
  while (!pending.empty()) {
    TrieNode* node = pending.back();
    pending.pop_back();
    if (node->block_) detach(*node);
    delete node;
  }
}

std::size_t TrieNode::lower_bound(std::uint32_t key) const noexcept {
  const std::uint32_t* k = keys();
  if (size_ <= 16) {
    std::size_t i = 0;
    while (i < size_ && k[i] < key) ++i;
    return i;
  }
  return static_cast<std::size_t>(std::lower_bound(k, k + size_, key) - k);
}

TrieNode* TrieNode::find_child(std::uint32_t key) const noexcept {
  std::size_t i = lower_bound(key);
  return (i < size_ && keys()[i] == key) ? nodes()[i] : nullptr;
}

void TrieNode::insert_at(std::size_t index, std::uint32_t key, TrieNode* child) {
  if (size_ == capacity_) {
    std::uint32_t capacity = capacity_ ? capacity_ * 2 : 1;
    auto* block = static_cast<unsigned char*>(
        std::malloc(keys_bytes(capacity) + std::size_t{capacity} * sizeof(TrieNode*)));
    if (!block) throw std::bad_alloc();
    auto* new_keys = reinterpret_cast<std::uint32_t*>(block);
    auto* new_nodes = reinterpret_cast<TrieNode**>(block + keys_bytes(capacity));
    if (size_) {
      std::memcpy(new_keys, keys(), size_ * sizeof(std::uint32_t));
      std::memcpy(new_nodes, nodes(), size_ * sizeof(TrieNode*));
    }
    std::free(block_);
    block_ = block;
    capacity_ = capacity;
  }
  std::uint32_t* k = keys();
  TrieNode** n = nodes();
  std::memmove(k + index + 1, k + index, (size_ - index) * sizeof(std::uint32_t));
  std::memmove(n + index + 1, n + index, (size_ - index) * sizeof(TrieNode*));
  k[index] = key;
  n[index] = child;
  ++size_;
}

TrieNode& TrieNode::child_or_insert(std::uint32_t key) {
  std::size_t i = lower_bound(key);
  if (i < size_ && keys()[i] == key) return *nodes()[i];
  auto child = std::make_unique<TrieNode>();
  insert_at(i, key, child.get());
  return *child.release();
}

void TrieNode::put_child(std::uint32_t key, std::unique_ptr<TrieNode> child) {
  std::size_t i = lower_bound(key);
  if (i < size_ && keys()[i] == key) {
    std::unique_ptr<TrieNode> old(nodes()[i]);
    nodes()[i] = child.release();
    return;  // `old` and its subtree go here
  }
  insert_at(i, key, child.get());
  child.release();
}

std::unique_ptr<TrieNode> TrieNode::take_child(std::uint32_t key) noexcept {
  std::size_t i = lower_bound(key);
  if (i >= size_ || keys()[i] != key) return nullptr;
  std::unique_ptr<TrieNode> child(nodes()[i]);
  std::uint32_t* k = keys();
  TrieNode** n = nodes();
  std::memmove(k + i, k + i + 1, (size_ - i - 1) * sizeof(std::uint32_t));
  std::memmove(n + i, n + i + 1, (size_ - i - 1) * sizeof(TrieNode*));
  if (--size_ == 0) {
    std::free(block_);
    block_ = nullptr;
    capacity_ = 0;
  }
  return child;
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
