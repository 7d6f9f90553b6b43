#include "ostrel/qssf/frame_encoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "ostrel/qssf/crc32.h"
#include "ostrel/qssf/payload.h"

namespace ostrel::qssf {
namespace {

constexpr uint8_t kMaxRun = 127;
constexpr uint16_t kObservableFlipsTag = 16;

template <class T>
void put(std::vector<uint8_t>& out, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(uint8_t(uint64_t(v) >> (8 * i)));
}

template <class T>
uint8_t* store(uint8_t* p, T v) noexcept {
  for (size_t i = 0; i < sizeof(T); ++i) p[i] = uint8_t(uint64_t(v) >> (8 * i));  // one store, little-endian
  return p + sizeof(T);
}

// Bit k of the result: byte k of the eight at `e` is non-zero.
inline uint64_t nonzero_bits8(const uint8_t* e) noexcept {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL, kHigh = 0x8080808080808080ULL;
  uint64_t w;
  std::memcpy(&w, e, 8);
  if constexpr (std::endian::native != std::endian::little) w = __builtin_bswap64(w);
  const uint64_t top = ((((w & kLow7) + kLow7) | w) & kHigh) >> 7;  // bit 8k: byte k non-zero
  return (top * 0x0102040810204080ULL) >> 56;                       // gathered into bits 0..7
}

uint8_t* put_run(uint8_t* p, bool value, size_t run) noexcept {
  for (; run > kMaxRun; run -= kMaxRun) *p++ = uint8_t((value ? 0x80 : 0) | kMaxRun);
  *p++ = uint8_t((value ? 0x80 : 0) | run);
  return p;
}

// Runs of at most 127 equal events, the top bit holding the value; the last run of zeros is left
// out, since the reader pads with zeros to the ancilla count. At most one byte per event. The
// events of each 64 become a bit mask, and a run's end is the next bit that differs: a step per
// run rather than a compare (and, at its end, a mispredicted branch) per event.
uint8_t* write_rle(std::span<const uint8_t> events, uint8_t* p) noexcept {
  const uint8_t* const e = events.data();
  const size_t n = events.size();
  if (n == 0) return p;
  bool value = e[0] != 0;
  size_t run = 0;
  for (size_t base = 0; base < n; base += 64) {
    const size_t len = std::min<size_t>(64, n - base);
    uint64_t bits = 0;
    size_t k = 0;
    for (; k + 8 <= len; k += 8) bits |= nonzero_bits8(e + base + k) << k;
    for (; k < len; ++k) bits |= uint64_t(e[base + k] != 0) << k;
    const uint64_t valid = len == 64 ? ~uint64_t(0) : (uint64_t(1) << len) - 1;
    for (size_t pos = 0; pos < len;) {
      const uint64_t differs = ((value ? ~bits : bits) & valid) >> pos;
      if (!differs) {
        run += len - pos;
        break;
      }
      const size_t step = size_t(std::countr_zero(differs));
      p = put_run(p, value, run + step);
      pos += step;
      value = !value;
      run = 0;
    }
  }
  return value ? put_run(p, value, run) : p;
}

}  // namespace

void encode_stream_header(const SchemaId& schema_id, std::vector<uint8_t>& out) {
  put<uint32_t>(out, QSSF_MAGIC);
  put<uint16_t>(out, QSSF_VERSION);
  out.insert(out.end(), schema_id.begin(), schema_id.end());
  put<uint32_t>(out, 0);
}

size_t max_frame_size(const FrameFields& f) noexcept {
  const size_t n = f.detector_events.size();
  return FRAME_HEADER_LEN + 2 + n + n + (f.observable_flips ? 2 + 4 + 8 : 0) + TRAILER_LEN;
}

bool encodable(const FrameFields& f) noexcept {
  const size_t n = f.detector_events.size();
  return n <= UINT16_MAX && (f.meas_results.empty() || f.meas_results.size() == n);
}

// Written through a pointer into room for the longest the frame can be: no per-byte growth
// checks on a path taken for every frame.
uint8_t* encode_frame_into(const FrameFields& f, uint8_t* out) noexcept {
  const size_t n = f.detector_events.size();
  const uint16_t flags = f.observable_flips ? FLAG_EXTENSIONS : 0;
  uint8_t* const header = out;
  uint8_t* p = header;
  p = store<uint64_t>(p, f.frame_id);
  p = store<uint32_t>(p, f.round);
  p = store<uint64_t>(p, f.timestamp_ns);
  p = store<uint16_t>(p, f.qubit_count);
  p = store<uint16_t>(p, uint16_t(n));
  p = store<uint32_t>(p, 0);
  *p++ = f.code_type;
  *p++ = f.distance;
  p = store<uint16_t>(p, flags);
  p = store<uint32_t>(p, crc32(std::span<const uint8_t>(header, FRAME_HEADER_LEN - 4)));

  uint8_t* const rle = p + 2;
  p = write_rle(f.detector_events, rle);
  store<uint16_t>(rle - 2, uint16_t(p - rle));
  if (f.meas_results.empty())
    std::memset(p, 0, n);
  else if (n)
    std::memcpy(p, f.meas_results.data(), n);
  p += n;
  if (f.observable_flips) {
    p = store<uint16_t>(p, 1);
    p = store<uint16_t>(p, kObservableFlipsTag);
    p = store<uint16_t>(p, 8);
    p = store<uint64_t>(p, *f.observable_flips);
  }
  // The trailer repeats the CRC of the whole header, which for a valid header is a constant.
  p = store<uint16_t>(p, TRAILER_MARKER);
  p = store<uint32_t>(p, VALID_HEADER_CRC);
  return p;
}

bool encode_frame(const FrameFields& f, std::vector<uint8_t>& out) {
  if (!encodable(f)) return false;
  const size_t start = out.size();
  out.resize(start + max_frame_size(f));
  uint8_t* const end = encode_frame_into(f, out.data() + start);
  out.resize(size_t(end - out.data()));
  return true;
}

}  // namespace ostrel::qssf
