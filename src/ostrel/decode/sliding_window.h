#pragma once
// Real-time decoding of a shot that arrives one round at a time, by a sliding window that commits.
//
// The window holds `commit + buffer` rounds. When it is full it is decoded with the weighted
// Union-Find decoder on the window's graph (window_graph.h); the correction edges in its first
// `commit` rounds are committed (their observables go into the running logical frame, and an edge
// that crosses into the buffer flips the event of the detector it reaches there), then the window
// slides on by `commit` rounds. The frame of the shot's last round (the layout's last row) closes
// the shot: what remains is decoded with the model's own closing time boundary, every correction
// edge is committed, and the running frame is the shot's prediction. Round 0 starts a shot.
//
// With matching, a window starts from what the one before it grew (MatchingDecoder::decode_after):
// the regions wholly inside the rounds both windows hold, untouched by the commit, stay as they
// were, and only the rest grows again.
//
// With threads, the windows are instead those of parallel decoding (parallel_windows.h).
//
// The graphs of every window position of a shot are built once, in the plan, which is immutable
// and shared; a decoder holds the plan, one weighted decoder per position (their scratch state)
// and the shot in progress. Nothing is allocated per round once built.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel/decode/detector_layout.h"
#include "ostrel/decode/latency_histogram.h"
#include "ostrel/decode/parallel_windows.h"
#include "ostrel/decode/shot_events.h"
#include "ostrel/decode/decode_method.h"
#include "ostrel/decode/graph_decoder.h"
#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/window_graph.h"
#include "ostrel/dem/dem_model.h"
#include "ostrel/util/result.h"

namespace ostrel::decode {

class SlidingWindowPlan {
 public:
  // Fails (with the ValueError text) for window sizes of 0, a buffer shorter than the longest
  // time span of an error component, or a model the weighted decoder cannot use.
  static Result<std::shared_ptr<const SlidingWindowPlan>, std::string> create(const dem::DetectorErrorModel& model,
                                                                              DetectorLayout layout,
                                                                              uint32_t commit_rounds,
                                                                              uint32_t buffer_rounds);

  // A plan for a model written with one top-level repeat block whose body is whole rounds, without
  // expanding the block: the model is instantiated with the repeat count lowered to K, enough
  // repetitions for the opening windows, one steady-state window and the closing windows, with
  // N - K a multiple of commit_rounds. Window k of a shot then decodes on window j(k) of that
  // model: the opening windows 1:1, every middle window on the one steady-state window, the
  // closing windows shifted by (N - K) * body rounds / commit_rounds positions, so a shot of
  // any number of rounds needs the memory of the K-repetition model only. The folding is checked
  // by building the (K + commit)-repetition model too and verifying that it decodes exactly as
  // the K-repetition model with the steady-state window repeated once per body round. Returns null when there is nothing to fold (no repeat block,
  // or one short enough to expand), and fails, with the reason, for a model it cannot fold
  // (more than one repeat block, a body whose repetitions are not the same ancillas' rounds,
  // windows that never reach a steady state). The layout is the coordinate layout.
  static Result<std::shared_ptr<const SlidingWindowPlan>, std::string> create_folded(std::string_view dem_text,
                                                                                     uint32_t commit_rounds,
                                                                                     uint32_t buffer_rounds);

  const DetectorLayout& layout() const noexcept { return layout_; }
  uint32_t commit_rounds() const noexcept { return commit_; }
  uint32_t buffer_rounds() const noexcept { return buffer_; }
  // The most rounds between the two ends of an error component of the model.
  uint32_t longest_span() const noexcept { return longest_span_; }
  // Rounds of a shot: the layout's rows, or for a folded plan the rounds of the full repeat count.
  uint32_t rounds_per_shot() const noexcept { return rows_; }
  // Detectors of the model the plan decodes (of the full repeat count when folded).
  uint64_t model_detector_count() const noexcept { return model_detectors_; }
  bool folded() const noexcept { return fold_at_ != kNoFold; }
  // The window of windows() that window position k of a shot decodes on, and how many rounds
  // the shot's rounds sit after the rounds of that window (0 unless folded).
  uint32_t window_of(uint32_t k) const noexcept {
    if (fold_at_ == kNoFold || k <= fold_at_) return k;
    return k <= fold_at_ + fold_windows_ ? fold_at_ : k - fold_windows_;
  }
  uint32_t round_offset(uint32_t k) const noexcept { return (k - window_of(k)) * commit_; }
  uint64_t observable_count() const noexcept { return observable_count_; }
  // Window k starts at round k * commit; the last entry closes the shot.
  const std::vector<WindowGraph>& windows() const noexcept { return windows_; }
  // Distinct window graphs: consecutive windows that decode alike share one.
  uint32_t decoder_count() const noexcept { return decoder_count_; }
  // The graph of a window that ends a shot early, at round `end` - 1 (built on demand).
  WindowGraph partial_window(uint32_t first, uint32_t end) const;
  // The graph of any span of the plan's rounds (built on demand; its `decoder` is 0).
  WindowGraph window_graph(WindowSpan span) const;

 private:
  SlidingWindowPlan() = default;
  static constexpr uint32_t kNoFold = UINT32_MAX;

  DetectorLayout layout_;
  uint32_t commit_ = 0;
  uint32_t buffer_ = 0;
  uint64_t observable_count_ = 0;
  // The model's components ordered by their earliest round; those of round r start at
  // round_start_[r]. A window reads only the components that can touch it.
  std::vector<ComponentEdge> components_;
  std::vector<size_t> round_start_;
  uint32_t longest_span_ = 0;
  uint32_t decoder_count_ = 0;
  std::vector<WindowGraph> windows_;
  uint32_t rows_ = 0;
  uint64_t model_detectors_ = 0;
  uint32_t fold_at_ = kNoFold;  // the steady-state window the middle of a folded shot decodes on
  uint32_t fold_windows_ = 0;   // how many window positions the fold skips: (N - K) / commit

  std::span<const ComponentEdge> components_near(uint32_t first, uint32_t end) const;
};

class SlidingWindowDecoder {
 public:
  using Clock = std::chrono::steady_clock;

  // threads == 0: each window is decoded in the pushing thread as soon as it is full, one after
  // another. threads >= 1: windows are decoded in parallel (parallel_windows.h) on that many
  // threads of the decoder's own; the predictions are the same for every thread count, and the
  // plan must not be folded (std::invalid_argument).
  explicit SlidingWindowDecoder(std::shared_ptr<const SlidingWindowPlan> plan,
                                DecodeMethod method = DecodeMethod::kWeightedUnionFind, uint32_t threads = 0);
  ~SlidingWindowDecoder();
  SlidingWindowDecoder(SlidingWindowDecoder&&) noexcept;

  struct Pushed {
    uint64_t frame = 0;      // the running committed frame, or the shot's prediction when it ended
    bool shot_ended = false; // this round was the shot's last
  };

  // One round's detection events, one per layout column (nonzero = fired). `arrival` is when the
  // round's data arrived; the latency of a commit it triggers is measured from there. An arrival
  // of Clock::time_point{} means now, read only when the round fills a window, so that rounds
  // that decode nothing read no clock. Fails with
  // a message (and changes nothing) for a wrong number of events or a round that does not follow
  // the previous one: round 0 starts a shot (abandoning one in progress), any other round must be
  // the next of the shot in progress.
  Result<Pushed, std::string> push(uint32_t round, std::span<const uint8_t> events, Clock::time_point arrival);

  // Ends the shot in progress early: decodes the rounds held with a closing boundary after the
  // last of them and returns the prediction; nothing when no shot is in progress.
  std::optional<uint64_t> finish();

  const SlidingWindowPlan& plan() const noexcept { return *plan_; }
  DecodeMethod method() const noexcept { return method_; }
  bool in_shot() const noexcept { return in_shot_; }
  // The running committed frame; in parallel, what the windows finished so far committed.
  uint64_t committed_frame() const noexcept;
  // 0 when windows are decoded one after another in the pushing thread.
  uint32_t threads() const noexcept;
  // Matching: whether a window starts from the growth of the window before it; unset (the
  // default), it does where the rounds both windows hold have enough detectors for it to pay
  // (kCarryFrom): carrying costs a few microseconds a window, which small windows do not win
  // back. Either way each window's matching is a minimum one.
  static constexpr uint32_t kCarryFrom = 512;
  void set_carry(std::optional<bool> on) noexcept {
    carry_ = on;
    carry_from_ = nullptr;
  }
  // Rounds of the shot in progress pushed so far.
  uint32_t next_round() const noexcept { return next_round_; }

  uint64_t rounds_decoded() const noexcept { return rounds_; }
  uint64_t windows_decoded() const noexcept { return windows_; }
  uint64_t shots_decoded() const noexcept { return shots_; }
  uint64_t shots_abandoned() const noexcept { return abandoned_; }
  // Arrival of the round that filled a window to its committed result.
  const LatencyHistogram& commit_latency() const noexcept { return commit_latency_; }
  // Arrival of a shot's last round to the shot's prediction.
  const LatencyHistogram& shot_latency() const noexcept { return shot_latency_; }
  void clear_statistics() noexcept;

 private:
  Result<Pushed, std::string> push_parallel(uint32_t round, std::span<const uint8_t> events, Clock::time_point arrival);
  // Decodes one window position and commits its corrections; returns the decoder's whole mask.
  uint64_t decode_window(const WindowGraph& window, GraphDecoder& decoder);

  std::shared_ptr<const SlidingWindowPlan> plan_;
  DecodeMethod method_;
  std::vector<std::unique_ptr<GraphDecoder>> decoders_;  // one per distinct window graph of the plan
  ShotEvents events_;                                    // the shot in progress, by plan round
  std::unique_ptr<ParallelWindows> parallel_;            // null: one window after another
  std::vector<uint32_t> fired_list_;  // scratch: the window's fired detectors
  // Matching: the decoder of the shot's last window, which the next starts from (null: afresh),
  // where the next window's nodes start in its numbering, where its nodes stop having the same
  // edges in both, and the events its commit toggled (in its numbering).
  std::optional<bool> carry_;
  matching::MatchingDecoder* carry_from_ = nullptr;
  uint32_t carry_shift_ = 0;
  uint32_t carry_stable_end_ = 0;
  std::vector<uint32_t> carry_flips_;
  bool in_shot_ = false;
  uint32_t next_round_ = 0;
  uint32_t window_index_ = 0;  // the window position the shot in progress fills
  uint64_t frame_ = 0;
  uint64_t rounds_ = 0;
  uint64_t windows_ = 0;
  uint64_t shots_ = 0;
  uint64_t abandoned_ = 0;
  LatencyHistogram commit_latency_;
  LatencyHistogram shot_latency_;
};

}  // namespace ostrel::decode
