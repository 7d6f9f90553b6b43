#pragma once
// A path between two detection events (or one and the boundary) kept only by its ends and the
// observables it crosses: all that matching needs of a path once growth has found it tight.
#include <cstdint>

namespace ostrel::decode::matching {

inline constexpr uint32_t kNone = UINT32_MAX;

struct CompressedEdge {
  uint32_t from = kNone;  // a detection event
  uint32_t to = kNone;    // a detection event, or the boundary node
  uint64_t observables = 0;

  CompressedEdge reversed() const { return {to, from, observables}; }
};

}  // namespace ostrel::decode::matching
