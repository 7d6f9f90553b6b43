#include "ostrel/driver/stream_decoder.h"

#include <algorithm>
#include <utility>

#include "ostrel/driver/graph_methods.h"

namespace ostrel::driver {

uint64_t infer_window_depth(uint64_t configured_depth, uint64_t detector_count, uint64_t ancilla_count) noexcept {
  if (configured_depth != 0) return configured_depth;
  return std::max<uint64_t>(detector_count / std::max<uint64_t>(ancilla_count, 1), 1);
}

std::string DecodingBudgetError::message() const {
  return "decoding this model needs at least " + std::to_string(mebibytes(bytes)) + " MiB, more than the budget of " +
         std::to_string(mebibytes(budget)) + " MiB";
}

Result<uint64_t, DecodingBudgetError> decoding_bytes(const dem::DetectorErrorModel& model, uint64_t budget) {
  const dem::GraphSize graph = dem::spacetime_graph_size(model);
  const uint64_t boundary = model.detector_count;
  // The edges the graph will hold, by their ends: a detector's edge to the boundary, or the links
  // of a chain. Those that join a node to itself take no part in decoding.
  auto for_each_link = [&](auto&& visit) {
    for (size_t i = 0; i < model.error_count(); ++i) {
      const dem::DemError error = model.error(i);
      if (error.probability <= 0.0 || error.probability >= 1.0) continue;  // as the graph skips them
      const auto& d = error.detectors;
      if (d.size() == 1) visit(uint64_t{d[0]}, boundary);
      for (size_t k = 1; k < d.size(); ++k) visit(uint64_t{d[k - 1]}, uint64_t{d[k]});
    }
  };
  uint64_t merging = 0;
  for_each_link([&](uint64_t u, uint64_t v) { merging += u != v; });
  const uint64_t left = budget > graph.bytes ? budget - graph.bytes : 0;
  const uint64_t decoder = decode::UnionFindDecoder::bytes_against_budget(model.detector_count + 1, merging, left, [&](auto&& emit) {
    for_each_link([&](uint64_t u, uint64_t v) {
      if (u != v) emit(std::min(u, v) << 32 | std::max(u, v));
    });
  });
  const uint64_t bytes = graph.bytes + decoder;
  if (bytes > budget) return fail(DecodingBudgetError{bytes, budget});
  return bytes;
}

Result<StreamDecoder, DecoderError> StreamDecoder::create(std::shared_ptr<const dem::SpacetimeGraph> graph,
                                                          uint64_t detector_count, uint64_t window_depth) {
  auto decoder = UnionFindDecoder::create(std::move(graph));
  if (!decoder.ok()) return fail(std::move(decoder).error());
  return StreamDecoder(std::move(decoder).value(), detector_count, window_depth);
}

Result<StreamDecoder, DriverError> StreamDecoder::create_fixed(const dem::DetectorErrorModel& model,
                                                              uint64_t window_depth) {
  auto decoder = build_fixed_procedure(model);
  if (!decoder.ok()) return fail(std::move(decoder).error());
  return StreamDecoder(std::move(decoder).value(), model.detector_count, window_depth);
}

StreamDecoder StreamDecoder::create_on(std::unique_ptr<ShotDecoder> decoder, uint64_t detector_count,
                                       uint64_t window_depth, uint32_t ancillas_per_round) {
  StreamDecoder stream(std::move(decoder), detector_count, window_depth);
  stream.ancillas_per_round_ = ancillas_per_round;
  return stream;
}

StreamDecoder StreamDecoder::over_sliding_window(WindowDecoder& decoder) {
  return StreamDecoder(&decoder, decoder.plan().model_detector_count(), 0);
}

std::optional<WindowError> StreamDecoder::misfit(uint64_t ancilla_count) const {
  const auto refuse = [&](std::string detail) {
    return WindowError{WindowErrorKind::DoesNotFit, ancilla_count, 0, std::move(detail)};
  };
  if (window_) {
    if (ancilla_count == window_->ancilla_count()) return std::nullopt;
    return refuse("a frame of " + std::to_string(ancilla_count) + " ancillas follows frames of " +
                  std::to_string(window_->ancilla_count()) + ", for which the decoder's window was made");
  }
  if (ancillas_per_round_ && ancilla_count != ancillas_per_round_ && ancilla_count != detector_count_)
    return refuse("the decoder's model has rounds of " + std::to_string(ancillas_per_round_) +
                  " ancillas, but the frame holds " + std::to_string(ancilla_count) +
                  ": a frame must be one round of the model or one whole shot of " + std::to_string(detector_count_) +
                  " detectors");
  const uint64_t depth = infer_window_depth(configured_depth_, detector_count_, ancilla_count);
  if (ancilla_count <= detector_count_ / depth) return std::nullopt;
  return refuse("the decoder's model has " + std::to_string(detector_count_) +
                (detector_count_ == 1 ? " detector" : " detectors") + ", which cannot cover frames of " +
                std::to_string(ancilla_count) +
                " ancillas in a window of " + std::to_string(depth) + (depth == 1 ? " round" : " rounds"));
}

Result<uint64_t, WindowError> StreamDecoder::decode_frame(uint64_t ancilla_count,
                                                          std::span<const uint8_t> detector_events, uint32_t round) {
  if (auto** sliding = std::get_if<WindowDecoder*>(&decoder_)) {
    auto pushed = (*sliding)->push(round, detector_events, WindowDecoder::Clock::now());
    if (!pushed.ok()) return fail(WindowError{WindowErrorKind::DoesNotFit, ancilla_count, 0, std::move(pushed).error()});
    return pushed->frame;
  }
  if (require_fit_) {
    if (auto refused = misfit(ancilla_count)) return fail(std::move(*refused));
  }
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
  ShotDecoder& decoder = *std::get<std::unique_ptr<ShotDecoder>>(decoder_);
  fired_.clear();
  window_->for_each_active([&](uint64_t cell) {
    // Cells past the model name no detector.
    if (cell < detector_count_) fired_.push_back(static_cast<uint32_t>(cell));
  });
  auto decoded = decoder.decode(fired_);
  if (!decoded.ok()) return fail(WindowError{WindowErrorKind::DoesNotFit, ancilla_count, 0, std::move(decoded).error()});
  return *decoded;
}

}  // namespace ostrel::driver
