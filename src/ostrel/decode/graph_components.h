#pragma once
// Which shots a decoding graph can explain at all: every connected component without an edge to
// the boundary must hold an even number of detection events (fired detectors, plus the ends of
// the edges taken as occurred). Matching needs it; the check costs one look-up per event.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ostrel/decode/decoding_graph.h"

namespace ostrel::decode {

class GraphComponents {
 public:
  explicit GraphComponents(const DecodingGraph& graph);

  // Whether any component has no boundary (else every shot can be explained).
  bool any_closed() const;
  // A detector of a component without boundary left with an odd number of events, if any.
  // Indices that name no detector are ignored; a detector listed twice cancels.
  std::optional<uint32_t> unmatchable(std::span<const uint32_t> fired_detectors);
  // The message for it: names the component by its lowest detector and its size.
  std::string describe(uint32_t detector) const;

 private:
  uint32_t detector_count_;
  std::vector<uint32_t> component_;  // per detector
  std::vector<uint8_t> closed_;      // per component: no boundary edge
  std::vector<uint32_t> lowest_;     // per component
  std::vector<uint32_t> size_;       // per component
  std::vector<uint8_t> base_parity_;  // per component: events of the edges taken as occurred
  std::vector<uint8_t> parity_;
  std::vector<uint32_t> seen_;
  std::vector<uint32_t> base_odd_;  // closed components odd with no detector fired
};

}  // namespace ostrel::decode
