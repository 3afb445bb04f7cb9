#include "engine/keyword_trie.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace termsweep {
namespace {

constexpr std::uint32_t kBlockUnits = 256;
// After this many failed searches for room for a set of labels, a block is no
// longer searched for sets (single units still come from it).
constexpr std::uint8_t kMaxTrials = 1;

std::size_t tail_words(std::size_t length) { return 2 + (length + 3) / 4; }

}  // namespace

// ---------------------------------------------------------------------------
// Blocks and free units

KeywordTrie::KeywordTrie() {
  for (std::size_t free = 0; free < reject_by_free_.size(); ++free) {
    reject_by_free_[free] = static_cast<std::int16_t>(free + 1);
  }
  add_block();
  claim(0);
  init_node(0, kNoParent);
}

void KeywordTrie::reserve_blocks(std::size_t blocks) {
  const std::size_t units = units_.size() + blocks * kBlockUnits;
  if (units > kMaxUnits) throw std::bad_alloc();
  if (units <= units_.capacity()) return;
  const std::size_t grown = std::min<std::size_t>(std::max(units, units_.capacity() * 2), kMaxUnits);
  units_.reserve(grown);
  unit_names_.reserve(grown);
  links_.reserve(grown);
  blocks_.reserve(grown / kBlockUnits + 1);
}

void KeywordTrie::add_block() {
  reserve_blocks(1);
  const auto block = static_cast<std::uint32_t>(blocks_.size());
  const std::uint32_t first = block * kBlockUnits;
  units_.resize(first + kBlockUnits);
  unit_names_.resize(first + kBlockUnits, kNoName);
  links_.resize(first + kBlockUnits, Links{kNoLabel, kNoLabel});
  blocks_.emplace_back();
  for (std::uint32_t i = 0; i < kBlockUnits; ++i) {
    const std::uint32_t next = first + (i + 1) % kBlockUnits;
    const std::uint32_t prev = first + (i + kBlockUnits - 1) % kBlockUnits;
    units_[first + i] = {~static_cast<std::int32_t>(prev), ~static_cast<std::int32_t>(next)};
  }
  blocks_[block].free_head = static_cast<std::int32_t>(first);
  link_block(kOpen, block);
}

void KeywordTrie::link_block(BlockList list, std::uint32_t block) {
  Block& b = blocks_[block];
  b.list = list;
  std::int32_t& head = list_heads_[list];
  if (head < 0) {
    b.prev = b.next = static_cast<std::int32_t>(block);
    head = static_cast<std::int32_t>(block);
    return;
  }
  Block& first = blocks_[static_cast<std::uint32_t>(head)];
  b.next = head;
  b.prev = first.prev;
  blocks_[static_cast<std::uint32_t>(first.prev)].next = static_cast<std::int32_t>(block);
  first.prev = static_cast<std::int32_t>(block);
}

void KeywordTrie::unlink_block(std::uint32_t block) {
  Block& b = blocks_[block];
  std::int32_t& head = list_heads_[b.list];
  if (b.next == static_cast<std::int32_t>(block)) {
    head = -1;
    return;
  }
  blocks_[static_cast<std::uint32_t>(b.prev)].next = b.next;
  blocks_[static_cast<std::uint32_t>(b.next)].prev = b.prev;
  if (head == static_cast<std::int32_t>(block)) head = b.next;
}

void KeywordTrie::claim(std::uint32_t unit) {
  const std::uint32_t block = unit / kBlockUnits;
  Block& b = blocks_[block];
  if (b.free_count == 1) {
    b.free_head = -1;
  } else {
    const auto prev = static_cast<std::uint32_t>(~units_[unit].base);
    const auto next = static_cast<std::uint32_t>(~units_[unit].check);
    units_[prev].check = ~static_cast<std::int32_t>(next);
    units_[next].base = ~static_cast<std::int32_t>(prev);
    if (b.free_head == static_cast<std::int32_t>(unit)) b.free_head = static_cast<std::int32_t>(next);
  }
  --b.free_count;
  const BlockList target = b.free_count == 0 ? kFull : b.free_count == 1 ? kClosed : BlockList(b.list);
  if (target != b.list) {
    unlink_block(block);
    link_block(target, block);
  }
}

void KeywordTrie::release(std::uint32_t unit) {
  const std::uint32_t block = unit / kBlockUnits;
  Block& b = blocks_[block];
  if (b.free_count == 0) {
    units_[unit] = {~static_cast<std::int32_t>(unit), ~static_cast<std::int32_t>(unit)};
    b.free_head = static_cast<std::int32_t>(unit);
  } else {
    const auto next = static_cast<std::uint32_t>(b.free_head);
    const auto prev = static_cast<std::uint32_t>(~units_[next].base);
    units_[unit] = {~static_cast<std::int32_t>(prev), ~static_cast<std::int32_t>(next)};
    units_[prev].check = ~static_cast<std::int32_t>(unit);
    units_[next].base = ~static_cast<std::int32_t>(unit);
  }
  unit_names_[unit] = kNoName;
  links_[unit] = {kNoLabel, kNoLabel};
  ++b.free_count;
  b.trials = 0;
  b.reject = std::max(b.reject, reject_by_free_[b.free_count]);
  const BlockList target = b.free_count == 1 ? kClosed : kOpen;
  if (target != b.list) {
    unlink_block(block);
    link_block(target, block);
  }
}

// A base at which every label of `labels` lands on a free unit. Single
// labels go to roomy blocks first, which leaves room for the siblings that
// often follow them (fewer relocations than packing full blocks first); sets
// search the open blocks, each of which remembers the smallest set it had no
// room for.
std::uint32_t KeywordTrie::find_base(const std::uint16_t* labels, std::size_t count) {
  if (count == 1) {
    for (BlockList list : {kOpen, kClosed}) {
      if (list_heads_[list] >= 0) {
        const auto unit = static_cast<std::uint32_t>(blocks_[static_cast<std::uint32_t>(list_heads_[list])].free_head);
        return unit ^ labels[0];
      }
    }
  } else if (list_heads_[kOpen] >= 0) {
    auto block = static_cast<std::uint32_t>(list_heads_[kOpen]);
    const auto last = static_cast<std::uint32_t>(blocks_[block].prev);
    while (true) {
      Block& b = blocks_[block];
      const auto next = static_cast<std::uint32_t>(b.next);
      if (b.free_count >= static_cast<std::int32_t>(count) && static_cast<std::int32_t>(count) < b.reject) {
        auto unit = static_cast<std::uint32_t>(b.free_head);
        do {
          const std::uint32_t base = unit ^ labels[0];
          bool fits = true;
          for (std::size_t i = 1; i < count && fits; ++i) fits = units_[base ^ labels[i]].check < 0;
          if (fits) {
            b.free_head = static_cast<std::int32_t>(unit);  // the next search starts here
            return base;
          }
          unit = static_cast<std::uint32_t>(~units_[unit].check);
        } while (unit != static_cast<std::uint32_t>(b.free_head));
      }
      if (static_cast<std::int32_t>(count) < b.reject) {
        // No room: neither here nor, as a guess, in any block with as few free units.
        b.reject = static_cast<std::int16_t>(count);
        reject_by_free_[b.free_count] = std::min(reject_by_free_[b.free_count], b.reject);
      }
      if (++b.trials >= kMaxTrials) {
        unlink_block(block);
        link_block(kClosed, block);
      }
      if (block == last) break;
      block = next;
    }
  }
  add_block();
  return (static_cast<std::uint32_t>(blocks_.size() - 1) * kBlockUnits) ^ labels[0];
}

// ---------------------------------------------------------------------------
// Nodes and children

void KeywordTrie::init_node(std::uint32_t unit, std::uint32_t parent) {
  units_[unit] = {0, static_cast<std::int32_t>(parent)};
  unit_names_[unit] = kNoName;
  links_[unit] = {kNoLabel, kNoLabel};
}

std::size_t KeywordTrie::collect_labels(std::uint32_t s, std::uint16_t* labels) const {
  std::size_t count = 0;
  for (std::uint16_t label = links_[s].first_child; label != kNoLabel;
       label = links_[child_unit(s, label)].next_sibling) {
    labels[count++] = label;
  }
  return count;
}

// Threads the (initialised) child under `label` into s's ordered list.
void KeywordTrie::link_child(std::uint32_t s, std::uint16_t label) {
  std::uint16_t& first = links_[s].first_child;
  if (first == kNoLabel || label < first) {
    links_[child_unit(s, label)].next_sibling = first;
    first = label;
    return;
  }
  std::uint16_t previous = first;
  while (true) {
    const std::uint16_t next = links_[child_unit(s, previous)].next_sibling;
    if (next == kNoLabel || next > label) break;
    previous = next;
  }
  Links& before = links_[child_unit(s, previous)];
  links_[child_unit(s, label)].next_sibling = before.next_sibling;
  before.next_sibling = label;
}

void KeywordTrie::unlink_child(std::uint32_t s, std::uint16_t label) {
  std::uint16_t* link = &links_[s].first_child;
  while (*link != label) link = &links_[child_unit(s, *link)].next_sibling;
  *link = links_[child_unit(s, label)].next_sibling;
}

// Points the children of `s` back at s (after s moved or was placed).
void KeywordTrie::adopt_children(std::uint32_t s) {
  if (has_tail(s)) return;
  for (std::uint16_t label = links_[s].first_child; label != kNoLabel;) {
    const std::uint32_t t = child_unit(s, label);
    units_[t].check = static_cast<std::int32_t>(s) | (units_[t].check & kKeywordEnd);
    label = links_[t].next_sibling;
  }
}

const std::vector<std::pair<std::uint32_t, std::uint32_t>>* KeywordTrie::wide_children(std::uint32_t s) const {
  const auto it = wide_.find(s);
  return it == wide_.end() ? nullptr : &it->second;
}

// Moves the node at `from` to the claimed unit `to`, keeping everything that
// refers to it current, and frees `from`.
void KeywordTrie::move_node(std::uint32_t from, std::uint32_t to) {
  units_[to] = units_[from];
  unit_names_[to] = unit_names_[from];
  links_[to] = links_[from];
  adopt_children(to);
  if (!wide_.empty()) {
    // Node handles re-key without allocating.
    if (auto entry = wide_.extract(from)) {
      entry.key() = to;
      wide_.insert(std::move(entry));
    }
    if (parent_of(to) == kNoParent) {
      for (auto& [parent, children] : wide_) {
        for (auto& [key, unit] : children) {
          if (unit == from) unit = to;
        }
      }
    }
  }
  release(from);
}

// A new, empty child of `s` (which has no tail) under `label`. Other nodes,
// s included, may move to make room; the caller finds s again as the new
// child's parent.
std::uint32_t KeywordTrie::add_child(std::uint32_t s, unsigned char label) {
  const std::uint16_t label16 = label;
  std::uint32_t t;
  if (!has_byte_children(s)) {
    units_[s].base = static_cast<std::int32_t>(find_base(&label16, 1));
    t = child_unit(s, label);
  } else {
    t = child_unit(s, label);
    if (units_[t].check >= 0) return relocate_for(s, label);
  }
  claim(t);
  init_node(t, s);
  link_child(s, label);
  return t;
}

// Moves the children of `parent` (their labels given) to `new_base` and
// returns where `watched` is now (it moves when it is one of them).
std::uint32_t KeywordTrie::move_children(std::uint32_t parent, const std::uint16_t* labels,
                                         std::size_t count, std::uint32_t new_base,
                                         std::uint32_t watched) {
  const auto old_base = static_cast<std::uint32_t>(units_[parent].base);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t from = old_base ^ labels[i];
    const std::uint32_t to = new_base ^ labels[i];
    claim(to);
    move_node(from, to);
    if (from == watched) watched = to;
  }
  units_[parent].base = static_cast<std::int32_t>(new_base);
  return watched;
}

// The unit where s's new child belongs is taken. Either s's children move to
// a base with room for one more, or the occupant's siblings move out of the
// way, whichever moves fewer nodes (the root never moves; a node under a key
// above 0xFF moves alone).
std::uint32_t KeywordTrie::relocate_for(std::uint32_t s, unsigned char label) {
  const std::uint32_t t = child_unit(s, label);
  const std::uint32_t occupant_parent = parent_of(t);
  std::uint16_t mine[kBlockUnits + 1];
  const std::size_t mine_count = collect_labels(s, mine);
  const auto move_mine = [&] {
    mine[mine_count] = label;
    move_children(s, mine, mine_count, find_base(mine, mine_count + 1), 0);
  };
  if (t == 0) {
    move_mine();
  } else if (occupant_parent == kNoParent) {
    const std::uint16_t any = 0;
    const std::uint32_t refuge = find_base(&any, 1);
    claim(refuge);
    move_node(t, refuge);
  } else {
    std::uint16_t theirs[kBlockUnits];
    theirs[0] = 0;  // the occupant is listed, but the compiler cannot tell
    const std::size_t their_count = collect_labels(occupant_parent, theirs);
    if (mine_count + 1 <= their_count) {
      move_mine();
    } else {
      s = move_children(occupant_parent, theirs, their_count, find_base(theirs, their_count), s);
    }
  }
  const std::uint32_t child = child_unit(s, label);
  claim(child);
  init_node(child, s);
  link_child(s, label);
  return child;
}

void KeywordTrie::set_keyword_end(std::uint32_t s, NameId name) {
  units_[s].check |= kKeywordEnd;
  unit_names_[s] = name;
}

void KeywordTrie::clear_keyword_end(std::uint32_t s) {
  units_[s].check &= ~kKeywordEnd;
  unit_names_[s] = kNoName;
}

// ---------------------------------------------------------------------------
// Tails

void KeywordTrie::reserve_tail_words(std::size_t count) {
  const std::size_t words = tails_.size() + count;
  if (words > 0x7FFFFFFFu) throw std::bad_alloc();
  if (words > tails_.capacity()) tails_.reserve(std::max(words, tails_.capacity() * 2));
}

std::int32_t KeywordTrie::write_tail(const unsigned char* bytes, std::size_t length, NameId name) {
  const std::size_t offset = tails_.size();
  tails_.resize(offset + tail_words(length), 0);
  tails_[offset] = name;
  tails_[offset + 1] = static_cast<std::uint32_t>(length);
  if (length) std::memcpy(tails_.data() + offset + kTailHeaderWords, bytes, length);
  return ~static_cast<std::int32_t>(offset);
}

void KeywordTrie::drop_tail(std::uint32_t s) {
  tail_garbage_words_ += tail_words(tail_length(s));
  units_[s].base = 0;
}

// Files what is left of a key below the new, empty node s.
void KeywordTrie::attach_rest(std::uint32_t s, std::string_view rest, NameId name) {
  if (rest.empty()) {
    set_keyword_end(s, name);
  } else {
    units_[s].base = write_tail(reinterpret_cast<const unsigned char*>(rest.data()), rest.size(), name);
  }
}

// Rewrites the tails once more than half of them is garbage.
void KeywordTrie::collect_tail_garbage() noexcept {
  if (tail_garbage_words_ < 1024 || tail_garbage_words_ * 2 < tails_.size()) return;
  std::vector<std::uint32_t> compact;
  try {
    compact.reserve(tails_.size() - tail_garbage_words_);
  } catch (const std::bad_alloc&) {
    return;
  }
  for (std::uint32_t u = 0; u < units_.size(); ++u) {
    if (units_[u].check < 0 || !has_tail(u)) continue;
    const std::size_t offset = tail_offset(u);
    const std::size_t words = tail_words(tails_[offset + 1]);
    units_[u].base = ~static_cast<std::int32_t>(compact.size());
    compact.insert(compact.end(), tails_.begin() + static_cast<std::ptrdiff_t>(offset),
                   tails_.begin() + static_cast<std::ptrdiff_t>(offset + words));
  }
  tails_.swap(compact);
  tail_garbage_words_ = 0;
}

// ---------------------------------------------------------------------------
// The node interface

std::string_view KeywordTrie::chain_below(Node node) const {
  if (!has_tail(node.index)) return {};
  return {reinterpret_cast<const char*>(tail_bytes(node.index)) + node.tail_depth,
          tail_length(node.index) - node.tail_depth};
}

// ---------------------------------------------------------------------------
// Insertion and removal

NameId KeywordTrie::insert(std::string_view key, std::string_view name) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(key.data());
  const std::size_t n = key.size();
  // Find where the key leaves the trie, changing nothing yet.
  std::uint32_t s = 0;
  std::size_t i = 0;
  std::size_t common = 0;  // bytes shared with s's tail, when the key runs into one
  while (true) {
    if (i == n) {
      if (is_keyword_end(s)) {
        names_.assign(unit_names_[s], name);
        return unit_names_[s];
      }
      break;
    }
    if (has_tail(s)) {
      const std::uint32_t length = tail_length(s);
      const unsigned char* tail = tail_bytes(s);
      while (common < length && i + common < n && tail[common] == bytes[i + common]) ++common;
      if (common == length && i + common == n) {
        names_.assign(tail_name(s), name);
        return tail_name(s);
      }
      break;
    }
    const std::uint32_t t = child_unit(s, bytes[i]);
    if ((units_[t].check & kCheckMask) != static_cast<std::int32_t>(s)) break;
    s = t;
    ++i;
  }

  // Everything that can fail happens before the first change.
  const NameId id = names_.add(name);
  const bool splits_tail = i < n && has_tail(s);
  try {
    if (splits_tail) {
      reserve_blocks(common / (kBlockUnits - 1) + 4);
      reserve_tail_words(tail_words(tail_length(s)) + tail_words(n - i));
    } else {
      reserve_blocks(3);
      reserve_tail_words(tail_words(n - i));
    }
  } catch (...) {
    names_.release(id);
    throw;
  }
  ++keyword_count_;

  if (i == n) {
    set_keyword_end(s, id);
    return id;
  }
  if (!splits_tail) {
    attach_rest(add_child(s, bytes[i]), key.substr(i + 1), id);
    return id;
  }
  // The key and s's tail share `common` bytes: those become nodes, and the two
  // keywords part below them (or one ends where the other goes on).
  const NameId tail_keyword = tail_name(s);
  const std::uint32_t old_length = tail_length(s);
  // Stays valid: the tails' capacity was reserved, so they do not move.
  const auto* old_tail = reinterpret_cast<const char*>(tail_bytes(s));
  drop_tail(s);
  for (std::size_t k = 0; k < common; ++k) s = add_child(s, static_cast<unsigned char>(old_tail[k]));
  if (common == old_length) {
    set_keyword_end(s, tail_keyword);
  } else {
    const std::uint32_t t = add_child(s, static_cast<unsigned char>(old_tail[common]));
    attach_rest(t, std::string_view(old_tail + common + 1, old_length - common - 1), tail_keyword);
    s = parent_of(t);
  }
  if (i + common == n) {
    set_keyword_end(s, id);
  } else {
    const std::uint32_t t = add_child(s, bytes[i + common]);
    attach_rest(t, key.substr(i + common + 1), id);
  }
  collect_tail_garbage();
  return id;
}

std::optional<NameId> KeywordTrie::erase(std::string_view key) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(key.data());
  std::uint32_t s = 0;
  NameId removed = kNoName;
  for (std::size_t i = 0;; ++i) {
    if (i == key.size()) {
      if (!is_keyword_end(s)) return std::nullopt;
      removed = unit_names_[s];
      clear_keyword_end(s);
      break;
    }
    if (has_tail(s)) {
      if (key.size() - i != tail_length(s) || std::memcmp(tail_bytes(s), bytes + i, key.size() - i) != 0) {
        return std::nullopt;
      }
      removed = tail_name(s);
      drop_tail(s);
      break;
    }
    const std::uint32_t t = child_unit(s, bytes[i]);
    if ((units_[t].check & kCheckMask) != static_cast<std::int32_t>(s)) return std::nullopt;
    s = t;
  }
  // Prune the nodes that only this keyword used, from the bottom up.
  while (s != 0 && !is_keyword_end(s) && !has_tail(s) && !has_byte_children(s) &&
         (wide_.empty() || !wide_children(s))) {
    const std::uint32_t parent = parent_of(s);
    unlink_child(parent, static_cast<std::uint16_t>(s ^ static_cast<std::uint32_t>(units_[parent].base)));
    release(s);
    s = parent;
  }
  --keyword_count_;
  names_.release(removed);
  collect_tail_garbage();
  return removed;
}

// ---------------------------------------------------------------------------
// Checks and sizes

std::size_t KeywordTrie::memory_bytes() const {
  std::size_t wide = 0;
  for (const auto& [parent, children] : wide_) wide += 64 + children.capacity() * 8;
  return units_.capacity() * sizeof(Unit) + unit_names_.capacity() * sizeof(NameId) +
         links_.capacity() * sizeof(Links) + blocks_.capacity() * sizeof(Block) +
         tails_.capacity() * sizeof(std::uint32_t) + names_.memory_bytes() + wide;
}

std::string KeywordTrie::verify() const {
  const auto fail = [](const std::string& what, std::uint32_t unit) {
    return what + " at unit " + std::to_string(unit);
  };
  std::uint64_t keywords = 0;
  std::size_t free_units = 0;
  for (std::uint32_t u = 0; u < units_.size(); ++u) {
    const Unit unit = units_[u];
    if (unit.check < 0) {
      ++free_units;
      continue;
    }
    keywords += is_keyword_end(u);
    if (is_keyword_end(u) && unit_names_[u] == kNoName) return fail("keyword end without a name", u);
    if (!is_keyword_end(u) && unit_names_[u] != kNoName) return fail("stray name", u);
    if (has_tail(u)) {
      keywords += 1;
      if (tail_offset(u) + kTailHeaderWords > tails_.size() ||
          tail_offset(u) + tail_words(tail_length(u)) > tails_.size()) {
        return fail("tail out of range", u);
      }
      if (tail_length(u) == 0) return fail("empty tail", u);
      if (has_byte_children(u) || wide_children(u)) return fail("tail beside children", u);
    }
    const std::uint32_t parent = parent_of(u);
    if (u == 0 || parent == kNoParent) {
      if (u == 0 && parent != kNoParent) return fail("root with a parent", u);
    } else {
      if (parent >= units_.size() || units_[parent].check < 0 || has_tail(parent)) {
        return fail("bad parent", u);
      }
      const std::uint32_t label = u ^ static_cast<std::uint32_t>(units_[parent].base);
      if (label >= kBlockUnits) return fail("child outside its parent's block", u);
      bool listed = false;
      for (std::uint16_t l = links_[parent].first_child; l != kNoLabel && !listed;
           l = links_[child_unit(parent, l)].next_sibling) {
        listed = l == label;
      }
      if (!listed) return fail("child missing from its parent's list", u);
    }
    int previous = -1;
    for (std::uint16_t l = links_[u].first_child; l != kNoLabel; l = links_[child_unit(u, l)].next_sibling) {
      if (l <= previous) return fail("children out of order", u);
      previous = l;
      if (parent_of(child_unit(u, l)) != u || units_[child_unit(u, l)].check < 0) {
        return fail("listed child with another parent", u);
      }
    }
  }
  if (keywords != keyword_count_) return "keyword count " + std::to_string(keyword_count_) + " but " + std::to_string(keywords) + " keyword ends";
  std::size_t counted_free = 0;
  for (std::uint32_t b = 0; b < blocks_.size(); ++b) {
    const Block& block = blocks_[b];
    counted_free += static_cast<std::size_t>(block.free_count);
    const BlockList expected = block.free_count == 0 ? kFull : block.free_count == 1 ? kClosed : BlockList(block.list);
    if (block.list != expected) return fail("block on the wrong list", b * kBlockUnits);
    if (block.free_count == 0) continue;
    std::uint32_t unit = static_cast<std::uint32_t>(block.free_head);
    for (int k = 0; k < block.free_count; ++k) {
      if (unit / kBlockUnits != b || units_[unit].check >= 0) return fail("broken free ring", unit);
      const auto next = static_cast<std::uint32_t>(~units_[unit].check);
      if (static_cast<std::uint32_t>(~units_[next].base) != unit) return fail("broken free ring links", unit);
      unit = next;
    }
    if (unit != static_cast<std::uint32_t>(block.free_head)) return fail("free ring longer than its count", unit);
  }
  if (counted_free != free_units) return "free units miscounted";
  for (const auto& [parent, children] : wide_) {
    if (units_[parent].check < 0 || has_tail(parent)) return fail("wide children under a bad parent", parent);
    std::uint32_t previous = 0xFF;
    for (const auto& [key, unit] : children) {
      if (key <= previous) return fail("wide keys out of order", parent);
      previous = key;
      if (units_[unit].check < 0 || parent_of(unit) != kNoParent) return fail("wide child with a parent", unit);
    }
  }
  return {};
}

// ---------------------------------------------------------------------------
// Restoring

TrieRestorer::TrieRestorer() { open_.push_back({0, 0, 0}); }

void TrieRestorer::enter(std::uint32_t key) {
  open_.push_back({key, closed_.size(), chain_bytes_.size()});
}

void TrieRestorer::leave(std::optional<std::string_view> name) {
  const Open node = open_.back();
  open_.pop_back();
  const NameId own = name ? trie_.names_.add(*name) : kNoName;
  const std::size_t children = closed_.size() - node.first_closed;
  // Most nodes of a saved state are leaves or links of a tail's chain: those
  // need no placing.
  if (children == 0) {
    closed_.push_back({node.key, 0, own, kNoName, 0, 0, KeywordTrie::kNoLabel});
    return;
  }
  if (children == 1 && extend_chain(node.key, own)) return;
  Closed done;
  place_children(node.key, node.first_closed, own, done);
  // Its children took their units: the chains they held are spent.
  chain_bytes_.resize(node.chain_mark);
  closed_.push_back(done);
}

void TrieRestorer::chain(std::uint32_t key, std::string_view below, std::string_view name) {
  const NameId id = trie_.names_.add(name);
  if (below.empty()) {
    closed_.push_back({key, 0, id, kNoName, 0, 0, KeywordTrie::kNoLabel});
    return;
  }
  // Chains are kept reversed, so that a parent can extend one at its end.
  const std::size_t begin = chain_bytes_.size();
  chain_bytes_.append(below.rbegin(), below.rend());
  closed_.push_back({key, 0, kNoName, id, begin, below.size(), KeywordTrie::kNoLabel});
}

KeywordTrie TrieRestorer::finish(std::optional<std::string_view> root_name) {
  open_.pop_back();  // the root's own frame
  Closed root;
  place_children(0, 0, root_name ? trie_.names_.add(*root_name) : kNoName, root);
  write_unit(root, 0);
  return std::move(trie_);
}

// When the only child (closed_.back()) is a keyword leaf or a bare chain to a
// keyword, turns it into its parent, a chain one byte longer.
bool TrieRestorer::extend_chain(std::uint32_t key, NameId own) {
  Closed& only = closed_.back();
  const bool bare = only.key <= 0xFF && only.first_child == KeywordTrie::kNoLabel &&
                    only.wide == 0xFFFFFFFFu && (only.name != kNoName) != (only.chain_name != kNoName);
  if (!bare) return false;
  const bool leaf = only.name != kNoName;
  const Closed chain{key,
                     0,
                     own,
                     leaf ? only.name : only.chain_name,
                     leaf ? chain_bytes_.size() : only.chain_begin,
                     leaf ? 1 : only.chain_length + 1,
                     KeywordTrie::kNoLabel};
  chain_bytes_.push_back(static_cast<char>(only.key));
  only = chain;
  return true;
}

// Writes a closed node into its unit (its parent fixes the unit's parent
// later) and points its own children at it.
void TrieRestorer::write_unit(const Closed& node, std::uint32_t unit) {
  KeywordTrie& t = trie_;
  t.units_[unit].check = static_cast<std::int32_t>(KeywordTrie::kNoParent) |
                         (node.name != kNoName ? KeywordTrie::kKeywordEnd : 0);
  t.unit_names_[unit] = node.name;
  t.keyword_count_ += node.name != kNoName;
  if (node.chain_name != kNoName) {
    std::string forward(chain_bytes_, node.chain_begin, node.chain_length);
    std::reverse(forward.begin(), forward.end());
    t.reserve_tail_words(tail_words(forward.size()));
    t.units_[unit].base =
        t.write_tail(reinterpret_cast<const unsigned char*>(forward.data()), forward.size(), node.chain_name);
    t.links_[unit].first_child = KeywordTrie::kNoLabel;
    ++t.keyword_count_;
  } else {
    t.units_[unit].base = node.first_child != KeywordTrie::kNoLabel ? node.base : 0;
    t.links_[unit].first_child = node.first_child;
    t.adopt_children(unit);
  }
  if (node.wide != 0xFFFFFFFFu) t.wide_[unit] = std::move(wide_lists_[node.wide]);
}

// Frees everything a replaced duplicate had already placed.
void TrieRestorer::discard(Closed& node) {
  KeywordTrie& t = trie_;
  if (node.name != kNoName) t.names_.release(node.name);
  if (node.chain_name != kNoName) t.names_.release(node.chain_name);
  std::vector<std::uint32_t> pending;
  const auto push_children = [&](std::int32_t base, std::uint16_t first) {
    for (std::uint16_t l = first; l != KeywordTrie::kNoLabel;) {
      const std::uint32_t u = static_cast<std::uint32_t>(base) ^ l;
      pending.push_back(u);
      l = t.links_[u].next_sibling;
    }
  };
  push_children(node.base, node.first_child);
  if (node.wide != 0xFFFFFFFFu) {
    for (const auto& [key, unit] : wide_lists_[node.wide]) pending.push_back(unit);
    wide_lists_[node.wide].clear();
  }
  while (!pending.empty()) {
    const std::uint32_t u = pending.back();
    pending.pop_back();
    if (t.is_keyword_end(u)) {
      t.names_.release(t.unit_names_[u]);
      --t.keyword_count_;
    }
    if (t.has_tail(u)) {
      t.names_.release(t.tail_name(u));
      --t.keyword_count_;
      t.tail_garbage_words_ += tail_words(t.tail_length(u));
    } else {
      push_children(t.units_[u].base, t.links_[u].first_child);
    }
    if (auto entry = t.wide_.find(u); entry != t.wide_.end()) {
      for (const auto& [key, unit] : entry->second) pending.push_back(unit);
      t.wide_.erase(entry);
    }
    t.release(u);
  }
}

// Places the children closed_[first..] of a node that keeps them as units
// (a repeated key: the last one wins) and describes the node in `out`.
void TrieRestorer::place_children(std::uint32_t key, std::size_t first, NameId own, Closed& out) {
  KeywordTrie& t = trie_;
  const auto begin = closed_.begin() + static_cast<std::ptrdiff_t>(first);
  const auto by_key = [](const Closed& a, const Closed& b) { return a.key < b.key; };
  if (!std::is_sorted(begin, closed_.end(), by_key)) std::stable_sort(begin, closed_.end(), by_key);
  auto kept = begin;
  for (auto it = begin; it != closed_.end(); ++it) {
    if (it + 1 != closed_.end() && (it + 1)->key == it->key) {
      discard(*it);
    } else {
      *kept++ = *it;
    }
  }
  closed_.erase(kept, closed_.end());

  out = Closed{key, 0, own, kNoName, 0, 0, KeywordTrie::kNoLabel};
  std::uint16_t labels[256];
  std::size_t label_count = 0;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> wide;
  for (std::size_t i = first; i < closed_.size(); ++i) {
    if (closed_[i].key <= 0xFF) labels[label_count++] = static_cast<std::uint16_t>(closed_[i].key);
  }
  if (label_count > 0) {
    out.base = static_cast<std::int32_t>(t.find_base(labels, label_count));
    out.first_child = labels[0];
  }
  std::size_t next_label = 1;
  for (std::size_t i = first; i < closed_.size(); ++i) {
    const Closed& child = closed_[i];
    if (child.key <= 0xFF) {
      const std::uint32_t unit = static_cast<std::uint32_t>(out.base) ^ child.key;
      t.claim(unit);
      write_unit(child, unit);
      t.links_[unit].next_sibling = next_label < label_count ? labels[next_label] : KeywordTrie::kNoLabel;
      ++next_label;
    } else {
      const std::uint16_t any = 0;
      const std::uint32_t unit = t.find_base(&any, 1);
      t.claim(unit);
      write_unit(child, unit);
      t.links_[unit].next_sibling = KeywordTrie::kNoLabel;
      wide.emplace_back(child.key, unit);
    }
  }
  if (!wide.empty()) {
    out.wide = static_cast<std::uint32_t>(wide_lists_.size());
    wide_lists_.push_back(std::move(wide));
  }
  // Children get their parent's unit when the parent is written.
  closed_.erase(begin, closed_.end());
}

}  // namespace termsweep
