#pragma once
// Strict UTF-8 validation: rejects overlong forms, surrogates and code points above U+10FFFF.
#include <cstdint>
#include <span>
#include <string_view>

namespace ostrel {

bool is_valid_utf8(std::span<const uint8_t> bytes) noexcept;
inline bool is_valid_utf8(std::string_view text) noexcept {
  return is_valid_utf8(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace ostrel
