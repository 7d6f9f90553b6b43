#pragma once
// The decoding state a stream carries once it has a decoder: the decoder (the fixed Union-Find
// procedure on the spacetime graph, or any method's shot decoder, each with its own scratch
// space), the configured window depth, the model's detector count, and the sliding window
// created by the first frame. Each frame is pushed into the window and the whole window is decoded.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "ostrel/decode/sliding_window.h"
#include "ostrel/decode/syndrome_window.h"
#include "ostrel/decode/union_find.h"
#include "ostrel/dem/spacetime_graph.h"
#include "ostrel/driver/method_registry.h"
#include "ostrel/driver/shot_decoder.h"
#include "ostrel/driver/window_decoder.h"
#include "ostrel/util/memory_budget.h"
#include "ostrel/util/result.h"

namespace ostrel::driver {

using decode::DecoderError;
using decode::SyndromeWindow;
using decode::UnionFindDecoder;
using decode::WindowError;
using decode::WindowErrorKind;

// The depth of a stream's window: the configured depth if not 0, else the detector count divided
// by the frame's ancilla count (0 counting as 1), and at least 1.
uint64_t infer_window_depth(uint64_t configured_depth, uint64_t detector_count, uint64_t ancilla_count) noexcept;

// A model whose decoding graph and decoder would together take more than the budget.
struct DecodingBudgetError {
  uint64_t bytes = 0;  // at least this much
  uint64_t budget = 0;

  // "decoding this model needs at least 3457 MiB, more than the budget of 3072 MiB"
  std::string message() const;
};

// What the graph of `model` and its decoder take together, counted from the model before either
// is built, or the refusal when that passes `budget`. May throw std::bad_alloc.
Result<uint64_t, DecodingBudgetError> decoding_bytes(const dem::DetectorErrorModel& model,
                                                     uint64_t budget = decoding_memory_budget());

class StreamDecoder {
 public:
  // `detector_count` is the model's; `window_depth` 0 means infer it from the first frame.
  static Result<StreamDecoder, DecoderError> create(std::shared_ptr<const dem::SpacetimeGraph> graph,
                                                    uint64_t detector_count, uint64_t window_depth);
  // The fixed procedure on the model's spacetime graph, refused before anything is built when
  // it would pass the memory budget.
  static Result<StreamDecoder, DriverError> create_fixed(const dem::DetectorErrorModel& model, uint64_t window_depth);
  // Any method's decoder (make_decoder.h), owned by the stream. A window that decoder cannot
  // explain fails that frame (DoesNotFit, with the reason Decoder.decode gives).
  // `ancillas_per_round` (0: unknown) is the model's round: with require_fit, frames must hold
  // one round or one whole shot.
  static StreamDecoder create_on(std::unique_ptr<ShotDecoder> decoder, uint64_t detector_count,
                                 uint64_t window_depth, uint32_t ancillas_per_round = 0);

  // Frames decoded one round each by a sliding-window decoder the caller owns and holds for as
  // long as this object is used.
  static StreamDecoder over_sliding_window(WindowDecoder& decoder);

  // Refuse frames the model cannot cover (decoder objects; the fixed procedure configured from a
  // model keeps its own rules): a window of more cells than the model has detectors, or a frame
  // whose ancilla count differs from the window's.
  void require_fit() noexcept { require_fit_ = true; }

  // Pushes one frame's detector events as the newest round and returns the mask of the whole
  // window. The first frame creates the window with its `ancilla_count`, which the window keeps
  // for life. Fails when that window cannot be created, or when the frame does not fit (see
  // require_fit; for a sliding window, a frame that is not the round it expects); nothing
  // changes then, and the next frame tries again.
  Result<uint64_t, WindowError> decode_frame(uint64_t ancilla_count, std::span<const uint8_t> detector_events,
                                             uint32_t round = 0);

  uint64_t configured_window_depth() const noexcept { return configured_depth_; }
  uint64_t detector_count() const noexcept { return detector_count_; }
  // Null until the first frame.
  const SyndromeWindow* window() const noexcept { return window_ ? &*window_ : nullptr; }
  // The fixed procedure configured from a model, or null.
  const UnionFindDecoder* union_find() const noexcept { return std::get_if<UnionFindDecoder>(&decoder_); }

 private:
  using Decoder = std::variant<UnionFindDecoder, std::unique_ptr<ShotDecoder>, WindowDecoder*>;
  std::optional<WindowError> misfit(uint64_t ancilla_count) const;

  StreamDecoder(Decoder decoder, uint64_t detector_count, uint64_t window_depth)
      : decoder_(std::move(decoder)), detector_count_(detector_count), configured_depth_(window_depth) {}

  Decoder decoder_;
  std::vector<uint32_t> fired_;  // the window's fired cells, for a shot decoder
  uint64_t detector_count_;
  uint64_t configured_depth_;
  bool require_fit_ = false;
  uint32_t ancillas_per_round_ = 0;
  std::optional<SyndromeWindow> window_;
};

}  // namespace ostrel::driver
