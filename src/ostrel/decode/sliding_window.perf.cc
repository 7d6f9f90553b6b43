// Times (in thread CPU time) the sliding window fed round by round in-process against whole-shot
// decoding of the same shots, and splits a window's cost into its parts. Fixtures come from
// bench/sliding_window_fixtures.py (a model's text and its shots as stim's "01" lines):
//
//   cmake --build build --target sliding_window_perf
//   build/sliding_window_perf METHOD THREADS model.dem shots.01 [commit buffer]
//
// OSTREL_WINDOW_CARRY=1 (0) makes matching windows start from the last one's growth always (never);
// unset, the decoder's own choice. OSTREL_PROFILE=window (whole) runs only that loop, for a profiler. Prints per round: the window's cost, the whole-shot decode's, their ratio, and the window's
// cost split into decoding, the correction's edges and the rest (taking the round in, gathering the
// window's events, committing), timed part by part on the plan's windows.
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel/decode/decode_method.h"
#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/parallel_windows.h"
#include "ostrel/decode/sliding_window.h"
#include "ostrel/dem/dem_parser.h"

namespace {

using namespace ostrel;
using namespace ostrel::decode;

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

std::vector<std::vector<uint8_t>> read_shots(const char* path) {
  std::ifstream in(path);
  std::vector<std::vector<uint8_t>> shots;
  for (std::string line; std::getline(in, line);) {
    std::vector<uint8_t> s;
    for (char c : line)
      if (c == '0' || c == '1') s.push_back(c == '1');
    shots.push_back(std::move(s));
  }
  return shots;
}

// The method a name gives (the decode floor's own names), or nothing.
std::optional<DecodeMethod> method_named(std::string_view name) {
  for (const DecodeMethod m : {DecodeMethod::kWeightedUnionFind, DecodeMethod::kMatching,
                               DecodeMethod::kCorrelatedUnionFind, DecodeMethod::kCorrelatedMatching})
    if (decode_method_name(m) == name) return m;
  return std::nullopt;
}

int complain(const std::string& why) {
  std::fprintf(stderr, "sliding_window_perf: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return complain("usage: METHOD THREADS model.dem shots.01 [commit buffer]");
  const auto method = method_named(argv[1]);
  if (!method) return complain(std::string("unknown method ") + argv[1]);
  const auto threads = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  std::ifstream dem_in(argv[3]);
  const std::string text((std::istreambuf_iterator<char>(dem_in)), std::istreambuf_iterator<char>());
  const auto shots = read_shots(argv[4]);
  auto parsed = dem::parse_dem(text);
  if (!parsed.ok()) return complain(parsed.error().message());
  const dem::DetectorErrorModel& model = *parsed;
  auto layout = DetectorLayout::from_coordinates(model);
  if (!layout.ok()) return complain(layout.error());
  const uint32_t commit = argc > 6 ? static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10)) : 0;
  const uint32_t buffer = argc > 6 ? static_cast<uint32_t>(std::strtoul(argv[6], nullptr, 10)) : 0;
  auto plan = SlidingWindowPlan::create(model, *layout, commit, buffer);
  if (!plan.ok()) return complain(plan.error());
  const DetectorLayout& lay = (*plan)->layout();
  const uint32_t rows = lay.rows(), cols = lay.columns();

  // Each shot's rounds as frames (one byte per layout column).
  std::vector<std::vector<uint8_t>> frames(shots.size(), std::vector<uint8_t>(size_t{rows} * cols, 0));
  for (size_t s = 0; s < shots.size(); ++s)
    for (uint32_t r = 0; r < rows; ++r)
      for (uint32_t c = 0; c < cols; ++c)
        if (const uint32_t d = lay.detector(r, c); d != DetectorLayout::kNone && d < shots[s].size())
          frames[s][size_t{r} * cols + c] = shots[s][d];

  auto graph = build_decoding_graph(model);
  if (!graph.ok()) return complain(graph.error());
  auto whole = make_graph_decoder(*method, *graph);
  SlidingWindowDecoder window(*plan, *method, threads);
  if (const char* carry = std::getenv("OSTREL_WINDOW_CARRY")) window.set_carry(*carry == '1');
  // The same windows, each decoded afresh (matching starts a window from the last one's growth).
  SlidingWindowDecoder fresh(*plan, *method, threads);
  fresh.set_carry(false);
  std::vector<uint64_t> whole_pred(shots.size()), window_pred(shots.size()), fresh_pred(shots.size());
  const auto now = SlidingWindowDecoder::Clock::now();
  auto run_whole = [&] {
    for (size_t s = 0; s < shots.size(); ++s) whole_pred[s] = whole->decode_dense(shots[s]) & 1;
  };
  auto run_window = [&](SlidingWindowDecoder& dec, std::vector<uint64_t>& pred) {
    for (size_t s = 0; s < shots.size(); ++s)
      for (uint32_t r = 0; r < rows; ++r) {
        auto pushed = dec.push(r, std::span(frames[s]).subspan(size_t{r} * cols, cols), now);
        if (pushed->shot_ended) pred[s] = pushed->frame & 1;
      }
  };
  run_whole();  // warm
  run_window(window, window_pred);
  // OSTREL_PROFILE=window|whole: only that loop, repeated (for a profiler), then exit.
  if (const char* only = std::getenv("OSTREL_PROFILE")) {
    for (int rep = 0; rep < 100; ++rep)
      if (std::string_view(only) == "whole") run_whole(); else run_window(window, window_pred);
    return 0;
  }
  run_window(fresh, fresh_pred);
  double t_whole = 1e300, t_window = 1e300, wall_window = 1e300, t_fresh = 1e300;
  for (int rep = 0; rep < 5; ++rep) {
    double t0 = cpu_seconds();
    run_whole();
    t_whole = std::min(t_whole, cpu_seconds() - t0);
    t0 = cpu_seconds();
    const auto w0 = std::chrono::steady_clock::now();
    run_window(window, window_pred);
    t_window = std::min(t_window, cpu_seconds() - t0);
    wall_window = std::min(wall_window, std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count());
    t0 = cpu_seconds();
    run_window(fresh, fresh_pred);
    t_fresh = std::min(t_fresh, cpu_seconds() - t0);
  }
  size_t differ = 0, differ_fresh = 0;
  for (size_t s = 0; s < shots.size(); ++s) {
    differ += whole_pred[s] != window_pred[s];
    differ_fresh += fresh_pred[s] != window_pred[s];
  }
  const double n_rounds = static_cast<double>(shots.size()) * rows;

  // The window's parts, by hand on the plan's windows (the decoder's own loop, timed per part).
  const auto& windows = (*plan)->windows();
  std::vector<std::unique_ptr<GraphDecoder>> decoders;
  for (const WindowGraph& w : windows)
    if (w.decoder == decoders.size()) decoders.push_back(make_graph_decoder(*method, w.graph));
  double t_gather = 0, t_decode = 0, t_paths = 0, t_commit = 0;
  uint64_t events = 0, window_count = 0;
  std::vector<uint8_t> fired(lay.detector_count());
  std::vector<uint32_t> list;
  for (size_t s = 0; s < shots.size(); ++s) {
    for (uint32_t r = 0; r < rows; ++r)
      for (uint32_t c = 0; c < cols; ++c)
        if (const uint32_t d = lay.detector(r, c); d != DetectorLayout::kNone) fired[d] = frames[s][size_t{r} * cols + c];
    for (const WindowGraph& w : windows) {
      GraphDecoder& dec = *decoders[w.decoder];
      double t0 = thread_seconds();
      list.clear();
      for (uint32_t local = 0; local < w.detectors.size(); ++local)
        if (fired[w.detectors[local]]) list.push_back(local);
      double t1 = thread_seconds();
      dec.decode(list);
      double t2 = thread_seconds();
      const auto corr = dec.correction();
      double t3 = thread_seconds();
      for (const uint32_t e : corr)
        if (w.committed[e] && w.flips[e] != WindowGraph::kNoFlip) fired[w.flips[e]] ^= 1;
      double t4 = thread_seconds();
      t_gather += t1 - t0;
      t_decode += t2 - t1;
      t_paths += t3 - t2;
      t_commit += t4 - t3;
      events += list.size();
      ++window_count;
    }
  }
  // Matching windows started from the last one's growth, as the decoder does, timed the same way.
  double t_cdecode = 0, t_cpaths = 0;
  uint64_t carried = 0, carried_windows = 0;
  if (*method == DecodeMethod::kMatching) {
    std::vector<uint32_t> rank(lay.detector_count(), 0), round_base(size_t{rows} + 1, 0);
    for (uint32_t r = 0, n = 0; r < rows; ++r) {
      round_base[r] = n;
      for (uint32_t c = 0; c < cols; ++c)
        if (const uint32_t d = lay.detector(r, c); d != DetectorLayout::kNone) rank[d] = n++;
      round_base[r + 1] = n;
    }
    std::vector<std::unique_ptr<matching::MatchingDecoder>> mdecs;
    for (const WindowGraph& w : windows)
      if (w.decoder == mdecs.size()) mdecs.push_back(std::make_unique<matching::MatchingDecoder>(w.graph));
    std::vector<uint32_t> flips;
    for (size_t s = 0; s < shots.size(); ++s) {
      for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t c = 0; c < cols; ++c)
          if (const uint32_t d = lay.detector(r, c); d != DetectorLayout::kNone) fired[d] = frames[s][size_t{r} * cols + c];
      matching::MatchingDecoder* last = nullptr;
      uint32_t shift = 0, stable_end = 0;
      for (const WindowGraph& w : windows) {
        matching::MatchingDecoder& dec = *mdecs[w.decoder];
        list.clear();
        for (uint32_t local = 0; local < w.detectors.size(); ++local)
          if (fired[w.detectors[local]]) list.push_back(local);
        const double t1 = thread_seconds();
        if (last != nullptr) {
          dec.decode_after(*last, shift, stable_end, flips, list);
        } else {
          dec.decode(list);
        }
        const double t2 = thread_seconds();
        // As the window reads it: only the paths that may reach the commit region.
        const uint32_t base = round_base[w.span.first];
        const auto corr = dec.correction_reaching(round_base[w.span.commit_end] - base);
        const double t3 = thread_seconds();
        t_cdecode += t2 - t1;
        t_cpaths += t3 - t2;
        carried += dec.carried_regions();
        flips.clear();
        for (const uint32_t e : corr)
          if (w.committed[e] && w.flips[e] != WindowGraph::kNoFlip) {
            fired[w.flips[e]] ^= 1;
            flips.push_back(rank[w.flips[e]] - base);
          }
        const uint32_t c = (*plan)->commit_rounds();
        last = &dec;
        shift = round_base[w.span.first + c] - base;
        stable_end = round_base[std::max(w.span.first + c, w.span.end - std::min(w.span.end, (*plan)->longest_span()))] - base;
        ++carried_windows;
      }
    }
  }
  // The clock reads themselves cost about as much as a short part: subtract their own cost.
  double clock_cost = 0;
  {
    const double t0 = thread_seconds();
    for (int i = 0; i < 100000; ++i) (void)thread_seconds();
    clock_cost = (thread_seconds() - t0) / 100000;
  }
  const double per_window_clock = clock_cost * static_cast<double>(window_count);
  auto us = [&](double t) { return 1e6 * std::max(0.0, t - per_window_clock) / n_rounds; };

  std::printf("%s threads=%u commit=%u buffer=%u rows=%u shots=%zu windows/shot=%zu events/window=%.1f\n", argv[1],
              threads, commit, buffer, rows, shots.size(), windows.size(),
              static_cast<double>(events) / static_cast<double>(window_count));
  std::printf("  whole-shot %.4f us/round   window %.4f us/round CPU (%.4f wall)   ratio %.2f   predictions differ %zu\n",
              1e6 * t_whole / n_rounds, 1e6 * t_window / n_rounds, 1e6 * wall_window / n_rounds, t_window / t_whole,
              differ);
  std::printf("  windows decoded afresh %.4f us/round   ratio %.2f   predictions differ from the carried %zu\n",
              1e6 * t_fresh / n_rounds, t_fresh / t_whole, differ_fresh);
  std::printf("  parts, windows decoded afresh (us/round): decode %.4f correction %.4f rest (events in, gather, commit) %.4f"
              "   [a full scan of the window to gather would cost %.4f]\n",
              us(t_decode), us(t_paths), std::max(0.0, 1e6 * t_window / n_rounds - us(t_decode) - us(t_paths)),
              us(t_gather + t_commit));
  if (carried_windows > 0) {
    const double clocks = clock_cost * static_cast<double>(carried_windows);
    std::printf("  parts, windows started from the last one's growth (us/round): decode %.4f correction %.4f"
                "   regions carried %.1f per window\n",
                1e6 * std::max(0.0, t_cdecode - clocks) / n_rounds, 1e6 * std::max(0.0, t_cpaths - clocks) / n_rounds,
                static_cast<double>(carried) / static_cast<double>(carried_windows));
  }
  if (threads == 0) return 0;

  // Parallel windows on N cores, modelled: each window's measured cost (thread CPU time, decoded
  // one by one as a worker would), then per shot a list schedule of the windows on N workers
  // (first-layer windows ready at once, as in-process rounds are; a seam when both neighbours are
  // done). Rounds per second of CPU wall time = rounds / makespan.
  const ParallelWindows parallel(*plan, *method, 1);
  const auto& jobs = parallel.jobs();
  std::vector<double> cost(jobs.size(), 0);
  {
    // One decoder per distinct graph, as a worker holds them; the first layer, then the seams
    // with their neighbours' flips.
    std::vector<std::unique_ptr<GraphDecoder>> decs;
    for (const auto& job : jobs)
      if (job.window.decoder == decs.size()) decs.push_back(make_graph_decoder(*method, job.window.graph));
    std::vector<uint32_t> fired_list;
    std::vector<std::vector<uint32_t>> flips(jobs.size());
    for (size_t s = 0; s < shots.size(); ++s) {
      std::vector<uint8_t> fired = shots[s];
      for (const bool seams : {false, true})
        for (size_t j = 0; j < jobs.size(); ++j) {
          const auto& job = jobs[j];
          if ((job.waits_for[0] != ParallelWindows::kNone) != seams) continue;
          const WindowGraph& w = job.window;
          for (const uint32_t other : job.waits_for)
            if (other != ParallelWindows::kNone)
              for (const uint32_t d : flips[other]) fired[d] ^= 1;
          fired_list.clear();
          for (uint32_t local = 0; local < w.detectors.size(); ++local)
            if (fired[w.detectors[local]]) fired_list.push_back(local);
          for (const uint32_t other : job.waits_for)
            if (other != ParallelWindows::kNone)
              for (const uint32_t d : flips[other]) fired[d] ^= 1;
          GraphDecoder& dec = *decs[w.decoder];
          const double t0 = thread_seconds();
          dec.decode(fired_list);
          const auto corr = dec.correction();
          cost[j] += thread_seconds() - t0 - clock_cost;
          flips[j].clear();
          for (const uint32_t e : corr)
            if (w.committed[e] && w.flips[e] != WindowGraph::kNoFlip) flips[j].push_back(w.flips[e]);
        }
    }
    for (double& c : cost) c /= static_cast<double>(shots.size());
  }
  double total = 0;
  for (const double c : cost) total += c;
  std::printf("  parallel windows: decode + correction %.4f us/round (one after another: %.4f)\n", 1e6 * total / rows,
              us(t_decode) + us(t_paths));
  std::printf("  modelled parallel windows (mean window costs, list schedule per shot):");
  for (const uint32_t n : {1u, 2u, 4u, 8u, 16u}) {
    std::vector<double> free_at(n, 0), finish(jobs.size(), 0);
    auto place = [&](size_t j, double ready) {
      auto it = std::min_element(free_at.begin(), free_at.end());
      *it = std::max(*it, ready) + cost[j];
      finish[j] = *it;
    };
    for (size_t j = 0; j < jobs.size(); ++j)
      if (jobs[j].waits_for[0] == ParallelWindows::kNone) place(j, 0);
    for (size_t j = 0; j < jobs.size(); ++j)
      if (jobs[j].waits_for[0] != ParallelWindows::kNone) {
        double ready = 0;
        for (const uint32_t other : jobs[j].waits_for)
          if (other != ParallelWindows::kNone) ready = std::max(ready, finish[other]);
        place(j, ready);
      }
    const double makespan = *std::max_element(finish.begin(), finish.end());
    std::printf(" %u: %.2f M rounds/s", n, rows / makespan / 1e6);
  }
  std::printf("\n  measured: %.2f M rounds/s wall with %u threads\n", n_rounds / wall_window / 1e6, threads);
  return 0;
}
