// A detector error model from arbitrary text, then everything built from it: the decoding graph,
// the hardware schema and its JSON, the decoder, and decodes of syndromes taken from the input.
//
// Every decoder runs: the fixed procedure (alone and in a stream decoder), the weighted one,
// matching, whose correction must explain the syndrome exactly, weigh no more than the weighted
// decoder's, and (for a few events on a small graph) weigh the brute-force minimum, and
// correlated decoding over both, whose correction must explain the syndrome exactly.
//
// Input: the model's text up to the first NUL byte; after it, the syndrome bytes. Each pair of
// syndrome bytes names a cell (little-endian, top bit set marks the cell 2, which is not fired).
// The first syndrome byte is also the ancilla count of the frames given to a stream decoder.
//
// The parser's limits are smaller than the defaults, so one input costs at most a few tens of
// megabytes and milliseconds; the limit checks are the same code either way.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "ostrel/driver/stream_decoder.h"
#include "ostrel/decode/decode_method.h"
#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/graph_components.h"
#include "ostrel/decode/matching/brute_force_matching.h"
#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/union_find.h"
#include "ostrel/decode/weighted_union_find.h"
#include "ostrel/dem/dem_parser.h"
#include "ostrel/dem/dem_schema.h"
#include "ostrel/dem/spacetime_graph.h"
#include "ostrel/qssf/schema.h"

namespace {

using namespace ostrel;

constexpr dem::DemLimits kLimits{.errors = 1 << 16, .targets = 1 << 18, .detector_declarations = 1 << 15};
constexpr uint64_t kMaxCells = 1 << 16;
// The graphs and decoders get a small memory budget (some 100,000 nodes at most) for
// the same reason.
constexpr uint64_t kBudget = 8 << 20;

// Cells named by the syndrome bytes, in a matrix of `cells` bytes.
std::vector<uint8_t> syndrome_matrix(std::span<const uint8_t> bytes, uint64_t cells) {
  std::vector<uint8_t> matrix(cells, 0);
  if (cells == 0) return matrix;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const uint16_t word = uint16_t(bytes[i] | bytes[i + 1] << 8);
    matrix[(word & 0x7fff) % cells] = (word & 0x8000) ? 2 : 1;
  }
  return matrix;
}

// The events a decode explains: fired detectors and the ends of edges taken as occurred.
std::vector<uint32_t> events_of(const decode::DecodingGraph& g, std::span<const uint32_t> fired) {
  std::vector<uint8_t> parity(g.detector_count + 1, 0);
  for (uint32_t d : fired)
    if (d < g.detector_count) parity[d] ^= 1;
  for (uint32_t e : g.flipped_edges) {
    parity[g.edges[e].u] ^= 1;
    parity[g.edges[e].v] ^= 1;
  }
  std::vector<uint32_t> events;
  for (uint32_t d = 0; d < g.detector_count; ++d)
    if (parity[d]) events.push_back(d);
  return events;
}

void check_matching(const std::shared_ptr<const decode::DecodingGraph>& graph, std::span<const uint32_t> fired,
                    decode::WeightedUnionFind& weighted) {
  const decode::DecodingGraph& g = *graph;
  decode::GraphComponents components(g);
  decode::matching::MatchingDecoder matching(graph);
  const uint64_t mask = matching.decode(fired);  // ends whatever the syndrome
  if (components.unmatchable(fired)) return;
  if (matching.decode(fired) != mask) std::abort();
  std::vector<uint8_t> parity(g.detector_count + 1, 0);
  double weight = 0;
  for (const uint32_t e : matching.correction()) {
    parity[g.edges[e].u] ^= 1;
    parity[g.edges[e].v] ^= 1;
    const double w = decode::matching::fine_weight(g.edges[e]) / decode::matching::kFineScale;
    weight += g.edges[e].flipped ? -w : w;
  }
  std::vector<uint8_t> expected(g.detector_count + 1, 0);
  for (uint32_t d : fired)
    if (d < g.detector_count) expected[d] ^= 1;
  for (uint32_t d = 0; d < g.detector_count; ++d)
    if (parity[d] != expected[d]) std::abort();
  if (std::abs(weight - matching.correction_weight()) > 1e-6 * (1 + std::abs(weight))) std::abort();
  // The weighted decoder's correction explains the same events: it weighs no less (up to its
  // coarser rounding, half a step of 1/64 per edge).
  const double slack = (weighted.correction().size() + matching.correction().size()) / 64.0;
  if (matching.correction_weight() > weighted.correction_weight() + slack) std::abort();
  const std::vector<uint32_t> events = events_of(g, fired);
  if (events.size() <= 10 && g.detector_count <= 40) {
    int64_t flipped = 0;
    for (uint32_t e : g.flipped_edges) flipped += decode::matching::fine_weight(g.edges[e]);
    const int64_t brute = decode::matching::brute_force_matching_weight(g, events);
    if (std::llround(matching.correction_weight() * decode::matching::kFineScale) != brute - flipped) std::abort();
  }
}

// Correlated decoding over both bases: its correction (edges taken as occurred included) flips
// exactly the fired set, and a second decode answers the same (the weights are restored).
void check_correlated(const std::shared_ptr<const decode::DecodingGraph>& graph, std::span<const uint32_t> fired) {
  const decode::DecodingGraph& g = *graph;
  decode::GraphComponents components(g);
  if (components.unmatchable(fired)) return;
  std::vector<uint8_t> expected(g.detector_count + 1, 0);
  for (uint32_t d : fired)
    if (d < g.detector_count) expected[d] ^= 1;
  for (const auto method : {decode::DecodeMethod::kCorrelatedUnionFind, decode::DecodeMethod::kCorrelatedMatching}) {
    auto correlated = decode::make_graph_decoder(method, graph);
    const uint64_t mask = correlated->decode(fired);
    std::vector<uint8_t> parity(g.detector_count + 1, 0);
    for (const uint32_t e : correlated->correction()) {
      if (e >= g.edges.size()) std::abort();
      parity[g.edges[e].u] ^= 1;
      parity[g.edges[e].v] ^= 1;
    }
    for (uint32_t d = 0; d < g.detector_count; ++d)
      if (parity[d] != expected[d]) std::abort();
    if (correlated->decode(fired) != mask) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* text_end = std::find(data, data + size, uint8_t{0});
  const std::string_view text(reinterpret_cast<const char*>(data), size_t(text_end - data));
  const std::span<const uint8_t> syndrome =
      text_end == data + size ? std::span<const uint8_t>() : std::span<const uint8_t>(text_end + 1, data + size);

  auto parsed = dem::parse_dem(text, kLimits);
  if (!parsed.ok()) {
    (void)parsed.error().message();
    return 0;
  }
  const dem::DetectorErrorModel& model = *parsed;

  const qssf::HardwareSchema schema = dem::schema_from_dem(model, "fuzz", qssf::SchemaId{});
  const std::string json = qssf::to_json(schema);
  if (json.empty()) std::abort();

  // The weighted decoder: its graph, then the same syndrome as a list of fired detectors.
  auto weighted_graph = decode::build_decoding_graph(model, kBudget);
  if (weighted_graph.ok()) {
    decode::WeightedUnionFind weighted(*weighted_graph);
    std::vector<uint32_t> fired;
    for (size_t i = 0; i + 1 < syndrome.size(); i += 2)
      fired.push_back(uint32_t(syndrome[i] | syndrome[i + 1] << 8) % uint32_t(model.detector_count + 2));
    const uint64_t mask = weighted.decode(fired);
    for (uint32_t e : weighted.correction())
      if (e >= (*weighted_graph)->edges.size()) std::abort();
    if (weighted.decode(fired) != mask) std::abort();
    check_matching(*weighted_graph, fired, weighted);
    check_correlated(*weighted_graph, fired);
  }

  auto within = driver::decoding_bytes(model, kBudget);
  auto graph = dem::build_spacetime_graph(model, kBudget);
  // The combined count is never below the graph's own.
  if (within.ok() && !graph.ok() && graph.error().kind == dem::GraphBuildError::Kind::OverBudget) std::abort();
  if (!graph.ok()) {
    (void)graph.error().message();
    return 0;
  }
  auto decoder = decode::UnionFindDecoder::create(*graph, kBudget);
  if (within.ok() && !decoder.ok()) std::abort();
  if (!decoder.ok()) {
    (void)decoder.error().message();
    return 0;
  }
  // One cell past the boundary node, so cells naming no detector are exercised too.
  const uint64_t cells = std::min<uint64_t>(model.detector_count + 2, kMaxCells);
  const std::vector<uint8_t> matrix = syndrome_matrix(syndrome, cells);
  const uint64_t mask = decoder->decode(matrix);
  // The same syndrome decodes the same way again: nothing is left over from the first decode.
  if (decoder->decode(matrix) != mask) std::abort();

  auto stream = driver::StreamDecoder::create(*graph, model.detector_count, syndrome.size() % 5);
  if (!stream.ok()) return 0;
  const uint64_t ancillas = syndrome.empty() ? 0 : syndrome[0];
  // Three rounds cut from the matrix: a row may be shorter than the ancilla count, or empty.
  for (size_t round = 0; round < 3; ++round) {
    const auto rest = std::span<const uint8_t>(matrix).subspan(std::min<size_t>(matrix.size(), round * ancillas));
    const auto events = rest.first(std::min<size_t>(rest.size(), ancillas));
    auto decoded = stream->decode_frame(ancillas, events);
    if (!decoded.ok()) (void)decoded.error().message();
  }
  return 0;
}
