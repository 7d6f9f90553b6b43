#include "ostrel/decode/decode_method.h"

#include <array>

#include "ostrel/decode/correlated/correlated_decoder.h"
#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/weighted_union_find.h"

namespace ostrel::decode {
namespace {

constexpr std::array<std::string_view, 4> kNames = {"weighted-union-find", "matching", "correlated-union-find",
                                                     "correlated-matching"};

// Correlated decoding accumulates its re-weighting over at most this many passes: of two-pass,
// afresh and accumulating iteration at 2 to 8 passes, the lowest error rates on surface-code
// memory experiments (the accumulating passes settle after about three on average).
constexpr uint32_t kCorrelatedPasses = 4;
// The fast variant: Union-Find's correction weighs the graph for one matching pass. On circuit
// noise that is about as accurate as two matching passes and cheaper, and far more accurate than
// Union-Find passes alone at the same cost. A third pass (accumulating) repairs what Union-Find
// weighed wrongly, which matters once events crowd (its failures at d = 13 fall to those of the
// matching passes) and not on sparse shots (d <= 9 at p = 0.005, where it costs a fifth more for
// nothing): by default it runs on shots of at least kCrowdedShot fired detectors, those Union-Find
// takes first.
constexpr uint32_t kFastCorrelatedPasses = 3;
constexpr uint32_t kCrowdedShot = kSparseShot;

}  // namespace

std::string_view decode_method_name(DecodeMethod method) noexcept { return kNames[static_cast<size_t>(method)]; }

uint32_t default_correlated_passes(DecodeMethod method) noexcept {
  return method == DecodeMethod::kCorrelatedUnionFind ? kFastCorrelatedPasses : kCorrelatedPasses;
}

uint32_t default_union_find_from(const DecodingGraph& graph) {
  return graph.joined_share >= kDenseShare ? kSparseShot : kNever;
}

std::unique_ptr<GraphDecoder> make_graph_decoder(DecodeMethod method, std::shared_ptr<const DecodingGraph> graph,
                                                 uint32_t max_passes, std::optional<uint32_t> union_find_from) {
  // Passes given are run on every shot; by default the fast variant keeps its third for crowded ones.
  const uint32_t crowded = max_passes == 0 && method == DecodeMethod::kCorrelatedUnionFind ? kCrowdedShot : 0;
  if (max_passes == 0) max_passes = default_correlated_passes(method);
  switch (method) {
    case DecodeMethod::kWeightedUnionFind:
      break;
    case DecodeMethod::kMatching:
      return std::make_unique<matching::MatchingDecoder>(std::move(graph));
    case DecodeMethod::kCorrelatedUnionFind: {
      const uint32_t from = union_find_from ? *union_find_from : default_union_find_from(*graph);
      // A Union-Find that never goes first would only follow every weight change for nothing.
      auto first = from == kNever ? nullptr : std::make_unique<WeightedUnionFind>(graph);
      return std::make_unique<CorrelatedDecoder>(std::make_unique<matching::MatchingDecoder>(graph), max_passes, true,
                                                 std::move(first), crowded, from, true);
    }
    case DecodeMethod::kCorrelatedMatching:
      return std::make_unique<CorrelatedDecoder>(std::make_unique<matching::MatchingDecoder>(std::move(graph)),
                                                 max_passes, true);
  }
  return std::make_unique<WeightedUnionFind>(std::move(graph));
}

}  // namespace ostrel::decode
