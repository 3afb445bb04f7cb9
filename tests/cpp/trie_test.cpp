// The trie, the word-character set and the processor's keyword bookkeeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "engine/keyword_processor.hpp"
#include "engine/trie.hpp"
#include "engine/word_set.hpp"

namespace termsweep {
namespace {

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

TEST(CleanNameTest, HoldsEmptyAndBinaryText) {
  CleanName name;
  EXPECT_FALSE(name.present());
  name.assign("");
  EXPECT_TRUE(name.present());
  EXPECT_EQ(name.view(), "");
  name.assign(std::string("a\0b", 3));
  EXPECT_EQ(name.view(), std::string("a\0b", 3));
  name.reset();
  EXPECT_FALSE(name.present());
}

TEST(TrieNodeTest, ChildrenStayOrderedThroughInsertAndRemoval) {
  TrieNode node;
  std::mt19937 random(7);
  std::map<std::uint32_t, std::string> expected;
  for (int i = 0; i < 600; ++i) {
    std::uint32_t key = static_cast<std::uint32_t>(random() % 400);  // some keys above a byte, as a restored state may have
    if (random() % 3 == 0) {
      node.erase_child(key);
      expected.erase(key);
    } else {
      node.child_or_insert(key).clean_name.assign(std::to_string(key));
      expected[key] = std::to_string(key);
    }
  }
  ASSERT_EQ(node.child_count(), expected.size());
  std::size_t i = 0;
  for (const auto& [key, name] : expected) {
    EXPECT_EQ(node.key_at(i), key);
    EXPECT_EQ(node.child_at(i).clean_name.view(), name);
    EXPECT_EQ(node.find_child(key), &node.child_at(i));
    ++i;
  }
  EXPECT_EQ(node.find_child(1000), nullptr);
}

TEST(TrieNodeTest, PutChildReplacesTheEarlierSubtree) {
  TrieNode node;
  node.child_or_insert('a').child_or_insert('b').clean_name.assign("ab");
  TrieNode replacement;
  replacement.clean_name.assign("a");
  node.put_child('a', std::move(replacement));
  ASSERT_EQ(node.child_count(), 1u);
  EXPECT_EQ(node.find_child('a')->clean_name.view(), "a");
  EXPECT_EQ(node.find_child('a')->child_count(), 0u);
  EXPECT_EQ(count_keywords(node), 1u);
}

TEST(TrieNodeTest, MovedNodeTakesTheWholeSubtree) {
  TrieNode source;
  source.child_or_insert('x').clean_name.assign("x");
  TrieNode target;
  target.child_or_insert('y').clean_name.assign("y");
  target = std::move(source);
  EXPECT_EQ(count_keywords(target), 1u);
  EXPECT_NE(target.find_child('x'), nullptr);
  EXPECT_EQ(source.child_count(), 0u);
}

TEST(KeywordProcessorTest, CountsDistinctFoldedKeys) {
  struct Case {
    bool case_sensitive;
    std::vector<std::string> keywords;
    std::uint64_t count;
  };
  const Case cases[] = {
      {false, {}, 0},
      {false, {"a", "b", "a"}, 2},
      {false, {"Apple", "APPLE", "apple"}, 1},
      {true, {"Apple", "apple"}, 2},
      {false, {""}, 1},
      {false, {"", ""}, 1},
      {false, {"new", "new york"}, 2},
  };
  for (const Case& c : cases) {
    KeywordProcessor processor(c.case_sensitive, false);
    for (const auto& k : c.keywords) processor.add_keyword(k, std::nullopt);
    EXPECT_EQ(processor.count_keywords(), c.count);
  }
}

TEST(KeywordProcessorTest, LastCleanNameWinsAndPrefixKeepsItsOwn) {
  KeywordProcessor processor;
  processor.add_keyword("Apple", std::nullopt);
  processor.add_keyword("APPLE", "Apple Inc");
  processor.add_keyword("new", std::nullopt);
  processor.add_keyword("new york", "NYC");
  processor.add_keyword("x", "");
  using Listing = std::vector<std::pair<std::string, std::string>>;
  Listing listing = processor.get_all_keywords();
  std::sort(listing.begin(), listing.end());
  EXPECT_EQ(listing, (Listing{{"apple", "Apple Inc"}, {"new", "new"}, {"new york", "NYC"}, {"x", ""}}));
}

TEST(KeywordProcessorTest, NonAsciiKeywordTakesOneLevelPerByte) {
  KeywordProcessor processor(true, false);
  processor.add_keyword("\xC3\xA9", std::nullopt);  // é
  const TrieNode* first = processor.root.find_child(0xC3);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(first->clean_name.present());
  const TrieNode* second = first->find_child(0xA9);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->clean_name.view(), "\xC3\xA9");
}

TEST(KeywordProcessorTest, RemovalPrunesOnlyTheKeywordsOwnBranch) {
  KeywordProcessor processor;
  processor.add_keyword("new", std::nullopt);
  processor.add_keyword("new york", std::nullopt);
  processor.add_keyword("newt", std::nullopt);
  EXPECT_FALSE(processor.remove_keyword("ne"));
  EXPECT_FALSE(processor.remove_keyword("new yorkshire"));
  EXPECT_TRUE(processor.remove_keyword("New York"));
  EXPECT_FALSE(processor.remove_keyword("new york"));
  const TrieNode* new_node = processor.root.find_child('n')->find_child('e')->find_child('w');
  ASSERT_NE(new_node, nullptr);
  EXPECT_EQ(new_node->child_count(), 1u);  // only 't' left; " york" pruned
  EXPECT_TRUE(processor.remove_keyword("new"));
  EXPECT_EQ(new_node->child_count(), 1u);  // 'newt' still needs the node
  EXPECT_TRUE(processor.remove_keyword("newt"));
  EXPECT_EQ(processor.root.child_count(), 0u);
  EXPECT_EQ(processor.count_keywords(), 0u);
}

TEST(KeywordProcessorTest, EmptyKeywordLivesOnTheRoot) {
  KeywordProcessor processor;
  processor.add_keyword("", "nothing");
  EXPECT_EQ(processor.root.clean_name.view(), "nothing");
  EXPECT_EQ(processor.count_keywords(), 1u);
  EXPECT_TRUE(processor.remove_keyword(""));
  EXPECT_FALSE(processor.remove_keyword(""));
}

TEST(KeywordProcessorTest, MillionByteKeywordNeedsNoDeepStack) {
  // Counting, listing, removal and destruction all walk without recursion.
  const std::string keyword(1'000'000, 'k');
  {
    KeywordProcessor processor;
    processor.add_keyword(keyword, std::nullopt);
    processor.add_keyword(keyword.substr(0, 500'000), std::nullopt);
    EXPECT_EQ(processor.count_keywords(), 2u);
    const auto listing = processor.get_all_keywords();
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_TRUE(processor.remove_keyword(keyword));
    EXPECT_EQ(processor.count_keywords(), 1u);
  }
  KeywordProcessor dropped;
  dropped.add_keyword(keyword, std::nullopt);
}

}  // namespace
}  // namespace termsweep
