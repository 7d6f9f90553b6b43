#pragma once
// A region of the graph grown around detection events: one event's own ball, or a blossom of an
// odd cycle of regions. Its radius is a line in time, radius(t) = base + slope * t, with slope +1
// while it grows (outer in an alternating tree), -1 while it shrinks (inner), 0 while frozen
// (matched, or inside a blossom). A region owns the nodes its own growth claimed ("shell", in
// the order claimed: the last claimed is the first given back when it shrinks); its children's
// nodes stay theirs.
#include <cstdint>
#include <vector>

#include "ostrel/decode/matching/compressed_edge.h"
#include "ostrel/decode/matching/node_list.h"

namespace ostrel::decode::matching {

using Time = int64_t;

enum class TreeRole : uint8_t { kNone, kOuter, kInner };

struct BlossomChild {
  uint32_t region;
  CompressedEdge to_next;  // from this child to the next one of the cycle
};

struct Region {
  Time base = 0;
  int8_t slope = 0;
  uint32_t version = 0;  // shrink events of older versions are stale
  uint32_t source = kNone;  // the detection event of a region that is no blossom
  uint32_t blossom_parent = kNone;
  std::vector<BlossomChild> children;  // empty for an event's own region
  NodeList shell;
  // Matching: the partner region (kNone with to_boundary for the boundary; kNone alone: unmatched).
  uint32_t match = kNone;
  bool matched_to_boundary = false;
  CompressedEdge match_edge;  // from this region to its partner
  // Alternating tree.
  TreeRole role = TreeRole::kNone;
  uint32_t tree_parent = kNone;
  CompressedEdge parent_edge;  // from this region to its tree parent
  std::vector<uint32_t> tree_children;

  Time radius(Time now) const { return base + slope * now; }
  bool is_blossom() const { return !children.empty(); }
  bool matched() const { return match != kNone || matched_to_boundary; }
};

}  // namespace ostrel::decode::matching
