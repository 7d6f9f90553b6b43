#pragma once
// Minimum T-joins on a graph whose components are small, as the lift's graphs are (a node per
// lifted edge, an edge per atom: components of a few nodes, a few dozen at most). Shortest paths
// within each small component are found once; a T-join is then, per component, the lightest
// pairing of its targets with one another or with the boundary over those paths, found by
// dynamic programming over subsets. A matcher's growth over the same nodes costs several times
// more. In a component without a way to the boundary, an odd number of targets leaves the one
// whose absence lets the rest pair lightest unmatched. Components too large, or too many targets
// in one, are left to the caller (solve() says so).
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ostrel/decode/decoding_graph.h"

namespace ostrel::decode::mobius {

class ComponentTJoin {
 public:
  // Components of more than kMaxNodes nodes are not prepared.
  static constexpr uint32_t kMaxNodes = 48;
  // Targets in one component, at most.
  static constexpr uint32_t kMaxTargets = 10;

  explicit ComponentTJoin(std::shared_ptr<const DecodingGraph> graph);

  // `targets`: distinct nodes. Returns false when it cannot answer (see above); otherwise edges()
  // and fine_weight() hold a minimum T-join (weights as the matcher's, matching::fine_weight), of
  // all targets but those left unmatched.
  bool solve(std::span<const uint32_t> targets);
  std::span<const uint32_t> edges() const { return edges_; }
  int64_t fine_weight() const { return weight_; }

 private:
  struct Component {
    uint32_t first = 0;  // its nodes: nodes_[first .. first + size)
    uint32_t size = 0;
    uint32_t table = 0;  // distance_ / via_ rows start: (size + 1) rows of (size + 1)
    bool prepared = false;
  };
  static constexpr int64_t kUnreachable = INT64_MAX / 4;
  // The price of leaving a target unmatched: more than any pairing of kMaxTargets.
  static constexpr int64_t kLeftOut = int64_t{1} << 48;
  void prepare(Component& c);
  // Appends the path from local node `from` to local `to` (size: the boundary) to edges_.
  void append_path(const Component& c, uint32_t from, uint32_t to);

  std::shared_ptr<const DecodingGraph> graph_;
  std::vector<uint32_t> component_of_;  // per node
  std::vector<uint32_t> local_;         // per node: its place in its component
  std::vector<uint32_t> nodes_;         // nodes by component
  std::vector<Component> components_;
  // Per prepared component, for each source (its nodes, then the boundary) and target: the
  // distance, and the edge by which a shortest path reaches the target.
  std::vector<int64_t> distance_;
  std::vector<uint32_t> via_;
  std::vector<uint32_t> back_;  // beside each via_ entry: the local node at that edge's other end
  // Adjacency: node -> (edge) lists.
  std::vector<uint32_t> adjacency_start_, adjacency_;
  // Per call.
  std::vector<uint32_t> touched_;                  // components with targets
  std::vector<std::vector<uint32_t>> targets_of_;  // per component (cleared after a call)
  std::vector<int64_t> best_;
  std::vector<uint8_t> choice_;
  std::vector<uint8_t> edge_parity_;
  std::vector<uint32_t> path_, edges_;
  int64_t weight_ = 0;
};

}  // namespace ostrel::decode::mobius
