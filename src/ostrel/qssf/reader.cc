#include "ostrel/qssf/reader.h"

#include <algorithm>
#include <cstring>

#include "ostrel/qssf/schema.h"
#include "ostrel/qssf/validation.h"
#include "ostrel/util/bytes.h"

namespace ostrel::qssf {
namespace {

QssfError short_of(uint64_t declared, uint64_t found) {
  return QssfError::payload_length_mismatch(uint32_t(std::min<uint64_t>(declared, UINT32_MAX)),
                                            found);
}

}  // namespace

FrameReader::FrameReader(ByteSource& source, ReaderConfig config)
    : source_(source), config_(std::move(config)), ring_(config_.ring_capacity) {
  scratch_.reserve(SOURCE_READ_CHUNK);
}

Result<bool, QssfError> FrameReader::fill(uint64_t n) {
  if (interrupted_) return false;  // unwinds the call; next_frame reports the interruption
  while (ring_.unread() < n) {
    std::span<uint8_t> space = ring_.write_space();
    // A request larger than the whole ring can never be met; reading on would lose bytes.
    if (space.empty()) return fail(short_of(n, ring_.unread()));
    if (space.size() > SOURCE_READ_CHUNK) space = space.first(SOURCE_READ_CHUNK);
    auto got = source_.read(space);
    if (!got.ok()) return fail(std::move(got).error());
    if (*got == ByteSource::kInterrupted) {
      // Honoured only while the call can still be undone. A frame longer than the ring (only
      // possible with a huge extension list) cannot be: the rest of it is read without further
      // checks, and the caller, whose check has acted, decides what the frame is worth.
      if (!ring_.can_rewind_to(frame_start_)) {
        source_.set_interrupt(nullptr);
        continue;
      }
      interrupted_ = true;
      return false;
    }
    if (*got == 0) return false;
    ring_.commit(*got);
  }
  return true;
}

std::span<const uint8_t> FrameReader::take(uint64_t n) {
  std::span<const uint8_t> bytes = *ring_.view(n, scratch_);
  ring_.advance(n);
  return bytes;
}

Result<ReadStatus, QssfError> FrameReader::next_frame(ParsedFrame& frame) {
  frame_start_ = ring_.read_position();
  const bool header_was_read = header_read_;
  const std::optional<uint64_t> last_frame_id = last_frame_id_;
  interrupted_ = false;
  auto read = read_frame(frame);
  if (!interrupted_) return read;
  // Whatever the cut-short call concluded, it is undone: the bytes stay buffered and the next
  // call parses the same frame from its start.
  interrupted_ = false;
  ring_.rewind_to(frame_start_);
  header_read_ = header_was_read;
  last_frame_id_ = last_frame_id;
  return ReadStatus::Interrupted;
}

Result<ReadStatus, QssfError> FrameReader::read_frame(ParsedFrame& frame) {
  if (!header_read_) {
    auto filled = fill(STREAM_HEADER_LEN);
    if (!filled.ok()) return fail(std::move(filled).error());
    if (!*filled) return ReadStatus::EndOfStream;
    auto parsed = parse_stream_header(*ring_.view(STREAM_HEADER_LEN, scratch_));
    if (!parsed.ok()) return fail(std::move(parsed).error());
    schema_id_ = parsed->header.schema_id;
    ring_.advance(STREAM_HEADER_LEN);
    header_read_ = true;
  }

  auto filled = fill(FRAME_HEADER_LEN);
  if (!filled.ok()) return fail(std::move(filled).error());
  if (!*filled) return ReadStatus::EndOfStream;
  std::span<const uint8_t> header = *ring_.view(FRAME_HEADER_LEN, scratch_);
  auto parsed = parse_frame_header(header);
  if (!parsed.ok()) return fail(std::move(parsed).error());  // consumes nothing: same error again
  ring_.advance(FRAME_HEADER_LEN);
  frame.header = parsed->header;

  const uint64_t id = frame.header.frame_id;
  const bool backwards = last_frame_id_.has_value() && id <= *last_frame_id_;
  const uint64_t last_seen = last_frame_id_.value_or(0);
  if (!backwards) last_frame_id_ = id;

  auto body = read_body(frame);
  if (backwards) {
    // A rejected frame is still consumed whole so that the next call starts at the next frame.
    // Only a source that ends (or fails) inside it reports that instead; a bad trailer does not.
    if (!body.ok() && body.error().kind != QssfErrorKind::CrcMismatch) return body;
    return fail(QssfError::frame_id_backwards(last_seen, id));
  }
  if (!body.ok()) return body;

  if (config_.validation == 0) {
    auto valid = validate_frame(config_, schema_id_, frame);
    if (!valid.ok()) return fail(std::move(valid).error());
  }
  return ReadStatus::Frame;
}

Result<ReadStatus, QssfError> FrameReader::read_body(ParsedFrame& frame) {
  const uint16_t n = frame.header.ancilla_count;
  const uint16_t flags = frame.header.flags;

  auto filled = fill(2);
  if (!filled.ok()) return fail(std::move(filled).error());
  if (!*filled) return fail(short_of(2, ring_.unread()));
  const uint16_t rle_len = load_le16(take(2).data());

  const uint64_t fixed = fixed_payload_size(rle_len, n, flags);
  filled = fill(fixed);
  if (!filled.ok()) return fail(std::move(filled).error());
  if (!*filled) return fail(short_of(fixed, ring_.unread()));
  const uint8_t* p = take(fixed).data();
  frame.detector_rle.assign(p, p + rle_len);
  p += rle_len;
  frame.meas_results.resize(n);
  if (n) std::memcpy(frame.meas_results.data(), p, n);
  p += n;
  if (flags & FLAG_TIMING_OFFSETS) {
    frame.timing_offsets.resize(n);
    for (size_t i = 0; i < n; ++i, p += 2) frame.timing_offsets[i] = load_le16(p);
  } else {
    frame.timing_offsets.clear();
  }
  if (flags & FLAG_ANCILLA_BITS) {
    frame.ancilla_bits.assign(p, p + (size_t(n) + 7) / 8);
  } else {
    frame.ancilla_bits.clear();
  }

  frame.extensions.reset();
  if (flags & FLAG_EXTENSIONS) {
    filled = fill(2);
    if (!filled.ok()) return fail(std::move(filled).error());
    if (!*filled) return fail(short_of(2, ring_.unread()));
    const uint16_t count = load_le16(take(2).data());
    FrameExtensions& ext = frame.extensions.emplace();
    // A list cut short by the end of the source keeps the entries read so far.
    for (uint16_t i = 0; i < count; ++i) {
      filled = fill(4);
      if (!filled.ok()) return fail(std::move(filled).error());
      if (!*filled) break;
      std::span<const uint8_t> entry = take(4);
      const uint16_t tag = load_le16(entry.data());
      const uint16_t len = load_le16(entry.data() + 2);
      filled = fill(len);
      if (!filled.ok()) return fail(std::move(filled).error());
      if (!*filled) break;
      ext.apply(tag, take(len));
    }
  }

  frame.annotations.reset();
  if (flags & FLAG_ANNOTATIONS) {
    filled = fill(1);
    if (!filled.ok()) return fail(std::move(filled).error());
    if (!*filled) return fail(short_of(1, ring_.unread()));
    const uint8_t count = take(1)[0];
    auto& list = frame.annotations.emplace();
    if (count > 0) {
      const uint64_t size = 10 * uint64_t(count);
      filled = fill(size);
      if (!filled.ok()) return fail(std::move(filled).error());
      if (!*filled) return fail(short_of(size, ring_.unread()));
      const uint8_t* a = take(size).data();
      list.resize(count);
      for (auto& note : list) {
        note.lead_byte = a[0];
        note.value = load_le64(a + 1);
        note.trail_byte = a[9];
        a += 10;
      }
    }
  }

  filled = fill(TRAILER_LEN);
  if (!filled.ok()) return fail(std::move(filled).error());
  if (!*filled) return ReadStatus::Frame;  // a last frame may end without its trailer
  std::span<const uint8_t> trailer = take(TRAILER_LEN);
  // A bad trailer is consumed too, so one damaged frame does not stall the stream.
  // Only frames whose header passed its CRC get here, so the header's CRC is the residue.
  auto checked = check_trailer(VALID_HEADER_CRC, trailer.first<TRAILER_LEN>());
  if (!checked.ok()) return fail(std::move(checked).error());
  return ReadStatus::Frame;
}

uint64_t FrameReader::append_buffered_frames(FrameBatch& batch, uint64_t max_frames) {
  if (!header_read_) return 0;
  // Frames of a stream whose schema is registered get the schema checks, which need a whole
  // ParsedFrame; only the timing bounds are checked here.
  const bool checked = config_.validation == 0;
  if (checked && lookup_schema(config_.schemas, schema_id_).ok()) return 0;

  const uint16_t n = batch.ancilla_count();
  const std::span<const uint8_t> bytes = ring_.contiguous_unread();
  const uint8_t* const end = bytes.data() + bytes.size();
  const uint8_t* p = bytes.data();
  uint64_t appended = 0;
  while (batch.size() < max_frames) {
    // Every length below is checked against what is left before it is read.
    const uint8_t* q = p;
    if (size_t(end - q) < FRAME_HEADER_LEN + 2) break;
    if (load_le16(q + 22) != n) break;
    auto parsed = parse_frame_header(std::span<const uint8_t>(q, FRAME_HEADER_LEN));
    if (!parsed.ok()) break;
    const FrameHeader& header = parsed->header;
    if (last_frame_id_.has_value() && header.frame_id <= *last_frame_id_) break;
    q += FRAME_HEADER_LEN;
    const uint16_t flags = header.flags;
    const uint16_t rle_len = load_le16(q);
    q += 2;
    const uint64_t fixed = fixed_payload_size(rle_len, n, flags);
    if (uint64_t(end - q) < fixed) break;
    const std::span<const uint8_t> rle(q, rle_len);
    const uint8_t* meas = q + rle_len;
    if (checked && (flags & FLAG_TIMING_OFFSETS)) {
      const uint8_t* offsets = meas + n;
      bool in_bounds = true;
      for (size_t i = 0; i < n; ++i) in_bounds &= load_le16(offsets + 2 * i) <= MAX_TIMING_OFFSET_NS;
      if (!in_bounds) break;
    }
    q += fixed;

    // Of the extensions only the observable mask goes into a batch; entries apply in order, so
    // the last well-formed mask is the frame's.
    uint64_t mask = 0;
    bool has_mask = false;
    bool whole = true;
    if (flags & FLAG_EXTENSIONS) {
      if (end - q < 2) break;
      const uint16_t count = load_le16(q);
      q += 2;
      for (uint16_t i = 0; i < count && whole; ++i) {
        if (end - q < 4) {
          whole = false;
          break;
        }
        const uint16_t tag = load_le16(q);
        const uint16_t len = load_le16(q + 2);
        q += 4;
        if (end - q < len) {
          whole = false;
          break;
        }
        if (tag == 16 && len == 8) {
          mask = load_le64(q);
          has_mask = true;
        }
        q += len;
      }
      if (!whole) break;
    }
    if (flags & FLAG_ANNOTATIONS) {
      if (end - q < 1) break;
      const size_t size = 10 * size_t(q[0]);
      ++q;
      if (size_t(end - q) < size) break;
      q += size;
    }
    if (size_t(end - q) < TRAILER_LEN) break;
    if (load_le16(q) != TRAILER_MARKER || load_le32(q + 2) != VALID_HEADER_CRC) break;
    q += TRAILER_LEN;

    batch.append(header, rle, meas, has_mask ? &mask : nullptr);
    last_frame_id_ = header.frame_id;
    p = q;
    ++appended;
  }
  ring_.advance(uint64_t(p - bytes.data()));
  return appended;
}

}  // namespace ostrel::qssf
