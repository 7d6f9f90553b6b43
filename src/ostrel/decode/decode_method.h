#pragma once
// The methods that decode on a decoding graph, and the decoder each builds on one.
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/graph_decoder.h"

namespace ostrel::decode {

enum class DecodeMethod : uint8_t {
  kWeightedUnionFind,
  kMatching,
  // Decoding re-weighted by the model's correlations (decode/correlated): Union-Find's correction
  // weighs the graph for one matching pass, or matching passes throughout.
  kCorrelatedUnionFind,
  kCorrelatedMatching,
};

// The method's name as callers give it (the driver's registry maps names to methods).
std::string_view decode_method_name(DecodeMethod method) noexcept;

// max_passes: a correlated method's passes at most on every shot (0: its default, which for
// correlated-union-find keeps the third pass for crowded shots; 1 decodes as matching).
// union_find_from: correlated-union-find takes Union-Find's first pass on shots of at least this
// many fired detectors, matching's on the rest (not given: default_union_find_from(graph)).
std::unique_ptr<GraphDecoder> make_graph_decoder(DecodeMethod method, std::shared_ptr<const DecodingGraph> graph,
                                                 uint32_t max_passes = 0,
                                                 std::optional<uint32_t> union_find_from = std::nullopt);

// Where a Union-Find first pass pays, and where it does not. Matching's second pass starts from its
// first pass's growth and regrows only the regions the lowered edges disturb (in the components
// that flip an observable); Union-Find's first pass saves a matching decode but leaves the second
// to start afresh, and weighs the graph less well. So Union-Find goes first only on crowded shots,
// of at least kSparseShot fired detectors (those of d = 13 memory experiments at p >= 0.005; a d = 9
// shot at p = 0.005 holds 56 on average), where a third pass repairs what it weighed wrongly, and
// only on graphs where errors of several components hold at least kDenseShare of the probability
// (uniform circuit and code-capacity-like noise 0.42-0.46, SI1000-like 0.24-0.28,
// measurement-heavy 0.13-0.16, at any p and d): with fewer, a correction lowers fewer edges, and a
// warm second pass costs less than a fresh one after Union-Find. Returns kNever where it never
// goes first.
inline constexpr uint32_t kSparseShot = 96;
inline constexpr double kDenseShare = 0.35;
inline constexpr uint32_t kNever = UINT32_MAX;
uint32_t default_union_find_from(const DecodingGraph& graph);

// A correlated method's passes at most when not given.
uint32_t default_correlated_passes(DecodeMethod method) noexcept;

}  // namespace ostrel::decode
