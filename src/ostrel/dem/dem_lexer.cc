#include "ostrel/dem/dem_lexer.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace ostrel::dem {
namespace {

bool equals_ignoring_case(std::string_view s, std::string_view lower_word) {
  if (s.size() != lower_word.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// For text the double range cannot hold: whether the magnitude is huge (else it is tiny).
// The text has already been checked to be a well-formed decimal number.
bool magnitude_is_huge(std::string_view s) {
  // Decimal exponent of the leading significant digit, without the written exponent.
  int64_t lead = 0;
  bool seen_point = false, seen_significant = false;
  int64_t integer_digits = 0, leading_fraction_zeros = 0;
  size_t i = 0;
  for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
    if (s[i] == '.') {
      seen_point = true;
    } else if (!seen_significant && s[i] == '0') {
      if (seen_point) ++leading_fraction_zeros;
    } else {
      seen_significant = true;
      if (!seen_point) ++integer_digits;
    }
  }
  if (!seen_significant) return false;  // zero, however it is written
  lead = integer_digits > 0 ? integer_digits - 1 : -(leading_fraction_zeros + 1);
  int64_t exponent = 0;
  if (i < s.size()) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    for (; i < s.size(); ++i) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return lead + exponent > 0;
}

}  // namespace

std::optional<double> parse_float(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  double value;
  if (is_digit(s[0]) || s[0] == '.') {
    const auto res = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
    if (res.ptr != s.data() + s.size()) return std::nullopt;
    if (res.ec == std::errc::result_out_of_range) {
      value = magnitude_is_huge(s) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (res.ec != std::errc{}) {
      return std::nullopt;
    }
  } else if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity")) {
    value = std::numeric_limits<double>::infinity();
  } else if (equals_ignoring_case(s, "nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
  } else {
    return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace ostrel::dem
