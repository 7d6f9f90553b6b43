#include "ostrel/qssf/frame_encoder.h"

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

// Runs of at most 127 equal events, the top bit holding the value; the last run of zeros is left
// out, since the reader pads with zeros to the ancilla count.
void append_rle(std::span<const uint8_t> events, std::vector<uint8_t>& out) {
  size_t end = events.size();
  while (end > 0 && events[end - 1] == 0) --end;
  size_t i = 0;
  while (i < end) {
    const bool value = events[i] != 0;
    size_t run = 1;
    while (i + run < end && (events[i + run] != 0) == value && run < kMaxRun) ++run;
    out.push_back(uint8_t((value ? 0x80 : 0) | run));
    i += run;
  }
}

}  // namespace

void encode_stream_header(const SchemaId& schema_id, std::vector<uint8_t>& out) {
  put<uint32_t>(out, QSSF_MAGIC);
  put<uint16_t>(out, QSSF_VERSION);
  out.insert(out.end(), schema_id.begin(), schema_id.end());
  put<uint32_t>(out, 0);
}

bool encode_frame(const FrameFields& f, std::vector<uint8_t>& out) {
  const size_t n = f.detector_events.size();
  if (n > UINT16_MAX || (!f.meas_results.empty() && f.meas_results.size() != n)) return false;
  const size_t start = out.size();
  const uint16_t flags = f.observable_flips ? FLAG_EXTENSIONS : 0;
  put<uint64_t>(out, f.frame_id);
  put<uint32_t>(out, f.round);
  put<uint64_t>(out, f.timestamp_ns);
  put<uint16_t>(out, f.qubit_count);
  put<uint16_t>(out, uint16_t(n));
  put<uint32_t>(out, 0);
  out.push_back(f.code_type);
  out.push_back(f.distance);
  put<uint16_t>(out, flags);
  put<uint32_t>(out, crc32(std::span<const uint8_t>(out.data() + start, FRAME_HEADER_LEN - 4)));

  const size_t rle_len_at = out.size();
  put<uint16_t>(out, 0);
  append_rle(f.detector_events, out);
  const size_t rle_len = out.size() - rle_len_at - 2;
  out[rle_len_at] = uint8_t(rle_len);
  out[rle_len_at + 1] = uint8_t(rle_len >> 8);
  if (f.meas_results.empty())
    out.insert(out.end(), n, 0);
  else
    for (int8_t m : f.meas_results) out.push_back(uint8_t(m));
  if (f.observable_flips) {
    put<uint16_t>(out, 1);
    put<uint16_t>(out, kObservableFlipsTag);
    put<uint16_t>(out, 8);
    put<uint64_t>(out, *f.observable_flips);
  }
  // The trailer repeats the CRC of the whole header, which for a valid header is a constant.
  put<uint16_t>(out, TRAILER_MARKER);
  put<uint32_t>(out, VALID_HEADER_CRC);
  return true;
}

}  // namespace ostrel::qssf
