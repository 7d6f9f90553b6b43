#pragma once
// Shortest paths between matched detection events, for the edges of a correction: a Dijkstra
// search from one end that stops when it reaches the other (or the boundary). Matching reads most
// paths back from the flooder's claims; this serves the few whose claims have changed since.
#include <cstdint>
#include <vector>

#include "ostrel/decode/matching/flooder.h"

namespace ostrel::decode::matching {

class ShortestPaths {
 public:
  explicit ShortestPaths(const Flooder& flooder, uint32_t node_count);

  // Appends the edges of a shortest path from `from` to `to` (a detector or the boundary node).
  // Returns its length, or -1 when `to` cannot be reached.
  Time append_path(uint32_t from, uint32_t to, std::vector<uint32_t>& edges);

 private:
  struct Entry {
    Time distance;
    uint32_t node;
  };
  static bool later(const Entry& a, const Entry& b) { return a.distance > b.distance; }

  const Flooder& f_;
  std::vector<Time> distance_;
  std::vector<uint32_t> via_;  // the adjacency position the node was reached by
  std::vector<uint32_t> from_;
  std::vector<uint32_t> touched_;
  std::vector<Entry> heap_;
};

}  // namespace ostrel::decode::matching
