#pragma once
// The sliding window's plan from a model, as every front door builds it: a long top-level repeat
// block of whole rounds is folded (a model of a few windows' rounds decodes any number of
// them); a model that cannot be folded is expanded when the parser's limits allow.
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "ostrel/decode/detector_layout.h"
#include "ostrel/decode/sliding_window.h"
#include "ostrel/dem/dem_model.h"
#include "ostrel/driver/method_registry.h"
#include "ostrel/util/result.h"

namespace ostrel::driver {

// The folded plan, or (when nothing was folded) the model parsed whole, for the caller to lay out.
struct FoldedOrParsed {
  std::shared_ptr<const decode::SlidingWindowPlan> folded;
  dem::DetectorErrorModel model;
};

// `may_fold` is false when the caller lays the model out itself (a table): then it is parsed.
Result<FoldedOrParsed, DriverError> fold_or_parse(std::string_view text, uint32_t commit_rounds,
                                                  uint32_t buffer_rounds, bool may_fold = true);

// The plan of a parsed model under `layout`, after the checks every decoder makes.
Result<std::shared_ptr<const decode::SlidingWindowPlan>, DriverError> plan_window(const dem::DetectorErrorModel& model,
                                                                                 decode::DetectorLayout layout,
                                                                                 uint32_t commit_rounds,
                                                                                 uint32_t buffer_rounds);

// Text laid out by its coordinates, folded where it can be (and `may_fold`: parallel windows hold
// every round of a shot, so they take the model expanded).
Result<std::shared_ptr<const decode::SlidingWindowPlan>, DriverError> plan_window_from_text(std::string_view text,
                                                                                           uint32_t commit_rounds,
                                                                                           uint32_t buffer_rounds,
                                                                                           bool may_fold = true);

}  // namespace ostrel::driver
