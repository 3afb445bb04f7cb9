// Placeholder: ASCII only, until the generated tables land.
#include "engine/lowercase.hpp"

namespace termsweep {

const char* const kLowercaseUnicodeVersion = "none";

void append_lower_code_point(std::uint32_t code_point, std::string& out) {
  if (code_point >= 'A' && code_point <= 'Z') code_point += 32;
  out.push_back(static_cast<char>(code_point));
}

void append_lower(std::string_view text, std::string& out) {
  for (char c : text) out.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c);
}

bool lower_with_offsets(std::string_view text, std::string& out, std::vector<CharOffsets>& starts) {
  starts.clear();
  append_lower(text, out);
  return true;
}

}  // namespace termsweep
