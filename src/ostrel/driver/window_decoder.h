#pragma once
// A sliding-window decoder of any method, what the bindings and streams hold: the graph methods'
// window (decode/sliding_window.h, one after another or in parallel) or the window on the model
// (model_window.h), behind one interface.
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "ostrel/decode/latency_histogram.h"
#include "ostrel/decode/sliding_window.h"
#include "ostrel/driver/model_window.h"
#include "ostrel/driver/window_plan.h"
#include "ostrel/util/result.h"

namespace ostrel::driver {

class WindowDecoder {
 public:
  using Clock = std::chrono::steady_clock;
  using Pushed = decode::SlidingWindowDecoder::Pushed;

  // threads >= 1 decodes windows in parallel (graph methods on an unfolded plan only).
  static Result<WindowDecoder, DriverError> create(WindowPlan plan, uint32_t threads = 0);

  // As SlidingWindowDecoder::push and finish.
  Result<Pushed, std::string> push(uint32_t round, std::span<const uint8_t> events, Clock::time_point arrival);
  std::optional<uint64_t> finish();

  const WindowPlan& plan() const noexcept { return plan_; }
  std::string_view method_name() const noexcept { return plan_.method->name; }
  uint32_t threads() const noexcept;
  uint64_t committed_frame() const noexcept;
  uint64_t rounds_decoded() const noexcept;
  uint64_t windows_decoded() const noexcept;
  uint64_t shots_decoded() const noexcept;
  uint64_t shots_abandoned() const noexcept;
  const decode::LatencyHistogram& commit_latency() const noexcept;
  const decode::LatencyHistogram& shot_latency() const noexcept;
  void clear_statistics() noexcept;

 private:
  using Engine = std::variant<decode::SlidingWindowDecoder, ModelWindowDecoder>;
  WindowDecoder(WindowPlan plan, Engine engine) : plan_(std::move(plan)), engine_(std::move(engine)) {}

  WindowPlan plan_;
  Engine engine_;
};

}  // namespace ostrel::driver
