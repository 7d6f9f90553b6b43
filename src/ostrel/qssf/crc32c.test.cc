#include "ostrel/qssf/crc32c.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

namespace ostrel::qssf {
namespace {

std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The definition itself, a bit at a time.
uint32_t crc32c_by_bits(std::span<const uint8_t> bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    c ^= b;
    for (int i = 0; i < 8; ++i) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
  }
  return ~c;
}

TEST(Crc32c, KnownValues) {
  EXPECT_EQ(crc32c(bytes_of("123456789")), 0xE3069283u);
  EXPECT_EQ(crc32c({}), 0u);
  // The iSCSI test vector of 32 zero bytes.
  const std::vector<uint8_t> zeros(32, 0);
  EXPECT_EQ(crc32c(zeros), 0x8A9136AAu);
}

TEST(Crc32c, EveryLengthAndAlignmentAgreesWithTheTableAndTheDefinition) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(600);
  for (auto& b : data) b = uint8_t(rng());
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t n = 0; offset + n <= data.size(); ++n) {
      const std::span<const uint8_t> part(data.data() + offset, n);
      const uint32_t expected = crc32c_by_bits(part);
      ASSERT_EQ(crc32c(part), expected) << offset << "+" << n;
      ASSERT_EQ(crc32c_extend_by_table(0, part), expected) << offset << "+" << n;
    }
  }
}

TEST(Crc32c, ExtendingEqualsTheWholeAtEverySplit) {
  std::vector<uint8_t> data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 37 + 11);
  const uint32_t whole = crc32c(data);
  for (size_t cut = 0; cut <= data.size(); ++cut) {
    const std::span<const uint8_t> all(data);
    EXPECT_EQ(crc32c_extend(crc32c(all.first(cut)), all.subspan(cut)), whole) << cut;
    EXPECT_EQ(crc32c_extend_by_table(crc32c_extend_by_table(0, all.first(cut)), all.subspan(cut)), whole) << cut;
  }
}

}  // namespace
}  // namespace ostrel::qssf
