#include "ostrel/driver/hypergraph_methods.h"

#include <optional>

#include "ostrel/decode/belief/belief_matching_decoder.h"
#include "ostrel/decode/belief/relay_bp_decoder.h"
#include "ostrel/decode/graph_components.h"
#include "ostrel/decode/osd/bp_osd_decoder.h"

namespace ostrel::driver {
namespace {

using decode::belief::BpOptions;

// A decoder of the decode floor with decode(fired) -> mask and correction_weight().
template <class Decoder>
class HypergraphShotDecoder final : public ShotDecoder {
 public:
  explicit HypergraphShotDecoder(Decoder decoder) : decoder_(std::move(decoder)) {}
  Result<uint64_t, std::string> decode(std::span<const uint32_t> fired) override { return decoder_.decode(fired); }
  bool weighs_corrections() const noexcept override { return true; }
  double correction_weight() override { return decoder_.correction_weight(); }
  bool reports_correction() const noexcept override { return true; }
  // Each column of the correction: its detectors are its rows.
  void report_correction(CorrectionSink& sink) override {
    const decode::belief::CheckMatrix& h = decoder_.matrix();
    for (const uint32_t c : decoder_.correction()) sink.piece(h.rows_of(c), h.observables[c]);
  }
  std::unique_ptr<ShotDecoder> clone() const override { return std::make_unique<HypergraphShotDecoder>(*this); }

 private:
  Decoder decoder_;
};

// Belief-matching meets shots no matching explains, as the graph methods do.
class BeliefMatchingShotDecoder final : public ShotDecoder {
 public:
  explicit BeliefMatchingShotDecoder(decode::belief::BeliefMatchingDecoder decoder) : decoder_(std::move(decoder)) {
    decode::GraphComponents components(decoder_.graph());
    if (components.any_closed()) components_.emplace(std::move(components));
  }
  Result<uint64_t, std::string> decode(std::span<const uint32_t> fired) override {
    if (components_) {
      if (auto odd = components_->unmatchable(fired)) return fail(components_->describe(*odd));
    }
    return decoder_.decode(fired);
  }
  bool weighs_corrections() const noexcept override { return true; }
  double correction_weight() override { return decoder_.correction_weight(); }
  bool reports_correction() const noexcept override { return true; }
  // Each matched edge of the graph: one or two detectors.
  void report_correction(CorrectionSink& sink) override {
    const decode::DecodingGraph& g = decoder_.graph();
    for (const uint32_t e : decoder_.correction()) {
      const decode::DecodingEdge& edge = g.edges[e];
      const uint32_t ends[2] = {edge.u, edge.v};
      sink.piece(std::span(ends, edge.v == g.boundary() ? 1 : 2), edge.observables);
    }
  }
  std::unique_ptr<ShotDecoder> clone() const override { return std::make_unique<BeliefMatchingShotDecoder>(*this); }

 private:
  decode::belief::BeliefMatchingDecoder decoder_;
  std::optional<decode::GraphComponents> components_;
};

#define OSTREL_READ(target, expression)                                     \
  do {                                                                      \
    auto read_ = (expression);                                              \
    if (!read_.ok()) return fail(DriverError::invalid(std::move(read_).error())); \
    target = std::move(read_).value();                                      \
  } while (0)

// The BP options every method here shares, with the method's defaults.
Result<BpOptions, std::string> read_bp(const DecoderOptions& options, const BpOptions& defaults) {
  BpOptions bp = defaults;
  auto max_iter = options.integer("max_iter", defaults.max_iter, 0, 1 << 20);
  if (!max_iter.ok()) return fail(std::move(max_iter).error());
  bp.max_iter = static_cast<uint32_t>(*max_iter);
  auto method = options.choice("bp_method",
                               defaults.method == decode::belief::BpMethod::kMinSum ? "minimum_sum" : "product_sum",
                               {"minimum_sum", "product_sum", "min_sum", "ms", "ps"});
  if (!method.ok()) return fail(std::move(method).error());
  bp.method = *decode::osd::parse_bp_method(*method);
  auto scaling = options.number("ms_scaling_factor", defaults.ms_scaling_factor, 0.0, 1.0);
  if (!scaling.ok()) return fail(std::move(scaling).error());
  bp.ms_scaling_factor = *scaling;
  auto schedule = options.choice("schedule", defaults.schedule == decode::belief::BpSchedule::kSerial ? "serial" : "parallel",
                                 {"parallel", "serial"});
  if (!schedule.ok()) return fail(std::move(schedule).error());
  bp.schedule = *decode::osd::parse_bp_schedule(*schedule);
  return bp;
}

}  // namespace

Result<std::unique_ptr<ShotDecoder>, DriverError> make_bp_osd(const dem::DetectorErrorModel& model,
                                                              const DecoderOptions& options) {
  decode::osd::BpOsdOptions o;
  OSTREL_READ(o.bp, read_bp(options, o.bp));
  std::string osd_method;
  OSTREL_READ(osd_method, options.choice("osd_method", "osd_cs",
                                         {"osd_cs", "osd_e", "osd0", "osd_0", "combination_sweep", "exhaustive"}));
  o.osd_method = *decode::osd::parse_osd_method(osd_method);
  int64_t order = 0;
  OSTREL_READ(order, options.integer("osd_order", o.osd_order, 0, 1 << 20));
  o.osd_order = static_cast<uint32_t>(order);
  auto decoder = decode::osd::BpOsdDecoder::create(model, o);
  if (!decoder.ok()) return fail(DriverError::invalid(std::move(decoder).error()));
  return std::unique_ptr<ShotDecoder>(
      std::make_unique<HypergraphShotDecoder<decode::osd::BpOsdDecoder>>(std::move(decoder).value()));
}

Result<std::unique_ptr<ShotDecoder>, DriverError> make_relay_bp(const dem::DetectorErrorModel& model,
                                                                const DecoderOptions& options) {
  decode::belief::RelayBpOptions o;
  constexpr int64_t kMaxIterations = 1 << 20;
  int64_t value = 0;
  OSTREL_READ(o.gamma0, options.number("gamma0", o.gamma0, -10.0, 10.0));
  OSTREL_READ(value, options.integer("pre_iter", o.pre_iter, 0, kMaxIterations));
  o.pre_iter = static_cast<uint32_t>(value);
  OSTREL_READ(value, options.integer("num_iter", o.num_iter, 1, kMaxIterations));
  o.num_iter = static_cast<uint32_t>(value);
  OSTREL_READ(value, options.integer("legs", o.legs, 0, kMaxIterations));
  o.legs = static_cast<uint32_t>(value);
  OSTREL_READ(o.gamma_min, options.number("gamma_min", o.gamma_min, -10.0, 10.0));
  OSTREL_READ(o.gamma_max, options.number("gamma_max", o.gamma_max, -10.0, 10.0));
  OSTREL_READ(value, options.integer("solutions", o.solutions, 1, kMaxIterations));
  o.solutions = static_cast<uint32_t>(value);
  OSTREL_READ(o.ms_scaling_factor, options.number("ms_scaling_factor", o.ms_scaling_factor, 0.0, 1.0));
  OSTREL_READ(value, options.integer("seed", 0, 0, INT64_MAX));
  o.seed = static_cast<uint64_t>(value);
  std::string schedule;
  OSTREL_READ(schedule, options.choice("schedule", "parallel", {"parallel", "serial"}));
  o.schedule = *decode::osd::parse_bp_schedule(schedule);
  OSTREL_READ(value, options.integer("neighbourhood", 0, 0, 1));
  o.neighbourhood = value != 0;
  OSTREL_READ(value, options.integer("complete_lone_rows", 1, 0, 1));
  o.complete_lone_rows = value != 0;
  auto decoder = decode::belief::RelayBpDecoder::create(model, o);
  if (!decoder.ok()) return fail(DriverError::invalid(std::move(decoder).error()));
  return std::unique_ptr<ShotDecoder>(
      std::make_unique<HypergraphShotDecoder<decode::belief::RelayBpDecoder>>(std::move(decoder).value()));
}

Result<std::unique_ptr<ShotDecoder>, DriverError> make_belief_matching(const dem::DetectorErrorModel& model,
                                                                       const DecoderOptions& options) {
  decode::belief::BeliefMatchingOptions o;
  OSTREL_READ(o.bp, read_bp(options, o.bp));
  auto decoder = decode::belief::BeliefMatchingDecoder::create(model, o);
  if (!decoder.ok()) return fail(DriverError::invalid(std::move(decoder).error()));
  return std::unique_ptr<ShotDecoder>(std::make_unique<BeliefMatchingShotDecoder>(std::move(decoder).value()));
}

#undef OSTREL_READ

}  // namespace ostrel::driver
