#pragma once
// The frame payload after the header: detector events (run-length encoded), measurement results,
// optional per-ancilla sections, extensions and annotations, and the trailer check.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ostrel/qssf/errors.h"
#include "ostrel/qssf/headers.h"
#include "ostrel/util/result.h"

namespace ostrel::qssf {

inline constexpr uint16_t FLAG_TIMING_OFFSETS = 0x0001;
inline constexpr uint16_t FLAG_ANCILLA_BITS = 0x0002;
inline constexpr uint16_t FLAG_EXTENSIONS = 0x0004;
inline constexpr uint16_t FLAG_ANNOTATIONS = 0x0008;
inline constexpr uint16_t TRAILER_MARKER = 0xFFFF;
inline constexpr size_t TRAILER_LEN = 6;
inline constexpr uint16_t MAX_TIMING_OFFSET_NS = 10000;
// The extension entry (4 bytes, u32) holding the CRC-32C of the frame's payload: the bytes from
// the end of the header to the start of the extension list (the RLE length, the detector RLE,
// the measurement results, and the timing offsets and ancilla bits when present), as sent.
// Readers that do not know the tag skip it.
inline constexpr uint16_t TAG_PAYLOAD_CRC32C = 17;

struct FrameExtensions {
  std::optional<std::string> ext_text;
  std::optional<uint32_t> ext_u32_a;
  std::optional<uint32_t> ext_u32_b;
  std::optional<uint8_t> ext_u8;
  std::optional<uint64_t> observable_flips;
  std::optional<uint32_t> payload_crc32c;  // TAG_PAYLOAD_CRC32C

  void clear() noexcept {
    ext_text.reset();
    ext_u32_a.reset();
    ext_u32_b.reset();
    ext_u8.reset();
    observable_flips.reset();
    payload_crc32c.reset();
  }
  // Applies one tagged entry: unknown tags and entries of the wrong length are ignored.
  void apply(uint16_t tag, std::span<const uint8_t> value);
};

struct FrameAnnotation {
  uint8_t lead_byte = 0;
  uint64_t value = 0;
  uint8_t trail_byte = 0;
};

struct ParsedFrame {
  FrameHeader header;
  std::vector<uint8_t> detector_rle;
  std::vector<int8_t> meas_results;
  std::vector<uint16_t> timing_offsets;
  std::vector<uint8_t> ancilla_bits;
  std::optional<FrameExtensions> extensions;
  std::optional<std::vector<FrameAnnotation>> annotations;
};

// Size of sections 2..5 (RLE bytes, measurement results, timing offsets, ancilla bits).
uint64_t fixed_payload_size(uint16_t rle_len, uint16_t ancilla_count, uint16_t flags);

// Expands run-length encoded detector events into exactly `n` values of 0 or 1 written to `out`;
// returns how many of them are 1 (runs past `n` are cut there).
uint32_t decode_detector_rle(std::span<const uint8_t> rle, std::span<uint8_t> out);
std::vector<uint8_t> decode_detector_rle(std::span<const uint8_t> rle, uint16_t n);
// Sum of the lengths of the set runs over the whole encoding.
uint32_t count_detector_events(std::span<const uint8_t> rle);

Result<Ok, QssfError> validate_timing_offsets(const ParsedFrame& frame);
Result<Ok, QssfError> check_trailer(std::span<const uint8_t, FRAME_HEADER_LEN> header_bytes,
                                    std::span<const uint8_t, TRAILER_LEN> trailer);
// The same check given the CRC of the header bytes.
Result<Ok, QssfError> check_trailer(uint32_t header_crc, std::span<const uint8_t, TRAILER_LEN> trailer);

// The CRC-32 of 36 header bytes whose last four hold the CRC of the first 32 (every header that
// passed its check) is always this residue, so a reader need not compute it again.
inline constexpr uint32_t VALID_HEADER_CRC = 0x2144DF1C;

}  // namespace ostrel::qssf
