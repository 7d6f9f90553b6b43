#include "ostrel/qssf/payload.h"

#include <algorithm>
#include <cstring>

#include "ostrel/qssf/crc32.h"
#include "ostrel/util/bytes.h"
#include "ostrel/util/utf8.h"

namespace ostrel::qssf {

void FrameExtensions::apply(uint16_t tag, std::span<const uint8_t> value) {
  switch (tag) {
    case 1:
      if (is_valid_utf8(value))
        ext_text.emplace(reinterpret_cast<const char*>(value.data()), value.size());
      else
        ext_text.reset();
      break;
    case 2:
      if (value.size() == 4) ext_u32_a = load_le32(value.data());
      break;
    case 3:
      if (value.size() == 4) ext_u32_b = load_le32(value.data());
      break;
    case 4:
      if (value.size() == 1) ext_u8 = value[0];
      break;
    case 16:
      if (value.size() == 8) observable_flips = load_le64(value.data());
      break;
    case TAG_PAYLOAD_CRC32C:
      if (value.size() == 4) payload_crc32c = load_le32(value.data());
      break;
    default:
      break;
  }
}

uint64_t fixed_payload_size(uint16_t rle_len, uint16_t ancilla_count, uint16_t flags) {
  uint64_t n = ancilla_count;
  uint64_t size = uint64_t(rle_len) + n;
  if (flags & FLAG_ANCILLA_BITS) size += (n + 7) / 8;
  if (flags & FLAG_TIMING_OFFSETS) size += 2 * n;
  return size;
}

uint32_t decode_detector_rle(std::span<const uint8_t> rle, std::span<uint8_t> out) {
  // Clears the row once and writes only the set runs: events are mostly sparse.
  const size_t n = out.size();
  if (n) std::memset(out.data(), 0, n);
  size_t pos = 0;
  uint32_t fired = 0;
  for (uint8_t b : rle) {
    if (pos == n) break;
    const size_t len = std::min<size_t>(b & 0x7F, n - pos);
    if (b & 0x80) {
      // Most set runs are a single event: a store, not a call.
      if (len == 1)
        out[pos] = 1;
      else if (len)
        std::memset(out.data() + pos, 1, len);
      fired += uint32_t(len);
    }
    pos += len;
  }
  return fired;
}

std::vector<uint8_t> decode_detector_rle(std::span<const uint8_t> rle, uint16_t n) {
  std::vector<uint8_t> out(n);
  decode_detector_rle(rle, std::span<uint8_t>(out));
  return out;
}

uint32_t count_detector_events(std::span<const uint8_t> rle) {
  uint32_t count = 0;
  for (uint8_t b : rle)
    if (b & 0x80) count += b & 0x7F;
  return count;
}

Result<Ok, QssfError> validate_timing_offsets(const ParsedFrame& frame) {
  for (size_t i = 0; i < frame.timing_offsets.size(); ++i)
    if (frame.timing_offsets[i] > MAX_TIMING_OFFSET_NS)
      return fail(QssfError::timing_offset_out_of_bounds(i, frame.timing_offsets[i]));
  return Ok{};
}

Result<Ok, QssfError> check_trailer(std::span<const uint8_t, FRAME_HEADER_LEN> header_bytes,
                                    std::span<const uint8_t, TRAILER_LEN> trailer) {
  return check_trailer(crc32(header_bytes), trailer);
}

Result<Ok, QssfError> check_trailer(uint32_t computed, std::span<const uint8_t, TRAILER_LEN> trailer) {
  const uint16_t marker = load_le16(trailer.data());
  const uint32_t stored = load_le32(trailer.data() + 2);
  if (marker != TRAILER_MARKER || stored != computed)
    return fail(QssfError::crc_mismatch(computed, stored));
  return Ok{};
}

}  // namespace ostrel::qssf
