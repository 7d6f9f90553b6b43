#include "ostrel/qssf/frame_encoder.h"

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

// Runs of at most 127 equal events, the top bit holding the value; the last run of zeros is left
// out, since the reader pads with zeros to the ancilla count. At most one byte per event.
uint8_t* write_rle(std::span<const uint8_t> events, uint8_t* p) noexcept {
  size_t end = events.size();
  while (end > 0 && events[end - 1] == 0) --end;
  size_t i = 0;
  while (i < end) {
    const bool value = events[i] != 0;
    size_t run = 1;
    while (i + run < end && (events[i + run] != 0) == value && run < kMaxRun) ++run;
    *p++ = uint8_t((value ? 0x80 : 0) | run);
    i += run;
  }
  return p;
}

}  // namespace

void encode_stream_header(const SchemaId& schema_id, std::vector<uint8_t>& out) {
  put<uint32_t>(out, QSSF_MAGIC);
  put<uint16_t>(out, QSSF_VERSION);
  out.insert(out.end(), schema_id.begin(), schema_id.end());
  put<uint32_t>(out, 0);
}

// Sized once for the longest the frame can be, written through a pointer, trimmed to its length:
// no per-byte growth checks on a path taken for every frame.
bool encode_frame(const FrameFields& f, std::vector<uint8_t>& out) {
  const size_t n = f.detector_events.size();
  if (n > UINT16_MAX || (!f.meas_results.empty() && f.meas_results.size() != n)) return false;
  const size_t start = out.size();
  const uint16_t flags = f.observable_flips ? FLAG_EXTENSIONS : 0;
  const size_t extensions = f.observable_flips ? 2 + 4 + 8 : 0;
  out.resize(start + FRAME_HEADER_LEN + 2 + n + n + extensions + TRAILER_LEN);
  uint8_t* const header = out.data() + start;
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
  out.resize(size_t(p - out.data()));
  return true;
}

}  // namespace ostrel::qssf
