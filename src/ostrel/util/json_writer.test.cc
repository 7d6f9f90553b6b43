#include "ostrel/util/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace ostrel {
namespace {

TEST(JsonWriter, IndentsNestedContainersAndWritesEmptyOnesInPlace) {
  JsonWriter w;
  w.begin_object();
  w.key("a");
  w.uint_value(1);
  w.key("list");
  w.begin_array();
  w.begin_object();
  w.key("q");
  w.begin_array();
  w.end_array();
  w.end_object();
  w.int_value(-2);
  w.end_array();
  w.key("empty");
  w.begin_object();
  w.end_object();
  w.key("n");
  w.null_value();
  w.end_object();
  EXPECT_EQ(w.text(),
            "{\n"
            "  \"a\": 1,\n"
            "  \"list\": [\n"
            "    {\n"
            "      \"q\": []\n"
            "    },\n"
            "    -2\n"
            "  ],\n"
            "  \"empty\": {},\n"
            "  \"n\": null\n"
            "}");
}

TEST(JsonWriter, EscapesWhatJsonRequiresAndKeepsUtf8) {
  std::string out;
  append_json_string(out, std::string_view("q\"b\\n\nt\tc\x01\x1f\x7f \xC3\xA9\b\f\r", 18));
  EXPECT_EQ(out, "\"q\\\"b\\\\n\\nt\\tc\\u0001\\u001f\x7f \xC3\xA9\\b\\f\\r\"");
}

TEST(JsonWriter, FloatsAreShortestRoundTripWithAFractionWhenIntegral) {
  const std::pair<double, const char*> doubles[] = {
      {1.0, "1.0"},   {0.5, "0.5"},   {0.1, "0.1"},       {-3.0, "-3.0"},
      {1e20, "1e20"}, {1.5e-7, "1.5e-7"}, {-2.5e-300, "-2.5e-300"}, {123456.0, "123456.0"},
      {std::numeric_limits<double>::infinity(), "null"}, {std::nan(""), "null"}};
  for (const auto& [value, text] : doubles) {
    std::string out;
    append_json_number(out, value);
    EXPECT_EQ(out, text) << value;
  }
  std::string out;
  append_json_number(out, 0.1f);  // shortest for a float, not the double's 0.10000000149011612
  EXPECT_EQ(out, "0.1");
}

}  // namespace
}  // namespace ostrel
