#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "engine/utf8.hpp"
#include "state/little_endian.hpp"
#include "state/state_format.hpp"

namespace termsweep::state {
namespace {

using Fault = ReadError::Kind;

// A cursor over the input. Every read checks the remaining length first
// (never `p + n <= end`, which could overflow) and records the first failure.
class Input {
 public:
  explicit Input(std::string_view bytes)
      : begin_(reinterpret_cast<const unsigned char*>(bytes.data())),
        p_(begin_),
        end_(p_ + bytes.size()) {}

  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }
  const ReadError& failure() const noexcept { return failure_; }

  // Records the fault of the value that starts `back` bytes before here.
  bool fail(Fault kind, std::uint64_t expected, std::uint64_t found, std::size_t back = 0) {
    failure_ = {kind, static_cast<std::size_t>(p_ - begin_) - back, expected, found, std::nullopt};
    return false;
  }
  bool short_read(std::size_t needed) { return fail(Fault::kShortRead, needed, remaining()); }

  bool u64(std::uint64_t& out) {
    if (remaining() < 8) return short_read(8);
    out = load_u64_le(p_);
    p_ += 8;
    return true;
  }

  bool u32(std::uint32_t& out) {
    if (remaining() < 4) return short_read(4);
    out = load_u32_le(p_);
    p_ += 4;
    return true;
  }

  bool byte(unsigned char& out) {
    if (p_ == end_) return short_read(1);
    out = *p_++;
    return true;
  }

  bool flag(bool& out) {
    unsigned char b;
    if (!byte(b)) return false;
    if (b > 1) return fail(Fault::kInvalidBool, 0, b, 1);
    out = b == 1;
    return true;
  }

  // One Unicode scalar value in UTF-8. Only a missing first byte is a short
  // read; a bad lead byte, a sequence cut off by the end of the input or an
  // invalid sequence are all character errors.
  bool key(std::uint32_t& out) {
    if (p_ == end_) return short_read(1);
    const std::size_t length = decode_utf8(p_, end_, out);
    if (length == 0) return fail(Fault::kInvalidChar, 0, 0);
    p_ += length;
    return true;
  }

  // A u64 length and that many bytes of UTF-8. The length is checked
  // against what is left before anything is allocated.
  bool text(std::string_view& out) {
    std::uint64_t length;
    if (!u64(length)) return false;
    if (length > remaining()) return fail(Fault::kShortBody, length, remaining());
    const std::string_view body(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(length));
    const std::size_t valid = utf8_valid_prefix(body);
    if (valid != body.size()) {
      fail(Fault::kInvalidUtf8, body.size(), valid);
      failure_.error_len = utf8_error_length(body, valid);
      return false;
    }
    p_ += body.size();
    out = body;
    return true;
  }

  bool clean_name(std::optional<std::string_view>& out) {
    unsigned char tag;
    if (!byte(tag)) return false;
    out.reset();
    if (tag == 0) return true;
    if (tag != 1) return fail(Fault::kInvalidTag, 0, tag, 1);
    std::string_view name;
    if (!text(name)) return false;
    out = name;
    return true;
  }

  void take(void* out, std::size_t n) {
    std::memcpy(out, p_, n);
    p_ += n;
  }
  void skip(std::size_t n) { p_ += n; }

 private:
  const unsigned char* begin_;
  const unsigned char* p_;
  const unsigned char* end_;
  ReadError failure_;
};

bool read_word_set(Input& in, WordCharSet& set) {
  std::uint64_t count;
  if (!in.u64(count)) return false;
  // Reading the declared words one by one would end in a short read exactly
  // when fewer than 8 * count bytes remain; only then is the count itself
  // judged. Since only 17408 can succeed, no list is ever built.
  if (count > in.remaining() / 8) {
    // The first word that would not be complete.
    in.skip(in.remaining() / 8 * 8);
    return in.short_read(8);
  }
  if (count != WordCharSet::kWords) return in.fail(Fault::kWordCount, WordCharSet::kWords, count, 8);
  auto& words = set.words();
  in.take(words.data(), words.size() * 8);
  if constexpr (std::endian::native == std::endian::big) {
    for (auto& word : words) word = __builtin_bswap64(word);
  }
  return true;
}

// Reads the root's node record with an explicit stack, so the nesting depth
// of the input costs heap, not call stack, and feeds the nodes to a
// TrieRestorer as they close. Saved tries are mostly runs of single children
// down to a keyword (the tails): such a run is read straight through and
// handed over as one chain as far up as its nodes carry no name; every other
// node goes through the restorer one by one.
bool read_records(Input& in, std::optional<KeywordTrie>& trie) {
  std::vector<std::uint64_t> children_left;  // per open node
  std::string run;                            // keys of a run of single children, top first
  TrieRestorer restorer;
  // Opens the run's first `count` nodes as ordinary nodes, each with its one
  // child under way.
  const auto open_run = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      restorer.enter(static_cast<unsigned char>(run[i]));
      children_left.push_back(0);
    }
  };
  std::optional<std::string_view> name;
  std::uint64_t root_children;
  if (!in.u64(root_children)) return false;
  children_left.push_back(root_children);
  while (true) {
    if (children_left.back() == 0) {
      // Its children are done: the node's own name closes it.
      if (!in.clean_name(name)) return false;
      children_left.pop_back();
      if (children_left.empty()) {
        trie.emplace(restorer.finish(name));
        return true;
      }
      restorer.leave(name);
      continue;
    }
    --children_left.back();
    std::uint32_t key;
    std::uint64_t child_count;
    if (!in.key(key) || !in.u64(child_count)) return false;
    run.clear();
    while (child_count == 1 && key <= 0xFF) {
      run.push_back(static_cast<char>(key));
      if (!in.key(key) || !in.u64(child_count)) return false;
    }
    if (child_count != 0) {
      open_run(run.size());
      restorer.enter(key);
      children_left.push_back(child_count);
      continue;
    }
    if (!in.clean_name(name)) return false;
    if (!name || key > 0xFF) {
      // A leaf that ends no chain.
      open_run(run.size());
      restorer.enter(key);
      restorer.leave(name);
      continue;
    }
    // Going up from the leaf, the run's nodes join its chain until one has a
    // name of its own.
    run.push_back(static_cast<char>(key));
    const std::string_view keyword = *name;
    std::size_t top = run.size() - 1;  // the chain's top node
    std::optional<std::string_view> above;
    while (top > 0) {
      if (!in.clean_name(above)) return false;
      if (above) break;
      --top;
    }
    open_run(top);
    restorer.chain(static_cast<unsigned char>(run[top]), std::string_view(run).substr(top + 1), keyword);
    if (top > 0) {
      // run[top - 1] has its name, read above, and its one child: it closes.
      children_left.pop_back();
      restorer.leave(above);
    }
  }
}

}  // namespace

std::unique_ptr<KeywordProcessor> read_processor_state(std::string_view bytes, ReadError& error) {
  Input in(bytes);
  WordCharSet word_chars;
  std::optional<KeywordTrie> trie;
  bool case_sensitive = false;
  bool allow_overlaps = false;
  if (read_word_set(in, word_chars) && read_records(in, trie) && in.flag(case_sensitive) &&
      in.flag(allow_overlaps)) {
    return std::make_unique<KeywordProcessor>(word_chars, std::move(*trie), case_sensitive, allow_overlaps);
  }
  error = in.failure();
  return nullptr;
}

std::optional<MatchValue> read_match_state(std::string_view bytes, ReadError& error) {
  Input in(bytes);
  std::string_view keyword;
  std::uint32_t similarity_bits;
  MatchValue match;
  if (in.text(keyword) && in.u32(similarity_bits) && in.u64(match.start) && in.u64(match.end)) {
    match.keyword.assign(keyword);
    match.similarity = std::bit_cast<float>(similarity_bits);
    return match;
  }
  error = in.failure();
  return std::nullopt;
}

}  // namespace termsweep::state
