#pragma once
// A small writer of indented JSON: two spaces per level, one member or element per line,
// empty containers written "[]" / "{}" in place, no newline after the last closing bracket.
// The caller is trusted to pair begin/end calls and to give each object member a key.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

class JsonWriter {
 public:
  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  void key(std::string_view name);

  void string_value(std::string_view text);
  void uint_value(uint64_t value);
  void int_value(int64_t value);
  void double_value(double value);
  void float_value(float value);
  void null_value();

  const std::string& text() const& { return out_; }
  std::string take() && { return std::move(out_); }

 private:
  void open(char bracket);
  void close(char bracket);
  void begin_value();
  void newline_and_indent();

  std::string out_;
  std::vector<bool> has_items_;  // one entry per open container
  bool after_key_ = false;
};

// A JSON string literal: quotation mark, backslash and control characters escaped; other bytes,
// UTF-8 included, copied as they are.
void append_json_string(std::string& out, std::string_view text);
// The shortest text that reads back to the same value of its width; integral values keep a
// ".0" (1.0, not 1), exponents have no "+" or leading zeros (1e20, 1.5e-7); non-finite values
// have no JSON form and are written null.
void append_json_number(std::string& out, double value);
void append_json_number(std::string& out, float value);

}  // namespace ostrel
