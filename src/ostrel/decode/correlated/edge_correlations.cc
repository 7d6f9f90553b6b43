#include "ostrel/decode/correlated/edge_correlations.h"

#include <algorithm>
#include <cmath>

#include "ostrel/decode/decoding_graph.h"

namespace ostrel::decode {
namespace {

struct Pair {
  uint32_t from, to;
  double probability;  // of the error they share
};

}  // namespace

EdgeCorrelations derive_edge_correlations(std::vector<ErrorMember> members, std::span<const DecodingEdge> edges) {
  EdgeCorrelations out;
  std::stable_sort(members.begin(), members.end(),
                   [](const ErrorMember& a, const ErrorMember& b) { return a.error < b.error; });
  std::vector<Pair> pairs;
  for (size_t a = 0; a < members.size();) {
    size_t b = a;
    while (b < members.size() && members[b].error == members[a].error) ++b;
    if (b - a >= 2 && b - a <= kMaxCorrelatedComponents)
      for (size_t i = a; i < b; ++i)
        for (size_t j = a; j < b; ++j) {
          const uint32_t from = members[i].edge, to = members[j].edge;
          if (from != to && !edges[from].flipped && !edges[to].flipped)
            pairs.push_back({from, to, members[i].probability});
        }
    a = b;
  }
  if (pairs.empty()) return out;
  // Probability last: the shared errors of a pair combine in one order whatever order they came in.
  std::sort(pairs.begin(), pairs.end(), [](const Pair& x, const Pair& y) {
    if (x.from != y.from) return x.from < y.from;
    return x.to != y.to ? x.to < y.to : x.probability < y.probability;
  });

  out.start.assign(edges.size() + 1, 0);
  for (size_t a = 0; a < pairs.size();) {
    size_t b = a;
    double none = 1.0;  // probability that no shared error occurred
    for (; b < pairs.size() && pairs[b].from == pairs[a].from && pairs[b].to == pairs[a].to; ++b)
      none *= 1.0 - std::min(pairs[b].probability, 1.0);
    const DecodingEdge& from = edges[pairs[a].from];
    const DecodingEdge& to = edges[pairs[a].to];
    const double q = std::min(0.5, std::max((1.0 - none) / from.probability, to.probability));
    const int32_t weight = discretised_weight(q);
    if (weight < to.weight) {
      out.list.push_back({pairs[a].to, weight});
      ++out.start[pairs[a].from + 1];
    }
    a = b;
  }
  for (size_t e = 0; e < edges.size(); ++e) out.start[e + 1] += out.start[e];
  if (out.list.empty()) out.start.clear();
  return out;
}

bool alike(const EdgeCorrelations& a, const EdgeCorrelations& b) {
  if (a.start != b.start || a.list.size() != b.list.size()) return false;
  for (size_t i = 0; i < a.list.size(); ++i)
    if (a.list[i].edge != b.list[i].edge || std::abs(a.list[i].weight - b.list[i].weight) > 1) return false;
  return true;
}

uint64_t edge_correlation_bytes(uint64_t pairs, uint64_t members) {
  // A member record each, and per ordered pair its record, the sort's buffer and the result entry
  // (the lists grow by doubling).
  return members * 2 * sizeof(ErrorMember) + pairs * (2 * sizeof(Pair) + sizeof(Pair) + 2 * sizeof(EdgeCorrelation));
}

}  // namespace ostrel::decode
