// The keyword store: a byte trie kept as a mutable double array with
// single-branch tails (see docs/keyword_store.md for the design).
//
// Every node of the double array is one 8-byte unit: `base`, where its
// children start, and `check`, its parent. The child of node s under byte c
// is unit t = base(s) ^ c, and it is s's child only if check(t) == s, so one
// transition costs one load. Children of one node always share a block of 256
// units. A node whose whole subtree is a single chain of bytes ending in one
// keyword keeps that chain as a string (its tail) instead of one unit per
// byte: random keywords share only their first few bytes, so tails hold most
// of their bytes.
//
// Positions inside a tail are nodes too (Node::tail_depth > 0), so code that
// walks the trie sees one uniform tree whatever the representation.
//
// Children added by a restored state under keys above 0xFF (which no byte of
// a text can reach) are kept apart from the double array's transitions: they
// own units, but their check names no parent, and their parents list them in
// a side table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/name_table.hpp"

namespace termsweep {

class TrieRestorer;

class KeywordTrie {
  struct Unit;

 public:
  // A node of the trie: unit `index` of the double array, or the node
  // `tail_depth` bytes down the tail of unit `index`.
  struct Node {
    std::uint32_t index = 0;
    std::uint32_t tail_depth = 0;
    bool operator==(const Node&) const = default;
  };

  // The longest keyword starting at an offset of a text (the exact scan).
  struct LongestMatch {
    NameId name = kNoName;   // kNoName: no keyword starts there
    std::size_t end = 0;     // offset just past it
    std::size_t walked = 0;  // text bytes the walk looked at
  };

  KeywordTrie();
  KeywordTrie(KeywordTrie&&) noexcept = default;
  KeywordTrie& operator=(KeywordTrie&&) noexcept = default;
  KeywordTrie(const KeywordTrie&) = delete;
  KeywordTrie& operator=(const KeywordTrie&) = delete;

  static constexpr Node root() { return {}; }
  std::uint64_t keyword_count() const { return keyword_count_; }

  // The clean name of the keyword that ends at `node`, or kNoName.
  NameId name_at(Node node) const;
  std::string_view name(NameId id) const { return names_.get(id); }

  // The child under byte `byte`. Keys above 0xFF are never found this way.
  bool child(Node node, unsigned char byte, Node& out) const;

  // Calls f(key, child) for every child in ascending key order.
  template <class F>
  void for_each_child(Node node, F&& f) const;

  // When the whole subtree below `node` is one chain of bytes ending in a
  // single keyword, those bytes (the rest of a tail); otherwise empty.
  std::string_view chain_below(Node node) const;

  // The exact scan's walk, over the arrays as they are when it is made (so
  // valid until the next change): the longest keyword that starts at
  // text[begin], text[q] read as fold(text[q]); the root's own keyword never
  // counts.
  class LongestMatcher {
   public:
    explicit LongestMatcher(const KeywordTrie& trie)
        : units_(trie.units_.data()), tails_(trie.tails_.data()), names_(trie.unit_names_.data()) {}
    template <class Fold>
    [[gnu::always_inline]] LongestMatch operator()(const unsigned char* text, std::size_t begin,
                                                   std::size_t end, const Fold& fold) const;

   private:
    const Unit* units_;
    const std::uint32_t* tails_;
    const NameId* names_;
  };

  // Files `key` with clean name `name` (replacing the name of an existing
  // keyword) and returns the id now holding it. Strong guarantee: a failed
  // allocation leaves the trie unchanged.
  NameId insert(std::string_view key, std::string_view name);

  // Removes keyword `key`, pruning the nodes only it used. Returns the id its
  // name had, or nothing when `key` is not a keyword.
  std::optional<NameId> erase(std::string_view key);

  // Units of the double array, used or free: node indices lie below it.
  std::size_t unit_count() const { return units_.size(); }

  // Heap bytes held (for benchmarks).
  std::size_t memory_bytes() const;

  // Checks every structural invariant; for tests. Returns a description of
  // the first violation, or an empty string.
  std::string verify() const;

 private:
  friend class TrieRestorer;

  struct Unit {
    std::int32_t base;   // >= 0: children at base ^ c; < 0: ~(tail offset)
    std::int32_t check;  // used: parent | kKeywordEnd flag; free (< 0): ~(next free)
  };
  // Children as a sorted list of labels: a node's first child label and each
  // child's next sibling label; kNoLabel ends a list.
  struct Links {
    std::uint16_t first_child;
    std::uint16_t next_sibling;
  };
  // 256 units. Free units of a block form a ring through their base (~prev)
  // and check (~next) fields.
  struct Block {
    std::int32_t prev = -1;  // neighbours in the block's list
    std::int32_t next = -1;
    std::int32_t free_head = -1;
    std::int16_t free_count = 256;
    std::int16_t reject = 257;  // a set of this many labels found no room here
    std::uint8_t list = 0;
    std::uint8_t trials = 0;
  };
  enum BlockList : std::uint8_t { kOpen, kClosed, kFull };

  static constexpr std::uint32_t kNoParent = 0x3FFFFFFFu;
  static constexpr std::uint32_t kParentMask = 0x3FFFFFFFu;
  static constexpr std::int32_t kKeywordEnd = 0x40000000;
  // Keeps the sign bit, so that a free unit never passes as a child.
  static constexpr std::int32_t kCheckMask = ~kKeywordEnd;
  static constexpr std::uint16_t kNoLabel = 0x100;
  static constexpr std::uint32_t kMaxUnits = kNoParent;  // ids stay below kNoParent

  // Tail records in 4-byte words: name id, length, then the bytes.
  static constexpr std::size_t kTailHeaderWords = 2;

  bool has_tail(std::uint32_t s) const { return units_[s].base < 0; }
  std::uint32_t tail_offset(std::uint32_t s) const {
    return static_cast<std::uint32_t>(~units_[s].base);
  }
  std::uint32_t tail_length(std::uint32_t s) const { return tails_[tail_offset(s) + 1]; }
  NameId tail_name(std::uint32_t s) const { return tails_[tail_offset(s)]; }
  const unsigned char* tail_bytes(std::uint32_t s) const {
    return reinterpret_cast<const unsigned char*>(tails_.data() + tail_offset(s) + kTailHeaderWords);
  }
  bool is_keyword_end(std::uint32_t s) const { return (units_[s].check & kKeywordEnd) != 0; }
  std::uint32_t parent_of(std::uint32_t s) const {
    return static_cast<std::uint32_t>(units_[s].check) & kParentMask;
  }
  bool has_byte_children(std::uint32_t s) const { return links_[s].first_child != kNoLabel; }
  std::uint32_t child_unit(std::uint32_t s, unsigned label) const {
    return static_cast<std::uint32_t>(units_[s].base) ^ label;
  }
  const std::vector<std::pair<std::uint32_t, std::uint32_t>>* wide_children(std::uint32_t s) const;

  // Block bookkeeping.
  void add_block();
  void reserve_blocks(std::size_t blocks);
  void link_block(BlockList list, std::uint32_t block);
  void unlink_block(std::uint32_t block);
  void claim(std::uint32_t unit);
  void release(std::uint32_t unit);
  std::uint32_t find_base(const std::uint16_t* labels, std::size_t count);

  // Structure.
  void init_node(std::uint32_t unit, std::uint32_t parent);
  std::size_t collect_labels(std::uint32_t s, std::uint16_t* labels) const;
  void link_child(std::uint32_t s, std::uint16_t label);
  void unlink_child(std::uint32_t s, std::uint16_t label);
  void move_node(std::uint32_t from, std::uint32_t to);
  void adopt_children(std::uint32_t s);
  std::uint32_t add_child(std::uint32_t s, unsigned char label);
  std::uint32_t move_children(std::uint32_t parent, const std::uint16_t* labels, std::size_t count,
                              std::uint32_t new_base, std::uint32_t watched);
  std::uint32_t relocate_for(std::uint32_t s, unsigned char label);
  void set_keyword_end(std::uint32_t s, NameId name);
  void clear_keyword_end(std::uint32_t s);

  // Tails.
  void reserve_tail_words(std::size_t count);
  std::int32_t write_tail(const unsigned char* bytes, std::size_t length, NameId name);
  void drop_tail(std::uint32_t s);
  void attach_rest(std::uint32_t s, std::string_view rest, NameId name);
  void collect_tail_garbage() noexcept;

  std::vector<Unit> units_;
  std::vector<NameId> unit_names_;  // the keyword ending at a unit (when flagged)
  std::vector<Links> links_;
  std::vector<Block> blocks_;
  std::int32_t list_heads_[3] = {-1, -1, -1};
  // Per count of free units: the smallest set of labels a block with that
  // many free units had no room for (a guess for other such blocks).
  std::array<std::int16_t, 257> reject_by_free_;
  std::vector<std::uint32_t> tails_;
  std::size_t tail_garbage_words_ = 0;
  NameTable names_;
  // Children under keys above 0xFF, by parent unit: (key, unit), ascending.
  std::map<std::uint32_t, std::vector<std::pair<std::uint32_t, std::uint32_t>>> wide_;
  std::uint64_t keyword_count_ = 0;
};

// Builds a trie from a stream of nodes in the order a saved state lists them:
// enter(key) opens a child of the current node, leave(name) closes it once its
// own children are done. Children under one node may repeat a key (the later
// one replaces the earlier subtree) and may carry keys above 0xFF. Nodes are
// placed bottom-up: when a node closes, its children get their units.
class TrieRestorer {
 public:
  TrieRestorer();
  void enter(std::uint32_t key);
  void leave(std::optional<std::string_view> name);
  // Both at once for a node whose subtree is one chain of bytes `below` (top
  // first) ending in the keyword named `name`; `below` empty: a keyword leaf.
  void chain(std::uint32_t key, std::string_view below, std::string_view name);
  // Closes the root (after all its children) and hands over the trie.
  KeywordTrie finish(std::optional<std::string_view> root_name);

 private:
  // A closed node waiting for its parent to close.
  struct Closed {
    std::uint32_t key;
    std::int32_t base;                // placed children's base (when first_child set)
    NameId name;                      // its own keyword, or kNoName
    NameId chain_name;                // the keyword ending its chain, or kNoName
    std::uint64_t chain_begin;        // its chain's bytes in `chain_bytes_`, reversed
    std::uint64_t chain_length;
    std::uint16_t first_child;        // kNoLabel: no placed byte children
    std::uint32_t wide = 0xFFFFFFFFu;  // index into `wide_lists_`, if any
  };
  struct Open {
    std::uint32_t key;
    std::size_t first_closed;  // its closed children start here
    std::size_t chain_mark;    // chains of its subtree start here in `chain_bytes_`
  };

  bool extend_chain(std::uint32_t key, NameId own);
  void place_children(std::uint32_t key, std::size_t first, NameId own, Closed& out);
  void write_unit(const Closed& node, std::uint32_t unit);
  void discard(Closed& node);

  KeywordTrie trie_;
  std::vector<Open> open_;
  std::vector<Closed> closed_;
  std::string chain_bytes_;
  std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> wide_lists_;
};

// ---- inline hot paths ----

inline NameId KeywordTrie::name_at(Node node) const {
  if (node.tail_depth == 0) return is_keyword_end(node.index) ? unit_names_[node.index] : kNoName;
  return node.tail_depth == tail_length(node.index) ? tail_name(node.index) : kNoName;
}

inline bool KeywordTrie::child(Node node, unsigned char byte, Node& out) const {
  const std::uint32_t s = node.index;
  if (has_tail(s)) {
    if (node.tail_depth >= tail_length(s) || tail_bytes(s)[node.tail_depth] != byte) return false;
    out = {s, node.tail_depth + 1};
    return true;
  }
  const std::uint32_t t = child_unit(s, byte);
  if ((units_[t].check & kCheckMask) != static_cast<std::int32_t>(s)) return false;
  out = {t, 0};
  return true;
}

template <class F>
void KeywordTrie::for_each_child(Node node, F&& f) const {
  const std::uint32_t s = node.index;
  if (has_tail(s)) {
    if (node.tail_depth < tail_length(s)) f(std::uint32_t{tail_bytes(s)[node.tail_depth]}, Node{s, node.tail_depth + 1});
    return;
  }
  for (std::uint16_t label = links_[s].first_child; label != kNoLabel;) {
    const std::uint32_t t = child_unit(s, label);
    f(std::uint32_t{label}, Node{t, 0});
    label = links_[t].next_sibling;
  }
  if (!wide_.empty()) {
    if (const auto* wide = wide_children(s)) {
      for (const auto& [key, unit] : *wide) f(key, Node{unit, 0});
    }
  }
}

template <class Fold>
inline KeywordTrie::LongestMatch KeywordTrie::LongestMatcher::operator()(const unsigned char* text,
                                                                  std::size_t begin, std::size_t end,
                                                                  const Fold& fold) const {
  std::uint32_t s = 0;
  Unit unit = units_[0];
  std::uint32_t found = 0;  // unit of the last keyword end passed (0: none yet)
  std::size_t found_end = 0;
  std::size_t q = begin;
  for (;; ++q) {
    if (unit.base < 0) {
      // The rest of the path is the tail: one keyword, matched whole or not at all.
      const std::uint32_t* record = tails_ + static_cast<std::uint32_t>(~unit.base);
      const std::size_t length = record[1];
      if (end - q >= length) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(record + kTailHeaderWords);
        std::size_t i = 0;
        while (i < length && fold(text[q + i]) == bytes[i]) ++i;
        if (i == length) return {record[0], q + length, q + length - begin};
        q += i;  // counted as walked
      }
      break;
    }
    if (q == end) break;
    const std::uint32_t t = static_cast<std::uint32_t>(unit.base) ^ fold(text[q]);
    const Unit next = units_[t];  // one load: the child's check and its own base
    if ((next.check & kCheckMask) != static_cast<std::int32_t>(s)) break;
    s = t;
    unit = next;
    if (next.check & kKeywordEnd) {
      found = t;
      found_end = q + 1;
    }
  }
  if (found == 0) return {kNoName, 0, q - begin + 1};
  return {names_[found], found_end, q - begin + 1};
}

}  // namespace termsweep
