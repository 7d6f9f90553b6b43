#pragma once
// The decoding methods a caller can name, and the decoder each builds on a decoding graph.
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
};

// Every method's name, in the order callers list them.
std::span<const std::string_view> decode_method_names() noexcept;
std::string_view decode_method_name(DecodeMethod method) noexcept;
std::optional<DecodeMethod> parse_decode_method(std::string_view name) noexcept;

std::unique_ptr<GraphDecoder> make_graph_decoder(DecodeMethod method, std::shared_ptr<const DecodingGraph> graph);

}  // namespace ostrel::decode
