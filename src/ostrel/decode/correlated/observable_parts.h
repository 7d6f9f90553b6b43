#pragma once
// Which edges of a decoding graph can bear on an observable: those of a connected component
// (through detectors; the boundary joins nothing) that holds an edge flipping one. A correction's
// edges elsewhere never change the observable mask, so a last re-weighted pass may leave them be.
#include <cstdint>
#include <vector>

#include "ostrel/decode/decoding_graph.h"

namespace ostrel::decode {

struct ObservableParts {
  std::vector<uint8_t> edge;      // per edge, 1 where its component flips an observable somewhere
  std::vector<uint8_t> detector;  // the same per detector
  bool all() const;               // every edge bears on an observable
};
ObservableParts observable_parts(const DecodingGraph& graph);

}  // namespace ostrel::decode
