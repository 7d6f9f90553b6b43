#pragma once
// Matching weighs edges 64 times finer than the decoding graph (1/4096 of ln((1 - p) / p)), so
// that its minimum is the model's minimum to within 1/8192 per edge: its time is exact integer
// arithmetic whatever the resolution, and the events it handles do not depend on it.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "ostrel/decode/decoding_graph.h"

namespace ostrel::decode::matching {

inline constexpr double kFineScale = 4096.0;
inline constexpr int32_t kFinePerGraphUnit = static_cast<int32_t>(kFineScale / kWeightScale);
inline constexpr int32_t kMaxFineWeight = kMaxWeight * kFinePerGraphUnit;

// The edge's weight as matching sees it: flipped edges weigh their complement, as in the graph.
inline int32_t fine_weight(const DecodingEdge& e) {
  const double w = std::abs(std::log((1 - e.probability) / e.probability)) * kFineScale;
  if (!(w < kMaxFineWeight)) return kMaxFineWeight;
  return std::max<int32_t>(1, static_cast<int32_t>(std::lround(w)));
}

}  // namespace ostrel::decode::matching
