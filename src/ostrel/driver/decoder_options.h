#pragma once
// Keyword options of a decoding method (`max_iter=30`, `bp_method="minimum_sum"`): what Python
// passes as keyword arguments and C as text. Each method reads the names it knows; a name no
// method read is refused, so a misspelt option never passes unnoticed.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ostrel/util/result.h"

namespace ostrel::driver {

using OptionValue = std::variant<int64_t, double, std::string>;

class DecoderOptions {
 public:
  DecoderOptions() = default;

  // "name=value" pairs separated by commas or spaces; a value reads as an integer, else a number,
  // else it is text. Fails with the message for a pair without "=" or an empty name.
  static Result<DecoderOptions, std::string> parse(std::string_view text);

  // A later value of the same name replaces an earlier one.
  void set(std::string name, OptionValue value);
  bool empty() const noexcept { return entries_.empty(); }
  const std::vector<std::pair<std::string, OptionValue>>& entries() const noexcept { return entries_; }

  // The value of `name` as the kind asked for (an integer serves where a number is asked), the
  // fallback when absent, or the refusal naming the option when it holds another kind or lies
  // outside [low, high]. Each read marks the name as known to the method.
  Result<int64_t, std::string> integer(std::string_view name, int64_t fallback, int64_t low, int64_t high) const;
  Result<double, std::string> number(std::string_view name, double fallback, double low, double high) const;
  // One of `choices`.
  Result<std::string, std::string> choice(std::string_view name, std::string_view fallback,
                                          std::initializer_list<std::string_view> choices) const;

  // The first option no read asked for, as the refusal for `method`: "unknown option 'max_iters'
  // for method 'bp-osd'" (names no method reads are refused; methods that take none say so).
  std::optional<std::string> unread(std::string_view method) const;

  // The options as "name=value, ..." for reprs and pickles (text quoted).
  std::string describe() const;

 private:
  const OptionValue* find(std::string_view name) const;

  std::vector<std::pair<std::string, OptionValue>> entries_;
  mutable std::vector<std::string> read_;
};

}  // namespace ostrel::driver
