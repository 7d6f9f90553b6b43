// Arbitrary bytes through a shared-memory ring into the frame reader, against the same bytes read
// straight from memory: the ring must deliver exactly what was published, in order, whatever the
// piece sizes and however often it fills up and wraps.
//
// Input: a 2-byte prelude, then the bytes to publish.
//   byte 0: seed of the piece sizes (of publishing, and of the reference reader's reads)
//   byte 1: bits 0-1 pick the ring's capacity (4 KiB << n); bits 2-4 the reader's ring size
// The producer publishes pieces while they fit (never waiting) and closes the stream after the
// last; the consumer, in the same thread, reads a frame whenever the producer cannot go on. Its
// waits are given up at once (an interrupt that always fires), so nothing ever blocks.
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "chunked_source.h"
#include "ostrel/io/shm_ring.h"
#include "ostrel/io/shm_source.h"
#include "ostrel/qssf/reader.h"

namespace {

using namespace ostrel;
using namespace ostrel::qssf;

constexpr int kMaxCalls = 4096;
constexpr int kMaxErrorsInARow = 8;

struct Outcome {
  int kind;  // 0 frame, 1 end, 2 error
  uint64_t value;  // the frame's id, or the error's kind
  bool operator==(const Outcome&) const = default;
};

bool always(void*) { return true; }

// Appends one reader outcome unless the wait was given up; returns false once reading is over.
bool record(Result<ReadStatus, QssfError> read, std::vector<Outcome>& out, int& errors_in_a_row, ParsedFrame& frame) {
  if (!read.ok()) {
    out.push_back({2, uint64_t(read.error().kind)});
    return ++errors_in_a_row < kMaxErrorsInARow;
  }
  errors_in_a_row = 0;
  if (*read == ReadStatus::Interrupted) return true;
  if (*read == ReadStatus::EndOfStream) {
    out.push_back({1, 0});
    return false;
  }
  out.push_back({0, frame.header.frame_id});
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::span<const uint8_t> stream(data + 2, size - 2);
  ReaderConfig config;
  config.validation = 1;
  config.ring_capacity = fuzz::kRingSizes[(data[1] >> 2) & 7];

  // The reference: the same bytes from memory.
  std::vector<Outcome> expected;
  {
    fuzz::ChunkedSource source(stream, data[0]);
    FrameReader reader(source, config);
    ParsedFrame frame;
    int errors = 0;
    for (int call = 0; call < kMaxCalls && record(reader.next_frame(frame), expected, errors, frame); ++call) {
    }
  }

  const std::string name = "ostrel-fuzz-" + std::to_string(getpid());
  auto producer = io::ShmRing::create(name, uint64_t(4096) << (data[1] & 3));
  if (!producer.ok()) std::abort();
  auto source = io::ShmSource::open(name);
  if (!source.ok()) std::abort();
  WaitInterrupt give_up;
  give_up.interval = std::chrono::milliseconds(0);
  give_up.check = always;
  (*source)->set_interrupt(&give_up);
  FrameReader reader(**source, config);
  ParsedFrame frame;
  std::vector<Outcome> got;
  int errors = 0;
  bool reading = true;
  uint32_t state = data[0] * 2654435761u + 1;
  size_t published = 0;
  bool closed = false;
  for (int call = 0; call < 4 * kMaxCalls && reading; ++call) {
    // Publish pieces while they fit, then let the consumer read one frame.
    while (published < stream.size()) {
      const size_t piece = std::min<size_t>(stream.size() - published, 1 + fuzz::next_state(state) % 700);
      if (!producer->publish(stream.subspan(published, piece), std::chrono::nanoseconds(0)).ok()) break;
      published += piece;
    }
    if (published == stream.size() && !closed) {
      producer->close_stream();
      closed = true;
    }
    reading = record(reader.next_frame(frame), got, errors, frame) && got.size() < expected.size() + 1;
    (*source)->release(reader.handed_position());  // the frame is handed over: room for more
  }
  shm_unlink(("/" + name).c_str());
  // The ring run may stop early (the call budget); what it read must be the reference's start.
  if (got.size() > expected.size()) std::abort();
  for (size_t i = 0; i < got.size(); ++i)
    if (!(got[i] == expected[i])) std::abort();
  return 0;
}
