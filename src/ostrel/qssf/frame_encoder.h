#pragma once
// Encodes QSSF bytes: the stream header, and frames from their fields, one byte per detector
// event and per measurement result, with an optional observable mask (the extension a reader
// turns into observable_flips). The writers of files, sockets and rings share it.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ostrel/qssf/errors.h"
#include "ostrel/qssf/headers.h"

namespace ostrel::qssf {

struct FrameFields {
  uint64_t frame_id = 0;
  uint32_t round = 0;
  uint64_t timestamp_ns = 0;
  uint16_t qubit_count = 0;
  uint8_t code_type = 1;
  uint8_t distance = 0;
  std::span<const uint8_t> detector_events;  // one per ancilla, non-zero = fired
  std::span<const int8_t> meas_results;      // empty: all zero; else one per ancilla
  std::optional<uint64_t> observable_flips;
};

// Appends the 26-byte stream header.
void encode_stream_header(const SchemaId& schema_id, std::vector<uint8_t>& out);
// Appends one frame; false (and nothing appended) when detector_events holds more than 65535
// values or meas_results is neither empty nor as long as detector_events.
bool encode_frame(const FrameFields& fields, std::vector<uint8_t>& out);
// What encode_frame refuses, and the most bytes a frame of these fields can take.
bool encodable(const FrameFields& fields) noexcept;
size_t max_frame_size(const FrameFields& fields) noexcept;
// Writes the frame of encodable fields at `out`, which has room for max_frame_size(fields) bytes;
// returns the end of what it wrote (the same bytes encode_frame appends).
uint8_t* encode_frame_into(const FrameFields& fields, uint8_t* out) noexcept;

}  // namespace ostrel::qssf
