#include "ostrel/driver/graph_methods.h"

#include <new>
#include <optional>
#include <vector>

#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/graph_components.h"
#include "ostrel/decode/union_find.h"
#include "ostrel/dem/spacetime_graph.h"
#include "ostrel/driver/stream_decoder.h"

namespace ostrel::driver {
namespace {

class GraphShotDecoder final : public ShotDecoder {
 public:
  explicit GraphShotDecoder(std::unique_ptr<decode::GraphDecoder> decoder) : decoder_(std::move(decoder)) {
    decode::GraphComponents components(decoder_->graph());
    // Only graphs with a part that has no boundary can meet a shot no matching explains.
    if (components.any_closed()) components_.emplace(std::move(components));
  }
  GraphShotDecoder(const GraphShotDecoder& other) : decoder_(other.decoder_->clone()), components_(other.components_) {}

  Result<uint64_t, std::string> decode(std::span<const uint32_t> fired) override {
    if (components_) {
      if (auto odd = components_->unmatchable(fired)) return fail(components_->describe(*odd));
    }
    return decoder_->decode(fired);
  }
  bool weighs_corrections() const noexcept override { return true; }
  double correction_weight() override { return decoder_->correction_weight(); }
  std::unique_ptr<ShotDecoder> clone() const override { return std::make_unique<GraphShotDecoder>(*this); }

 private:
  std::unique_ptr<decode::GraphDecoder> decoder_;
  std::optional<decode::GraphComponents> components_;
};

// The fixed procedure reads a detector matrix: the shot's fired detectors as bytes.
class FixedShotDecoder final : public ShotDecoder {
 public:
  explicit FixedShotDecoder(decode::UnionFindDecoder decoder)
      : decoder_(std::move(decoder)), cells_(decoder_.node_count(), 0) {}

  Result<uint64_t, std::string> decode(std::span<const uint32_t> fired) override {
    for (uint32_t d : fired)
      if (d < cells_.size()) cells_[d] = 1;
    const uint64_t mask = decoder_.decode(cells_);
    for (uint32_t d : fired)
      if (d < cells_.size()) cells_[d] = 0;
    return mask;
  }
  std::unique_ptr<ShotDecoder> clone() const override { return std::make_unique<FixedShotDecoder>(*this); }

 private:
  decode::UnionFindDecoder decoder_;
  std::vector<uint8_t> cells_;
};

Result<std::unique_ptr<ShotDecoder>, DriverError> on_graph(const dem::DetectorErrorModel& model,
                                                           const DecoderOptions& options, decode::DecodeMethod method) {
  uint32_t passes = 0;
  std::optional<uint32_t> union_find_from;
  if (method == decode::DecodeMethod::kCorrelatedUnionFind || method == decode::DecodeMethod::kCorrelatedMatching) {
    // Not given: the method's default (0), which may differ from any count given.
    auto read = options.integer("max_passes", 0, 1, 64);
    if (!read.ok()) return fail(DriverError::invalid(std::move(read).error()));
    passes = static_cast<uint32_t>(read.value());
  }
  if (method == decode::DecodeMethod::kCorrelatedUnionFind) {
    auto read = options.integer("union_find_from", -1, 0, UINT32_MAX);
    if (!read.ok()) return fail(DriverError::invalid(std::move(read).error()));
    if (read.value() >= 0) union_find_from = static_cast<uint32_t>(read.value());
  }
  auto graph = decode::build_decoding_graph(model);
  if (!graph.ok()) {
    std::string message = std::move(graph).error();
    if (message.find("decomposed into components") != std::string::npos)
      message += hyperedge_advice(decode::decode_method_name(method));
    return fail(DriverError::invalid(std::move(message)));
  }
  return graph_shot_decoder(decode::make_graph_decoder(method, std::move(graph).value(), passes, union_find_from));
}

}  // namespace

std::unique_ptr<ShotDecoder> graph_shot_decoder(std::unique_ptr<decode::GraphDecoder> decoder) {
  return std::make_unique<GraphShotDecoder>(std::move(decoder));
}

Result<std::unique_ptr<ShotDecoder>, DriverError> make_weighted_union_find(const dem::DetectorErrorModel& model,
                                                                           const DecoderOptions& options) {
  return on_graph(model, options, decode::DecodeMethod::kWeightedUnionFind);
}
Result<std::unique_ptr<ShotDecoder>, DriverError> make_matching(const dem::DetectorErrorModel& model,
                                                                const DecoderOptions& options) {
  return on_graph(model, options, decode::DecodeMethod::kMatching);
}
Result<std::unique_ptr<ShotDecoder>, DriverError> make_correlated_union_find(const dem::DetectorErrorModel& model,
                                                                             const DecoderOptions& options) {
  return on_graph(model, options, decode::DecodeMethod::kCorrelatedUnionFind);
}
Result<std::unique_ptr<ShotDecoder>, DriverError> make_correlated_matching(const dem::DetectorErrorModel& model,
                                                                           const DecoderOptions& options) {
  return on_graph(model, options, decode::DecodeMethod::kCorrelatedMatching);
}

Result<decode::UnionFindDecoder, DriverError> build_fixed_procedure(const dem::DetectorErrorModel& model) {
  if (auto refused = dem::check_node_count(model)) return fail(DriverError::invalid(refused->message()));
  if (auto within = decoding_bytes(model); !within.ok()) return fail(DriverError::invalid(within.error().message()));
  auto graph = dem::build_spacetime_graph(model);
  if (!graph.ok()) return fail(DriverError::invalid(graph.error().message()));
  auto decoder = decode::UnionFindDecoder::create(std::move(graph).value());
  if (!decoder.ok()) {
    const bool memory = decoder.error().kind == decode::DecoderErrorKind::OutOfMemory;
    return fail(DriverError{memory ? DriverError::Kind::OutOfMemory : DriverError::Kind::InvalidArgument,
                            decoder.error().message()});
  }
  return std::move(decoder).value();
}

Result<std::unique_ptr<ShotDecoder>, DriverError> make_fixed_union_find(const dem::DetectorErrorModel& model,
                                                                        const DecoderOptions&) {
  auto decoder = build_fixed_procedure(model);
  if (!decoder.ok()) return fail(std::move(decoder).error());
  return std::unique_ptr<ShotDecoder>(std::make_unique<FixedShotDecoder>(std::move(decoder).value()));
}

}  // namespace ostrel::driver
