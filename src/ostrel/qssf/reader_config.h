#pragma once
// How a frame reader is set up: ring size, and whether frames are checked against their timing
// bounds and a hardware schema registry.
#include <cstdint>

#include "ostrel/qssf/schema.h"

namespace ostrel::qssf {

inline constexpr uint64_t DEFAULT_RING_CAPACITY = 4 * 1024 * 1024;
// Most bytes asked of the source in one read. A read returns what is there without waiting for
// more, so a large chunk costs live streams no latency and saves system calls on fast ones.
inline constexpr size_t SOURCE_READ_CHUNK = 65536;

struct ReaderConfig {
  SchemaRegistry schemas;
  uint64_t ring_capacity = DEFAULT_RING_CAPACITY;
  // 0 runs the semantic checks (timing offsets, schema); any other value skips them.
  uint8_t validation = 0;
};

}  // namespace ostrel::qssf
