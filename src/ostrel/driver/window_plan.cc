#include "ostrel/driver/window_plan.h"

#include <string>

#include "ostrel/dem/dem_parser.h"

namespace ostrel::driver {

Result<FoldedOrParsed, DriverError> fold_or_parse(std::string_view text, uint32_t commit_rounds,
                                                  uint32_t buffer_rounds, const MethodSpec& method, bool may_fold) {
  FoldedOrParsed out;
  std::string fold_error;
  if (may_fold && method.graph_method) {
    auto folded = decode::SlidingWindowPlan::create_folded(text, commit_rounds, buffer_rounds);
    if (folded.ok()) {
      if (*folded) {
        out.folded = WindowPlan{&method, std::move(folded).value(), nullptr};
        return out;
      }
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

Result<WindowPlan, DriverError> plan_window(const dem::DetectorErrorModel& model, decode::DetectorLayout layout,
                                            uint32_t commit_rounds, uint32_t buffer_rounds, const MethodSpec& method,
                                            const DecoderOptions& options) {
  if (!method.graph_method) {
    auto created = ModelWindowPlan::create(model, std::move(layout), commit_rounds, buffer_rounds, method, options);
    if (!created.ok()) return fail(std::move(created).error());
    return WindowPlan{&method, nullptr, std::move(created).value()};
  }
  auto created = decode::SlidingWindowPlan::create(model, std::move(layout), commit_rounds, buffer_rounds);
  if (!created.ok()) return fail(DriverError::invalid(std::move(created).error()));
  if (auto unknown = options.unread(method.name)) return fail(DriverError::invalid(std::move(*unknown)));
  return WindowPlan{&method, std::move(created).value(), nullptr};
}

Result<WindowPlan, DriverError> plan_window_from_text(std::string_view text, uint32_t commit_rounds,
                                                      uint32_t buffer_rounds, const MethodSpec& method,
                                                      const DecoderOptions& options, bool may_fold) {
  auto got = fold_or_parse(text, commit_rounds, buffer_rounds, method, may_fold);
  if (!got.ok()) return fail(std::move(got).error());
  if (got->folded) {
    if (auto unknown = options.unread(method.name)) return fail(DriverError::invalid(std::move(*unknown)));
    return std::move(*got->folded);
  }
  auto layout = decode::DetectorLayout::from_coordinates(got->model);
  if (!layout.ok()) return fail(DriverError::invalid(std::move(layout).error()));
  return plan_window(got->model, std::move(layout).value(), commit_rounds, buffer_rounds, method, options);
}

}  // namespace ostrel::driver
