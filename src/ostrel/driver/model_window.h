#pragma once
// The sliding window on the model itself, for methods that decode errors of any size (windowed
// BP+OSD as in arXiv:2209.08552 and arXiv:2403.18901, and any method whose decoder reports its
// correction, ShotDecoder::report_correction).
//
// A window covers rounds [first, end) of the layout. Its model holds the detectors of those rounds
// (numbered from 0 in the model's order) and the errors whose earliest
// detector lies in them, each restricted to the window's detectors: an error reaching past the
// window is cut there (the rounds after it are not known yet), and an error reaching an earlier
// round is left out (its rounds are committed, and what a committed correction did to this
// window is already in its events). Detectors keep their colour marks (the 4th coordinate), the
// only part of their coordinates a method reads. Each distinct window model gets one decoder made
// by the method's own maker.
//
// A decoded window commits the correction's pieces whose earliest detector lies in its first
// `commit` rounds: their observables go into the running frame and their detectors in later
// rounds have their events flipped. Since the buffer is at least the longest span of an error, a
// committed piece is never one that was cut. The window then slides by `commit` rounds; the one
// that reaches the shot's last round commits everything.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ostrel/decode/detector_layout.h"
#include "ostrel/decode/latency_histogram.h"
#include "ostrel/decode/shot_events.h"
#include "ostrel/decode/sliding_window.h"
#include "ostrel/dem/dem_model.h"
#include "ostrel/driver/decoder_options.h"
#include "ostrel/driver/method_registry.h"
#include "ostrel/driver/shot_decoder.h"
#include "ostrel/util/result.h"

namespace ostrel::driver {

class ModelWindowPlan {
 public:
  struct Window {
    uint32_t first = 0;  // rounds [first, end)
    uint32_t end = 0;
    uint32_t commit_end = 0;  // rounds [first, commit_end) are committed
    // Window detector -> model detector, ascending: the window's model keeps the model's order of
    // detectors and errors, so that a window of a whole shot decodes exactly as the shot does.
    std::vector<uint32_t> detectors;
    // The window detector of each by its rank in the window's rounds (as ShotEvents gathers
    // them); empty when the two orders agree.
    std::vector<uint32_t> from_rank;
    uint32_t decoder = 0;  // index of its decoder: equal window models share one
  };

  // Refuses window sizes of 0, a buffer shorter than the longest span of an error, and models or
  // options the method refuses; a method whose decoder does not report its correction cannot
  // commit part of it.
  static Result<std::shared_ptr<const ModelWindowPlan>, DriverError> create(const dem::DetectorErrorModel& model,
                                                                           decode::DetectorLayout layout,
                                                                           uint32_t commit_rounds,
                                                                           uint32_t buffer_rounds,
                                                                           const MethodSpec& method,
                                                                           const DecoderOptions& options = {});

  const decode::DetectorLayout& layout() const noexcept { return layout_; }
  uint32_t commit_rounds() const noexcept { return commit_; }
  uint32_t buffer_rounds() const noexcept { return buffer_; }
  uint32_t rounds_per_shot() const noexcept { return layout_.rows(); }
  uint64_t model_detector_count() const noexcept { return detector_count_; }
  uint64_t observable_count() const noexcept { return observable_count_; }
  const MethodSpec& method() const noexcept { return *method_; }
  const DecoderOptions& options() const noexcept { return options_; }
  // Window k starts at round k * commit; the last entry closes the shot.
  const std::vector<Window>& windows() const noexcept { return windows_; }
  // One decoder per distinct window model, for callers to clone.
  const ShotDecoder& decoder(uint32_t i) const noexcept { return *decoders_[i]; }
  uint32_t decoder_count() const noexcept { return static_cast<uint32_t>(decoders_.size()); }

  // The model of rounds [first, end) (errors reaching past `end` cut there) and its window, whose
  // commit region is every round: for a shot ended early.
  dem::DetectorErrorModel window_model(uint32_t first, uint32_t end, Window& window) const;

 private:
  ModelWindowPlan() = default;

  decode::DetectorLayout layout_;
  uint32_t commit_ = 0;
  uint32_t buffer_ = 0;
  uint64_t detector_count_ = 0;
  uint64_t observable_count_ = 0;
  const MethodSpec* method_ = nullptr;
  DecoderOptions options_;
  // The model's errors ordered by their earliest round; those of round r are
  // by_round_[round_start_[r] .. round_start_[r + 1]).
  dem::DetectorErrorModel model_;
  std::vector<uint32_t> by_round_;
  std::vector<size_t> round_start_;
  std::vector<int32_t> declared_;  // per model detector: its entry in model_.detectors, or -1
  std::vector<Window> windows_;
  std::vector<std::unique_ptr<ShotDecoder>> decoders_;
};

class ModelWindowDecoder {
 public:
  using Clock = std::chrono::steady_clock;

  using Pushed = decode::SlidingWindowDecoder::Pushed;

  explicit ModelWindowDecoder(std::shared_ptr<const ModelWindowPlan> plan);
  ~ModelWindowDecoder();
  ModelWindowDecoder(ModelWindowDecoder&&) noexcept;

  // As SlidingWindowDecoder::push: one round's events, one per layout column; fails, changing
  // nothing, for a wrong count or a round that does not follow the previous one.
  Result<Pushed, std::string> push(uint32_t round, std::span<const uint8_t> events, Clock::time_point arrival);
  // Ends the shot in progress early (the rounds held decoded with the shot ending after them).
  std::optional<uint64_t> finish();

  const ModelWindowPlan& plan() const noexcept { return *plan_; }
  bool in_shot() const noexcept { return in_shot_; }
  uint64_t committed_frame() const noexcept { return frame_; }
  uint32_t next_round() const noexcept { return next_round_; }
  uint64_t rounds_decoded() const noexcept { return rounds_; }
  uint64_t windows_decoded() const noexcept { return windows_; }
  uint64_t shots_decoded() const noexcept { return shots_; }
  uint64_t shots_abandoned() const noexcept { return abandoned_; }
  const decode::LatencyHistogram& commit_latency() const noexcept { return commit_latency_; }
  const decode::LatencyHistogram& shot_latency() const noexcept { return shot_latency_; }
  void clear_statistics() noexcept;

 private:
  class Committer;
  void decode_window(const ModelWindowPlan::Window& window, ShotDecoder& decoder);

  std::shared_ptr<const ModelWindowPlan> plan_;
  std::vector<std::unique_ptr<ShotDecoder>> decoders_;
  decode::ShotEvents events_;
  std::vector<uint32_t> fired_;
  bool in_shot_ = false;
  uint32_t next_round_ = 0;
  uint32_t window_index_ = 0;
  uint64_t frame_ = 0;
  uint64_t rounds_ = 0;
  uint64_t windows_ = 0;
  uint64_t shots_ = 0;
  uint64_t abandoned_ = 0;
  decode::LatencyHistogram commit_latency_;
  decode::LatencyHistogram shot_latency_;
};

}  // namespace ostrel::driver
