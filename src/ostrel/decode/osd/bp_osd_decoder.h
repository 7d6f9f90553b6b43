#pragma once
// BP+OSD: belief propagation on the model's check matrix; when it does not meet the syndrome,
// ordered statistics on its marginals. The options carry the names users know from other BP+OSD
// decoders, so that settings move between them.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ostrel/decode/belief/belief_propagation.h"
#include "ostrel/decode/osd/ordered_statistics.h"
#include "ostrel/dem/dem_model.h"
#include "ostrel/util/result.h"

namespace ostrel::decode::osd {

struct BpOsdOptions {
  belief::BpOptions bp;
  OsdMethod osd_method = OsdMethod::kCombinationSweep;
  uint32_t osd_order = 10;
};

// "minimum_sum" / "product_sum", "parallel" / "serial", "osd0" / "osd_e" / "osd_cs" (also
// "osd_0", "exhaustive", "combination_sweep"); nothing for other text.
std::optional<belief::BpMethod> parse_bp_method(std::string_view text);
std::optional<belief::BpSchedule> parse_bp_schedule(std::string_view text);
std::optional<OsdMethod> parse_osd_method(std::string_view text);
// Why these options cannot be used, or nothing.
std::optional<std::string> refuse_options(const BpOsdOptions& options);

class BpOsdDecoder {
 public:
  static Result<BpOsdDecoder, std::string> create(const dem::DetectorErrorModel& dem, const BpOsdOptions& options);
  static Result<BpOsdDecoder, std::string> create(std::shared_ptr<const belief::CheckMatrix> matrix,
                                                  const BpOsdOptions& options, uint64_t budget);

  // Fired detectors, ascending; returns the observables of the correction.
  uint64_t decode(std::span<const uint32_t> fired);
  // The last correction's columns (BP's hard decision, or OSD's), and its weight.
  std::span<const uint32_t> correction();
  double correction_weight() const { return weight_; }
  // Whether the last decode was answered by BP alone.
  bool bp_converged() const { return bp_converged_; }
  const belief::CheckMatrix& matrix() const { return bp_.matrix(); }
  const BpOsdOptions& options() const { return options_; }

 private:
  BpOsdDecoder(belief::BeliefPropagation bp, OrderedStatistics osd, const BpOsdOptions& options)
      : bp_(std::move(bp)), osd_(std::move(osd)), options_(options) {}

  belief::BeliefPropagation bp_;
  OrderedStatistics osd_;
  BpOsdOptions options_;
  std::vector<uint32_t> correction_;
  bool bp_converged_ = true;
  bool from_osd_ = false;
  double weight_ = 0;
};

}  // namespace ostrel::decode::osd
