#include "ostrel/qssf/reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "ostrel/qssf/crc32c.h"
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

Result<bool, QssfError> FrameReader::fill(uint64_t n, uint64_t rest, bool exact) {
  if (stop_ != Stop::None) return false;  // unwinds the call; next_frame says why
  while (ring_.unread() < n) {
    // The bytes from the rewind floor on must survive until the call ends, so that a call that
    // stops can be undone: reads never write over them.
    const uint64_t room = ring_.capacity() - (ring_.write_position() - rewind_floor());
    std::span<uint8_t> space = ring_.write_space();
    space = space.first(std::min<uint64_t>({space.size(), room, SOURCE_READ_CHUNK}));
    // A request that cannot fit beside the floor can never be met; reading on would lose bytes.
    if (space.empty()) return fail(short_of(n, ring_.unread()));
    auto got = source_.read(space);
    if (!got.ok()) {
      stop_ = Stop::Failed;
      failure_ = std::move(got).error();
      return false;
    }
    if (*got == ByteSource::kInterrupted) {
      stop_ = Stop::Interrupted;
      return false;
    }
    if (*got == 0) {
      stop_ = Stop::Ended;
      needed_ = ring_.read_position() + n + rest;
      needed_exact_ = exact;
      return false;
    }
    ring_.commit(*got);
  }
  return true;
}

std::span<const uint8_t> FrameReader::take(uint64_t n) {
  std::span<const uint8_t> bytes = *ring_.view(n, scratch_);
  ring_.advance(n);
  return bytes;
}

void FrameReader::begin_frame() noexcept {
  frame_origin_ = ring_.read_position();
  stage_ = Stage::Start;
  header_parsed_ = false;
  backwards_ = false;
}

namespace {

// The fixed payload after the RLE length (the RLE, the measurements, and the timing offsets and
// ancilla bits the flags announce) into `frame`; `p` holds all of it.
void take_fixed_payload(ParsedFrame& frame, const uint8_t* p, uint16_t rle_len, uint16_t n, uint16_t flags) {
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
}

}  // namespace

Result<ReadStatus, QssfError> FrameReader::next_frame(ParsedFrame& frame) {
  const std::optional<uint64_t> last_frame_id = last_frame_id_;
  stop_ = Stop::None;
  if (stage_ != Stage::Start) std::swap(frame, partial_);  // carry on with the frame read so far
  auto read = read_frame(frame);
  if (stop_ != Stop::None) return stopped(frame, last_frame_id);
  // An error that consumed nothing (a bad stream or frame header) meets the same bytes again.
  if (ring_.read_position() != frame_origin_ || stage_ != Stage::Start) ++frame_index_;
  begin_frame();
  return read;
}

Result<ReadStatus, QssfError> FrameReader::stopped(ParsedFrame& frame,
                                                   std::optional<uint64_t> last_frame_id) {
  const Stop stop = std::exchange(stop_, Stop::None);
  const uint64_t arrived = ring_.write_position() - frame_origin_;
  if (stop == Stop::Ended) {
    if (arrived == 0) return ReadStatus::EndOfStream;  // between frames: nothing is cut
    if (end_is_final_ || !source_.can_grow()) {
      // Reported once; its bytes are consumed, so the next call finds the end.
      QssfError error = header_read_
          ? QssfError::truncated_frame(frame_index_, header_parsed_ ? std::optional(frame.header.frame_id) : std::nullopt,
                                       arrived, needed_ - frame_origin_, needed_exact_)
          : QssfError::truncated_stream_header(arrived);
      ring_.advance(ring_.unread());
      if (header_read_) ++frame_index_;
      begin_frame();
      return fail(std::move(error));
    }
  }
  // Undone: the bytes stay buffered and the next call reads on from the floor.
  if (stage_ == Stage::Start) {
    ring_.rewind_to(frame_origin_);
    last_frame_id_ = last_frame_id;
    header_parsed_ = false;
    backwards_ = false;
  } else {
    ring_.rewind_to(stage_position_);
    std::swap(frame, partial_);
  }
  if (stop == Stop::Failed) {
    QssfError error = std::move(*failure_);
    failure_.reset();
    return fail(std::move(error));
  }
  return stop == Stop::Interrupted ? ReadStatus::Interrupted : ReadStatus::EndOfStream;
}

Result<ReadStatus, QssfError> FrameReader::read_frame(ParsedFrame& frame) {
  if (stage_ == Stage::Start) {
    if (!header_read_) {
      auto filled = fill(STREAM_HEADER_LEN, 0, true);
      if (!filled.ok()) return fail(std::move(filled).error());
      if (!*filled) return ReadStatus::EndOfStream;
      auto parsed = parse_stream_header(*ring_.view(STREAM_HEADER_LEN, scratch_));
      if (!parsed.ok()) return fail(std::move(parsed).error());
      schema_id_ = parsed->header.schema_id;
      ring_.advance(STREAM_HEADER_LEN);
      header_read_ = true;
      frame_origin_ = ring_.read_position();
    }

    if (read_whole_buffered(frame)) {
      if (config_.validation == 0) {
        auto valid = validate_frame(config_, schema_id_, frame);
        if (!valid.ok()) return fail(std::move(valid).error());
      }
      return ReadStatus::Frame;
    }

    auto filled = fill(FRAME_HEADER_LEN, 2 + TRAILER_LEN);
    if (!filled.ok()) return fail(std::move(filled).error());
    if (!*filled) return ReadStatus::EndOfStream;
    std::span<const uint8_t> header = *ring_.view(FRAME_HEADER_LEN, scratch_);
    auto parsed = parse_frame_header(header);
    if (!parsed.ok()) return fail(std::move(parsed).error());  // consumes nothing: same error again
    ring_.advance(FRAME_HEADER_LEN);
    frame.header = parsed->header;
    header_parsed_ = true;

    const uint64_t id = frame.header.frame_id;
    backwards_ = last_frame_id_.has_value() && id <= *last_frame_id_;
    last_seen_ = last_frame_id_.value_or(0);
    if (!backwards_) last_frame_id_ = id;
  }

  auto body = read_body(frame);
  if (stop_ != Stop::None) return body;
  if (backwards_) {
    // A rejected frame is still consumed whole so that the next call starts at the next frame.
    // Only a source that fails inside it reports that instead; a bad trailer does not.
    if (!body.ok() && body.error().kind != QssfErrorKind::CrcMismatch) return body;
    return fail(QssfError::frame_id_backwards(last_seen_, frame.header.frame_id));
  }
  if (!body.ok()) return body;
  // The frame has been consumed whole: a payload that differs from its checksum is reported and
  // the stream goes on with the next frame.
  if (frame.extensions && frame.extensions->payload_crc32c) {
    if (payload_crc_ != *frame.extensions->payload_crc32c)
      return fail(QssfError::payload_checksum_mismatch(frame_index_, frame.header.frame_id, payload_crc_,
                                                       *frame.extensions->payload_crc32c));
  }

  if (config_.validation == 0) {
    auto valid = validate_frame(config_, schema_id_, frame);
    if (!valid.ok()) return fail(std::move(valid).error());
  }
  return ReadStatus::Frame;
}

Result<ReadStatus, QssfError> FrameReader::read_body(ParsedFrame& frame) {
  if (stage_ == Stage::Extensions) {
    auto listed = read_extensions(frame);
    if (!listed.ok() || stop_ != Stop::None) return listed;
    return read_tail(frame);
  }
  if (stage_ == Stage::Tail) return read_tail(frame);

  const uint16_t n = frame.header.ancilla_count;
  const uint16_t flags = frame.header.flags;
  // What follows the fixed payload at the least: the lists' counts and the trailer.
  const uint64_t lists = (flags & FLAG_EXTENSIONS ? 2 : 0) + (flags & FLAG_ANNOTATIONS ? 1 : 0);
  const bool sized = lists == 0;  // without lists the header and M give the frame's whole size

  auto filled = fill(2, fixed_payload_size(0, n, flags) + lists + TRAILER_LEN, sized);
  if (!filled.ok()) return fail(std::move(filled).error());
  if (!*filled) return ReadStatus::EndOfStream;
  const uint16_t rle_len = load_le16(take(2).data());

  const uint64_t fixed = fixed_payload_size(rle_len, n, flags);
  filled = fill(fixed, lists + TRAILER_LEN, sized);
  if (!filled.ok()) return fail(std::move(filled).error());
  if (!*filled) return ReadStatus::EndOfStream;
  const std::span<const uint8_t> fixed_bytes = take(fixed);
  const uint8_t* p = fixed_bytes.data();
  if (flags & FLAG_EXTENSIONS) {
    // Only a frame with an extension list can carry a payload checksum: its CRC is taken here,
    // over the bytes as received, and compared once the list has been read.
    const uint8_t length[2] = {uint8_t(rle_len), uint8_t(rle_len >> 8)};
    payload_crc_ = crc32c_extend(crc32c(length), fixed_bytes);
  }
  take_fixed_payload(frame, p, rle_len, n, flags);

  if (!(flags & FLAG_EXTENSIONS)) frame.extensions.reset();
  if (flags & FLAG_EXTENSIONS) {
    filled = fill(2, lists - 2 + TRAILER_LEN);
    if (!filled.ok()) return fail(std::move(filled).error());
    if (!*filled) return ReadStatus::EndOfStream;
    entry_count_ = load_le16(take(2).data());
    next_entry_ = 0;
    // Reused in place: frames of a stream mostly all carry a list, or none do.
    if (frame.extensions)
      frame.extensions->clear();
    else
      frame.extensions.emplace();
    auto listed = read_extensions(frame);
    if (!listed.ok() || stop_ != Stop::None) return listed;
  }
  return read_tail(frame);
}

Result<ReadStatus, QssfError> FrameReader::read_extensions(ParsedFrame& frame) {
  const bool annotations = frame.header.flags & FLAG_ANNOTATIONS;
  FrameExtensions& ext = *frame.extensions;
  // Entries already buffered in one stretch of the ring are read in place.
  const std::span<const uint8_t> buffered = ring_.contiguous_unread();
  size_t used = 0;
  while (next_entry_ < entry_count_ && buffered.size() - used >= 4) {
    const uint16_t len = load_le16(buffered.data() + used + 2);
    if (buffered.size() - used - 4 < len) break;
    ext.apply(load_le16(buffered.data() + used), buffered.subspan(used + 4, len));
    used += 4 + size_t(len);
    ++next_entry_;
  }
  ring_.advance(used);
  for (; next_entry_ < entry_count_; ++next_entry_) {
    // Once an entry might not fit beside the frame's first byte, the frame can no longer be read
    // again from its start: each entry becomes the point a stopped call resumes from.
    const uint64_t start = ring_.read_position();
    if (stage_ != Stage::Start || start + 4 + UINT16_MAX - frame_origin_ > ring_.capacity()) {
      stage_ = Stage::Extensions;
      stage_position_ = start;
    }
    const bool last = next_entry_ + 1 == entry_count_;
    const uint64_t later = 4 * uint64_t(entry_count_ - next_entry_ - 1) + (annotations ? 1 : 0) + TRAILER_LEN;
    auto filled = fill(4, later);
    if (!filled.ok()) return fail(std::move(filled).error());
    if (!*filled) return ReadStatus::EndOfStream;
    std::span<const uint8_t> head = *ring_.view(4, scratch_);
    const uint16_t tag = load_le16(head.data());
    const uint16_t len = load_le16(head.data() + 2);
    // The entry is filled whole before any of it is consumed, so that it stays above the floor.
    filled = fill(4 + uint64_t(len), later, last && !annotations);
    if (!filled.ok()) return fail(std::move(filled).error());
    if (!*filled) return ReadStatus::EndOfStream;
    ring_.advance(4);
    ext.apply(tag, take(len));
  }
  return ReadStatus::Frame;
}

Result<ReadStatus, QssfError> FrameReader::read_tail(ParsedFrame& frame) {
  const uint16_t flags = frame.header.flags;
  constexpr uint64_t kLongestTail = 1 + 10 * 255 + TRAILER_LEN;
  const uint64_t start = ring_.read_position();
  if (stage_ != Stage::Start || start + kLongestTail - frame_origin_ > ring_.capacity()) {
    stage_ = Stage::Tail;
    stage_position_ = start;
  }

  frame.annotations.reset();
  if (flags & FLAG_ANNOTATIONS) {
    auto filled = fill(1, TRAILER_LEN);
    if (!filled.ok()) return fail(std::move(filled).error());
    if (!*filled) return ReadStatus::EndOfStream;
    const uint8_t count = take(1)[0];
    auto& list = frame.annotations.emplace();
    if (count > 0) {
      const uint64_t size = 10 * uint64_t(count);
      filled = fill(size, TRAILER_LEN, true);
      if (!filled.ok()) return fail(std::move(filled).error());
      if (!*filled) return ReadStatus::EndOfStream;
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

  auto filled = fill(TRAILER_LEN, 0, true);
  if (!filled.ok()) return fail(std::move(filled).error());
  if (!*filled) return ReadStatus::EndOfStream;
  std::span<const uint8_t> trailer = take(TRAILER_LEN);
  // A bad trailer is consumed too, so one damaged frame does not stall the stream.
  // Only frames whose header passed its CRC get here, so the header's CRC is the residue.
  auto checked = check_trailer(VALID_HEADER_CRC, trailer.first<TRAILER_LEN>());
  if (!checked.ok()) return fail(std::move(checked).error());
  return ReadStatus::Frame;
}

bool FrameReader::read_whole_buffered(ParsedFrame& frame) {
  // With nothing buffered, bytes the source holds in memory are parsed where they are.
  if (ring_.unread() == 0) {
    const uint64_t n = read_whole(source_.in_place(), frame);
    if (n == 0) return false;
    source_.consume_in_place(n);
    ring_.pass(n);
    return true;
  }
  const uint64_t n = read_whole(ring_.contiguous_unread(), frame);
  ring_.advance(n);
  return n != 0;
}

uint64_t FrameReader::read_whole(std::span<const uint8_t> bytes, ParsedFrame& frame) {
  const uint8_t* const end = bytes.data() + bytes.size();
  const uint8_t* q = bytes.data();
  // Every length below is checked against what is left before it is read.
  if (size_t(end - q) < FRAME_HEADER_LEN + 2) return 0;
  auto parsed = parse_frame_header(std::span<const uint8_t>(q, FRAME_HEADER_LEN));
  if (!parsed.ok()) return 0;
  const FrameHeader& header = parsed->header;
  if (last_frame_id_.has_value() && header.frame_id <= *last_frame_id_) return 0;
  const uint16_t flags = header.flags;
  if (flags & FLAG_ANNOTATIONS) return 0;
  const uint16_t n = header.ancilla_count;
  q += FRAME_HEADER_LEN;
  const uint16_t rle_len = load_le16(q);
  q += 2;
  const uint64_t fixed = fixed_payload_size(rle_len, n, flags);
  if (uint64_t(end - q) < fixed) return 0;
  const uint8_t* const payload = q;
  q += fixed;
  const uint8_t* extensions = nullptr;
  uint16_t entries = 0;
  if (flags & FLAG_EXTENSIONS) {
    if (end - q < 2) return 0;
    entries = load_le16(q);
    q += 2;
    extensions = q;
    std::optional<uint32_t> checksum;
    for (uint16_t i = 0; i < entries; ++i) {
      if (end - q < 4) return 0;
      const uint16_t tag = load_le16(q);
      const uint16_t len = load_le16(q + 2);
      q += 4;
      if (end - q < len) return 0;
      if (tag == TAG_PAYLOAD_CRC32C && len == 4) checksum = load_le32(q);
      q += len;
    }
    // A payload that fails its checksum is left to the step-by-step read, which reports it.
    if (checksum && crc32c(std::span<const uint8_t>(payload - 2, 2 + fixed)) != *checksum) return 0;
  }
  if (size_t(end - q) < TRAILER_LEN) return 0;
  if (!check_trailer(VALID_HEADER_CRC, std::span<const uint8_t, TRAILER_LEN>(q, TRAILER_LEN)).ok()) return 0;
  q += TRAILER_LEN;

  // Sound and whole: taken as read_header, read_body and read_tail would take it.
  frame.header = header;
  const uint8_t* p = payload;
  take_fixed_payload(frame, p, rle_len, n, flags);
  frame.extensions.reset();
  if (flags & FLAG_EXTENSIONS) {
    FrameExtensions& ext = frame.extensions.emplace();
    for (uint16_t i = 0; i < entries; ++i) {
      const uint16_t tag = load_le16(extensions);
      // Read again from bytes a writer may share (a ring): held within what the first pass saw.
      const ptrdiff_t room = std::max<ptrdiff_t>(0, (q - TRAILER_LEN) - (extensions + 4));
      const size_t len = std::min<size_t>(load_le16(extensions + 2), size_t(room));
      ext.apply(tag, std::span<const uint8_t>(extensions + 4, len));
      extensions += 4 + len;
    }
  }
  frame.annotations.reset();
  header_parsed_ = true;
  last_frame_id_ = header.frame_id;
  return uint64_t(q - bytes.data());
}

uint64_t FrameReader::append_buffered_frames(FrameBatch& batch, uint64_t max_frames) {
  if (!header_read_ || stage_ != Stage::Start) return 0;
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
    const uint8_t* const payload = q;
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
    std::optional<uint32_t> checksum;
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
        } else if (tag == TAG_PAYLOAD_CRC32C && len == 4) {
          checksum = load_le32(q);
        }
        q += len;
      }
      if (!whole) break;
      // A payload that fails its checksum is left for next_frame to report.
      if (checksum && crc32c(std::span<const uint8_t>(payload, 2 + fixed)) != *checksum) break;
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

    batch.append(header, rle, meas, has_mask ? &mask : nullptr, checksum.has_value());
    last_frame_id_ = header.frame_id;
    p = q;
    ++appended;
  }
  ring_.advance(uint64_t(p - bytes.data()));
  frame_index_ += appended;
  begin_frame();
  return appended;
}

}  // namespace ostrel::qssf
