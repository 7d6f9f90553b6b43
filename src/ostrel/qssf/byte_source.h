#pragma once
// What the frame reader pulls bytes from: a connected socket or a buffered file.
#include <cstddef>
#include <cstdint>
#include <span>

#include "ostrel/qssf/errors.h"
#include "ostrel/util/result.h"
#include "ostrel/util/wait_interrupt.h"

namespace ostrel::qssf {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Delivers between 1 and buf.size() bytes, 0 at the end of the stream, or an Io error. May wait;
  // a wait ended by the interrupt (see set_interrupt) returns kInterrupted and delivers nothing.
  virtual Result<size_t, QssfError> read(std::span<uint8_t> buf) = 0;

  // Waits of later reads consult `interrupt` (nullptr: wait for as long as it takes). It must stay
  // valid until replaced. Sources whose reads never wait for long may ignore it.
  virtual void set_interrupt(const WaitInterrupt* interrupt) { (void)interrupt; }

  // Whether bytes may still arrive after a read has delivered 0 (a file being written); a TCP
  // peer that has closed sends nothing more.
  virtual bool can_grow() const { return false; }

  // Every byte before `position` (counted from the first byte this source delivered) has been
  // made into outcomes handed over to the reader's user. A source whose unreleased bytes outlive
  // its reader (a shared-memory ring, for the next consumer) gives those back; others ignore it.
  virtual void release(uint64_t position) { (void)position; }

  // The bytes at the read position that the source already holds in memory the reader may parse
  // in place (a shared-memory ring's, up to where the ring wraps): what read() would deliver next,
  // without the copy and without waiting. Empty when there are none or the source keeps none.
  virtual std::span<const uint8_t> in_place() { return {}; }
  // Consumes the first n bytes of in_place() as a read() delivering them would.
  virtual void consume_in_place(size_t n) { (void)n; }

  static constexpr size_t kInterrupted = SIZE_MAX;
};

}  // namespace ostrel::qssf
