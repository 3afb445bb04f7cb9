// Plain trees for the tests: tries are built from them and read back into
// them, and compared with each other, through the trie's node interface.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/keyword_trie.hpp"

namespace termsweep::testing {

struct Tree {
  std::optional<std::string> name;
  std::map<std::uint32_t, Tree> children;
  bool operator==(const Tree&) const = default;
};

// Streams `tree` into a restorer, the way a saved state would.
inline KeywordTrie build(const Tree& tree) {
  TrieRestorer restorer;
  struct Step {
    const Tree* node;
    std::map<std::uint32_t, Tree>::const_iterator next;
  };
  std::vector<Step> stack{{&tree, tree.children.begin()}};
  while (true) {
    Step& top = stack.back();
    if (top.next != top.node->children.end()) {
      const auto& [key, child] = *top.next++;
      restorer.enter(key);
      stack.push_back({&child, child.children.begin()});
      continue;
    }
    const std::optional<std::string_view> name =
        top.node->name ? std::optional<std::string_view>(*top.node->name) : std::nullopt;
    if (stack.size() == 1) return restorer.finish(name);
    restorer.leave(name);
    stack.pop_back();
  }
}

// Shallow tries only: the tree is recursive.
inline Tree tree_of(const KeywordTrie& trie, KeywordTrie::Node node = KeywordTrie::root()) {
  Tree tree;
  if (const NameId name = trie.name_at(node); name != kNoName) tree.name = std::string(trie.name(name));
  trie.for_each_child(node, [&](std::uint32_t key, KeywordTrie::Node child) {
    tree.children.emplace(key, tree_of(trie, child));
  });
  return tree;
}

// Walks both tries in lockstep, without recursion: same keys in the same
// order and the same names everywhere.
inline ::testing::AssertionResult same_trie(const KeywordTrie& a, const KeywordTrie& b) {
  using Node = KeywordTrie::Node;
  std::vector<std::pair<Node, Node>> pending{{KeywordTrie::root(), KeywordTrie::root()}};
  std::vector<std::pair<std::uint32_t, Node>> x_children, y_children;
  for (std::size_t visited = 0; !pending.empty(); ++visited) {
    const auto [x, y] = pending.back();
    pending.pop_back();
    const NameId x_name = a.name_at(x), y_name = b.name_at(y);
    if ((x_name == kNoName) != (y_name == kNoName) ||
        (x_name != kNoName && a.name(x_name) != b.name(y_name))) {
      return ::testing::AssertionFailure() << "names differ at node #" << visited;
    }
    x_children.clear();
    y_children.clear();
    a.for_each_child(x, [&](std::uint32_t key, Node child) { x_children.emplace_back(key, child); });
    b.for_each_child(y, [&](std::uint32_t key, Node child) { y_children.emplace_back(key, child); });
    if (x_children.size() != y_children.size()) {
      return ::testing::AssertionFailure() << "child counts differ at node #" << visited;
    }
    for (std::size_t i = 0; i < x_children.size(); ++i) {
      if (x_children[i].first != y_children[i].first) {
        return ::testing::AssertionFailure() << "keys differ at node #" << visited << ", child " << i;
      }
      pending.emplace_back(x_children[i].second, y_children[i].second);
    }
  }
  return ::testing::AssertionSuccess();
}

inline std::size_t depth_of_first_path(const KeywordTrie& trie) {
  std::size_t depth = 0;
  for (KeywordTrie::Node node = KeywordTrie::root();; ++depth) {
    bool found = false;
    trie.for_each_child(node, [&](std::uint32_t, KeywordTrie::Node child) {
      if (!found) node = child;
      found = true;
    });
    if (!found) return depth;
  }
}

}  // namespace termsweep::testing
