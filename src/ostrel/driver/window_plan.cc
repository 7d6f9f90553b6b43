#include "ostrel/driver/window_plan.h"

#include <string>

#include "ostrel/dem/dem_parser.h"

namespace ostrel::driver {

Result<FoldedOrParsed, DriverError> fold_or_parse(std::string_view text, uint32_t commit_rounds,
                                                  uint32_t buffer_rounds, bool may_fold) {
  FoldedOrParsed out;
  std::string fold_error;
  if (may_fold) {
    auto folded = decode::SlidingWindowPlan::create_folded(text, commit_rounds, buffer_rounds);
    if (folded.ok()) {
      out.folded = std::move(folded).value();
      if (out.folded) return out;
    } else {
      fold_error = std::move(folded).error();
    }
  }
  auto parsed = dem::parse_dem(text);
  if (!parsed.ok()) {
    if (fold_error.empty()) return fail(DriverError{DriverError::Kind::BadText, parsed.error().located_message()});
    return fail(DriverError{DriverError::Kind::BadText, "cannot decode the repeat block by folding (" + fold_error +
                                                            ") nor expand it: " + parsed.error().located_message()});
  }
  out.model = std::move(parsed).value();
  return out;
}

Result<std::shared_ptr<const decode::SlidingWindowPlan>, DriverError> plan_window(const dem::DetectorErrorModel& model,
                                                                                 decode::DetectorLayout layout,
                                                                                 uint32_t commit_rounds,
                                                                                 uint32_t buffer_rounds) {
  auto created = decode::SlidingWindowPlan::create(model, std::move(layout), commit_rounds, buffer_rounds);
  if (!created.ok()) return fail(DriverError::invalid(std::move(created).error()));
  return std::move(created).value();
}

Result<std::shared_ptr<const decode::SlidingWindowPlan>, DriverError> plan_window_from_text(std::string_view text,
                                                                                           uint32_t commit_rounds,
                                                                                           uint32_t buffer_rounds,
                                                                                           bool may_fold) {
  auto got = fold_or_parse(text, commit_rounds, buffer_rounds, may_fold);
  if (!got.ok()) return fail(std::move(got).error());
  if (got->folded) return std::move(got->folded);
  auto layout = decode::DetectorLayout::from_coordinates(got->model);
  if (!layout.ok()) return fail(DriverError::invalid(std::move(layout).error()));
  return plan_window(got->model, std::move(layout).value(), commit_rounds, buffer_rounds);
}

}  // namespace ostrel::driver
