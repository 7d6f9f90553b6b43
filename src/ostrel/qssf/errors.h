#pragma once
// The error kinds of the frame format and the frame reader, with their fixed message texts.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace ostrel::qssf {

enum class QssfErrorKind : uint8_t {
  InvalidMagic = 0,
  UnsupportedVersion = 1,
  UnknownCodeType = 2,
  SchemaNotFound = 3,
  CrcMismatch = 4,
  ParityViolation = 5,
  TimingOffsetOutOfBounds = 6,
  PayloadLengthMismatch = 7,
  FrameIdBackwards = 8,
  FrameSchemaMismatch = 9,
  BroadcastLagged = 10,
  Io = 11,
  Json = 12,
  // A source that can no longer grow ended inside the stream header or a frame.
  Truncated = 13,
  // A frame's payload differs from its checksum extension entry.
  PayloadChecksumMismatch = 14,
};

using SchemaId = std::array<uint8_t, 16>;

// One error value. Which payload fields are meaningful depends on the kind; the constructors
// below are the only way to make one, so each kind carries exactly what its message shows.
struct QssfError {
  QssfErrorKind kind = QssfErrorKind::Io;
  uint64_t a = 0;          // first number of the payload
  uint64_t b = 0;          // second number of the payload
  uint64_t c = 0;          // third number (FrameSchemaMismatch frame value)
  SchemaId schema_id{};    // SchemaNotFound
  std::string text;        // FrameSchemaMismatch field name, Io and Json description
  int os_errno = 0;        // Io: the errno behind the failure, 0 when there is none
  // Truncated: a = bytes found, b = bytes expected (at least, unless `exact`), c = the frame's
  // index in the stream; the frame's id once its header has arrived. No id and index ~0: the
  // stream header was cut.
  std::optional<uint64_t> frame_id;
  bool exact = false;

  static QssfError invalid_magic(uint32_t got);
  static QssfError unsupported_version(uint16_t version);
  static QssfError unknown_code_type(uint8_t discriminant);
  static QssfError schema_not_found(const SchemaId& id);
  static QssfError crc_mismatch(uint32_t expected, uint32_t got);
  static QssfError parity_violation(uint64_t frame_id, uint64_t stabilizer_index);
  static QssfError timing_offset_out_of_bounds(uint64_t ancilla_index, uint16_t offset);
  static QssfError payload_length_mismatch(uint32_t declared, uint64_t found);
  static QssfError frame_id_backwards(uint64_t last_seen, uint64_t got);
  static QssfError frame_schema_mismatch(std::string field, uint32_t schema_value, uint32_t frame_value);
  static QssfError broadcast_lagged();
  // `description` is the platform's text for the error, e.g. "Connection refused (os error 111)".
  static QssfError io(std::string description, int os_errno = 0);
  static QssfError json(std::string description);
  static QssfError truncated_stream_header(uint64_t found);
  static QssfError truncated_frame(uint64_t index, std::optional<uint64_t> frame_id, uint64_t found,
                                   uint64_t expected, bool exact);
  // a = the CRC-32C of the payload as received, b = the value the frame's entry holds, c = the
  // frame's index in the stream.
  static QssfError payload_checksum_mismatch(uint64_t index, uint64_t frame_id, uint32_t expected,
                                             uint32_t got);

  std::string message() const;
};

// "00112233-4455-6677-8899-aabbccddeeff"
std::string format_uuid(const SchemaId& id);

}  // namespace ostrel::qssf
