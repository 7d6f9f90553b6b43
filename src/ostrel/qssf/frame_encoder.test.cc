#include "ostrel/qssf/frame_encoder.h"

#include <gtest/gtest.h>

#include <random>

#include "ostrel/qssf/reader.h"
#include "ostrel/qssf/test_frames.h"

namespace ostrel::qssf {
namespace {

// Random frames (ancilla counts from 0 past a u8, sparse and dense events with runs longer than
// one RLE byte holds, with and without results and masks) encoded one after another and read
// back by the frame reader: every field comes back, and nothing is left over.
TEST(FrameEncoder, WhatItWritesTheReaderReadsBack) {
  std::mt19937_64 rng(11);
  struct Sent {
    FrameFields fields;
    std::vector<uint8_t> events;
    std::vector<int8_t> meas;
  };
  std::vector<Sent> sent(400);
  std::vector<uint8_t> bytes;
  encode_stream_header(SchemaId{}, bytes);
  for (size_t k = 0; k < sent.size(); ++k) {
    Sent& s = sent[k];
    const size_t n = k % 7 == 0 ? 0 : rng() % 700;
    const double density = std::array{0.0, 0.01, 0.5, 0.99, 1.0}[k % 5];
    std::bernoulli_distribution fired(density);
    for (size_t a = 0; a < n; ++a) s.events.push_back(fired(rng) ? uint8_t(1 + rng() % 3) : 0);
    if (k % 3 == 1)
      for (size_t a = 0; a < n; ++a) s.meas.push_back(int8_t(int(rng() % 3) - 1));
    s.fields.frame_id = 2 * k + 1;
    s.fields.round = uint32_t(rng());
    s.fields.timestamp_ns = rng();
    s.fields.qubit_count = uint16_t(rng());
    s.fields.code_type = uint8_t(1 + k % 3);
    s.fields.distance = uint8_t(rng());
    s.fields.detector_events = s.events;
    s.fields.meas_results = s.meas;
    if (k % 2) s.fields.observable_flips = rng();
    ASSERT_TRUE(encode_frame(s.fields, bytes));
  }
  testing::MemorySource source(bytes, 1000);
  ReaderConfig config;
  config.validation = 2;
  FrameReader reader(source, config);
  ParsedFrame frame;
  for (const Sent& s : sent) {
    auto read = reader.next_frame(frame);
    ASSERT_TRUE(read.ok()) << read.error().message();
    ASSERT_EQ(*read, ReadStatus::Frame);
    const FrameHeader& h = frame.header;
    EXPECT_EQ(h.frame_id, s.fields.frame_id);
    EXPECT_EQ(h.round, s.fields.round);
    EXPECT_EQ(h.timestamp_ns, s.fields.timestamp_ns);
    EXPECT_EQ(h.qubit_count, s.fields.qubit_count);
    EXPECT_EQ(h.code_type, s.fields.code_type);
    EXPECT_EQ(h.distance, s.fields.distance);
    ASSERT_EQ(h.ancilla_count, s.events.size());
    const std::vector<uint8_t> events = decode_detector_rle(frame.detector_rle, h.ancilla_count);
    for (size_t a = 0; a < s.events.size(); ++a) ASSERT_EQ(events[a], s.events[a] != 0) << a;
    const std::vector<int8_t> meas = s.meas.empty() ? std::vector<int8_t>(s.events.size(), 0) : s.meas;
    EXPECT_EQ(frame.meas_results, meas);
    const bool has_mask = frame.extensions && frame.extensions->observable_flips;
    EXPECT_EQ(has_mask, s.fields.observable_flips.has_value());
    if (has_mask) {
      EXPECT_EQ(*frame.extensions->observable_flips, *s.fields.observable_flips);
    }
  }
  auto end = reader.next_frame(frame);
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(*end, ReadStatus::EndOfStream);
}

TEST(FrameEncoder, RefusesSizesTheFormatCannotHoldAndAppendsNothing) {
  std::vector<uint8_t> bytes = {7};
  const std::vector<uint8_t> events(3);
  const std::vector<int8_t> meas(2);
  FrameFields fields;
  fields.detector_events = events;
  fields.meas_results = meas;
  EXPECT_FALSE(encode_frame(fields, bytes));
  const std::vector<uint8_t> too_many(70000);
  fields.detector_events = too_many;
  fields.meas_results = {};
  EXPECT_FALSE(encode_frame(fields, bytes));
  EXPECT_EQ(bytes, std::vector<uint8_t>{7});
}

}  // namespace
}  // namespace ostrel::qssf
