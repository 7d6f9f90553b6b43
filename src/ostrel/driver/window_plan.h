#pragma once
// The sliding window's plan from a model, as every front door builds it, for any method: the
// graph methods window the decoding graph (decode/sliding_window.h), where a long top-level repeat
// block of whole rounds is folded (a model of a few windows' rounds decodes any number of them)
// or else expanded when the parser's limits allow; the others window the model itself
// (model_window.h), expanded.
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "ostrel/decode/detector_layout.h"
#include "ostrel/decode/sliding_window.h"
#include "ostrel/dem/dem_model.h"
#include "ostrel/driver/decoder_options.h"
#include "ostrel/driver/method_registry.h"
#include "ostrel/driver/model_window.h"
#include "ostrel/util/result.h"

namespace ostrel::driver {

// Immutable and shared: one of the two plans, by the method's kind.
struct WindowPlan {
  const MethodSpec* method = nullptr;
  std::shared_ptr<const decode::SlidingWindowPlan> graph;  // a method on a decoding graph
  std::shared_ptr<const ModelWindowPlan> model;            // any other

  const decode::DetectorLayout& layout() const noexcept { return graph ? graph->layout() : model->layout(); }
  uint32_t commit_rounds() const noexcept { return graph ? graph->commit_rounds() : model->commit_rounds(); }
  uint32_t buffer_rounds() const noexcept { return graph ? graph->buffer_rounds() : model->buffer_rounds(); }
  uint32_t rounds_per_shot() const noexcept { return graph ? graph->rounds_per_shot() : model->rounds_per_shot(); }
  uint64_t model_detector_count() const noexcept {
    return graph ? graph->model_detector_count() : model->model_detector_count();
  }
  uint64_t observable_count() const noexcept { return graph ? graph->observable_count() : model->observable_count(); }
};

// The folded plan, or (when nothing was folded) the model parsed whole, for the caller to lay out.
struct FoldedOrParsed {
  std::optional<WindowPlan> folded;
  dem::DetectorErrorModel model;
};

// `may_fold` is false when the caller lays the model out itself (a table) or decodes windows in
// parallel: then it is parsed. Only the graph methods fold.
Result<FoldedOrParsed, DriverError> fold_or_parse(std::string_view text, uint32_t commit_rounds,
                                                  uint32_t buffer_rounds, const MethodSpec& method,
                                                  bool may_fold = true);

// The plan of a parsed model under `layout`, after the checks every decoder makes; `options` go to
// the method (the graph methods take none).
Result<WindowPlan, DriverError> plan_window(const dem::DetectorErrorModel& model, decode::DetectorLayout layout,
                                            uint32_t commit_rounds, uint32_t buffer_rounds, const MethodSpec& method,
                                            const DecoderOptions& options = {});

// Text laid out by its coordinates, folded where it can be (and `may_fold`: parallel windows hold
// every round of a shot, so they take the model expanded).
Result<WindowPlan, DriverError> plan_window_from_text(std::string_view text, uint32_t commit_rounds,
                                                      uint32_t buffer_rounds, const MethodSpec& method,
                                                      const DecoderOptions& options = {}, bool may_fold = true);

}  // namespace ostrel::driver
