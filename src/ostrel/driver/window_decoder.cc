#include "ostrel/driver/window_decoder.h"

namespace ostrel::driver {

Result<WindowDecoder, DriverError> WindowDecoder::create(WindowPlan plan, uint32_t threads) {
  if (plan.model) {
    if (threads != 0)
      return fail(DriverError::invalid("the sliding window decodes with '" + std::string(plan.method->name) +
                                       "' one window after another: threads must be 0"));
    ModelWindowDecoder engine(plan.model);
    return WindowDecoder(std::move(plan), Engine(std::in_place_type<ModelWindowDecoder>, std::move(engine)));
  }
  if (threads != 0 && plan.graph->folded())
    return fail(DriverError::invalid("parallel windows need the model expanded, not folded"));
  decode::SlidingWindowDecoder engine(plan.graph, *plan.method->graph_method, threads);
  return WindowDecoder(std::move(plan), Engine(std::in_place_type<decode::SlidingWindowDecoder>, std::move(engine)));
}

Result<WindowDecoder::Pushed, std::string> WindowDecoder::push(uint32_t round, std::span<const uint8_t> events,
                                                               Clock::time_point arrival) {
  return std::visit([&](auto& e) { return e.push(round, events, arrival); }, engine_);
}

std::optional<uint64_t> WindowDecoder::finish() {
  return std::visit([](auto& e) { return e.finish(); }, engine_);
}

uint32_t WindowDecoder::threads() const noexcept {
  const auto* graph = std::get_if<decode::SlidingWindowDecoder>(&engine_);
  return graph ? graph->threads() : 0;
}

uint64_t WindowDecoder::committed_frame() const noexcept {
  return std::visit([](const auto& e) { return e.committed_frame(); }, engine_);
}
uint64_t WindowDecoder::rounds_decoded() const noexcept {
  return std::visit([](const auto& e) { return e.rounds_decoded(); }, engine_);
}
uint64_t WindowDecoder::windows_decoded() const noexcept {
  return std::visit([](const auto& e) { return e.windows_decoded(); }, engine_);
}
uint64_t WindowDecoder::shots_decoded() const noexcept {
  return std::visit([](const auto& e) { return e.shots_decoded(); }, engine_);
}
uint64_t WindowDecoder::shots_abandoned() const noexcept {
  return std::visit([](const auto& e) { return e.shots_abandoned(); }, engine_);
}
const decode::LatencyHistogram& WindowDecoder::commit_latency() const noexcept {
  return std::visit([](const auto& e) -> const decode::LatencyHistogram& { return e.commit_latency(); }, engine_);
}
const decode::LatencyHistogram& WindowDecoder::shot_latency() const noexcept {
  return std::visit([](const auto& e) -> const decode::LatencyHistogram& { return e.shot_latency(); }, engine_);
}
void WindowDecoder::clear_statistics() noexcept {
  std::visit([](auto& e) { e.clear_statistics(); }, engine_);
}

}  // namespace ostrel::driver
