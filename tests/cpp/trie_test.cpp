// The keyword store against a plain map, through random insertions and
// removals that force tails to split, nodes to relocate and blocks to fill,
// empty and refill; restoring from a stream of nodes; the word-character set.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "engine/keyword_trie.hpp"
#include "engine/word_set.hpp"
#include "trie_support.hpp"

namespace termsweep {
namespace {

using testing::Tree;

TEST(WordCharSetTest, DefaultsHoldExactlyTheSixtyThreeWordCharacters) {
  const WordCharSet set = WordCharSet::with_defaults();
  int members = 0;
  for (std::uint32_t c = 0; c < WordCharSet::kCodePoints; ++c) members += set.contains(c);
  EXPECT_EQ(members, 63);
  for (char c : {'a', 'z', 'A', 'Z', '0', '9', '_'}) EXPECT_TRUE(set.contains(static_cast<std::uint32_t>(c))) << c;
  for (std::uint32_t c : {0x2Du, 0x20u, 0x60u, 0x40u, 0x5Bu, 0x7Bu, 0xE9u, 0x10FFFFu}) EXPECT_FALSE(set.contains(c)) << c;
}

TEST(WordCharSetTest, BitsFollowTheWordAndBitRule) {
  WordCharSet set;
  set.add('a');
  set.add(0x10FFFF);
  set.add(0x110000);  // out of range: ignored
  EXPECT_EQ(set.words()[1], std::uint64_t{1} << 33);
  EXPECT_EQ(set.words()[0x10FFFF / 64], std::uint64_t{1} << 63);
  EXPECT_FALSE(set.contains(0x110000));
  set.clear();
  EXPECT_EQ(set, WordCharSet());
}

// The keyword named at the end of `key`'s path, found through the node
// interface one byte at a time.
std::optional<std::string> lookup(const KeywordTrie& trie, std::string_view key) {
  KeywordTrie::Node node = KeywordTrie::root();
  for (unsigned char byte : key) {
    if (!trie.child(node, byte, node)) return std::nullopt;
  }
  const NameId name = trie.name_at(node);
  if (name == kNoName) return std::nullopt;
  return std::string(trie.name(name));
}

Tree tree_of_map(const std::map<std::string, std::string>& keywords) {
  Tree tree;
  for (const auto& [key, name] : keywords) {
    Tree* node = &tree;
    for (unsigned char byte : key) node = &node->children[byte];
    node->name = name;
  }
  return tree;
}

struct Alphabet {
  const char* name;
  std::string letters;
  std::size_t max_length;
};

class TrieAgainstMap : public ::testing::TestWithParam<Alphabet> {};

TEST_P(TrieAgainstMap, RandomInsertionsAndRemovals) {
  const Alphabet& alphabet = GetParam();
  std::mt19937 random(42);
  const auto below = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const auto random_key = [&] {
    std::string key;
    for (std::size_t i = below(alphabet.max_length + 1); i > 0; --i) key += alphabet.letters[below(alphabet.letters.size())];
    return key;
  };
  for (int round = 0; round < 6; ++round) {
    KeywordTrie trie;
    std::map<std::string, std::string> model;
    std::vector<std::string> keys;
    for (int step = 0; step < 3000; ++step) {
      if (!keys.empty() && below(3) == 0) {
        const std::string key = below(4) == 0 ? random_key() : keys[below(keys.size())];
        const bool present = model.erase(key) > 0;
        ASSERT_EQ(trie.erase(key).has_value(), present) << "erase '" << key << "'";
      } else {
        const std::string key = random_key();
        const std::string name = below(3) == 0 ? std::string(below(5), 'n') : key;
        trie.insert(key, name);
        model[key] = name;
        keys.push_back(key);
      }
      if (step % 97 == 0) {
        ASSERT_EQ(trie.verify(), "") << "step " << step;
      }
    }
    ASSERT_EQ(trie.verify(), "");
    ASSERT_EQ(trie.keyword_count(), model.size());
    for (const std::string& key : keys) {
      const auto it = model.find(key);
      ASSERT_EQ(lookup(trie, key), it == model.end() ? std::nullopt : std::optional(it->second)) << key;
    }
    ASSERT_EQ(testing::tree_of(trie), tree_of_map(model));
    // Every longest match agrees with the map's longest prefix.
    for (int probe = 0; probe < 300; ++probe) {
      const std::string text = random_key() + random_key();
      const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
      const auto found = KeywordTrie::LongestMatcher(trie)(bytes, 0, text.size(), [](unsigned char b) { return b; });
      std::size_t expected_end = 0;
      for (std::size_t length = 1; length <= text.size(); ++length) {
        if (model.count(text.substr(0, length))) expected_end = length;
      }
      ASSERT_EQ(found.name == kNoName ? 0 : found.end, expected_end) << text;
      if (expected_end) {
        ASSERT_EQ(trie.name(found.name), model[text.substr(0, expected_end)]);
      }
    }
    // Emptied, the trie takes keywords again.
    for (const auto& [key, name] : model) ASSERT_TRUE(trie.erase(key).has_value());
    ASSERT_EQ(trie.verify(), "");
    ASSERT_EQ(trie.keyword_count(), 0u);
    trie.insert("again", "again");
    ASSERT_EQ(lookup(trie, "again"), "again");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Alphabets, TrieAgainstMap,
    ::testing::Values(Alphabet{"TwoLetters", "ab", 12}, Alphabet{"Letters", "abcdefgh", 6},
                      // Every byte value: nodes with hundreds of children relocate often.
                      Alphabet{"AllBytes", [] { std::string all; for (int b = 0; b < 256; ++b) all += static_cast<char>(b); return all; }(), 3}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(KeywordTrieTest, LongTailsSplitAnywhere) {
  const std::string long_key(100000, 'q');
  KeywordTrie trie;
  trie.insert(long_key, "long");
  trie.insert(long_key.substr(0, 70000) + "x", "branch");  // splits the tail deep down
  trie.insert(long_key.substr(0, 5), "prefix");
  trie.insert(long_key + "z", "longer");
  ASSERT_EQ(trie.verify(), "");
  EXPECT_EQ(lookup(trie, long_key), "long");
  EXPECT_EQ(lookup(trie, long_key.substr(0, 70000) + "x"), "branch");
  EXPECT_EQ(lookup(trie, long_key.substr(0, 5)), "prefix");
  EXPECT_EQ(lookup(trie, long_key + "z"), "longer");
  EXPECT_EQ(lookup(trie, long_key.substr(0, 70000)), std::nullopt);
  EXPECT_TRUE(trie.erase(long_key + "z").has_value());
  EXPECT_FALSE(trie.erase(long_key + "z").has_value());
  EXPECT_EQ(trie.keyword_count(), 3u);
  EXPECT_EQ(trie.verify(), "");
}

TEST(KeywordTrieTest, ReplacingANameKeepsItsIdAndRemovalFreesIt) {
  KeywordTrie trie;
  const NameId id = trie.insert("abc", "first");
  EXPECT_EQ(trie.insert("abc", "second"), id);
  EXPECT_EQ(trie.name(id), "second");
  EXPECT_EQ(trie.keyword_count(), 1u);
  EXPECT_EQ(trie.erase("abc"), id);
  EXPECT_EQ(trie.erase("abc"), std::nullopt);
  EXPECT_EQ(trie.keyword_count(), 0u);
}

TEST(KeywordTrieTest, RootKeywordIsNeverALongestMatch) {
  KeywordTrie trie;
  trie.insert("", "root");
  EXPECT_EQ(lookup(trie, ""), "root");
  const unsigned char text[] = {'x'};
  EXPECT_EQ(KeywordTrie::LongestMatcher(trie)(text, 0, 1, [](unsigned char b) { return b; }).name, kNoName);
}

// Restored tries keep everything a saved state can say: keys above 0xFF,
// nodes with neither name nor children, chains with names on the way.
TEST(TrieRestorerTest, RestoresAnyTreeAndStaysMutable) {
  std::mt19937 random(7);
  const auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
  for (int round = 0; round < 200; ++round) {
    Tree tree;
    if (below(4) == 0) tree.name = "root";
    for (int path = below(30); path > 0; --path) {
      Tree* node = &tree;
      for (std::uint32_t depth = below(9); depth > 0; --depth) {
        const std::uint32_t key = below(8) == 0 ? 0x100 + below(0x10000) : 'a' + below(3);
        node = &node->children[key];
      }
      if (below(5) != 0) node->name = std::string(below(4), 'n');
    }
    KeywordTrie trie = testing::build(tree);
    ASSERT_EQ(trie.verify(), "") << round;
    ASSERT_EQ(testing::tree_of(trie), tree) << round;
    // Mutations after restoring see the same structure as built by hand.
    for (int k = 0; k < 20; ++k) {
      std::string key;
      for (std::uint32_t i = below(6); i > 0; --i) key += static_cast<char>('a' + below(3));
      if (below(2)) {
        trie.insert(key, "k");
        Tree* node = &tree;
        for (unsigned char byte : key) node = &node->children[byte];
        node->name = "k";
      } else if (trie.erase(key)) {
        // Prune as removal does: the path's now empty leaves, bottom up.
        std::vector<Tree*> path{&tree};
        for (unsigned char byte : key) path.push_back(&path.back()->children.at(byte));
        path.back()->name.reset();
        for (std::size_t d = key.size(); d > 0 && !path[d]->name && path[d]->children.empty(); --d) {
          path[d - 1]->children.erase(static_cast<unsigned char>(key[d - 1]));
        }
      }
      ASSERT_EQ(trie.verify(), "") << round << " " << k;
    }
    ASSERT_EQ(testing::tree_of(trie), tree) << round;
  }
}

}  // namespace
}  // namespace termsweep
