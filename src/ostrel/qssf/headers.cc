#include "ostrel/qssf/headers.h"

#include <algorithm>

#include "ostrel/qssf/crc32.h"
#include "ostrel/util/bytes.h"

namespace ostrel::qssf {

Result<Parsed<StreamHeader>, QssfError> parse_stream_header(std::span<const uint8_t> bytes) {
  if (bytes.size() < STREAM_HEADER_LEN)
    return fail(QssfError::payload_length_mismatch(STREAM_HEADER_LEN, bytes.size()));
  const uint8_t* p = bytes.data();
  StreamHeader h;
  h.magic = load_le32(p);
  if (h.magic != QSSF_MAGIC) return fail(QssfError::invalid_magic(h.magic));
  h.version = load_le16(p + 4);
  if (h.version != QSSF_VERSION) return fail(QssfError::unsupported_version(h.version));
  std::copy_n(p + 6, h.schema_id.size(), h.schema_id.begin());
  h.reserved = load_le32(p + 22);
  return Parsed<StreamHeader>{h, STREAM_HEADER_LEN};
}

Result<Parsed<FrameHeader>, QssfError> parse_frame_header(std::span<const uint8_t> bytes) {
  if (bytes.size() < FRAME_HEADER_LEN)
    return fail(QssfError::payload_length_mismatch(FRAME_HEADER_LEN, bytes.size()));
  const uint8_t* p = bytes.data();
  const uint32_t stored = load_le32(p + 32);
  const uint32_t computed = crc32(bytes.first(32));
  if (stored != computed) return fail(QssfError::crc_mismatch(computed, stored));
  FrameHeader h;
  h.frame_id = load_le64(p);
  h.round = load_le32(p + 8);
  h.timestamp_ns = load_le64(p + 12);
  h.qubit_count = load_le16(p + 20);
  h.ancilla_count = load_le16(p + 22);
  h.reserved = load_le32(p + 24);
  h.code_type = p[28];
  h.distance = p[29];
  h.flags = load_le16(p + 30);
  h.header_crc = stored;
  return Parsed<FrameHeader>{h, FRAME_HEADER_LEN};
}

}  // namespace ostrel::qssf
