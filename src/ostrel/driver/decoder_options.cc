#include "ostrel/driver/decoder_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace ostrel::driver {
namespace {

std::string kind_name(const OptionValue& v) {
  if (std::holds_alternative<int64_t>(v)) return "an integer";
  if (std::holds_alternative<double>(v)) return "a number";
  return "text";
}

std::string value_text(const OptionValue& v) {
  if (const auto* i = std::get_if<int64_t>(&v)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&v)) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", *d);
    std::string text = buffer;
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
    return text;
  }
  return "'" + std::get<std::string>(v) + "'";
}

OptionValue read_value(std::string_view text) {
  int64_t integer = 0;
  const char* end = text.data() + text.size();
  if (auto [p, ec] = std::from_chars(text.data(), end, integer); ec == std::errc() && p == end) return integer;
  double number = 0;
  if (auto [p, ec] = std::from_chars(text.data(), end, number); ec == std::errc() && p == end) return number;
  return std::string(text);
}

}  // namespace

Result<DecoderOptions, std::string> DecoderOptions::parse(std::string_view text) {
  DecoderOptions options;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t stop = text.find_first_of(", \t\n", pos);
    const std::string_view pair = text.substr(pos, stop == std::string_view::npos ? std::string_view::npos : stop - pos);
    pos = stop == std::string_view::npos ? text.size() : stop + 1;
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos || eq == 0)
      return fail("option '" + std::string(pair) + "' is not of the form name=value");
    options.set(std::string(pair.substr(0, eq)), read_value(pair.substr(eq + 1)));
  }
  return options;
}

void DecoderOptions::set(std::string name, OptionValue value) {
  for (auto& [n, v] : entries_)
    if (n == name) {
      v = std::move(value);
      return;
    }
  entries_.emplace_back(std::move(name), std::move(value));
}

const OptionValue* DecoderOptions::find(std::string_view name) const {
  if (std::find(read_.begin(), read_.end(), name) == read_.end()) read_.emplace_back(name);
  for (const auto& [n, v] : entries_)
    if (n == name) return &v;
  return nullptr;
}

Result<int64_t, std::string> DecoderOptions::integer(std::string_view name, int64_t fallback, int64_t low,
                                                     int64_t high) const {
  const OptionValue* v = find(name);
  if (!v) return fallback;
  const auto* i = std::get_if<int64_t>(v);
  if (!i) return fail("option '" + std::string(name) + "' must be an integer, got " + kind_name(*v));
  if (*i < low || *i > high)
    return fail("option '" + std::string(name) + "' must be from " + std::to_string(low) + " to " +
                std::to_string(high) + ", got " + std::to_string(*i));
  return *i;
}

Result<double, std::string> DecoderOptions::number(std::string_view name, double fallback, double low,
                                                   double high) const {
  const OptionValue* v = find(name);
  if (!v) return fallback;
  double x;
  if (const auto* i = std::get_if<int64_t>(v)) {
    x = double(*i);
  } else if (const auto* d = std::get_if<double>(v)) {
    x = *d;
  } else {
    return fail("option '" + std::string(name) + "' must be a number, got text");
  }
  if (!(x >= low && x <= high))
    return fail("option '" + std::string(name) + "' must be from " + value_text(low) + " to " + value_text(high) +
                ", got " + value_text(x));
  return x;
}

Result<std::string, std::string> DecoderOptions::choice(std::string_view name, std::string_view fallback,
                                                        std::initializer_list<std::string_view> choices) const {
  const OptionValue* v = find(name);
  if (!v) return std::string(fallback);
  const auto* s = std::get_if<std::string>(v);
  if (s && std::find(choices.begin(), choices.end(), *s) != choices.end()) return *s;
  std::string expected;
  size_t k = 0;
  for (std::string_view c : choices) {
    if (k) expected += ++k == choices.size() ? " or " : ", ";
    else ++k;
    expected.append("'").append(c).append("'");
  }
  return fail("option '" + std::string(name) + "' must be " + expected + ", got " + value_text(*v));
}

std::optional<std::string> DecoderOptions::unread(std::string_view method) const {
  for (const auto& [n, v] : entries_)
    if (std::find(read_.begin(), read_.end(), n) == read_.end())
      return "unknown option '" + n + "' for method '" + std::string(method) + "'" +
             (read_.empty() ? ": it takes no options" : "");
  return std::nullopt;
}

std::string DecoderOptions::describe() const {
  std::string out;
  for (const auto& [n, v] : entries_) {
    if (!out.empty()) out += ", ";
    out += n + "=" + value_text(v);
  }
  return out;
}

}  // namespace ostrel::driver
