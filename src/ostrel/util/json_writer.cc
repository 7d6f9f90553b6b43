#include "ostrel/util/json_writer.h"

#include <charconv>
#include <cmath>

namespace ostrel {
namespace {

template <class F>
void append_float(std::string& out, F value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  std::string_view digits(buf, static_cast<size_t>(res.ptr - buf));
  const size_t e = digits.find('e');
  if (e == std::string_view::npos) {
    out += digits;
    // Keep floats recognisable as floats: "1" becomes "1.0"; "0.5" stays.
    if (digits.find('.') == std::string_view::npos) out += ".0";
    return;
  }
  // Exponents without "+" or leading zeros: "1e20", "1.5e-7".
  out += digits.substr(0, e + 1);
  digits.remove_prefix(e + 1);
  if (digits.front() == '+') digits.remove_prefix(1);
  if (digits.front() == '-') {
    out.push_back('-');
    digits.remove_prefix(1);
  }
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  out += digits;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

void append_json_number(std::string& out, double value) { append_float(out, value); }
void append_json_number(std::string& out, float value) { append_float(out, value); }

void JsonWriter::newline_and_indent() {
  out_.push_back('\n');
  out_.append(2 * has_items_.size(), ' ');
}

void JsonWriter::begin_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (has_items_.empty()) return;  // the top-level value
  if (has_items_.back()) out_.push_back(',');
  has_items_.back() = true;
  newline_and_indent();
}

void JsonWriter::key(std::string_view name) {
  begin_value();
  append_json_string(out_, name);
  out_ += ": ";
  after_key_ = true;
}

void JsonWriter::open(char bracket) {
  begin_value();
  out_.push_back(bracket);
  has_items_.push_back(false);
}

void JsonWriter::close(char bracket) {
  const bool had_items = has_items_.back();
  has_items_.pop_back();
  if (had_items) newline_and_indent();
  out_.push_back(bracket);
}

void JsonWriter::string_value(std::string_view text) {
  begin_value();
  append_json_string(out_, text);
}

void JsonWriter::uint_value(uint64_t value) {
  begin_value();
  out_ += std::to_string(value);
}

void JsonWriter::int_value(int64_t value) {
  begin_value();
  out_ += std::to_string(value);
}

void JsonWriter::double_value(double value) {
  begin_value();
  append_json_number(out_, value);
}

void JsonWriter::float_value(float value) {
  begin_value();
  append_json_number(out_, value);
}

void JsonWriter::null_value() {
  begin_value();
  out_ += "null";
}

}  // namespace ostrel
