#include "ostrel/io/batch_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "ostrel/io/open_source.h"
#include "ostrel/qssf/test_frames.h"

namespace ostrel::io {
namespace {

using qssf::testing::Bytes;
using qssf::testing::FrameSpec;

FrameSpec spec(uint64_t id, size_t ancillas, bool bad_crc = false) {
  FrameSpec s;
  s.frame_id = id;
  s.rle = {0x81, 0x02};  // one fired detector, then two quiet ones
  s.meas = std::vector<int8_t>(ancillas, int8_t(id));
  s.bad_header_crc = bad_crc;
  return s;
}

FrameSource source_of(std::initializer_list<FrameSpec> frames, size_t chunk = 7) {
  Bytes data = qssf::testing::stream_header();
  for (const auto& f : frames) {
    Bytes b = qssf::testing::frame(f);
    data.insert(data.end(), b.begin(), b.end());
  }
  return FrameSource(std::make_unique<qssf::testing::MemorySource>(std::move(data), chunk),
                     module_reader_config());
}

std::vector<uint64_t> ids(qssf::FrameBatch& batch) {
  std::vector<uint64_t> out(batch.size());
  if (batch.size()) std::memcpy(out.data(), batch.column(qssf::BatchColumn::FrameId).data(), 8 * out.size());
  return out;
}

TEST(ReadBatch, StopsBeforeAShapeChangeAndHoldsAFailureForTheNextRead) {
  FrameSource source = source_of({spec(1, 4), spec(2, 4), spec(3, 2), spec(4, 2, true)});
  qssf::ParsedFrame frame;
  auto first = read_batch(source, frame, 10, false, nullptr);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(ids(*first), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(first->ancilla_count(), 4);
  const uint8_t* events = first->column(qssf::BatchColumn::DetectorEvents).data();
  EXPECT_EQ(Bytes(events, events + 8), (Bytes{1, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_TRUE(source.holds_outcome());  // frame 3, read but of another shape

  auto second = read_batch(source, frame, 10, true, nullptr);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(ids(*second), (std::vector<uint64_t>{3}));
  EXPECT_EQ(second->event_row_bytes(), 1u);
  EXPECT_EQ(second->column(qssf::BatchColumn::DetectorEvents).data()[0], 0b01);
  // Frame 4's bad header CRC was met after frame 3: held, then raised, then met again.
  for (int i = 0; i < 2; ++i) {
    auto failed = read_batch(source, frame, 10, false, nullptr);
    ASSERT_FALSE(failed.ok());
    EXPECT_NE(batch_error_message(failed.error()).find("CRC32 mismatch"), std::string::npos);
  }
}

TEST(ReadBatch, AnOutputThatCannotBeMadeKeepsTheFrameForTheNextRead) {
  FrameSource source = source_of({spec(1, 300), spec(2, 300)});
  qssf::ParsedFrame frame;
  auto huge = read_batch(source, frame, uint64_t(1) << 60, false, nullptr);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(batch_error_message(huge.error()), "a frame batch of 1152921504606846976 frames of 300 detectors is too large");
  auto all = read_batch(source, frame, 5, false, nullptr);
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(ids(*all), (std::vector<uint64_t>{1, 2}));
  auto end = read_batch(source, frame, 5, false, nullptr);
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(end->size(), 0u);
}

TEST(PackDetectorRle, EqualsTheUnpackedEventsBitForBit) {
  std::mt19937 rng(1);
  for (int trial = 0; trial < 500; ++trial) {
    const uint16_t n = uint16_t(rng() % 300);
    Bytes rle(rng() % 12);
    for (auto& b : rle) b = uint8_t(rng());
    std::vector<uint8_t> unpacked(n);
    qssf::decode_detector_rle(rle, std::span<uint8_t>(unpacked));
    std::vector<uint8_t> packed((n + 7) / 8, 0xAA);  // stale bits must be cleared
    qssf::pack_detector_rle(rle, n, packed);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ((packed[i / 8] >> (i % 8)) & 1, unpacked[i]) << trial;
    if (n % 8) {
      ASSERT_EQ(packed.back() >> (n % 8), 0) << trial;
    }
  }
}

}  // namespace
}  // namespace ostrel::io
