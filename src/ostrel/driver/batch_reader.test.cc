#include "ostrel/driver/batch_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>

#include "ostrel/io/open_source.h"
#include "ostrel/qssf/test_frames.h"

namespace ostrel::driver {
namespace {

using io::module_reader_config;
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

// One row of a batch as text: every column, detector events one byte each.
std::string row_text(qssf::FrameBatch& batch, uint64_t r) {
  std::string out;
  for (size_t c = 0; c < qssf::kBatchColumns; ++c) {
    const size_t w = batch.element_bytes(qssf::BatchColumn(c));
    const uint8_t* p = batch.column(qssf::BatchColumn(c)).data() + r * w;
    for (size_t i = 0; i < w; ++i) out += std::to_string(p[i]) + ",";
    out += "|";
  }
  return out;
}

Bytes random_stream(std::mt19937& rng) {
  auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
  Bytes data = qssf::testing::stream_header();
  uint64_t id = 0;
  for (int i = 0; i < 40; ++i) {
    FrameSpec s;
    s.frame_id = id += pick(8) == 0 ? 0 : 1 + pick(3);  // now and then not rising
    s.round = rng();
    s.timestamp_ns = uint64_t(rng()) << 32 | rng();
    const size_t n = pick(10) == 0 ? 5 : 4;
    s.rle.resize(pick(4));
    for (auto& b : s.rle) b = uint8_t(rng());
    for (size_t k = 0; k < n; ++k) s.meas.push_back(int8_t(rng()));
    if (pick(3) == 0) s.timing = std::vector<uint16_t>(n, pick(6) == 0 ? 10001 : 10000);
    if (pick(3) == 0) s.ancilla_bits = Bytes{uint8_t(rng())};
    if (pick(2) == 0) {
      s.extensions.emplace();
      for (uint32_t k = pick(4); k > 0; --k) {
        const uint16_t tag = std::array<uint16_t, 4>{16, 16, 1, 99}[pick(4)];
        Bytes value(pick(4) == 0 ? 7 : 8);
        for (auto& b : value) b = uint8_t(rng());
        s.extensions->emplace_back(tag, value);
      }
    }
    if (pick(3) == 0) s.annotations = std::vector<std::pair<uint8_t, uint64_t>>(pick(3), {7, rng()});
    if (pick(3) == 0) s = qssf::testing::with_payload_checksum(s);  // the flips below may break it
    Bytes b = qssf::testing::frame(s);
    data.insert(data.end(), b.begin(), b.end());
  }
  for (uint32_t k = pick(4); k > 0; --k) data[26 + pick(uint32_t(data.size() - 26))] ^= uint8_t(1u << pick(8));
  if (pick(3) == 0) data.resize(data.size() - pick(60));
  return data;
}

// Reads with the checks on, over small rings (so frames wrap) and various source pieces.
FrameSource checked_source(const Bytes& data, uint64_t ring, size_t chunk) {
  qssf::ReaderConfig config;
  config.validation = 0;
  config.ring_capacity = ring;
  return FrameSource(std::make_unique<qssf::testing::MemorySource>(data, chunk), config);
}

TEST(ReadBatch, DamagedStreamsGiveTheSameFramesAndFailuresAsFrameByFrameReads) {
  std::mt19937 rng(3);
  constexpr size_t kLimit = 60;
  for (int trial = 0; trial < 300; ++trial) {
    const Bytes data = random_stream(rng);
    const uint64_t ring = 256 + rng() % 2048;
    const size_t chunk = std::array<size_t, 3>{1 + rng() % 64, 4096, 65536}[rng() % 3];
    const bool packed = rng() % 2;
    std::vector<std::string> expected, got;

    FrameSource one = checked_source(data, ring, chunk);
    qssf::ParsedFrame frame;
    while (expected.size() < kLimit) {
      auto read = one.read_one_frame(frame);
      if (!read.ok()) {
        expected.push_back(read.error().message());
        continue;
      }
      if (*read != qssf::ReadStatus::Frame) break;
      auto row = qssf::FrameBatch::allocate(1, frame.header.ancilla_count, packed);
      row->append(frame);
      expected.push_back(row_text(*row, 0));
    }

    FrameSource many = checked_source(data, ring, chunk);
    while (got.size() < kLimit) {
      auto batch = read_batch(many, frame, std::array<uint64_t, 3>{1, 3, 64}[rng() % 3], packed, nullptr);
      if (!batch.ok()) {
        got.push_back(batch_error_message(batch.error()));
        continue;
      }
      if (batch->size() == 0) break;
      for (uint64_t r = 0; r < batch->size(); ++r) got.push_back(row_text(*batch, r));
    }
    got.resize(std::min(got.size(), kLimit));
    ASSERT_EQ(got, expected) << "trial " << trial;
  }
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
}  // namespace ostrel::driver
