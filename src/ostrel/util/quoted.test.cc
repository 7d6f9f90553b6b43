#include "ostrel/util/quoted.h"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

TEST(Quoted, EscapesWhatCouldForgeOrHideText) {
  const struct {
    std::string_view in;
    const char* out;
  } cases[] = {
      {"ring0", "'ring0'"},
      {"", "''"},
      {"a\nb", "'a\\nb'"},
      {"tab\there\r", "'tab\\there\\r'"},
      {"it's", "'it\\'s'"},
      {"back\\slash", "'back\\\\slash'"},
      {std::string_view("nul\0x\x1b\x7f", 7), "'nul\\x00x\\x1b\\x7f'"},
      {"caf\xc3\xa9", "'caf\xc3\xa9'"},
  };
  for (const auto& c : cases) EXPECT_EQ(quoted(c.in), c.out) << c.out;
}

}  // namespace
}  // namespace ostrel
