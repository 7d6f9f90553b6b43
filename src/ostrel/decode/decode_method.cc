#include "ostrel/decode/decode_method.h"

#include <array>

#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/weighted_union_find.h"

namespace ostrel::decode {
namespace {

constexpr std::array<std::string_view, 2> kNames = {"weighted-union-find", "matching"};

}  // namespace

std::span<const std::string_view> decode_method_names() noexcept { return kNames; }

std::string_view decode_method_name(DecodeMethod method) noexcept { return kNames[static_cast<size_t>(method)]; }

std::optional<DecodeMethod> parse_decode_method(std::string_view name) noexcept {
  for (size_t i = 0; i < kNames.size(); ++i)
    if (kNames[i] == name) return static_cast<DecodeMethod>(i);
  return std::nullopt;
}

std::unique_ptr<GraphDecoder> make_graph_decoder(DecodeMethod method, std::shared_ptr<const DecodingGraph> graph) {
  switch (method) {
    case DecodeMethod::kWeightedUnionFind:
      break;
    case DecodeMethod::kMatching:
      return std::make_unique<matching::MatchingDecoder>(std::move(graph));
  }
  return std::make_unique<WeightedUnionFind>(std::move(graph));
}

}  // namespace ostrel::decode
