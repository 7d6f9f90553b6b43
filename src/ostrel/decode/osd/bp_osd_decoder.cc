#include "ostrel/decode/osd/bp_osd_decoder.h"

#include <cmath>

#include "ostrel/util/memory_budget.h"

namespace ostrel::decode::osd {

std::optional<belief::BpMethod> parse_bp_method(std::string_view text) {
  if (text == "minimum_sum" || text == "min_sum" || text == "ms") return belief::BpMethod::kMinSum;
  if (text == "product_sum" || text == "ps") return belief::BpMethod::kProductSum;
  return std::nullopt;
}

std::optional<belief::BpSchedule> parse_bp_schedule(std::string_view text) {
  if (text == "parallel") return belief::BpSchedule::kParallel;
  if (text == "serial") return belief::BpSchedule::kSerial;
  return std::nullopt;
}

std::optional<OsdMethod> parse_osd_method(std::string_view text) {
  if (text == "osd0" || text == "osd_0") return OsdMethod::kOsd0;
  if (text == "osd_e" || text == "exhaustive") return OsdMethod::kExhaustive;
  if (text == "osd_cs" || text == "combination_sweep") return OsdMethod::kCombinationSweep;
  return std::nullopt;
}

std::optional<std::string> refuse_options(const BpOsdOptions& options) {
  const double a = options.bp.ms_scaling_factor;
  if (!(a >= 0.0 && a <= 1.0)) return "ms_scaling_factor must be from 0 to 1 (0 adapts it per iteration)";
  if (options.osd_method == OsdMethod::kExhaustive && options.osd_order > kMaxExhaustiveOrder)
    return "osd_order " + std::to_string(options.osd_order) + " with osd_e would try 2^" +
           std::to_string(options.osd_order) + " candidates per shot; at most " +
           std::to_string(kMaxExhaustiveOrder) + " is accepted (osd_cs sweeps larger orders)";
  return std::nullopt;
}

Result<BpOsdDecoder, std::string> BpOsdDecoder::create(const dem::DetectorErrorModel& dem,
                                                       const BpOsdOptions& options) {
  if (auto refusal = refuse_options(options)) return fail(std::move(*refusal));
  const uint64_t budget = decoding_memory_budget();
  auto matrix = belief::build_check_matrix(dem, budget);
  if (!matrix) return fail(std::move(matrix).error());
  return create(std::move(*matrix), options, budget);
}

Result<BpOsdDecoder, std::string> BpOsdDecoder::create(std::shared_ptr<const belief::CheckMatrix> matrix,
                                                       const BpOsdOptions& options, uint64_t budget) {
  if (auto refusal = refuse_options(options)) return fail(std::move(*refusal));
  auto osd = OrderedStatistics::create(matrix, budget);
  if (!osd) return fail(std::move(osd).error());
  return BpOsdDecoder(belief::BeliefPropagation(std::move(matrix), options.bp), std::move(*osd), options);
}

uint64_t BpOsdDecoder::decode(std::span<const uint32_t> fired) {
  bp_.set_syndrome(fired);
  from_osd_ = false;
  correction_.clear();
  if (bp_.syndrome_empty() && !bp_.matrix().has_likely_column) {
    bp_converged_ = true;
    weight_ = 0;
    return 0;
  }
  bp_converged_ = bp_.decode();
  if (bp_converged_) {
    weight_ = bp_.hard_weight();
    return bp_.hard_observables();
  }
  osd_.solve(bp_.fired(), bp_.marginals(), options_.osd_method, options_.osd_order);
  from_osd_ = true;
  weight_ = osd_.correction_weight();
  return osd_.correction_observables();
}

std::span<const uint32_t> BpOsdDecoder::correction() {
  if (from_osd_) return osd_.correction();
  if (correction_.empty() && !(bp_.syndrome_empty() && !bp_.matrix().has_likely_column)) {
    const auto hard = bp_.hard_decision();
    for (uint32_t c = 0; c < hard.size(); ++c)
      if (hard[c]) correction_.push_back(c);
  }
  return correction_;
}

}  // namespace ostrel::decode::osd
