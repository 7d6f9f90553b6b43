#include "ostrel/qssf/errors.h"

#include <cstdio>
#include <string>

namespace ostrel::qssf {
namespace {

std::string hex32(uint64_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", unsigned(v));
  return buf;
}

QssfError make(QssfErrorKind kind, uint64_t a = 0, uint64_t b = 0, uint64_t c = 0) {
  QssfError e;
  e.kind = kind;
  e.a = a;
  e.b = b;
  e.c = c;
  return e;
}

}  // namespace

QssfError QssfError::invalid_magic(uint32_t got) { return make(QssfErrorKind::InvalidMagic, got); }
QssfError QssfError::unsupported_version(uint16_t version) {
  return make(QssfErrorKind::UnsupportedVersion, version);
}
QssfError QssfError::unknown_code_type(uint8_t discriminant) {
  return make(QssfErrorKind::UnknownCodeType, discriminant);
}
QssfError QssfError::schema_not_found(const SchemaId& id) {
  QssfError e = make(QssfErrorKind::SchemaNotFound);
  e.schema_id = id;
  return e;
}
QssfError QssfError::crc_mismatch(uint32_t expected, uint32_t got) {
  return make(QssfErrorKind::CrcMismatch, expected, got);
}
QssfError QssfError::parity_violation(uint64_t frame_id, uint64_t stabilizer_index) {
  return make(QssfErrorKind::ParityViolation, frame_id, stabilizer_index);
}
QssfError QssfError::timing_offset_out_of_bounds(uint64_t ancilla_index, uint16_t offset) {
  return make(QssfErrorKind::TimingOffsetOutOfBounds, ancilla_index, offset);
}
QssfError QssfError::payload_length_mismatch(uint32_t declared, uint64_t found) {
  return make(QssfErrorKind::PayloadLengthMismatch, declared, found);
}
QssfError QssfError::frame_id_backwards(uint64_t last_seen, uint64_t got) {
  return make(QssfErrorKind::FrameIdBackwards, last_seen, got);
}
QssfError QssfError::frame_schema_mismatch(std::string field, uint32_t schema_value,
                                           uint32_t frame_value) {
  QssfError e = make(QssfErrorKind::FrameSchemaMismatch, schema_value, frame_value);
  e.text = std::move(field);
  return e;
}
QssfError QssfError::broadcast_lagged() { return make(QssfErrorKind::BroadcastLagged); }
QssfError QssfError::io(std::string description, int os_errno) {
  QssfError e = make(QssfErrorKind::Io);
  e.text = std::move(description);
  e.os_errno = os_errno;
  return e;
}
QssfError QssfError::json(std::string description) {
  QssfError e = make(QssfErrorKind::Json);
  e.text = std::move(description);
  return e;
}

QssfError QssfError::truncated_stream_header(uint64_t found) {
  return make(QssfErrorKind::Truncated, found, 26, UINT64_MAX);
}
QssfError QssfError::truncated_frame(uint64_t index, std::optional<uint64_t> frame_id, uint64_t found,
                                     uint64_t expected, bool exact) {
  QssfError e = make(QssfErrorKind::Truncated, found, expected, index);
  e.frame_id = frame_id;
  e.exact = exact;
  return e;
}

QssfError QssfError::payload_checksum_mismatch(uint64_t index, uint64_t frame_id, uint32_t expected,
                                               uint32_t got) {
  QssfError e = make(QssfErrorKind::PayloadChecksumMismatch, expected, got, index);
  e.frame_id = frame_id;
  return e;
}

std::string QssfError::message() const {
  using std::to_string;
  switch (kind) {
    case QssfErrorKind::InvalidMagic:
      return "invalid QSSF magic bytes: expected 0x51535346, got " + hex32(a);
    case QssfErrorKind::UnsupportedVersion:
      return "unsupported QSSF format version: " + to_string(a);
    case QssfErrorKind::UnknownCodeType: {
      char buf[8];
      std::snprintf(buf, sizeof buf, "0x%02x", unsigned(a & 0xFF));
      return std::string("unknown code type discriminant: ") + buf;
    }
    case QssfErrorKind::SchemaNotFound:
      return "schema not found for id " + format_uuid(schema_id);
    case QssfErrorKind::CrcMismatch:
      return "CRC32 mismatch: expected " + hex32(a) + ", got " + hex32(b);
    case QssfErrorKind::ParityViolation:
      return "parity violation in frame " + to_string(a) + " at stabilizer index " + to_string(b);
    case QssfErrorKind::TimingOffsetOutOfBounds:
      return "timing offset out of bounds: ancilla " + to_string(a) + ", offset " + to_string(b) +
             " ns";
    case QssfErrorKind::PayloadLengthMismatch:
      return "payload length mismatch: header declares " + to_string(a) + " bytes, found " +
             to_string(b);
    case QssfErrorKind::FrameIdBackwards:
      return "frame ID went backwards: last seen " + to_string(a) + ", got " + to_string(b);
    case QssfErrorKind::FrameSchemaMismatch:
      return "frame/schema mismatch on " + text + ": schema expects " + to_string(a) +
             ", frame has " + to_string(b);
    case QssfErrorKind::BroadcastLagged:
      return "broadcast channel lagged: frames were dropped";
    case QssfErrorKind::Io:
      return "i/o error: " + text;
    case QssfErrorKind::Json:
      return "json schema error: " + text;
    case QssfErrorKind::Truncated: {
      if (c == UINT64_MAX)
        return "truncated stream header: the stream ends after " + to_string(a) + " of its 26 bytes";
      std::string out = "truncated frame at index " + to_string(c);
      if (frame_id) out += " (frame id " + to_string(*frame_id) + ")";
      return out + ": the stream ends after " + to_string(a) + (exact ? " of its " : " of at least ") +
             to_string(b) + " bytes";
    }
    case QssfErrorKind::PayloadChecksumMismatch:
      return "payload checksum mismatch in frame at index " + to_string(c) + " (frame id " +
             to_string(frame_id.value_or(0)) + "): CRC-32C expected " + hex32(a) + ", got " + hex32(b);
  }
  return "unknown QSSF error";
}

std::string format_uuid(const SchemaId& id) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < id.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[id[i] >> 4]);
    out.push_back(kHex[id[i] & 0xF]);
  }
  return out;
}

}  // namespace ostrel::qssf
