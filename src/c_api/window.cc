// The sliding-window decoder over a model's text and its coordinate layout, planned by the driver
// as ostrel.SlidingWindowDecoder plans it (a long repeat block decoded folded).
#include <memory>
#include <optional>
#include <string>

#include "c_api/boundary.h"
#include "ostrel/decode/sliding_window.h"
#include "ostrel/driver/method_registry.h"
#include "ostrel/driver/window_plan.h"

using namespace ostrel;

struct ostrel_window {
  explicit ostrel_window(std::shared_ptr<const decode::SlidingWindowPlan> plan, uint32_t threads = 0)
      : decoder(std::move(plan), *driver::find_method(driver::kDefaultMethod)->graph_method, threads) {}
  decode::SlidingWindowDecoder decoder;
};

extern "C" {

OSTREL_EXPORT ostrel_status ostrel_window_create(const char* dem_text, uint32_t commit_rounds, uint32_t buffer_rounds,
                                                 ostrel_window** out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    OSTREL_REQUIRE(dem_text);
    auto plan = driver::plan_window_from_text(dem_text, commit_rounds, buffer_rounds);
    if (!plan.ok())
      return c_api::set_error(plan.error().kind == driver::DriverError::Kind::BadText ? OSTREL_E_FORMAT
                                                                                     : OSTREL_E_INVALID_ARGUMENT,
                              plan.error().message);
    *out = std::make_unique<ostrel_window>(std::move(plan).value()).release();
    return OSTREL_OK;
  });
}

OSTREL_EXPORT ostrel_status ostrel_window_create_parallel(const char* dem_text, uint32_t commit_rounds,
                                                          uint32_t buffer_rounds, uint32_t threads,
                                                          ostrel_window** out) {
  if (threads == 0) return ostrel_window_create(dem_text, commit_rounds, buffer_rounds, out);
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    OSTREL_REQUIRE(dem_text);
    // Parallel windows hold every round of the shot: the model is expanded, never folded.
    auto plan = driver::plan_window_from_text(dem_text, commit_rounds, buffer_rounds, false);
    if (!plan.ok())
      return c_api::set_error(plan.error().kind == driver::DriverError::Kind::BadText ? OSTREL_E_FORMAT
                                                                                     : OSTREL_E_INVALID_ARGUMENT,
                              plan.error().message);
    *out = std::make_unique<ostrel_window>(std::move(plan).value(), threads).release();
    return OSTREL_OK;
  });
}

OSTREL_EXPORT uint32_t ostrel_window_ancilla_count(const ostrel_window* w) {
  return w ? uint32_t(w->decoder.plan().layout().columns()) : 0;
}

OSTREL_EXPORT uint32_t ostrel_window_rounds_per_shot(const ostrel_window* w) {
  return w ? w->decoder.plan().rounds_per_shot() : 0;
}

OSTREL_EXPORT ostrel_status ostrel_window_push(ostrel_window* w, uint32_t round, const uint8_t* events, size_t count,
                                               uint64_t* frame, uint8_t* shot_ended) {
  const auto arrival = decode::SlidingWindowDecoder::Clock::now();
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(w);
    OSTREL_REQUIRE(frame);
    OSTREL_REQUIRE(shot_ended);
    if (count) OSTREL_REQUIRE(events);
    // The core refuses a wrong count or a round out of order with the text Python shows.
    const bool count_ok = count == w->decoder.plan().layout().columns();
    auto pushed = w->decoder.push(round, {events, count}, arrival);
    if (!pushed.ok()) return c_api::set_error(count_ok ? OSTREL_E_STATE : OSTREL_E_INVALID_ARGUMENT, pushed.error());
    *frame = pushed->frame;
    *shot_ended = pushed->shot_ended ? 1 : 0;
    return OSTREL_OK;
  });
}

OSTREL_EXPORT uint64_t ostrel_window_committed(const ostrel_window* w) { return w ? w->decoder.committed_frame() : 0; }

OSTREL_EXPORT ostrel_status ostrel_window_finish(ostrel_window* w, uint64_t* prediction, uint8_t* had_shot) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(w);
    OSTREL_REQUIRE(prediction);
    OSTREL_REQUIRE(had_shot);
    const std::optional<uint64_t> done = w->decoder.finish();
    *prediction = done.value_or(0);
    *had_shot = done ? 1 : 0;
    return OSTREL_OK;
  });
}

OSTREL_EXPORT void ostrel_window_free(ostrel_window* w) { delete w; }

}  // extern "C"
