#include "ostrel/decode/parallel_windows.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "ostrel/decode/sliding_window.h"

namespace ostrel::decode {

ParallelWindows::ParallelWindows(std::shared_ptr<const SlidingWindowPlan> plan, DecodeMethod method, uint32_t threads)
    : plan_(std::move(plan)), method_(method), events_(plan_->layout()) {
  if (plan_->folded()) throw std::invalid_argument("parallel windows need a plan that is not folded");
  if (threads == 0) throw std::invalid_argument("parallel windows need at least one thread");
  const uint32_t rows = plan_->layout().rows();
  const uint32_t c = plan_->commit_rounds(), b = plan_->buffer_rounds();
  const uint64_t period = uint64_t{c} + b;
  // The first layer and the seams between, in round order; alike windows share a graph.
  std::vector<const WindowGraph*> distinct;
  auto add = [&](WindowSpan span) {
    Job job;
    job.window = plan_->window_graph(span);
    job.window.decoder = static_cast<uint32_t>(distinct.size());
    for (const WindowGraph* seen : distinct)
      if (same_decoding(*seen, job.window)) {
        job.window.graph = seen->graph;
        job.window.decoder = seen->decoder;
        break;
      }
    jobs_.push_back(std::move(job));
    if (jobs_.back().window.decoder == distinct.size()) distinct.push_back(&jobs_.back().window);
    return static_cast<uint32_t>(jobs_.size() - 1);
  };
  jobs_.reserve(2 * (rows / period + 1));
  job_at_round_.assign(rows, kNone);
  uint32_t previous = kNone;
  for (uint64_t s = 0;; s += period) {
    const bool last = s + period >= rows;  // only for a shot of one window
    WindowSpan span;
    span.first = static_cast<uint32_t>(s == 0 ? 0 : s - b);
    span.end = static_cast<uint32_t>(last ? rows : s + period);
    span.commit_first = static_cast<uint32_t>(s);
    span.commit_end = static_cast<uint32_t>(last ? rows : s + c);
    span.open_past = s > 0;
    const uint32_t a = add(span);
    jobs_[a].ready_round = span.end - 1;
    job_at_round_[span.end - 1] = a;
    if (previous != kNone) {
      // The seam before this window waits for both its neighbours.
      const uint32_t seam = a - 1;
      jobs_[seam].waits_for[0] = previous;
      jobs_[seam].waits_for[1] = a;
      jobs_[previous].unblocks[1] = seam;
      jobs_[a].unblocks[0] = seam;
    }
    if (last) break;
    if (s + 2 * period >= rows) {
      // The shot ends within the next period: rather than a last first-layer window and the seam
      // before it (two windows in a row once the last round is in), one window takes every round
      // after this one's commit region, as a sliding window's last step: it waits for this
      // window's flips and for the shot's last round.
      WindowSpan tail;
      tail.first = tail.commit_first = static_cast<uint32_t>(s + c);
      tail.end = tail.commit_end = rows;
      const uint32_t t = add(tail);
      jobs_[t].waits_for[0] = a;
      jobs_[t].ready_round = rows - 1;
      jobs_[a].unblocks[1] = t;
      job_at_round_[rows - 1] = t;
      break;
    }
    WindowSpan seam;
    seam.first = seam.commit_first = static_cast<uint32_t>(s + c);
    seam.end = seam.commit_end = static_cast<uint32_t>(s + period);
    seam.open_future = false;
    add(seam);
    previous = a;
  }
  // `distinct` pointed into jobs_, whose storage was reserved up front and never moved.
  states_.resize(jobs_.size());
  done_.assign(jobs_.size(), 0);
  queue_.assign(jobs_.size(), 0);
  size_t largest = 0;
  for (State& st : states_) st.flips.reserve(plan_->layout().columns() * size_t{b});
  for (const Job& job : jobs_) largest = std::max(largest, job.window.detectors.size());
  worker_state_.resize(threads);
  auto equip = [&](Worker& w) {
    for (const WindowGraph* g : distinct) w.decoders.push_back(make_graph_decoder(method_, g->graph));
    w.fired.reserve(largest);
    w.flipped.reserve(largest);
    w.merged.reserve(largest);
  };
  for (Worker& w : worker_state_) equip(w);
  equip(helper_);
  workers_.reserve(threads);
  for (uint32_t i = 0; i < threads; ++i) workers_.emplace_back([this, i] { run(i); });
}

ParallelWindows::~ParallelWindows() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void ParallelWindows::run(uint32_t worker_index) {
  Worker& w = worker_state_[worker_index];
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return stop_ || queue_size_ > 0; });
    if (stop_) return;
    decode_next_locked(lock, w);
  }
}

void ParallelWindows::decode_next_locked(std::unique_lock<std::mutex>& lock, Worker& w) {
  const uint32_t j = queue_[queue_head_];
  queue_head_ = (queue_head_ + 1) % queue_.size();
  --queue_size_;
  lock.unlock();
  std::exception_ptr failed;
  try {
    const Job& job = jobs_[j];
    decode_window(job.window, job.waits_for, w, *w.decoders[job.window.decoder], states_[j]);
  } catch (...) {
    failed = std::current_exception();
  }
  const auto finished = Clock::now();
  lock.lock();
  State& st = states_[j];
  const auto waited = std::chrono::duration_cast<std::chrono::nanoseconds>(finished - st.arrival).count();
  st.latency_ns = static_cast<uint64_t>(std::max<int64_t>(waited, 0));
  if (failed && !failure_) failure_ = failed;
  frame_.store(frame_.load(std::memory_order_relaxed) ^ st.mask, std::memory_order_relaxed);
  done_[j] = 1;
  for (const uint32_t seam : jobs_[j].unblocks) {
    if (seam == kNone) continue;
    State& next = states_[seam];
    next.arrival = std::max(next.arrival, st.arrival);
    if (--next.waiting == 0) enqueue_locked(seam);
  }
  if (--outstanding_ == 0 && waiting_) idle_.notify_all();
}

void ParallelWindows::enqueue_locked(uint32_t j) {
  queue_[(queue_head_ + queue_size_) % queue_.size()] = j;
  ++queue_size_;
  ++outstanding_;
  if (waiting_) idle_.notify_all();
  work_.notify_one();
}

void ParallelWindows::gather(const WindowGraph& window, const uint32_t (&waits_for)[2], Worker& w) {
  w.fired.clear();
  events_.gather(window.span.first, window.span.end, w.fired);
  w.flipped.clear();
  const uint32_t base = events_.round_base(window.span.first);
  const uint32_t size = events_.round_base(window.span.end) - base;
  for (const uint32_t other : waits_for) {
    if (other == kNone) continue;
    for (const uint32_t det : states_[other].flips)
      if (const uint32_t local = events_.rank(det) - base; local < size) w.flipped.push_back(local);
  }
  if (w.flipped.empty()) return;
  // The events flipped: the symmetric difference of two ascending lists (a detector flipped from
  // both sides, or fired and flipped, is quiet).
  std::sort(w.flipped.begin(), w.flipped.end());
  w.merged.clear();
  size_t i = 0;
  for (size_t f = 0; f < w.flipped.size();) {
    const uint32_t x = w.flipped[f];
    size_t same = f;
    while (same < w.flipped.size() && w.flipped[same] == x) ++same;
    const bool toggles = (same - f) % 2 == 1;
    f = same;
    if (!toggles) continue;
    while (i < w.fired.size() && w.fired[i] < x) w.merged.push_back(w.fired[i++]);
    if (i < w.fired.size() && w.fired[i] == x)
      ++i;
    else
      w.merged.push_back(x);
  }
  while (i < w.fired.size()) w.merged.push_back(w.fired[i++]);
  std::swap(w.fired, w.merged);
}

void ParallelWindows::decode_window(const WindowGraph& window, const uint32_t (&waits_for)[2], Worker& w,
                                    GraphDecoder& decoder, State& out) {
  gather(window, waits_for, w);
  decoder.decode(w.fired);
  out.mask = 0;
  out.flips.clear();
  const std::vector<DecodingEdge>& edges = window.graph->edges;
  for (const uint32_t e : decoder.correction()) {
    if (!window.committed[e]) continue;
    out.mask ^= edges[e].observables;
    if (window.flips[e] != WindowGraph::kNoFlip) out.flips.push_back(window.flips[e]);
  }
}

void ParallelWindows::wait_idle(std::unique_lock<std::mutex>& lock) {
  // The waiting thread decodes windows too rather than sleep beside the workers.
  while (outstanding_ > 0) {
    if (queue_size_ > 0) {
      decode_next_locked(lock, helper_);
      continue;
    }
    waiting_ = true;
    idle_.wait(lock, [&] { return outstanding_ == 0 || queue_size_ > 0; });
    waiting_ = false;
  }
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void ParallelWindows::start_shot() {
  std::unique_lock lock(mutex_);
  wait_idle(lock);
  for (size_t j = 0; j < jobs_.size(); ++j) {
    // The last window waits for its round too.
    states_[j].waiting = (jobs_[j].waits_for[0] != kNone) + (jobs_[j].waits_for[1] != kNone) +
                         (jobs_[j].waits_for[0] != kNone && jobs_[j].ready_round != kNone);
    states_[j].arrival = Clock::time_point{};
    done_[j] = 0;
  }
  frame_.store(0, std::memory_order_relaxed);
}

void ParallelWindows::push_round(uint32_t r, std::span<const uint8_t> events, Clock::time_point arrival) {
  events_.set_round(r, events);
  const uint32_t j = job_at_round_[r];
  if (j == kNone) return;
  std::lock_guard lock(mutex_);
  State& st = states_[j];
  st.arrival = std::max(st.arrival, arrival);
  if (jobs_[j].waits_for[0] == kNone || --st.waiting == 0) enqueue_locked(j);
}

void ParallelWindows::record_latencies(LatencyHistogram& h, bool all) {
  for (size_t j = 0; j < jobs_.size(); ++j) {
    if (!done_[j]) continue;
    ++windows_;
    // The window that ends the shot counts as the shot's latency instead.
    if (all || j + 1 < jobs_.size()) h.record(states_[j].latency_ns);
  }
}

uint64_t ParallelWindows::end_shot(LatencyHistogram& commit_latency) {
  std::unique_lock lock(mutex_);
  wait_idle(lock);
  record_latencies(commit_latency, false);
  return frame_.load(std::memory_order_relaxed);
}

uint64_t ParallelWindows::finish_early(uint32_t held, LatencyHistogram& commit_latency) {
  std::unique_lock lock(mutex_);
  wait_idle(lock);
  record_latencies(commit_latency, true);
  // Rounds from the end of the last first-layer window's commit region on are not committed.
  uint32_t from = 0, last = kNone;
  for (uint32_t j = 0; j < jobs_.size(); ++j)
    if (done_[j] && jobs_[j].ready_round != kNone) {
      from = jobs_[j].window.span.commit_end;
      last = j;
    }
  uint64_t prediction = frame_.load(std::memory_order_relaxed);
  if (held <= from) return prediction;
  const WindowGraph tail = plan_->partial_window(from, held);
  const uint32_t waits_for[2] = {last, kNone};
  Worker w;
  const auto decoder = make_graph_decoder(method_, tail.graph);
  State out;
  decode_window(tail, waits_for, w, *decoder, out);
  ++windows_;
  return prediction ^ out.mask;
}

}  // namespace ostrel::decode
