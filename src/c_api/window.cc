// The sliding-window decoder over a model's text and its coordinate layout, planned by the driver
// as ostrel.SlidingWindowDecoder plans it (a long repeat block decoded folded).
#include <memory>
#include <optional>
#include <string>

#include "c_api/boundary.h"
#include "ostrel/driver/make_decoder.h"
#include "ostrel/driver/window_decoder.h"
#include "ostrel/driver/window_plan.h"

using namespace ostrel;

struct ostrel_window {
  explicit ostrel_window(driver::WindowDecoder d) : decoder(std::move(d)) {}
  driver::WindowDecoder decoder;
};

namespace {

ostrel_status driver_error(const driver::DriverError& e) {
  switch (e.kind) {
    case driver::DriverError::Kind::BadText: return c_api::set_error(OSTREL_E_FORMAT, e.message);
    case driver::DriverError::Kind::OutOfMemory: return c_api::set_error(OSTREL_E_NO_MEMORY, e.message);
    default: return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, e.message);
  }
}

}  // namespace

extern "C" {

OSTREL_EXPORT ostrel_status ostrel_window_create_with(const char* dem_text, uint32_t commit_rounds,
                                                      uint32_t buffer_rounds, const char* method, const char* options,
                                                      uint32_t threads, ostrel_window** out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    OSTREL_REQUIRE(dem_text);
    auto spec = driver::method_for(method ? method : driver::kDefaultMethod);
    if (!spec.ok()) return driver_error(spec.error());
    driver::DecoderOptions parsed_options;
    if (options) {
      auto read = driver::DecoderOptions::parse(options);
      if (!read.ok()) return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, read.error());
      parsed_options = std::move(read).value();
    }
    // Parallel windows hold every round of the shot: the model is expanded, never folded.
    auto plan = driver::plan_window_from_text(dem_text, commit_rounds, buffer_rounds, **spec, parsed_options,
                                              threads == 0);
    if (!plan.ok()) return driver_error(plan.error());
    auto made = driver::WindowDecoder::create(std::move(plan).value(), threads);
    if (!made.ok()) return driver_error(made.error());
    *out = std::make_unique<ostrel_window>(std::move(made).value()).release();
    return OSTREL_OK;
  });
}

OSTREL_EXPORT ostrel_status ostrel_window_create(const char* dem_text, uint32_t commit_rounds, uint32_t buffer_rounds,
                                                 ostrel_window** out) {
  return ostrel_window_create_with(dem_text, commit_rounds, buffer_rounds, nullptr, nullptr, 0, out);
}

OSTREL_EXPORT ostrel_status ostrel_window_create_parallel(const char* dem_text, uint32_t commit_rounds,
                                                          uint32_t buffer_rounds, uint32_t threads,
                                                          ostrel_window** out) {
  return ostrel_window_create_with(dem_text, commit_rounds, buffer_rounds, nullptr, nullptr, threads, out);
}

OSTREL_EXPORT uint32_t ostrel_window_ancilla_count(const ostrel_window* w) {
  return w ? uint32_t(w->decoder.plan().layout().columns()) : 0;
}

OSTREL_EXPORT uint32_t ostrel_window_rounds_per_shot(const ostrel_window* w) {
  return w ? w->decoder.plan().rounds_per_shot() : 0;
}

OSTREL_EXPORT ostrel_status ostrel_window_push(ostrel_window* w, uint32_t round, const uint8_t* events, size_t count,
                                               uint64_t* frame, uint8_t* shot_ended) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(w);
    OSTREL_REQUIRE(frame);
    OSTREL_REQUIRE(shot_ended);
    if (count) OSTREL_REQUIRE(events);
    // The core refuses a wrong count or a round out of order with the text Python shows.
    const bool count_ok = count == w->decoder.plan().layout().columns();
    // The clock is read once the round fills a window (the entry's few nanoseconds earlier).
    auto pushed = w->decoder.push(round, {events, count}, driver::WindowDecoder::Clock::time_point{});
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
