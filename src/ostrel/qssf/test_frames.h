#pragma once
// Builders of QSSF bytes for the unit tests, and an in-memory byte source that delivers them in
// pieces of a chosen size.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ostrel/qssf/byte_source.h"
#include "ostrel/qssf/crc32.h"
#include "ostrel/qssf/crc32c.h"

namespace ostrel::qssf::testing {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
inline void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline void put64(Bytes& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

inline Bytes stream_header(uint32_t magic = 0x51535346, uint16_t version = 1) {
  Bytes b;
  put32(b, magic);
  put16(b, version);
  for (uint8_t i = 0; i < 16; ++i) b.push_back(uint8_t(i * 0x11));
  put32(b, 0xDEADBEEF);
  return b;
}

struct FrameSpec {
  uint64_t frame_id = 1;
  uint32_t round = 0;
  uint64_t timestamp_ns = 0;
  uint16_t qubit_count = 17;
  uint8_t code_type = 1;
  uint8_t distance = 3;
  uint16_t extra_flags = 0;
  Bytes rle;
  std::vector<int8_t> meas;  // its size is the ancilla count
  std::optional<std::vector<uint16_t>> timing;
  std::optional<Bytes> ancilla_bits;
  std::optional<std::vector<std::pair<uint16_t, Bytes>>> extensions;
  std::optional<std::vector<std::pair<uint8_t, uint64_t>>> annotations;
  bool bad_header_crc = false;
  std::optional<Bytes> trailer;  // default: the valid trailer; empty: none
};

inline Bytes frame(const FrameSpec& s) {
  const uint16_t n = uint16_t(s.meas.size());
  uint16_t flags = s.extra_flags;
  if (s.timing) flags |= 1;
  if (s.ancilla_bits) flags |= 2;
  if (s.extensions) flags |= 4;
  if (s.annotations) flags |= 8;
  Bytes b;
  put64(b, s.frame_id);
  put32(b, s.round);
  put64(b, s.timestamp_ns);
  put16(b, s.qubit_count);
  put16(b, n);
  put32(b, 0);
  b.push_back(s.code_type);
  b.push_back(s.distance);
  put16(b, flags);
  uint32_t crc = crc32(b);
  put32(b, s.bad_header_crc ? ~crc : crc);
  const Bytes header(b.begin(), b.end());
  put16(b, uint16_t(s.rle.size()));
  b.insert(b.end(), s.rle.begin(), s.rle.end());
  for (int8_t m : s.meas) b.push_back(uint8_t(m));
  if (s.timing)
    for (uint16_t t : *s.timing) put16(b, t);
  if (s.ancilla_bits) b.insert(b.end(), s.ancilla_bits->begin(), s.ancilla_bits->end());
  if (s.extensions) {
    put16(b, uint16_t(s.extensions->size()));
    for (const auto& [tag, value] : *s.extensions) {
      put16(b, tag);
      put16(b, uint16_t(value.size()));
      b.insert(b.end(), value.begin(), value.end());
    }
  }
  if (s.annotations) {
    b.push_back(uint8_t(s.annotations->size()));
    for (const auto& [lead, value] : *s.annotations) {
      b.push_back(lead);
      put64(b, value);
      b.push_back(uint8_t(~lead));
    }
  }
  if (s.trailer) {
    b.insert(b.end(), s.trailer->begin(), s.trailer->end());
  } else {
    put16(b, 0xFFFF);
    put32(b, crc32(header));
  }
  return b;
}

// The payload bytes a checksum entry covers: RLE length, RLE, results, offsets, ancilla bits.
inline Bytes payload_bytes(const FrameSpec& s) {
  Bytes b;
  put16(b, uint16_t(s.rle.size()));
  b.insert(b.end(), s.rle.begin(), s.rle.end());
  for (int8_t m : s.meas) b.push_back(uint8_t(m));
  if (s.timing)
    for (uint16_t t : *s.timing) put16(b, t);
  if (s.ancilla_bits) b.insert(b.end(), s.ancilla_bits->begin(), s.ancilla_bits->end());
  return b;
}

// Adds the payload checksum entry (tag 17) to the frame's extension list.
inline FrameSpec with_payload_checksum(FrameSpec s) {
  Bytes value;
  put32(value, crc32c(payload_bytes(s)));
  if (!s.extensions) s.extensions.emplace();
  s.extensions->emplace_back(uint16_t(17), value);
  return s;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Delivers `data` at most `chunk` bytes per read; more bytes can be appended later, like a file
// that grows or a peer that sends again.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(Bytes data = {}, size_t chunk = 4096) : data_(std::move(data)), chunk_(chunk) {}
  void append(const Bytes& more) { data_.insert(data_.end(), more.begin(), more.end()); }
  void fail_next_read() { fail_next_ = true; }
  // Every other read reports a wait given up by its interrupt, as a TCP source does.
  void interrupt_every_other_read() { interrupt_ = true; }
  // Whether the reader may wait for more after the end (a file being written) or not (a closed
  // connection, the default).
  void set_can_grow(bool grows) { grows_ = grows; }
  bool can_grow() const override { return grows_; }
  size_t delivered() const { return pos_; }
  // Offers at most `window` bytes at a time to be parsed in place (0: none), as a ring offers
  // what lies before it wraps.
  void set_in_place(size_t window) { window_ = window; }
  std::span<const uint8_t> in_place() override {
    return {data_.data() + pos_, std::min(window_, data_.size() - pos_)};
  }
  void consume_in_place(size_t n) override { pos_ += n; }

  Result<size_t, QssfError> read(std::span<uint8_t> buf) override {
    if (fail_next_) {
      fail_next_ = false;
      return fail(QssfError::io("Connection reset by peer (os error 104)"));
    }
    if (interrupt_ && (flip_ = !flip_)) return ByteSource::kInterrupted;
    const size_t n = std::min({buf.size(), chunk_, data_.size() - pos_});
    std::copy_n(data_.begin() + ptrdiff_t(pos_), n, buf.begin());
    pos_ += n;
    return n;
  }

 private:
  Bytes data_;
  size_t chunk_;
  size_t pos_ = 0;
  bool fail_next_ = false;
  bool interrupt_ = false;
  bool flip_ = false;
  bool grows_ = false;
  size_t window_ = 0;
};

}  // namespace ostrel::qssf::testing
