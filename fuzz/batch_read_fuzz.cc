// Batch reads against frame-by-frame reads of the same arbitrary byte stream.
//
// Input: a 5-byte prelude, then the stream.
//   byte 0: bit 0 set skips the semantic checks; bits 1-3 pick the ring size; bit 4 packs the
//           detector events into bits; bit 5 registers a hardware schema under the stream's own
//           schema id (so frames need the schema checks, which the buffered path leaves to the
//           single-frame read)
//   byte 1: chunk-size seed; byte 2: batch-size seed; byte 3: qubit count and byte 4: ancilla
//           count of the registered schema
// Both readers get the bytes in the same pieces. The batches, flattened, must give the same
// outcomes as the single reads: the same frames column for column, and the same error texts at
// the same places. Any difference aborts.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ostrel/driver/batch_reader.h"
#include "ostrel/io/frame_source.h"
#include "chunked_source.h"
#include "ostrel/qssf/byte_source.h"
#include "ostrel/qssf/frame_batch.h"
#include "ostrel/qssf/headers.h"
#include "ostrel/qssf/reader.h"
#include "ostrel/qssf/schema.h"

namespace {

using namespace ostrel;
using namespace ostrel::qssf;

using ostrel::fuzz::ChunkedSource;
using ostrel::fuzz::kRingSizes;
using ostrel::fuzz::next_state;

constexpr size_t kPrelude = 5;
constexpr int kMaxOutcomes = 1024;
constexpr int kMaxErrorsInARow = 8;

ReaderConfig make_config(const uint8_t* prelude, std::span<const uint8_t> stream) {
  ReaderConfig config;
  config.validation = prelude[0] & 1;
  config.ring_capacity = kRingSizes[(prelude[0] >> 1) & 7];
  if (prelude[0] & 32) {
    auto header = parse_stream_header(stream);
    if (header.ok()) {
      HardwareSchema schema;
      schema.schema_id = header->header.schema_id;
      schema.qubit_count = prelude[3];
      schema.ancilla_count = prelude[4];
      schema.code_type = "surface";
      config.schemas.emplace(schema.schema_id, std::move(schema));
    }
  }
  return config;
}

// One outcome of the stream: a frame as a one-row batch, or an error's text.
struct Outcome {
  std::vector<std::vector<uint8_t>> columns;  // empty for an error
  std::string error;
};

// A row's bytes in every column of a batch.
std::vector<std::vector<uint8_t>> row_of(FrameBatch& batch, uint64_t row) {
  std::vector<std::vector<uint8_t>> columns;
  for (size_t c = 0; c < kBatchColumns; ++c) {
    const auto column = BatchColumn(c);
    const size_t width = column == BatchColumn::DetectorEvents ? batch.event_row_bytes() : batch.element_bytes(column);
    const uint8_t* data = batch.column(column).data();
    if (width == 0) {
      columns.emplace_back();
      continue;
    }
    if (data == nullptr) std::abort();
    columns.emplace_back(data + row * width, data + (row + 1) * width);
  }
  return columns;
}

std::vector<Outcome> single_reads(std::span<const uint8_t> stream, const uint8_t* prelude, bool bit_packed) {
  ChunkedSource source(stream, prelude[1]);
  FrameReader reader(source, make_config(prelude, stream));
  ParsedFrame frame;
  std::vector<Outcome> outcomes;
  int errors_in_a_row = 0;
  while (outcomes.size() < kMaxOutcomes && errors_in_a_row < kMaxErrorsInARow) {
    auto read = reader.next_frame(frame);
    if (!read.ok()) {
      outcomes.push_back({{}, read.error().message()});
      ++errors_in_a_row;
      continue;
    }
    errors_in_a_row = 0;
    if (*read != ReadStatus::Frame) break;
    auto one = FrameBatch::allocate(1, frame.header.ancilla_count, bit_packed);
    if (!one.ok()) std::abort();
    one->append(frame);
    outcomes.push_back({row_of(*one, 0), {}});
  }
  return outcomes;
}

std::vector<Outcome> batch_reads(std::span<const uint8_t> stream, const uint8_t* prelude, bool bit_packed) {
  io::FrameSource source(std::make_unique<ChunkedSource>(stream, prelude[1]), make_config(prelude, stream));
  ParsedFrame frame;
  std::vector<Outcome> outcomes;
  uint32_t sizes = prelude[2] * 2246822519u + 1;
  const uint32_t largest = 1 + prelude[2] % 40;
  int errors_in_a_row = 0;
  while (outcomes.size() < kMaxOutcomes && errors_in_a_row < kMaxErrorsInARow) {
    const uint64_t max_frames = 1 + next_state(sizes) % largest;
    auto batch = driver::read_batch(source, frame, max_frames, bit_packed, nullptr);
    if (!batch.ok()) {
      outcomes.push_back({{}, driver::batch_error_message(batch.error())});
      ++errors_in_a_row;
      continue;
    }
    errors_in_a_row = 0;
    if (batch->size() == 0) break;
    if (batch->size() > max_frames || batch->bit_packed() != bit_packed) std::abort();
    for (uint64_t row = 0; row < batch->size() && outcomes.size() < kMaxOutcomes; ++row)
      outcomes.push_back({row_of(*batch, row), {}});
  }
  return outcomes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kPrelude) return 0;
  const std::span<const uint8_t> stream(data + kPrelude, size - kPrelude);
  const bool bit_packed = data[0] & 16;
  const std::vector<Outcome> single = single_reads(stream, data, bit_packed);
  const std::vector<Outcome> batched = batch_reads(stream, data, bit_packed);
  if (single.size() != batched.size()) std::abort();
  for (size_t i = 0; i < single.size(); ++i)
    if (single[i].columns != batched[i].columns || single[i].error != batched[i].error) std::abort();
  return 0;
}
