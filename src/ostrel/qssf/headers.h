#pragma once
// Stream header (once per stream) and frame header (once per frame, protected by its CRC-32).
#include <cstdint>
#include <span>

#include "ostrel/qssf/errors.h"
#include "ostrel/util/result.h"

namespace ostrel::qssf {

inline constexpr uint32_t QSSF_MAGIC = 0x51535346;
inline constexpr uint16_t QSSF_VERSION = 1;
inline constexpr size_t STREAM_HEADER_LEN = 26;
inline constexpr size_t FRAME_HEADER_LEN = 36;

struct StreamHeader {
  uint32_t magic = 0;
  uint16_t version = 0;
  SchemaId schema_id{};
  uint32_t reserved = 0;
};

struct FrameHeader {
  uint64_t frame_id = 0;
  uint32_t round = 0;
  uint64_t timestamp_ns = 0;
  uint16_t qubit_count = 0;
  uint16_t ancilla_count = 0;
  uint32_t reserved = 0;
  uint8_t code_type = 0;
  uint8_t distance = 0;
  uint16_t flags = 0;
  uint32_t header_crc = 0;
};

template <class H>
struct Parsed {
  H header;
  size_t size;
};

// Both look only at the first bytes of `bytes` and consume nothing.
Result<Parsed<StreamHeader>, QssfError> parse_stream_header(std::span<const uint8_t> bytes);
Result<Parsed<FrameHeader>, QssfError> parse_frame_header(std::span<const uint8_t> bytes);

}  // namespace ostrel::qssf
