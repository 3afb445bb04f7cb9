#include <algorithm>
#include <vector>

#include "engine/extract.hpp"
#include "engine/lowercase.hpp"
#include "engine/utf8.hpp"

namespace termsweep {
namespace {

// Maps bounds of a match, counted in the scanned text, back to the caller's
// text at character granularity. A bound inside a character (or inside the
// several characters one character lowers to) widens the span over that
// whole character.
class BoundMapper {
 public:
  // Offsets of both texts coincide character for character.
  explicit BoundMapper(std::string_view original) : original_(original) {}
  BoundMapper(std::string_view original, const std::vector<CharOffsets>& starts)
      : original_(original), starts_(&starts) {}

  std::uint64_t start(std::uint64_t bound) const { return map(bound, false); }
  std::uint64_t end(std::uint64_t bound) const { return map(bound, true); }

 private:
  std::uint64_t map(std::uint64_t bound, bool forward) const {
    if (!starts_) {
      const auto* s = reinterpret_cast<const unsigned char*>(original_.data());
      std::uint64_t n = original_.size();
      if (bound >= n) return n;
      if (forward) {
        while (bound < n && is_continuation_byte(s[bound])) ++bound;
      } else {
        while (bound > 0 && is_continuation_byte(s[bound])) --bound;
      }
      return bound;
    }
    const auto& starts = *starts_;
    // The last character whose lower-cased form begins at or before `bound`.
    auto it = std::upper_bound(starts.begin(), starts.end(), bound,
                               [](std::uint64_t b, const CharOffsets& c) { return b < c.lowered; });
    if (it == starts.begin()) return 0;
    const CharOffsets& at = *(it - 1);
    if (at.lowered == bound || it == starts.end()) return at.original;
    return forward ? it->original : at.original;
  }

  std::string_view original_;
  const std::vector<CharOffsets>* starts_ = nullptr;
};

}  // namespace

std::string KeywordProcessor::replace_keywords(std::string_view text, std::optional<float> threshold,
                                               const Interrupt& interrupt) const {
  const float t = checked_threshold(threshold);
  std::string lowered;
  std::vector<CharOffsets> starts;
  bool offsets_coincide = true;
  std::vector<KeywordMatch> matches;
  if (const std::optional<TextForm> form = form_without_copy(*this, text)) {
    matches = extract_scanned(*this, text, *form, t, interrupt);
  } else {
    offsets_coincide = lower_with_offsets(text, lowered, starts);
    matches = extract_scanned(*this, lowered, TextForm::kScanned, t, interrupt);
  }
  if (matches.empty()) return std::string(text);

  // Each span is mapped to the caller's text as it comes. A span reaching
  // back into the one replaced before it is clipped; a degenerate fuzzy span
  // replaces nothing.
  const BoundMapper mapper = offsets_coincide ? BoundMapper(text) : BoundMapper(text, starts);
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::uint64_t copied = 0;  // end of the last replaced span in `text`
  for (const KeywordMatch& match : matches) {
    const std::uint64_t start = std::max(mapper.start(match.start), copied);
    const std::uint64_t end = mapper.end(match.end);
    if (end < start) continue;
    out.append(text.data() + copied, start - copied);
    out.append(clean_name(match.keyword));
    copied = end;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace termsweep
