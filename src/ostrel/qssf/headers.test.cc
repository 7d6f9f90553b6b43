#include "ostrel/util/os_error.h"
#include "ostrel/qssf/headers.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ostrel/qssf/crc32.h"
#include "ostrel/qssf/payload.h"
#include "ostrel/qssf/test_frames.h"

namespace ostrel::qssf {
namespace {

using testing::Bytes;

TEST(Crc32, MatchesTheStandardCheckValues) {
  const std::string digits = "123456789";
  EXPECT_EQ(crc32({reinterpret_cast<const uint8_t*>(digits.data()), digits.size()}), 0xCBF43926u);
  EXPECT_EQ(crc32({}), 0u);
  Bytes zeros(32, 0);
  EXPECT_EQ(crc32(zeros), 0x190A55ADu);
  // Every valid 36-byte header (data + its own CRC) leaves the same residue.
  Bytes header = testing::frame({.meas = {1, -1}});
  header.resize(36);
  EXPECT_EQ(crc32(header), 0x2144DF1Cu);
  EXPECT_EQ(crc32(header), VALID_HEADER_CRC);
}

TEST(Crc32, FoldingAgreesWithTheTableAtEveryLengthAndAlignment) {
  std::mt19937 rng(9);
  Bytes data(600);
  for (auto& b : data) b = uint8_t(rng());
  for (size_t start = 0; start < 16; ++start)
    for (size_t len = 0; start + len <= data.size(); len += 1 + len / 16) {
      const std::span<const uint8_t> bytes(data.data() + start, len);
      ASSERT_EQ(crc32(bytes), crc32_by_table(bytes)) << start << " " << len;
    }
}

TEST(StreamHeader, ParsesFieldsAndChecksMagicThenVersion) {
  struct Case {
    Bytes bytes;
    std::string error;  // empty: parses
  };
  const Bytes valid = testing::stream_header();
  Bytes qssf_letters = valid;
  qssf_letters[0] = 'Q', qssf_letters[1] = 'S', qssf_letters[2] = 'S', qssf_letters[3] = 'F';
  const Case cases[] = {
      {testing::stream_header(), ""},
      {Bytes(valid.begin(), valid.begin() + 25),
       "payload length mismatch: header declares 26 bytes, found 25"},
      {qssf_letters, "invalid QSSF magic bytes: expected 0x51535346, got 0x46535351"},
      {testing::stream_header(0x51535346, 0), "unsupported QSSF format version: 0"},
      {testing::stream_header(0x51535346, 2), "unsupported QSSF format version: 2"},
      {testing::stream_header(0x12345678, 2),
       "invalid QSSF magic bytes: expected 0x51535346, got 0x12345678"},
  };
  for (const Case& c : cases) {
    auto parsed = parse_stream_header(c.bytes);
    if (c.error.empty()) {
      ASSERT_TRUE(parsed.ok());
      EXPECT_EQ(parsed->size, 26u);
      EXPECT_EQ(parsed->header.schema_id[15], 0xFF);
      EXPECT_EQ(parsed->header.reserved, 0xDEADBEEFu);
    } else {
      ASSERT_FALSE(parsed.ok());
      EXPECT_EQ(parsed.error().message(), c.error);
    }
  }
}

TEST(FrameHeader, DecodesEveryFieldAtItsOffset) {
  Bytes b = testing::frame({.frame_id = 0x0102030405060708, .round = 77, .timestamp_ns = 1ull << 40,
                            .qubit_count = 49, .code_type = 200, .distance = 5,
                            .extra_flags = 0xF0F0, .meas = std::vector<int8_t>(24, 1)});
  b.resize(40);  // only the first 36 bytes count
  auto parsed = parse_frame_header(b);
  ASSERT_TRUE(parsed.ok());
  const FrameHeader& h = parsed->header;
  EXPECT_EQ(parsed->size, 36u);
  EXPECT_EQ(h.frame_id, 0x0102030405060708u);
  EXPECT_EQ(h.round, 77u);
  EXPECT_EQ(h.timestamp_ns, 1ull << 40);
  EXPECT_EQ(h.qubit_count, 49);
  EXPECT_EQ(h.ancilla_count, 24);
  EXPECT_EQ(h.code_type, 200);
  EXPECT_EQ(h.distance, 5);
  EXPECT_EQ(h.flags, 0xF0F0);
}

TEST(FrameHeader, AnyFlippedBitIsACrcMismatchAgainstTheReceivedBytes) {
  Bytes zeros(36, 0);
  zeros[32] = 0xAD, zeros[33] = 0x55, zeros[34] = 0x0A, zeros[35] = 0x19;
  ASSERT_TRUE(parse_frame_header(zeros).ok());
  for (size_t bit = 0; bit < 36 * 8; ++bit) {
    Bytes b = zeros;
    b[bit / 8] ^= uint8_t(1u << (bit % 8));
    auto parsed = parse_frame_header(b);
    ASSERT_FALSE(parsed.ok()) << bit;
    EXPECT_EQ(parsed.error().kind, QssfErrorKind::CrcMismatch);
    EXPECT_EQ(parsed.error().a, crc32(std::span(b).first(32)));
    EXPECT_EQ(parsed.error().b, uint64_t(b[32] | b[33] << 8 | b[34] << 16 | uint32_t(b[35]) << 24));
  }
  Bytes bad(36, 0);
  EXPECT_EQ(parse_frame_header(bad).error().message(),
            "CRC32 mismatch: expected 0x190a55ad, got 0x00000000");
  EXPECT_EQ(parse_frame_header(std::span(bad).first(7)).error().message(),
            "payload length mismatch: header declares 36 bytes, found 7");
}

TEST(QssfError, RendersEveryKind) {
  SchemaId id;
  for (uint8_t i = 0; i < 16; ++i) id[i] = uint8_t(i * 0x11);
  const std::pair<QssfError, std::string> cases[] = {
      {QssfError::unknown_code_type(9), "unknown code type discriminant: 0x09"},
      {QssfError::schema_not_found(id), "schema not found for id 00112233-4455-6677-8899-aabbccddeeff"},
      {QssfError::parity_violation(42, 1), "parity violation in frame 42 at stabilizer index 1"},
      {QssfError::timing_offset_out_of_bounds(3, 10001), "timing offset out of bounds: ancilla 3, offset 10001 ns"},
      {QssfError::frame_id_backwards(5, 5), "frame ID went backwards: last seen 5, got 5"},
      {QssfError::frame_schema_mismatch("ancilla_count", 17, 16),
       "frame/schema mismatch on ancilla_count: schema expects 17, frame has 16"},
      {QssfError::broadcast_lagged(), "broadcast channel lagged: frames were dropped"},
      {QssfError::io("Connection refused (os error 111)"), "i/o error: Connection refused (os error 111)"},
      {QssfError::json("expected value"), "json schema error: expected value"},
      {QssfError::payload_length_mismatch(4294967295u, 18446744073709551615ull),
       "payload length mismatch: header declares 4294967295 bytes, found 18446744073709551615"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.message(), text);
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace ostrel::qssf
