#pragma once
// Readable names for parameterised GoogleTest cases: "<index>_<text with everything but letters
// and digits folded to single underscores>", cut to a length a terminal line can show.
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

namespace ostrel::test_names {

inline std::string case_name(size_t index, std::string_view text, size_t max_text = 40) {
  std::string name = std::to_string(index);
  bool gap = true;
  for (unsigned char c : text) {
    if (name.size() >= max_text) break;
    if (std::isalnum(c) && c < 0x80) {
      if (gap) name.push_back('_');
      name.push_back(char(c));
      gap = false;
    } else {
      gap = true;
    }
  }
  return name;
}

}  // namespace ostrel::test_names
