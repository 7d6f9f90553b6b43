// The frame reader over an arbitrary byte stream delivered in chunks of varying size.
//
// Input: a 6-byte prelude, then the stream.
//   byte 0: bit 0 set skips the semantic checks; bits 1-3 pick the ring size; bit 4 registers a
//           hardware schema under the stream's own schema id (so counts and parity are checked)
//   byte 1: chunk-size seed; byte 2: qubit count, byte 3: ancilla count, byte 4: code family,
//   byte 5: number of stabilizers of the registered schema
// Every call's outcome must be a frame, the end, or an error value; the reader is called again
// after errors (as a stream's user may), up to a bounded number of calls: an error that consumes
// nothing comes back unchanged on every call, so a run of them ends the input.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "chunked_source.h"
#include "ostrel/qssf/byte_source.h"
#include "ostrel/qssf/headers.h"
#include "ostrel/qssf/payload.h"
#include "ostrel/qssf/reader.h"
#include "ostrel/qssf/schema.h"

namespace {

using namespace ostrel::qssf;

using ostrel::fuzz::ChunkedSource;
using ostrel::fuzz::kRingSizes;

constexpr std::array<const char*, 4> kFamilies = {"surface", "color_code", "custom", "unknown"};
constexpr size_t kPrelude = 6;
constexpr int kMaxCalls = 1024;
constexpr int kMaxErrorsInARow = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kPrelude) return 0;
  const std::span<const uint8_t> stream(data + kPrelude, size - kPrelude);

  ReaderConfig config;
  config.validation = data[0] & 1;
  config.ring_capacity = kRingSizes[(data[0] >> 1) & 7];
  if (data[0] & 16) {
    auto header = parse_stream_header(stream);
    if (header.ok()) {
      HardwareSchema schema;
      schema.schema_id = header->header.schema_id;
      schema.qubit_count = data[2];
      schema.ancilla_count = data[3];
      schema.code_type = kFamilies[data[4] & 3];
      for (uint16_t i = 0; i < (data[5] & 15); ++i)
        schema.stabilizers.push_back({i, (i & 1) ? StabilizerType::X : StabilizerType::Z,
                                      {uint16_t(i), uint16_t(i + 1), uint16_t(300 + i)}});
      config.schemas.emplace(schema.schema_id, std::move(schema));
    }
  }

  ChunkedSource source(stream, data[1]);
  FrameReader reader(source, std::move(config));
  ParsedFrame frame;
  int errors_in_a_row = 0;
  for (int call = 0; call < kMaxCalls && errors_in_a_row < kMaxErrorsInARow; ++call) {
    auto read = reader.next_frame(frame);
    if (!read.ok()) {
      (void)read.error().message();
      ++errors_in_a_row;
      continue;
    }
    errors_in_a_row = 0;
    if (*read == ReadStatus::EndOfStream) break;
    // A delivered frame is whole: its sections agree with its header.
    if (frame.meas_results.size() != frame.header.ancilla_count) std::abort();
    const auto events = decode_detector_rle(frame.detector_rle, frame.header.ancilla_count);
    if (events.size() != frame.header.ancilla_count) std::abort();
  }
  return 0;
}
