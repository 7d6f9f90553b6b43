#include "ostrel/decode/graph_components.h"

#include <string>

namespace ostrel::decode {

GraphComponents::GraphComponents(const DecodingGraph& graph)
    : detector_count_(graph.detector_count), component_(graph.detector_count, UINT32_MAX) {
  std::vector<uint32_t> stack;
  for (uint32_t start = 0; start < detector_count_; ++start) {
    if (component_[start] != UINT32_MAX) continue;
    const auto id = static_cast<uint32_t>(closed_.size());
    closed_.push_back(1);
    lowest_.push_back(start);
    size_.push_back(0);
    component_[start] = id;
    stack.push_back(start);
    while (!stack.empty()) {
      const uint32_t x = stack.back();
      stack.pop_back();
      ++size_[id];
      for (const Incidence& in : graph.incident(x)) {
        if (in.other == graph.boundary()) {
          closed_[id] = 0;
        } else if (component_[in.other] == UINT32_MAX) {
          component_[in.other] = id;
          stack.push_back(in.other);
        }
      }
    }
  }
  base_parity_.assign(closed_.size(), 0);
  for (const uint32_t e : graph.flipped_edges) {
    base_parity_[component_[graph.edges[e].u]] ^= 1;
    if (graph.edges[e].v != graph.boundary()) base_parity_[component_[graph.edges[e].v]] ^= 1;
  }
  parity_ = base_parity_;
  for (uint32_t c = 0; c < closed_.size(); ++c)
    if (closed_[c] && base_parity_[c]) seen_.push_back(c);
  base_odd_ = seen_;
  seen_.clear();
}

std::optional<uint32_t> GraphComponents::unmatchable(std::span<const uint32_t> fired_detectors) {
  for (const uint32_t d : fired_detectors) {
    if (d >= detector_count_) continue;
    const uint32_t c = component_[d];
    if (!closed_[c]) continue;
    parity_[c] ^= 1;
    seen_.push_back(c);
  }
  std::optional<uint32_t> odd;
  for (const uint32_t c : seen_)
    if (parity_[c] && !odd) odd = lowest_[c];
  for (const uint32_t c : base_odd_)
    if (parity_[c] && !odd) odd = lowest_[c];
  for (const uint32_t c : seen_) parity_[c] = base_parity_[c];
  seen_.clear();
  return odd;
}

bool GraphComponents::any_closed() const {
  for (const uint8_t c : closed_)
    if (c) return true;
  return false;
}

std::string GraphComponents::describe(uint32_t detector) const {
  const uint32_t c = component_[detector];
  return "no matching explains these detection events: the component of " + std::to_string(size_[c]) +
         (size_[c] == 1 ? " detector from D" : " detectors from D") + std::to_string(lowest_[c]) +
         " has no boundary and an odd number of detection events";
}

}  // namespace ostrel::decode
