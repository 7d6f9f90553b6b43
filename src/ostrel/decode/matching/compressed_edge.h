#pragma once
// A path between two detection events (or one and the boundary) kept only by its ends and the
// observables it crosses: all that matching needs of a path once growth has found it tight. It also
// names the graph edge where the two growths met (near on from's side, far on to's), so that the
// path's edges can be read back from the flooder's claim records instead of searched for; a path
// joined from two (near == kNone) has to be searched for.
#include <cstdint>

namespace ostrel::decode::matching {

inline constexpr uint32_t kNone = UINT32_MAX;

struct CompressedEdge {
  uint32_t from = kNone;  // a detection event
  uint32_t to = kNone;    // a detection event, or the boundary node
  uint64_t observables = 0;
  uint32_t near = kNone;  // a node grown from `from`
  uint32_t far = kNone;   // a node grown from `to`, or the boundary node

  CompressedEdge reversed() const { return {to, from, observables, far, near}; }
};

}  // namespace ostrel::decode::matching
