#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "engine/utf8.hpp"
#include "state/little_endian.hpp"
#include "state/state_format.hpp"

namespace termsweep::state {
namespace {

enum class Fault {
  kShortRead,   // a fixed-size value is cut off
  kShortBody,   // a string's declared length runs past the input
  kInvalidUtf8,
  kInvalidBool,
  kInvalidChar,
  kInvalidTag,
  kWordCount,
};

struct Failure {
  Fault fault = Fault::kShortRead;
  std::uint64_t value = 0;  // the offending byte or count, or valid_up_to
  std::optional<std::size_t> error_len;
};

std::string describe(const Failure& failure) {
  const std::string value = std::to_string(failure.value);
  switch (failure.fault) {
    case Fault::kShortRead:
      return "Io(Kind(UnexpectedEof))";
    case Fault::kShortBody:
      return "Io(Custom { kind: UnexpectedEof, error: \"\" })";
    case Fault::kInvalidUtf8:
      return "InvalidUtf8Encoding(Utf8Error { valid_up_to: " + value + ", error_len: " +
             (failure.error_len ? "Some(" + std::to_string(*failure.error_len) + ")" : "None") +
             " })";
    case Fault::kInvalidBool:
      return "InvalidBoolEncoding(" + value + ")";
    case Fault::kInvalidChar:
      return "InvalidCharEncoding";
    case Fault::kInvalidTag:
      return "InvalidTagEncoding(" + value + ")";
    case Fault::kWordCount:
      return "Custom(\"Expected " + std::to_string(WordCharSet::kWords) + " elements, got " + value +
             "\")";
  }
  return {};
}

// A cursor over the input. Every read checks the remaining length first
// (never `p + n <= end`, which could overflow) and records the first failure.
class Input {
 public:
  explicit Input(std::string_view bytes)
      : p_(reinterpret_cast<const unsigned char*>(bytes.data())), end_(p_ + bytes.size()) {}

  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }
  const Failure& failure() const noexcept { return failure_; }

  bool fail(Fault fault, std::uint64_t value = 0) {
    failure_ = {fault, value, std::nullopt};
    return false;
  }

  bool u64(std::uint64_t& out) {
    if (remaining() < 8) return fail(Fault::kShortRead);
    out = load_u64_le(p_);
    p_ += 8;
    return true;
  }

  bool u32(std::uint32_t& out) {
    if (remaining() < 4) return fail(Fault::kShortRead);
    out = load_u32_le(p_);
    p_ += 4;
    return true;
  }

  bool byte(unsigned char& out) {
    if (p_ == end_) return fail(Fault::kShortRead);
    out = *p_++;
    return true;
  }

  bool flag(bool& out) {
    unsigned char b;
    if (!byte(b)) return false;
    if (b > 1) return fail(Fault::kInvalidBool, b);
    out = b == 1;
    return true;
  }

  // One Unicode scalar value in UTF-8. Only a missing first byte is a short
  // read; a bad lead byte, a sequence cut off by the end of the input or an
  // invalid sequence are all character errors.
  bool key(std::uint32_t& out) {
    unsigned char lead;
    if (!byte(lead)) return false;
    if (lead < 0x80) {
      out = lead;
      return true;
    }
    const std::size_t width = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (width == 0 || remaining() + 1 < width) return fail(Fault::kInvalidChar);
    const Utf8Decoded decoded = decode_utf8({reinterpret_cast<const char*>(p_ - 1), width});
    if (decoded.length != width) return fail(Fault::kInvalidChar);
    out = decoded.code_point;
    p_ += width - 1;
    return true;
  }

  // A u64 length and that many bytes of UTF-8. The length is checked
  // against what is left before anything is allocated.
  bool text(std::string_view& out) {
    std::uint64_t length;
    if (!u64(length)) return false;
    if (length > remaining()) return fail(Fault::kShortBody);
    const std::string_view body(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(length));
    const std::size_t valid = utf8_valid_prefix(body);
    if (valid != body.size()) {
      failure_ = {Fault::kInvalidUtf8, valid, utf8_error_length(body, valid)};
      return false;
    }
    p_ += body.size();
    out = body;
    return true;
  }

  bool clean_name(CleanName& out) {
    unsigned char tag;
    if (!byte(tag)) return false;
    if (tag == 0) return true;
    if (tag != 1) return fail(Fault::kInvalidTag, tag);
    std::string_view name;
    if (!text(name)) return false;
    out.assign(name);
    return true;
  }

  void take(void* out, std::size_t n) {
    std::memcpy(out, p_, n);
    p_ += n;
  }

 private:
  const unsigned char* p_;
  const unsigned char* end_;
  Failure failure_;
};

bool read_word_set(Input& in, WordCharSet& set) {
  std::uint64_t count;
  if (!in.u64(count)) return false;
  // Reading the declared words one by one would end in a short read exactly
  // when fewer than 8 * count bytes remain; only then is the count itself
  // judged. Since only 17408 can succeed, no list is ever built.
  if (count > in.remaining() / 8) return in.fail(Fault::kShortRead);
  if (count != WordCharSet::kWords) return in.fail(Fault::kWordCount, count);
  auto& words = set.words();
  in.take(words.data(), words.size() * 8);
  if constexpr (std::endian::native == std::endian::big) {
    for (auto& word : words) word = __builtin_bswap64(word);
  }
  return true;
}

struct FinishedChild {
  std::uint32_t key;
  TrieNode node;
};

// Files the finished children `first..end` of `done` into `node`. Arrival
// order decides between equal keys (the later one wins), so a stable sort
// keeps that rule while letting every insertion append at the end of the
// node's ordered block. States from the writer are already ascending and
// skip the sort.
void attach_children(TrieNode& node, std::vector<FinishedChild>& done, std::size_t first) {
  const auto begin = done.begin() + static_cast<std::ptrdiff_t>(first);
  const auto by_key = [](const FinishedChild& a, const FinishedChild& b) { return a.key < b.key; };
  if (!std::is_sorted(begin, done.end(), by_key)) std::stable_sort(begin, done.end(), by_key);
  for (auto it = begin; it != done.end(); ++it) node.put_child(it->key, std::move(it->node));
  done.erase(begin, done.end());
}

// Reads the root's node record into `root` with an explicit stack, so the
// nesting depth of the input costs heap, not call stack. A node's children
// wait in `done` until its clean name has been read, then are filed at once.
// On failure everything read so far is owned by `root`, the stack or `done`
// and goes away with them.
bool read_records(Input& in, TrieNode& root) {
  struct Frame {
    TrieNode node;  // unused for the root, which is read in place
    std::uint64_t children_left;
    std::size_t first_done;  // this node's finished children start here in `done`
    std::uint32_t key;       // this node's key in its parent
  };
  std::vector<Frame> stack;
  std::vector<FinishedChild> done;

  std::uint64_t root_children;
  if (!in.u64(root_children)) return false;
  stack.push_back({TrieNode(), root_children, 0, 0});
  while (true) {
    Frame& top = stack.back();
    if (top.children_left > 0) {
      --top.children_left;
      std::uint32_t key;
      std::uint64_t child_count;
      if (!in.key(key) || !in.u64(child_count)) return false;
      if (child_count == 0) {
        // A leaf needs no frame.
        TrieNode leaf;
        if (!in.clean_name(leaf.clean_name)) return false;
        done.push_back({key, std::move(leaf)});
      } else {
        stack.push_back({TrieNode(), child_count, done.size(), key});
      }
      continue;
    }
    const bool is_root = stack.size() == 1;
    TrieNode& node = is_root ? root : top.node;
    if (!in.clean_name(node.clean_name)) return false;
    attach_children(node, done, top.first_done);
    if (is_root) return true;
    FinishedChild finished{top.key, std::move(top.node)};
    stack.pop_back();
    done.push_back(std::move(finished));
  }
}

}  // namespace

std::unique_ptr<KeywordProcessor> read_processor_state(std::string_view bytes, ReadError& error) {
  Input in(bytes);
  auto processor = std::make_unique<KeywordProcessor>();
  if (read_word_set(in, processor->non_word_boundaries) && read_records(in, processor->root) &&
      in.flag(processor->case_sensitive) && in.flag(processor->allow_overlaps)) {
    return processor;
  }
  error.description = describe(in.failure());
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
  error.description = describe(in.failure());
  return std::nullopt;
}

}  // namespace termsweep::state
