#include "ostrel/qssf/reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "ostrel/qssf/test_frames.h"

namespace ostrel::qssf {
namespace {

using testing::Bytes;
using testing::concat;
using testing::FrameSpec;
using testing::MemorySource;

FrameSpec simple(uint64_t id, size_t ancillas = 4) {
  FrameSpec s;
  s.frame_id = id;
  s.round = uint32_t(id);
  s.rle = {0x81, 0x01, 0x81};
  s.meas = std::vector<int8_t>(ancillas, -1);
  return s;
}

// What one call returned, in a form that is easy to compare.
struct Outcome {
  std::string what;  // "frame <id>", "end" or the error message
  bool operator==(const Outcome&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Outcome& o) { return os << o.what; }

Outcome next_outcome(const Result<ReadStatus, QssfError>& r, const ParsedFrame& frame) {
  if (!r.ok()) return {r.error().message()};
  if (*r == ReadStatus::EndOfStream) return {"end"};
  return {"frame " + std::to_string(frame.header.frame_id)};
}

Outcome next(FrameReader& reader, ParsedFrame& frame) {
  return next_outcome(reader.next_frame(frame), frame);
}

std::vector<Outcome> read_all(const Bytes& data, size_t chunk = 4096, ReaderConfig config = {},
                              size_t max_calls = 64) {
  MemorySource source(data, chunk);
  FrameReader reader(source, config);
  ParsedFrame frame;
  std::vector<Outcome> out;
  for (size_t i = 0; i < max_calls; ++i) {
    out.push_back(next(reader, frame));
    if (out.back().what == "end") break;
  }
  return out;
}

std::vector<Outcome> outcomes(std::initializer_list<const char*> texts) {
  std::vector<Outcome> out;
  for (const char* t : texts) out.push_back({t});
  return out;
}

class ChunkedReads : public ::testing::TestWithParam<size_t> {};

TEST_P(ChunkedReads, EveryPieceSizeGivesTheSameFrames) {
  FrameSpec full = simple(3, 9);
  full.timing = std::vector<uint16_t>(9, 100);
  full.ancilla_bits = Bytes{0xFF, 0x01};
  full.extensions = {{{16, {5, 0, 0, 0, 0, 0, 0, 0}}, {1, {'h', 'i'}}, {99, {1, 2, 3}}}};
  full.annotations = {{{7, 1234567890123}}};
  const Bytes data = concat({testing::stream_header(), testing::frame(simple(1)), testing::frame(simple(2)),
                             testing::frame(full)});
  EXPECT_EQ(read_all(data, GetParam()), outcomes({"frame 1", "frame 2", "frame 3", "end"}));

  MemorySource source(data, GetParam());
  FrameReader reader(source, {});
  ParsedFrame frame;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(reader.next_frame(frame).ok());
  EXPECT_EQ(frame.header.ancilla_count, 9);
  EXPECT_EQ(frame.timing_offsets, std::vector<uint16_t>(9, 100));
  EXPECT_EQ(frame.ancilla_bits, (Bytes{0xFF, 0x01}));
  ASSERT_TRUE(frame.extensions);
  EXPECT_EQ(frame.extensions->observable_flips, 5u);
  EXPECT_EQ(frame.extensions->ext_text, "hi");
  ASSERT_TRUE(frame.annotations);
  ASSERT_EQ(frame.annotations->size(), 1u);
  EXPECT_EQ((*frame.annotations)[0].value, 1234567890123u);
  EXPECT_EQ((*frame.annotations)[0].trail_byte, uint8_t(~7));
}

INSTANTIATE_TEST_SUITE_P(PieceSizes, ChunkedReads, ::testing::Values(1, 2, 3, 5, 7, 13, 36, 4096));

// A frame in full, lists included, so that a read resumed part-way is seen to be whole.
Outcome described(FrameReader& reader, ParsedFrame& frame) {
  Outcome o = next(reader, frame);
  if (!o.what.starts_with("frame ")) return o;
  o.what += " meas " + std::to_string(frame.meas_results.size());
  if (frame.extensions) {
    o.what += " mask " + std::to_string(frame.extensions->observable_flips.value_or(0));
    o.what += " text " + frame.extensions->ext_text.value_or("-");
  }
  if (frame.annotations) o.what += " notes " + std::to_string(frame.annotations->size());
  return o;
}

// A recording with every section, whose frames end at the returned offsets.
Bytes recording(std::vector<size_t>& frame_ends) {
  FrameSpec rich = simple(4, 9);
  rich.timing = std::vector<uint16_t>(9, 3);
  rich.ancilla_bits = Bytes{0x5a, 0x01};
  rich.extensions = {{{16, {5, 0, 0, 0, 0, 0, 0, 0}}, {1, Bytes(40, 'x')}, {1, {'o', 'k'}}}};
  rich.annotations = {{{1, 9}, {2, 10}}};
  Bytes data = testing::stream_header();
  for (const FrameSpec& s : {simple(2), rich, simple(7, 10)}) {
    const Bytes f = testing::frame(s);
    data.insert(data.end(), f.begin(), f.end());
    frame_ends.push_back(data.size());
  }
  return data;
}

// Bytes parsed where the source holds them give what copying them gives, wherever the stretch
// offered in place ends (a ring's wrap): frames cut by it, and frames with annotations, are read
// the copying way.
TEST(FrameReader, FramesReadInPlaceEqualFramesCopied) {
  std::vector<size_t> ends;
  Bytes data = recording(ends);
  const Bytes bad_trailer = [] {
    Bytes f = testing::frame(simple(9));
    f.back() ^= 1;
    return f;
  }();
  for (const Bytes& more : {testing::frame(simple(8)), bad_trailer, testing::frame(simple(3)),
                            testing::frame(simple(10, 5))})
    data.insert(data.end(), more.begin(), more.end());
  auto read = [&](size_t chunk, size_t window) {
    MemorySource source(data, chunk);
    source.set_in_place(window);
    FrameReader reader(source, {});
    ParsedFrame frame;
    std::vector<Outcome> out;
    for (int i = 0; i < 16; ++i) {
      out.push_back(described(reader, frame));
      if (out.back().what == "end") break;
      if (out.back().what.starts_with("frame ")) {
        out.back().what += " rle " + std::to_string(frame.detector_rle.size());
        out.back().what += " at " + std::to_string(reader.handed_position());
      }
    }
    EXPECT_EQ(source.delivered(), data.size());
    return out;
  };
  const std::vector<Outcome> copied = read(4096, 0);
  ASSERT_EQ(copied.size(), 8u);  // five frames, a bad trailer, an id that went back, the end
  for (size_t chunk : {1, 7, 4096})
    for (size_t window : {1, 40, 77, 100, 4096}) EXPECT_EQ(read(chunk, window), copied) << chunk << " " << window;
}

// A file read while it is written: wherever its end falls, the reader hands out the frames that
// have arrived whole and nothing of the one cut; once the rest is appended every frame comes out
// exactly once. Through a ring the long frame outgrows too, so its read resumes part-way.
TEST(FrameReader, GrowingSourceCutAnywhereGivesEveryFrameOnceAndNoneEarly) {
  std::vector<size_t> ends;
  const Bytes data = recording(ends);
  std::vector<Outcome> whole;
  {
    MemorySource all(data);
    FrameReader reader(all, {});
    ParsedFrame frame;
    for (Outcome o = described(reader, frame); o.what != "end"; o = described(reader, frame)) whole.push_back(o);
    ASSERT_EQ(whole.size(), 3u);
    EXPECT_EQ(whole[1].what, "frame 4 meas 9 mask 5 text ok notes 2");
  }
  for (uint64_t ring : {uint64_t(4194304), uint64_t(97)}) {
    for (size_t cut = 0; cut <= data.size(); ++cut) {
      MemorySource source(Bytes(data.begin(), data.begin() + ptrdiff_t(cut)), 7);
      source.set_can_grow(true);
      FrameReader reader(source, ReaderConfig{.ring_capacity = ring});
      ParsedFrame frame;
      std::vector<Outcome> got;
      for (Outcome o = described(reader, frame); o.what != "end"; o = described(reader, frame)) got.push_back(o);
      const size_t arrived = size_t(std::count_if(ends.begin(), ends.end(), [&](size_t e) { return e <= cut; }));
      EXPECT_EQ(got, std::vector<Outcome>(whole.begin(), whole.begin() + ptrdiff_t(arrived)))
          << "cut " << cut << " ring " << ring;
      EXPECT_EQ(next(reader, frame).what, "end");
      source.append(Bytes(data.begin() + ptrdiff_t(cut), data.end()));
      for (Outcome o = described(reader, frame); o.what != "end" && got.size() < 8; o = described(reader, frame))
        got.push_back(o);
      EXPECT_EQ(got, whole) << "cut " << cut << " ring " << ring;
    }
  }
}

// A source that cannot grow (a closed connection, a whole file) and ends inside the stream
// header or a frame reports it once, naming what arrived and what was needed, then ends.
TEST(FrameReader, FinalEndInsideAFrameIsReportedOnceThenTheEnd) {
  std::vector<size_t> ends;
  const Bytes data = recording(ends);
  const auto whole = read_all(data);
  ASSERT_EQ(whole.size(), 4u);
  for (uint64_t ring : {uint64_t(4194304), uint64_t(97)}) {
    for (size_t cut = 1; cut < data.size(); ++cut) {
      if (cut == 26 || std::count(ends.begin(), ends.end(), cut)) continue;
      const auto got = read_all(Bytes(data.begin(), data.begin() + ptrdiff_t(cut)), 5, ReaderConfig{.ring_capacity = ring});
      const size_t index = size_t(std::count_if(ends.begin(), ends.end(), [&](size_t e) { return e < cut; }));
      ASSERT_EQ(got.size(), index + 2) << "cut " << cut;
      EXPECT_EQ(std::vector<Outcome>(got.begin(), got.begin() + ptrdiff_t(index)),
                std::vector<Outcome>(whole.begin(), whole.begin() + ptrdiff_t(index)));
      const std::string& error = got[index].what;
      if (cut < 26) {
        EXPECT_EQ(error, "truncated stream header: the stream ends after " + std::to_string(cut) + " of its 26 bytes");
      } else {
        const size_t start = index == 0 ? 26 : ends[index - 1];
        const std::string found = "the stream ends after " + std::to_string(cut - start) + " of ";
        EXPECT_TRUE(error.starts_with("truncated frame at index " + std::to_string(index))) << error;
        EXPECT_NE(error.find(found), std::string::npos) << error << " at cut " << cut;
        // Once the header is in, its id is named; a cut trailer names the frame's exact size.
        if (cut - start >= 36) {
          EXPECT_NE(error.find("(frame id "), std::string::npos) << error;
        }
        if (ends[index] - cut <= 6) {
          EXPECT_TRUE(error.ends_with("of its " + std::to_string(ends[index] - start) + " bytes")) << error;
        }
      }
      EXPECT_EQ(got.back().what, "end");
    }
  }
  // Cut inside the fixed payload of a frame without lists: its whole size is known.
  FrameSpec s = simple(1, 10);
  s.rle = {0x81, 0x01, 0x81, 0x00};
  const Bytes f = testing::frame(s);
  EXPECT_EQ(read_all(concat({testing::stream_header(), Bytes(f.begin(), f.begin() + 36 + 2 + 5)})),
            outcomes({"truncated frame at index 0 (frame id 1): the stream ends after 43 of its 58 bytes", "end"}));
}

TEST(FrameReader, EmptyAndHeaderOnlySourcesEndCleanly) {
  EXPECT_EQ(read_all({}), outcomes({"end"}));
  EXPECT_EQ(read_all(testing::stream_header()), outcomes({"end"}));
}

TEST(FrameReader, StreamHeaderAndFrameHeaderErrorsRepeat) {
  Bytes bad_magic = testing::stream_header();
  bad_magic[0] = 0;
  auto got = read_all(concat({bad_magic, testing::frame(simple(1))}), 4096, {}, 3);
  EXPECT_EQ(got, std::vector<Outcome>(3, {"invalid QSSF magic bytes: expected 0x51535346, got 0x51535300"}));

  FrameSpec broken = simple(2);
  broken.bad_header_crc = true;
  got = read_all(concat({testing::stream_header(), testing::frame(simple(1)), testing::frame(broken)}), 4096, {}, 4);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].what, "frame 1");
  EXPECT_TRUE(got[1].what.starts_with("CRC32 mismatch: expected 0x"));
  EXPECT_EQ(got[2], got[1]);
  EXPECT_EQ(got[3], got[1]);
}

TEST(FrameReader, RejectedFrameIdIsConsumedWholeAndReadingGoesOn) {
  FrameSpec bad_trailer = simple(4);
  bad_trailer.trailer = Bytes{0xFF, 0xFF, 0, 0, 0, 0};
  const Bytes data = concat({testing::stream_header(), testing::frame(simple(5)), testing::frame(simple(5)),
                             testing::frame(simple(3)), testing::frame(bad_trailer), testing::frame(simple(6))});
  EXPECT_EQ(read_all(data, 7), outcomes({"frame 5", "frame ID went backwards: last seen 5, got 5",
                                         "frame ID went backwards: last seen 5, got 3",
                                         "frame ID went backwards: last seen 5, got 4", "frame 6", "end"}));
}

TEST(FrameReader, BadTrailerIsConsumedSoTheNextFrameFollows) {
  FrameSpec s = simple(1);
  s.trailer = Bytes{0xFE, 0xFF, 0x1C, 0xDF, 0x44, 0x21};
  const Bytes data = concat({testing::stream_header(), testing::frame(s), testing::frame(simple(2))});
  EXPECT_EQ(read_all(data), outcomes({"CRC32 mismatch: expected 0x2144df1c, got 0x2144df1c", "frame 2", "end"}));
}

TEST(FrameReader, PayloadChecksumMismatchNamesTheFrameWhichIsConsumed) {
  FrameSpec first = simple(1);
  first.timing = std::vector<uint16_t>{1, 2, 3, 4};
  first.ancilla_bits = Bytes{0x05};
  first.extensions = {{16, Bytes(8, 0)}};
  const FrameSpec second = testing::with_payload_checksum(simple(2));
  FrameSpec short_entry = simple(3);  // an entry of the wrong length is skipped, not checked
  short_entry.extensions = {{17, Bytes{1, 2, 3}}};
  Bytes data = concat({testing::stream_header(), testing::frame(testing::with_payload_checksum(first)),
                       testing::frame(second), testing::frame(short_entry),
                       testing::frame(testing::with_payload_checksum(simple(4)))});
  // One flipped bit in frame 2's measurement results: its 36-byte header and 2 + 3 bytes of RLE
  // follow frame 1.
  const size_t at = testing::frame(testing::with_payload_checksum(first)).size() + 26 + 36 + 2 + 3 + 1;
  data[at] ^= 0x10;
  FrameSpec damaged = second;
  damaged.meas[1] = int8_t(uint8_t(damaged.meas[1]) ^ 0x10);
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "payload checksum mismatch in frame at index 1 (frame id 2): CRC-32C expected 0x%08x, got 0x%08x",
                crc32c(testing::payload_bytes(damaged)), crc32c(testing::payload_bytes(second)));
  for (size_t chunk : {size_t(1), size_t(7), size_t(4096)})
    EXPECT_EQ(read_all(data, chunk), outcomes({"frame 1", expected, "frame 3", "frame 4", "end"})) << chunk;
}

TEST(FrameReader, ValidationRunsOnlyWhenAskedAndConsumesTheFrame) {
  FrameSpec late = simple(1);
  late.timing = std::vector<uint16_t>{0, 10000, 20000, 1};
  const Bytes data = concat({testing::stream_header(), testing::frame(late), testing::frame(simple(2))});
  EXPECT_EQ(read_all(data, 4096, ReaderConfig{.validation = 0}),
            outcomes({"timing offset out of bounds: ancilla 2, offset 20000 ns", "frame 2", "end"}));
  EXPECT_EQ(read_all(data, 4096, ReaderConfig{.validation = 2}), outcomes({"frame 1", "frame 2", "end"}));
}

TEST(FrameReader, GrowingSourceDeliversNewFramesAfterTheEnd) {
  MemorySource source(concat({testing::stream_header(), testing::frame(simple(1))}), 3);
  source.set_can_grow(true);
  FrameReader reader(source, {});
  ParsedFrame frame;
  EXPECT_EQ(next(reader, frame).what, "frame 1");
  EXPECT_EQ(next(reader, frame).what, "end");
  const Bytes f2 = testing::frame(simple(2));
  source.append(Bytes(f2.begin(), f2.begin() + 30));
  EXPECT_EQ(next(reader, frame).what, "end");
  source.append(Bytes(f2.begin() + 30, f2.end()));
  EXPECT_EQ(next(reader, frame).what, "frame 2");
  source.fail_next_read();
  EXPECT_EQ(next(reader, frame).what, "i/o error: Connection reset by peer (os error 104)");
  source.append(testing::frame(simple(3)));
  EXPECT_EQ(next(reader, frame).what, "frame 3");
}

TEST(FrameReader, StreamLargerThanTheRingStraddlesItsEnd) {
  Bytes data = testing::stream_header();
  std::vector<Outcome> expected;
  for (uint64_t id = 1; id <= 500; ++id) {
    FrameSpec s = simple(id, size_t(id % 37));
    if (id % 3 == 0) s.extensions = {{{16, {uint8_t(id), 0, 0, 0, 0, 0, 0, 0}}}};
    const Bytes f = testing::frame(s);
    data.insert(data.end(), f.begin(), f.end());
    expected.push_back({"frame " + std::to_string(id)});
  }
  expected.push_back({"end"});
  // 251 bytes is prime and smaller than several frames together, so every boundary moves.
  EXPECT_EQ(read_all(data, 4096, ReaderConfig{.ring_capacity = 251}, 1000), expected);
  EXPECT_EQ(read_all(data, 1, ReaderConfig{.ring_capacity = 97}, 1000), expected);
}

// An interrupted call consumes nothing: interrupting before every byte (at every point of the
// stream header, frame headers, every section, trailers, a rejected id and a bad trailer) gives
// the same outcomes once the interruptions are left out, also through a ring the frames wrap.
TEST(FrameReader, InterruptedCallsResumeTheSameFrame) {
  FrameSpec rich = simple(4, 9);
  rich.timing = std::vector<uint16_t>(9, 3);
  rich.ancilla_bits = Bytes{0x5a, 0x01};
  rich.extensions = {{{16, {5, 0, 0, 0, 0, 0, 0, 0}}}};
  rich.annotations = {{{1, 9}}};
  FrameSpec bad_trailer = simple(6);
  bad_trailer.trailer = Bytes{0, 0, 0, 0, 0x34, 0x12};
  const Bytes data = concat({testing::stream_header(), testing::frame(simple(2)),
                             testing::frame(rich), testing::frame(simple(3)),
                             testing::frame(bad_trailer), testing::frame(simple(7))});
  for (uint64_t ring : {uint64_t(4194304), uint64_t(97)}) {
    const auto expected = read_all(data, 1, ReaderConfig{.ring_capacity = ring});
    MemorySource source(data, 1);
    source.interrupt_every_other_read();
    FrameReader reader(source, ReaderConfig{.ring_capacity = ring});
    ParsedFrame frame;
    std::vector<Outcome> got;
    size_t interrupted = 0;
    for (size_t i = 0; i < 4 * data.size() && (got.empty() || got.back().what != "end"); ++i) {
      auto r = reader.next_frame(frame);
      if (r.ok() && *r == ReadStatus::Interrupted) ++interrupted;
      else got.push_back(next_outcome(r, frame));
    }
    EXPECT_EQ(got, expected) << "ring " << ring;
    EXPECT_GT(interrupted, data.size() / 2) << "ring " << ring;
  }
}

TEST(FrameReader, RequestLargerThanTheRingFailsWithoutLosingBytes) {
  FrameSpec s = simple(1, 200);
  const Bytes data = concat({testing::stream_header(), testing::frame(s)});
  auto got = read_all(data, 4096, ReaderConfig{.ring_capacity = 64}, 1);
  ASSERT_EQ(got.size(), 1u);
  // The frame's header and length (38 bytes) stay in the ring, leaving room for 26 more.
  EXPECT_EQ(got[0].what, "payload length mismatch: header declares 203 bytes, found 26");
}

}  // namespace
}  // namespace ostrel::qssf

namespace ostrel::qssf {
namespace {

TEST(FrameReader, SchemaChecksRunInOrderForTheStreamsSchemaOnly) {
  // The stream header's schema id is 00 11 22 ... ff (see testing::stream_header).
  SchemaId id;
  for (uint8_t i = 0; i < 16; ++i) id[i] = uint8_t(i * 0x11);
  HardwareSchema schema;
  schema.ancilla_count = 2;
  schema.qubit_count = 17;
  schema.code_type = "surface_code";
  // Parity of qubit 0 and of qubits 0 and 1 must match detector events 0 and 1.
  schema.stabilizers = {{0, StabilizerType::Z, {0}}, {1, StabilizerType::Z, {0, 1}}};

  auto frame_with = [](uint64_t id, std::vector<int8_t> meas, Bytes rle, uint8_t code = 1) {
    FrameSpec s;
    s.frame_id = id;
    s.meas = std::move(meas);
    s.rle = std::move(rle);
    s.code_type = code;
    return testing::frame(s);
  };
  const Bytes data = concat({testing::stream_header(),
                             frame_with(1, {-1, 1}, {0x82}),          // parities 1, 1: passes
                             frame_with(2, {-1, -1}, {0x82}),         // parity of stabilizer 1 is 0
                             frame_with(3, {1, 1, 1}, {}),            // three ancillas
                             frame_with(4, {1, 1}, {}, 3),            // colour code byte
                             frame_with(5, {1, 1}, {})});
  ReaderConfig config;
  config.schemas[id] = schema;
  EXPECT_EQ(read_all(data, 4096, config),
            outcomes({"frame 1", "parity violation in frame 2 at stabilizer index 1",
                      "frame/schema mismatch on ancilla_count: schema expects 2, frame has 3",
                      "frame/schema mismatch on code_type: schema expects 1, frame has 3", "frame 5",
                      "end"}));

  ReaderConfig other;
  other.schemas[SchemaId{}] = schema;  // not this stream's schema: no schema checks
  EXPECT_EQ(read_all(data, 4096, other),
            outcomes({"frame 1", "frame 2", "frame 3", "frame 4", "frame 5", "end"}));
}

}  // namespace
}  // namespace ostrel::qssf
