#include "ostrel/decode/parallel_windows.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "ostrel/decode/sliding_window.h"
#include "ostrel/decode/test_line_model.h"

namespace ostrel::decode {
namespace {

constexpr DecodeMethod kMethods[] = {DecodeMethod::kWeightedUnionFind, DecodeMethod::kMatching,
                                     DecodeMethod::kCorrelatedUnionFind, DecodeMethod::kCorrelatedMatching};

// The schedule decoded by hand: first-layer windows, then the seams with their neighbours' flips,
// each by a fresh decoder on a dense copy of the events. Returns the prediction.
uint64_t schedule_afresh(const std::vector<ParallelWindows::Job>& jobs, DecodeMethod method,
                         const std::vector<uint8_t>& shot) {
  uint64_t prediction = 0;
  std::vector<std::vector<uint32_t>> flips(jobs.size());
  for (const bool seams : {false, true})
    for (size_t j = 0; j < jobs.size(); ++j) {
      const ParallelWindows::Job& job = jobs[j];
      if ((job.waits_for[0] != ParallelWindows::kNone) != seams) continue;
      std::vector<uint8_t> fired = shot;
      for (const uint32_t other : job.waits_for)
        if (other != ParallelWindows::kNone)
          for (const uint32_t det : flips[other]) fired[det] ^= 1;
      std::vector<uint32_t> list;
      for (uint32_t local = 0; local < job.window.detectors.size(); ++local)
        if (fired[job.window.detectors[local]]) list.push_back(local);
      auto decoder = make_graph_decoder(method, job.window.graph);
      decoder->decode(list);
      for (const uint32_t e : decoder->correction()) {
        if (!job.window.committed[e]) continue;
        prediction ^= job.window.graph->edges[e].observables;
        if (job.window.flips[e] != WindowGraph::kNoFlip) flips[j].push_back(job.window.flips[e]);
      }
    }
  return prediction;
}

TEST(ParallelWindows, PredictionsEqualTheScheduleDecodedAfreshForEveryThreadCount) {
  // 2 ancillas x 10 rounds: 48 edges, each its own observable. Every shot's prediction must
  // explain its events exactly (each event matched once, across the seams too), equal the
  // schedule decoded by hand with fresh decoders, and not depend on the number of threads.
  const LineModel m = line_model(2, 10);
  ASSERT_LE(m.edges.size(), 64u);
  std::mt19937 rng(17);
  for (const DecodeMethod method : kMethods)
    for (const auto& [commit, buffer] : {std::pair{1u, 1u}, {2u, 1u}, {1u, 2u}, {3u, 2u}, {2u, 4u}}) {
      const auto plan = plan_for(m, commit, buffer);
      SlidingWindowDecoder one(plan, method, 1), two(plan, method, 2), three(plan, method, 3);
      for (int shot_index = 0; shot_index < 100; ++shot_index) {
        const auto shot = random_shot(m, rng, shot_index % 2 ? 0.3 : 0.07);
        const uint64_t expected = schedule_afresh(ParallelWindows(plan, method, 1).jobs(), method, shot);
        const uint64_t a = run_shot(one, m, shot).back();
        ASSERT_EQ(a, expected) << decode_method_name(method) << " " << commit << "+" << buffer << " shot "
                               << shot_index;
        ASSERT_EQ(run_shot(two, m, shot).back(), a);
        ASSERT_EQ(run_shot(three, m, shot).back(), a);
        ASSERT_EQ(syndrome_of(m, a), shot) << decode_method_name(method) << " " << commit << "+" << buffer;
      }
      EXPECT_EQ(two.shots_decoded(), 100u);
      EXPECT_EQ(two.windows_decoded(), 100u * ParallelWindows(plan, method, 1).jobs().size());
      EXPECT_EQ(two.commit_latency().count() + two.shots_decoded(), two.windows_decoded());
    }
}

TEST(ParallelWindows, CommitRegionsTileTheShotAndSeamsWaitForTheirNeighbours) {
  for (const uint32_t rows : {1u, 3u, 7u, 12u, 13u})
    for (const auto& [commit, buffer] : {std::pair{1u, 1u}, {2u, 3u}, {4u, 1u}}) {
      const LineModel m = line_model(1, rows);
      ParallelWindows p(plan_for(m, commit, buffer), DecodeMethod::kMatching, 1);
      std::vector<int> owners(rows, 0);
      for (const auto& job : p.jobs()) {
        for (uint32_t r = job.window.span.commit_first; r < job.window.span.commit_end; ++r) ++owners[r];
        const bool second_layer = job.waits_for[0] != ParallelWindows::kNone;
        const bool last = job.window.span.end == rows;
        // Every window but a seam waits for a round; the shot's last window of several is of the
        // second layer, after the commit region of the one before it, and commits to the end.
        EXPECT_EQ(second_layer && !last, job.ready_round == ParallelWindows::kNone);
        if (second_layer) {
          EXPECT_EQ(p.jobs()[job.waits_for[0]].window.span.commit_end, job.window.span.first);
        }
        if (second_layer && !last) {
          // The seam lies between its neighbours' commit regions, with nothing left over.
          EXPECT_EQ(p.jobs()[job.waits_for[1]].window.span.commit_first, job.window.span.end);
        }
        if (second_layer && last) {
          EXPECT_EQ(job.waits_for[1], ParallelWindows::kNone);
          EXPECT_EQ(job.window.span.commit_end, rows);
          EXPECT_EQ(job.ready_round, rows - 1);
        }
      }
      EXPECT_EQ(owners, std::vector<int>(rows, 1)) << rows << " rounds, " << commit << "+" << buffer;
    }
}

TEST(ParallelWindows, FinishingEarlyExplainsTheRoundsHeld) {
  const LineModel m = line_model(2, 10);
  std::mt19937 rng(23);
  SlidingWindowDecoder dec(plan_for(m, 2, 2), DecodeMethod::kMatching, 2);
  for (uint32_t held = 1; held < m.R; ++held)
    for (int trial = 0; trial < 20; ++trial) {
      const auto shot = random_shot(m, rng, 0.2);
      for (uint32_t r = 0; r < held; ++r)
        ASSERT_TRUE(dec.push(r, std::span(shot).subspan(size_t{r} * m.A, m.A), SlidingWindowDecoder::Clock::now()).ok());
      const auto prediction = dec.finish();
      ASSERT_TRUE(prediction.has_value());
      // Edges into rounds not held reach the closing boundary: only the held rounds must match.
      const auto explained = syndrome_of(m, *prediction);
      for (size_t d = 0; d < size_t{held} * m.A; ++d) ASSERT_EQ(explained[d], shot[d]) << held << " held, detector " << d;
    }
}

TEST(ParallelWindows, AnAbandonedShotLeavesNothingBehind) {
  const LineModel m = line_model(2, 10);
  std::mt19937 rng(29);
  const auto plan = plan_for(m, 1, 2);
  SlidingWindowDecoder dec(plan, DecodeMethod::kWeightedUnionFind, 2), fresh(plan, DecodeMethod::kWeightedUnionFind, 2);
  for (int trial = 0; trial < 50; ++trial) {
    const auto noise = random_shot(m, rng, 0.4), shot = random_shot(m, rng, 0.1);
    for (uint32_t r = 0; r < 1 + trial % (m.R - 1); ++r)
      ASSERT_TRUE(dec.push(r, std::span(noise).subspan(size_t{r} * m.A, m.A), SlidingWindowDecoder::Clock::now()).ok());
    EXPECT_EQ(run_shot(dec, m, shot).back(), run_shot(fresh, m, shot).back());
  }
  EXPECT_EQ(dec.shots_abandoned(), 50u);
}

}  // namespace
}  // namespace ostrel::decode
