#pragma once
// The edges of a matching's paths, for a graph where matched pairs are mostly the two ends of one
// edge: that edge is their path, found by a look along one node's edges instead of the search the
// matcher runs; a matching with a pair of any other kind takes the matcher's paths.
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/matching/matching_decoder.h"

namespace ostrel::decode::mobius {

// `scratch` holds the edges when the look finds them all.
std::span<const uint32_t> matched_paths(matching::MatchingDecoder& matcher, std::vector<uint32_t>& scratch);

}  // namespace ostrel::decode::mobius
