#include "ostrel/decode/stream_decoder.h"

#include <algorithm>
#include <utility>

namespace ostrel::decode {

uint64_t infer_window_depth(uint64_t configured_depth, uint64_t detector_count, uint64_t ancilla_count) noexcept {
  if (configured_depth != 0) return configured_depth;
  return std::max<uint64_t>(detector_count / std::max<uint64_t>(ancilla_count, 1), 1);
}

Result<StreamDecoder, DecoderError> StreamDecoder::create(std::shared_ptr<const dem::SpacetimeGraph> graph,
                                                          uint64_t detector_count, uint64_t window_depth) {
  auto decoder = UnionFindDecoder::create(std::move(graph));
  if (!decoder.ok()) return fail(std::move(decoder).error());
  return StreamDecoder(std::move(decoder).value(), detector_count, window_depth);
}

StreamDecoder StreamDecoder::create_weighted(std::shared_ptr<const DecodingGraph> graph, uint64_t detector_count,
                                             uint64_t window_depth) {
  return StreamDecoder(WeightedUnionFind(std::move(graph)), detector_count, window_depth);
}

Result<uint64_t, WindowError> StreamDecoder::decode_frame(uint64_t ancilla_count,
                                                          std::span<const uint8_t> detector_events) {
  if (!window_) {
    auto created = SyndromeWindow::create(
        ancilla_count, infer_window_depth(configured_depth_, detector_count_, ancilla_count));
    if (!created.ok()) return fail(std::move(created).error());
    window_.emplace(std::move(created).value());
  }
  // A window of depth >= 1 never fails a push.
  auto pushed = window_->push(detector_events);
  if (!pushed.ok()) return fail(std::move(pushed).error());
  if (auto* fixed = std::get_if<UnionFindDecoder>(&decoder_)) return fixed->decode(*window_);
  auto& weighted = std::get<WeightedUnionFind>(decoder_);
  fired_.clear();
  window_->for_each_active([&](uint64_t cell) {
    // Cells past the model name no detector; the decoder would skip them anyway.
    if (cell < weighted.graph().detector_count) fired_.push_back(static_cast<uint32_t>(cell));
  });
  return weighted.decode(fired_);
}

}  // namespace ostrel::decode
