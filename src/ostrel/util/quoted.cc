#include "ostrel/util/quoted.h"

namespace ostrel {

std::string quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('\'');
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\'': out += "\\'"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (b < 0x20 || b == 0x7f) {
          out += "\\x";
          out.push_back(kHex[b >> 4]);
          out.push_back(kHex[b & 15]);
        } else {
          out.push_back(c);  // UTF-8 and other bytes as they are
        }
    }
  }
  out.push_back('\'');
  return out;
}

}  // namespace ostrel
