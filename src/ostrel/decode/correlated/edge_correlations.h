#pragma once
// Correlations between the edges of a decoding graph, from errors of several components.
//
// A decomposed error is several components that occur together (a Y error is its X part and its
// Z part; a hook error is two edges). Once a correction holds edge a, an edge b that shares an
// error with a has become far more likely (Fowler, arXiv:1310.0863): given a, the shared error
// occurred with probability joint(a, b) / p(a), joint being the probability that at least one of
// the errors on both edges occurred, and b with at least that much. Edge b then weighs
// ln((1 - q) / q) with q = max(joint(a, b) / p(a), p(b)), q at most 0.5, in graph units: the pair
// is kept only when that is below b's own weight. Flipped edges (p > 0.5) neither give nor take
// correlations: their weight already says they occurred. Errors of more than
// kMaxCorrelatedComponents components on edges give none: their pairs grow as the square of their
// size, and real circuits decompose into two or three.
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel::decode {

struct DecodingEdge;

inline constexpr uint32_t kMaxCorrelatedComponents = 8;

struct EdgeCorrelation {
  uint32_t edge;   // the correlated edge
  int32_t weight;  // its weight once the edge listing it is in a correction
  bool operator==(const EdgeCorrelation&) const = default;
};

struct EdgeCorrelations {
  // The edges correlated with edge e: list[start[e] .. start[e + 1]); start is empty when no
  // edge has any.
  std::vector<uint32_t> start;
  std::vector<EdgeCorrelation> list;

  bool empty() const { return list.empty(); }
  std::span<const EdgeCorrelation> of(uint32_t edge) const {
    if (start.empty()) return {};
    return std::span(list).subspan(start[edge], start[edge + 1] - start[edge]);
  }
};

// One component of an error, placed on the graph edge it was merged into.
struct ErrorMember {
  uint32_t error;
  uint32_t edge;
  double probability;  // the error's
};

// The correlations of `edges` from the members of every error, in any order (reordered here).
EdgeCorrelations derive_edge_correlations(std::vector<ErrorMember> members, std::span<const DecodingEdge> edges);

// Whether two graphs' correlations decode alike: the same pairs, weights within one unit. A
// circuit's rounds may decompose the same errors differently (one error of p or two of about
// p / 2), which moves a conditional weight across a rounding step without changing any edge.
bool alike(const EdgeCorrelations& a, const EdgeCorrelations& b);

// Bytes derive_edge_correlations may take for errors of the given component counts, counted
// generously (its scratch and its result).
uint64_t edge_correlation_bytes(uint64_t pairs, uint64_t members);

}  // namespace ostrel::decode
