#include "ostrel/qssf/payload.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "ostrel/qssf/test_frames.h"

namespace ostrel::qssf {
namespace {

using testing::Bytes;

TEST(DetectorRle, DecodesCutsPadsAndCounts) {
  struct Case {
    Bytes rle;
    uint16_t n;
    Bytes events;
    uint32_t count;
    uint32_t decoded;  // what decoding counts: the events within n
  };
  const Case cases[] = {
      {{0x83, 0x02, 0x81}, 8, {1, 1, 1, 0, 0, 1, 0, 0}, 4, 4},
      {{0xFF, 0xFF}, 10, Bytes(10, 1), 254, 10},  // the count covers runs beyond n
      {{}, 5, Bytes(5, 0), 0, 0},
      {{0x80, 0x00, 0x82}, 3, {1, 1, 0}, 2, 2},  // empty runs add nothing
      {{0x81}, 0, {}, 1, 0},
      {{0x05, 0x81, 0x7F, 0x7F, 0x02, 0x83}, 300, {}, 4, 4},
  };
  for (const Case& c : cases) {
    Bytes row(c.n, 7);
    EXPECT_EQ(decode_detector_rle(c.rle, row), c.decoded);
    if (!c.events.empty() || c.n == 0) {
      EXPECT_EQ(row, c.events);
    }
    EXPECT_EQ(uint32_t(std::count(row.begin(), row.end(), 1)), c.decoded);
    EXPECT_EQ(count_detector_events(c.rle), c.count);
  }
}

TEST(FixedPayload, CountsEachSectionOnce) {
  EXPECT_EQ(fixed_payload_size(5, 9, 0), 14u);
  EXPECT_EQ(fixed_payload_size(5, 9, FLAG_TIMING_OFFSETS | FLAG_ANCILLA_BITS), 5u + 9 + 18 + 2);
  EXPECT_EQ(fixed_payload_size(65535, 65535, 0xFFFF), 65535u + 65535 + 131070 + 8192);
}

TEST(Extensions, KeepsTheLastValidEntryPerTag) {
  FrameExtensions ext;
  ext.apply(16, Bytes{1, 0, 0, 0, 0, 0, 0, 0});
  ext.apply(16, Bytes{2, 0, 0, 0, 0, 0, 0, 0x80});
  ext.apply(16, Bytes{3, 0, 0, 0});  // wrong length: ignored
  ext.apply(2, Bytes{1, 2, 3});      // wrong length: ignored
  ext.apply(4, Bytes{7});
  ext.apply(9, Bytes{});
  ext.apply(1, Bytes{'o', 'k'});
  EXPECT_EQ(ext.observable_flips, 0x8000000000000002ull);
  EXPECT_FALSE(ext.ext_u32_a.has_value());
  EXPECT_EQ(ext.ext_u8, 7);
  EXPECT_EQ(ext.ext_text, "ok");
  ext.apply(1, Bytes{0xC3, 0x28});  // invalid UTF-8 discards the earlier text
  EXPECT_FALSE(ext.ext_text.has_value());
}

TEST(Trailer, ValidOnlyWithMarkerAndHeaderCrc) {
  Bytes f = testing::frame({.meas = {1}});
  std::span<const uint8_t, 36> header(f.data(), 36);
  const Bytes good = {0xFF, 0xFF, 0x1C, 0xDF, 0x44, 0x21};
  EXPECT_TRUE(check_trailer(header, std::span<const uint8_t, 6>(good.data(), 6)).ok());
  const Bytes bad_marker = {0xFE, 0xFF, 0x1C, 0xDF, 0x44, 0x21};
  auto r = check_trailer(header, std::span<const uint8_t, 6>(bad_marker.data(), 6));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "CRC32 mismatch: expected 0x2144df1c, got 0x2144df1c");
}

TEST(TimingOffsets, FirstValueAboveTheBoundFails) {
  ParsedFrame f;
  f.timing_offsets = {0, 10000, 3, 10001, 20000};
  auto r = validate_timing_offsets(f);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "timing offset out of bounds: ancilla 3, offset 10001 ns");
  f.timing_offsets.resize(3);
  EXPECT_TRUE(validate_timing_offsets(f).ok());
}

}  // namespace
}  // namespace ostrel::qssf
