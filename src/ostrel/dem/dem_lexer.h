#pragma once
// Character-level pieces of the DEM text reader: Unicode white space over UTF-8 bytes, trimming,
// tokens, and the number syntaxes of targets, counts and probabilities.
#include <cstdint>
#include <optional>
#include <string_view>

namespace ostrel::dem {

inline bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length of the White_Space character starting at p (0 if none). Besides ASCII space and
// \t..\r: U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// Bytes that are not valid UTF-8 are simply not white space.
inline size_t space_len_at(const char* p, const char* end) {
  const auto c = static_cast<unsigned char>(*p);
  if (c < 0x80) return is_ascii_space(c) ? 1 : 0;
  const size_t avail = static_cast<size_t>(end - p);
  const auto b1 = avail > 1 ? static_cast<unsigned char>(p[1]) : 0;
  const auto b2 = avail > 2 ? static_cast<unsigned char>(p[2]) : 0;
  switch (c) {
    case 0xC2:
      return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
    case 0xE1:
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80) return (b2 <= 0x8A && b2 >= 0x80) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;
    case 0xE3:
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

// Length of the White_Space character that ends just before `end` (0 if none).
inline size_t space_len_before(const char* begin, const char* end) {
  const auto last = static_cast<unsigned char>(end[-1]);
  if (last < 0x80) return is_ascii_space(last) ? 1 : 0;
  const size_t avail = static_cast<size_t>(end - begin);
  if (avail >= 2 && space_len_at(end - 2, end) == 2) return 2;
  if (avail >= 3 && space_len_at(end - 3, end) == 3) return 3;
  return 0;
}

inline std::string_view trim(std::string_view s) {
  const char* b = s.data();
  const char* e = b + s.size();
  while (b < e) {
    const size_t n = space_len_at(b, e);
    if (n == 0) break;
    b += n;
  }
  while (e > b) {
    const size_t n = space_len_before(b, e);
    if (n == 0) break;
    e -= n;
  }
  return {b, static_cast<size_t>(e - b)};
}

// Maximal runs of non-white-space characters, left to right.
class Tokens {
 public:
  explicit Tokens(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool next(std::string_view& token) {
    while (p_ < end_) {
      const size_t n = space_len_at(p_, end_);
      if (n == 0) break;
      p_ += n;
    }
    if (p_ == end_) return false;
    const char* start = p_;
    while (p_ < end_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c > ' ' && c < 0x80) {  // printable ASCII: the common case
        ++p_;
      } else if (space_len_at(p_, end_) == 0) {
        ++p_;
      } else {
        break;
      }
    }
    token = {start, static_cast<size_t>(p_ - start)};
    return true;
  }

 private:
  const char* p_;
  const char* end_;
};

// An unsigned decimal number no larger than `max`: at least one digit, leading zeros allowed,
// one leading "+" when `allow_plus`. Anything else gives nothing.
inline std::optional<uint64_t> parse_unsigned(std::string_view s, uint64_t max, bool allow_plus) {
  size_t i = 0;
  if (allow_plus && !s.empty() && s[0] == '+') i = 1;
  if (i == s.size()) return std::nullopt;
  uint64_t value = 0;
  for (; i < s.size(); ++i) {
    const unsigned digit = static_cast<unsigned char>(s[i]) - unsigned('0');
    if (digit > 9) return std::nullopt;
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// A detector target "D<n>" (n in 0..4294967295) or an observable target "L<n>" (n in 0..255).
inline std::optional<uint32_t> parse_detector_target(std::string_view token) {
  if (token.empty() || token[0] != 'D') return std::nullopt;
  const auto v = parse_unsigned(token.substr(1), UINT32_MAX, true);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}
inline std::optional<uint8_t> parse_observable_target(std::string_view token) {
  if (token.empty() || token[0] != 'L') return std::nullopt;
  const auto v = parse_unsigned(token.substr(1), UINT8_MAX, true);
  if (!v) return std::nullopt;
  return static_cast<uint8_t>(*v);
}

// A decimal floating-point number: optional sign, digits with an optional point (digits on at
// least one side) and an optional exponent, or inf / infinity / nan in any letter case. Rounds to
// the nearest double; magnitudes beyond the double range become infinity or zero.
std::optional<double> parse_float(std::string_view s);

}  // namespace ostrel::dem
