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
// many fired detectors, matching's on the rest (kDefaultUnionFindFrom when not given).
inline constexpr uint32_t kDefaultUnionFindFrom = 24;
std::unique_ptr<GraphDecoder> make_graph_decoder(DecodeMethod method, std::shared_ptr<const DecodingGraph> graph,
                                                 uint32_t max_passes = 0,
                                                 uint32_t union_find_from = kDefaultUnionFindFrom);

// A correlated method's passes at most when not given.
uint32_t default_correlated_passes(DecodeMethod method) noexcept;

}  // namespace ostrel::decode
