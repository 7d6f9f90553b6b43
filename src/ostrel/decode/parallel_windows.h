#pragma once
// The windows of a shot decoded in parallel on a pool of threads, as the parallel window decoders
// of Skoric et al. (arXiv:2209.08552), Tan et al. (arXiv:2209.09219) and Bombín et al.
// (arXiv:2303.04846) do: windows of a first layer hold a commit region with a buffer on each
// side and need nothing from each other, so they are decoded as soon as their rounds are in, any
// number at once; the seam between two of them (their shared buffer) is a window of the second
// layer, decoded once both have committed: it commits all its rounds, its events flipped by the
// edges its neighbours committed across the seam, and its graph leaves out every component
// reaching their commit regions. With commit C and buffer b, first-layer window i commits rounds
// [i(C + b), i(C + b) + C) from the window [i(C + b) - b, i(C + b) + C + b); the seam after it is
// [i(C + b) + C, (i + 1)(C + b)). The shot's last window is of the second layer, as a sliding
// window's last step: from the commit region of the first-layer window before it to the shot's
// end, waiting for that window and the shot's last round (a shot of one window aside).
//
// A window's result depends only on its rounds and the windows it waits for, never on which
// thread decodes it or when: the prediction is the same for any number of threads. A thread
// waiting for the windows (at a shot's end) decodes queued ones too. The running
// frame between a shot's rounds is what the windows finished so far have committed (it depends
// on timing); the shot's last round waits for every window and gives the prediction.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "ostrel/decode/decode_method.h"
#include "ostrel/decode/graph_decoder.h"
#include "ostrel/decode/latency_histogram.h"
#include "ostrel/decode/shot_events.h"
#include "ostrel/decode/window_graph.h"

namespace ostrel::decode {

class SlidingWindowPlan;

class ParallelWindows {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr uint32_t kNone = UINT32_MAX;

  // One window of the schedule.
  struct Job {
    WindowGraph window;           // its graph (shared with the jobs that decode alike), commit marks, flips
    uint32_t ready_round = kNone; // first layer and the last window: the round that completes it
    // Seams: the first-layer windows on each side; the last window: the one before it.
    uint32_t waits_for[2] = {kNone, kNone};
    uint32_t unblocks[2] = {kNone, kNone};   // first layer: the seams on each side
  };

  // The plan must not be folded; threads >= 1.
  ParallelWindows(std::shared_ptr<const SlidingWindowPlan> plan, DecodeMethod method, uint32_t threads);
  ~ParallelWindows();
  ParallelWindows(const ParallelWindows&) = delete;
  ParallelWindows& operator=(const ParallelWindows&) = delete;

  // Waits for the windows of a shot in progress (abandoning it) and starts a new one.
  void start_shot();
  // Round r of the shot (all rounds before it given); hands out the windows it completes.
  void push_round(uint32_t r, std::span<const uint8_t> events, Clock::time_point arrival);
  // After the shot's last round: waits for every window; returns the prediction. Each window's
  // commit latency (from the arrival of the round that completed it, or of its neighbours') goes
  // into `commit_latency`.
  uint64_t end_shot(LatencyHistogram& commit_latency);
  // Ends the shot after rounds [0, held): waits for the windows handed out, then decodes the rounds
  // no window has committed with a closing boundary after the last of them.
  uint64_t finish_early(uint32_t held, LatencyHistogram& commit_latency);

  uint64_t committed() const noexcept { return frame_.load(std::memory_order_relaxed); }
  uint64_t windows_decoded() const noexcept { return windows_; }
  const std::vector<Job>& jobs() const noexcept { return jobs_; }
  uint32_t threads() const noexcept { return static_cast<uint32_t>(workers_.size()); }

 private:
  struct State {
    uint32_t waiting = 0;  // first-layer windows a seam still waits for
    uint64_t mask = 0;
    std::vector<uint32_t> flips;  // detectors of other windows' rounds its committed edges flip
    Clock::time_point arrival{};
    uint64_t latency_ns = 0;
  };
  struct Worker {
    std::vector<std::unique_ptr<GraphDecoder>> decoders;  // per distinct graph
    std::vector<uint32_t> fired;
    std::vector<uint32_t> flipped;
    std::vector<uint32_t> merged;
  };

  void run(uint32_t worker_index);
  // Takes the next queued window, decodes it with `w` (the lock released meanwhile) and records it.
  void decode_next_locked(std::unique_lock<std::mutex>& lock, Worker& w);
  // Decodes a window into `out` (its committed mask and flips).
  void decode_window(const WindowGraph& window, const uint32_t (&waits_for)[2], Worker& w, GraphDecoder& decoder,
                     State& out);
  // The window's fired list into w.fired: its rounds' events, flipped by the windows it waits for.
  void gather(const WindowGraph& window, const uint32_t (&waits_for)[2], Worker& w);
  void enqueue_locked(uint32_t j);
  void wait_idle(std::unique_lock<std::mutex>& lock);
  void record_latencies(LatencyHistogram& h, bool all);

  std::shared_ptr<const SlidingWindowPlan> plan_;
  DecodeMethod method_;
  std::vector<Job> jobs_;
  std::vector<uint32_t> job_at_round_;  // per round: the first-layer job it completes, or kNone
  ShotEvents events_;

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable idle_;
  std::vector<uint32_t> queue_;  // jobs ready to decode (a ring of jobs_.size() entries)
  size_t queue_head_ = 0;
  size_t queue_size_ = 0;
  uint32_t outstanding_ = 0;  // queued or being decoded
  bool stop_ = false;
  bool waiting_ = false;  // the shot's thread waits in wait_idle (and decodes what is queued)
  std::exception_ptr failure_;
  std::vector<State> states_;
  std::vector<uint8_t> done_;
  std::atomic<uint64_t> frame_{0};  // written under mutex_, read between rounds without it
  uint64_t windows_ = 0;
  std::vector<Worker> worker_state_;
  Worker helper_;  // the shot's own thread's, while it waits for the windows
  std::vector<std::thread> workers_;  // last: joined before anything they use goes
};

}  // namespace ostrel::decode
