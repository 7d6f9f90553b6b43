#include "ostrel/decode/sliding_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <tuple>
#include <string>
#include <vector>

#include "ostrel/decode/matching/edge_weights.h"
#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/test_line_model.h"
#include "ostrel/decode/weighted_union_find.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode {
namespace {

TEST(SlidingWindow, CommittedCorrectionExplainsTheShotAndCoveringWindowEqualsWholeShot) {
  const LineModel m = line_model(3, 7);  // 3 + 3 + 3 edges per round, 57 in all
  ASSERT_LE(m.edges.size(), 64u);
  auto whole = build_decoding_graph(m.model);
  ASSERT_TRUE(whole.ok());
  WeightedUnionFind reference(*whole);
  std::mt19937 rng(5);
  for (const auto& [commit, buffer] : {std::pair{1u, 1u}, {2u, 1u}, {1u, 3u}, {3u, 2u}, {4u, 4u}, {6u, 1u}}) {
    SlidingWindowDecoder dec(plan_for(m, commit, buffer));
    for (int shot_index = 0; shot_index < 300; ++shot_index) {
      const auto shot = random_shot(m, rng, shot_index % 3 == 0 ? 0.3 : 0.08);
      const uint64_t prediction = run_shot(dec, m, shot).back();
      // Every detector is matched exactly once across all windows.
      EXPECT_EQ(syndrome_of(m, prediction), shot) << commit << "+" << buffer << " shot " << shot_index;
      if (commit + buffer >= m.R) {
        EXPECT_EQ(prediction, reference.decode_dense(shot));
      }
    }
    EXPECT_EQ(dec.shots_decoded(), 300u);
    EXPECT_EQ(dec.rounds_decoded(), 300u * m.R);
    EXPECT_EQ(dec.windows_decoded(), 300u * dec.plan().windows().size());
    EXPECT_EQ(dec.shot_latency().count(), 300u);
  }
}

// The plan's windows decoded one after another by a fresh decoder each, from a dense copy of the
// shot's events: what every window of a SlidingWindowDecoder must give. Returns the running frame
// after each window.
std::vector<uint64_t> windows_afresh(const SlidingWindowPlan& plan, DecodeMethod method, std::vector<uint8_t> fired) {
  std::vector<uint64_t> frames;
  uint64_t frame = 0;
  for (const WindowGraph& w : plan.windows()) {
    std::vector<uint32_t> list;
    for (uint32_t local = 0; local < w.detectors.size(); ++local)
      if (fired[w.detectors[local]]) list.push_back(local);
    auto decoder = make_graph_decoder(method, w.graph);
    decoder->decode(list);
    for (const uint32_t e : decoder->correction()) {
      if (!w.committed[e]) continue;
      frame ^= w.graph->edges[e].observables;
      if (w.flips[e] != WindowGraph::kNoFlip) fired[w.flips[e]] ^= 1;
    }
    frames.push_back(frame);
  }
  return frames;
}

TEST(SlidingWindow, EveryWindowDecodesAsAFreshDecoderOnItsEvents) {
  // The layout has an empty column between the first two ancillas, so cells and detectors
  // differ in rank; every method, several window shapes, dense and sparse shots.
  const LineModel m = line_model(3, 9);
  const uint32_t columns = m.A + 1;
  std::vector<int64_t> table(size_t{m.R} * columns, -1);
  for (uint32_t r = 0; r < m.R; ++r)
    for (uint32_t a = 0; a < m.A; ++a) table[size_t{r} * columns + (a == 0 ? 0 : a + 1)] = r * m.A + a;
  std::mt19937 rng(11);
  for (const DecodeMethod method : {DecodeMethod::kWeightedUnionFind, DecodeMethod::kMatching,
                                    DecodeMethod::kCorrelatedUnionFind, DecodeMethod::kCorrelatedMatching}) {
    for (const auto& [commit, buffer] : {std::pair{1u, 1u}, {2u, 3u}, {3u, 2u}}) {
      auto layout = DetectorLayout::from_table(m.model, m.R, columns, table);
      ASSERT_TRUE(layout.ok()) << layout.error();
      auto plan = SlidingWindowPlan::create(m.model, std::move(layout).value(), commit, buffer);
      ASSERT_TRUE(plan.ok());
      SlidingWindowDecoder dec(*plan, method);
      dec.set_carry(false);  // ties break alike only when nothing is carried (see below)
      for (int shot_index = 0; shot_index < 120; ++shot_index) {
        const auto shot = random_shot(m, rng, shot_index % 2 ? 0.3 : 0.06);
        const auto expected = windows_afresh(**plan, method, shot);
        std::vector<uint64_t> frames;
        std::vector<uint8_t> row(columns);
        for (uint32_t r = 0; r < m.R; ++r) {
          for (uint32_t a = 0; a < m.A; ++a) row[a == 0 ? 0 : a + 1] = shot[size_t{r} * m.A + a];
          row[1] = static_cast<uint8_t>(rng() & 1);  // an empty cell's value counts for nothing
          const uint64_t before = dec.windows_decoded();
          auto pushed = dec.push(r, row, SlidingWindowDecoder::Clock::now());
          ASSERT_TRUE(pushed.ok());
          if (dec.windows_decoded() != before) frames.push_back(pushed->frame);
        }
        ASSERT_EQ(frames, expected) << decode_method_name(method) << " " << commit << "+" << buffer << " shot "
                                    << shot_index;
      }
    }
  }
}

// Rounds of `A` ancillas with space, time and diagonal edges, each of its own random probability
// (minimum matchings are then unique but for rare ties); the first ancilla's boundary edges flip L0.
dem::DetectorErrorModel random_weight_rounds(uint32_t A, uint32_t R, std::mt19937& rng) {
  std::uniform_real_distribution<double> p(0.01, 0.2);
  std::string text;
  auto add = [&](uint32_t u, uint32_t v, const char* obs) {
    text += "error(" + std::to_string(p(rng)) + ") D" + std::to_string(u);
    if (v != kNoDetector) text += " D" + std::to_string(v);
    text += obs;
    text += "\n";
  };
  for (uint32_t r = 0; r < R; ++r)
    for (uint32_t a = 0; a < A; ++a) {
      const uint32_t d = r * A + a;
      if (a == 0) add(d, kNoDetector, " L0");
      add(d, a + 1 < A ? d + 1 : kNoDetector, "");
      if (r + 1 < R) add(d, d + A, "");
      if (r + 1 < R && a + 1 < A) add(d, d + A + 1, a == 0 ? " L1" : "");
    }
  for (uint32_t r = 0; r < R; ++r)
    for (uint32_t a = 0; a < A; ++a)
      text += "detector(" + std::to_string(a) + ", " + std::to_string(r) + ") D" + std::to_string(r * A + a) + "\n";
  return *dem::parse_dem(text);
}

int64_t fine_weight_of(const DecodingGraph& g, std::span<const uint32_t> edges) {
  int64_t w = 0;
  for (const uint32_t e : edges) w += matching::fine_weight(g.edges[e]);
  return w;
}

TEST(SlidingWindow, MatchingWindowStartedFromTheLastOneIsAMinimumMatching) {
  // Each window decoded from the growth of the one before (as the sliding window does), beside a
  // fresh decode of the same events: the correction explains the events, weighs what the fresh
  // one weighs, and (minima being unique here) the shot's frames are the fresh windows' frames.
  std::mt19937 rng(17);
  uint64_t carried = 0, left_out = 0, inside_edges = 0, inside_observables = 0, reread = 0;
  for (const auto& [A, R, commit, buffer, density] :
       {std::tuple{4u, 12u, 2u, 2u, 0.1}, {5u, 16u, 3u, 3u, 0.25}, {3u, 14u, 3u, 2u, 0.15}, {6u, 20u, 4u, 4u, 0.05},
        {8u, 16u, 3u, 3u, 0.3}}) {
    const dem::DetectorErrorModel model = random_weight_rounds(A, R, rng);
    auto plan = SlidingWindowPlan::create(model, *DetectorLayout::from_coordinates(model), commit, buffer);
    ASSERT_TRUE(plan.ok()) << plan.error();
    const auto& windows = (*plan)->windows();
    std::vector<std::unique_ptr<matching::MatchingDecoder>> decoders;
    for (const WindowGraph& w : windows)
      if (w.decoder == decoders.size()) decoders.push_back(std::make_unique<matching::MatchingDecoder>(w.graph));
    SlidingWindowDecoder sliding(*plan, DecodeMethod::kMatching);
    sliding.set_carry(true);  // these windows are below the size where it is on by itself
    std::bernoulli_distribution fire(density);
    for (int shot_index = 0; shot_index < 150; ++shot_index) {
      std::vector<uint8_t> shot(size_t{A} * R);
      for (auto& b : shot) b = fire(rng);
      std::vector<uint8_t> fired = shot;
      matching::MatchingDecoder* last = nullptr;
      std::vector<uint32_t> flips, last_correction;
      uint32_t shift = 0, stable_end = 0;
      for (const WindowGraph& w : windows) {
        const DecodingGraph& g = *w.graph;
        std::vector<uint32_t> list;
        for (uint32_t local = 0; local < w.detectors.size(); ++local)
          if (fired[w.detectors[local]]) list.push_back(local);
        matching::MatchingDecoder& dec = *decoders[w.decoder];
        if (last != nullptr) {
          dec.decode_after(*last, shift, stable_end, flips, list);
        } else {
          dec.decode(list);
        }
        carried += dec.carried_regions();
        if (last != nullptr && last != &dec) {
          // Carrying moved the last window's lists out of its decoder: its correction reads the same.
          std::vector<uint32_t> again(last->correction().begin(), last->correction().end());
          std::sort(again.begin(), again.end());
          ASSERT_EQ(again, last_correction) << "shot " << shot_index << " window " << w.span.first;
          ++reread;
        }
        const std::vector<uint32_t> correction(dec.correction().begin(), dec.correction().end());
        last_correction = correction;
        std::sort(last_correction.begin(), last_correction.end());
        matching::MatchingDecoder fresh(w.graph);
        fresh.decode(list);
        ASSERT_EQ(fine_weight_of(g, correction), fine_weight_of(g, fresh.correction()))
            << A << "x" << R << " " << commit << "+" << buffer << " shot " << shot_index << " window " << w.span.first;
        std::vector<uint8_t> syndrome(g.detector_count, 0), events(g.detector_count, 0);
        for (const uint32_t e : correction)
          for (const uint32_t end : {g.edges[e].u, g.edges[e].v})
            if (end < g.detector_count) syndrome[end] ^= 1;
        for (const uint32_t x : list) events[x] = 1;
        ASSERT_EQ(syndrome, events) << "shot " << shot_index << " window " << w.span.first;
        // Reading only the paths that may reach the commit region commits the same edges.
        const auto below = static_cast<uint32_t>((w.span.commit_end - w.span.first) * A);
        auto committed_of = [&](std::span<const uint32_t> edges) {
          std::vector<uint32_t> out;
          for (const uint32_t e : edges)
            if (w.committed[e]) out.push_back(e);
          std::sort(out.begin(), out.end());
          return out;
        };
        const std::vector<uint32_t> reaching(dec.correction_reaching(below).begin(), dec.correction_reaching(below).end());
        ASSERT_EQ(committed_of(reaching), committed_of(correction)) << "shot " << shot_index << " window " << w.span.first;
        left_out += correction.size() - reaching.size();
        // Leaving out the paths inside the commit region too, with their observables apart, commits
        // the same observables and flips the same events.
        uint64_t inside = 0;
        const auto apart_span = dec.correction_reaching(below, &inside);
        const std::vector<uint32_t> apart(apart_span.begin(), apart_span.end());
        auto observables_of = [&](std::span<const uint32_t> edges) {
          uint64_t mask = 0;
          for (const uint32_t e : committed_of(edges)) mask ^= g.edges[e].observables;
          return mask;
        };
        auto flips_of = [&](std::span<const uint32_t> edges) {
          std::vector<uint32_t> out;
          for (const uint32_t e : committed_of(edges))
            if (w.flips[e] != WindowGraph::kNoFlip) out.push_back(w.flips[e]);
          std::sort(out.begin(), out.end());
          return out;
        };
        ASSERT_EQ(observables_of(apart) ^ inside, observables_of(correction)) << "shot " << shot_index;
        ASSERT_EQ(flips_of(apart), flips_of(correction)) << "shot " << shot_index;
        inside_edges += reaching.size() - apart.size();
        inside_observables += inside != 0;
        // Commit as the sliding window does; the next window starts from this one.
        flips.clear();
        for (const uint32_t e : correction)
          if (w.committed[e] && w.flips[e] != WindowGraph::kNoFlip) {
            fired[w.flips[e]] ^= 1;
            flips.push_back(static_cast<uint32_t>(
                std::find(w.detectors.begin(), w.detectors.end(), w.flips[e]) - w.detectors.begin()));
          }
        last = &dec;
        shift = (w.span.first + commit) * A - w.span.first * A;
        stable_end = (std::max(w.span.first + commit, w.span.end - 1) - w.span.first) * A;
      }
      const auto expected = windows_afresh(**plan, DecodeMethod::kMatching, shot);
      if (shot_index % 5 == 0) {
        // A shot abandoned after a few windows leaves nothing for the next shot's windows to start from.
        std::vector<uint8_t> other(size_t{A} * R);
        for (auto& b : other) b = fire(rng);
        for (uint32_t r = 0; r < R / 2; ++r)
          ASSERT_TRUE(sliding.push(r, std::span(other).subspan(size_t{r} * A, A), SlidingWindowDecoder::Clock::now()).ok());
      }
      std::vector<uint64_t> frames;
      for (uint32_t r = 0; r < R; ++r) {
        const uint64_t before = sliding.windows_decoded();
        auto pushed = sliding.push(r, std::span(shot).subspan(size_t{r} * A, A), SlidingWindowDecoder::Clock::now());
        ASSERT_TRUE(pushed.ok());
        if (sliding.windows_decoded() != before) frames.push_back(pushed->frame);
      }
      EXPECT_EQ(frames, expected) << A << "x" << R << " shot " << shot_index;
    }
  }
  EXPECT_GT(carried, 1000u);  // the windows did start from their predecessors' growth
  EXPECT_GT(left_out, 1000u);  // and paths of their buffers were left unread
  EXPECT_GT(inside_edges, 1000u);  // as were the edges of paths inside commit regions,
  EXPECT_GT(inside_observables, 100u);  // some of them crossing observables
  EXPECT_GT(reread, 500u);  // and decoders that were carried from read their corrections again
}

TEST(SlidingWindow, CommittedEdgesDependOnlyOnTheRoundsTheirWindowHeld) {
  // Two shots equal up to round `split`: every frame reported once a window ending at or before
  // the split has committed is the same, and a frame never loses an edge it committed earlier
  // unless a later commit XORs the same edge again (impossible: windows commit disjoint rounds).
  const LineModel m = line_model(2, 12);
  const uint32_t commit = 2, buffer = 2;
  SlidingWindowDecoder a(plan_for(m, commit, buffer)), b(plan_for(m, commit, buffer));
  std::mt19937 rng(9);
  for (int trial = 0; trial < 200; ++trial) {
    const uint32_t split = 1 + rng() % (m.R - 1);
    auto first = random_shot(m, rng, 0.15), second = random_shot(m, rng, 0.15);
    std::copy(first.begin(), first.begin() + split * m.A, second.begin());
    const auto fa = run_shot(a, m, first), fb = run_shot(b, m, second);
    for (uint32_t r = 0; r + 1 < m.R && r < split; ++r) EXPECT_EQ(fa[r], fb[r]) << "round " << r;
    for (uint32_t r = 1; r + 1 < m.R; ++r) {
      // The edges committed by round r stay committed: later frames only add edges of later rounds.
      const uint64_t added = fa[r] ^ fa[r - 1];
      EXPECT_EQ(added & fa[r - 1], 0u) << "round " << r;
    }
  }
}

TEST(SlidingWindow, WindowsThatDecodeAlikeShareOneDecoder) {
  // Rounds that repeat exactly: the open windows [0,4) [2,6) [4,8) [6,10) look alike (edges into
  // committed rounds are left out, so the first is like the rest); the closing one differs.
  auto uniform = plan_for(line_model(3, 12, 0.05, false), 2, 2);
  ASSERT_EQ(uniform->windows().size(), 5u);
  EXPECT_EQ(uniform->decoder_count(), 2u);
  EXPECT_EQ(uniform->windows()[3].graph, uniform->windows()[0].graph);
  EXPECT_NE(uniform->windows()[4].decoder, uniform->windows()[3].decoder);
  EXPECT_NE(uniform->windows()[3].flips, uniform->windows()[0].flips);  // flips name the model's detectors
  // Observables of their own on every edge (60 of them) make every window different.
  auto distinct = plan_for(line_model(3, 7), 2, 2);
  EXPECT_GT(distinct->windows().size(), 2u);
  EXPECT_EQ(distinct->decoder_count(), distinct->windows().size());
}

TEST(SlidingWindow, RoundsMustFollowEachOtherAndRoundZeroStartsAShot) {
  const LineModel m = line_model(2, 5);
  SlidingWindowDecoder dec(plan_for(m, 1, 1));
  const std::vector<uint8_t> quiet(2, 0), fired{1, 0};
  const auto now = SlidingWindowDecoder::Clock::now();
  EXPECT_EQ(dec.push(1, quiet, now).error(), "round 1 arrives outside a shot (a shot starts at round 0)");
  ASSERT_TRUE(dec.push(0, fired, now).ok());
  EXPECT_EQ(dec.push(2, quiet, now).error(), "round 2 does not follow round 0 (expected round 1)");
  EXPECT_EQ(dec.push(1, std::vector<uint8_t>(3, 0), now).error(),
            "round 1 holds 3 ancillas but the detector layout has 2");
  ASSERT_TRUE(dec.push(1, quiet, now).ok());  // the refused rounds changed nothing
  EXPECT_EQ(dec.next_round(), 2u);
  ASSERT_TRUE(dec.push(0, quiet, now).ok());  // a new shot abandons the one in progress
  EXPECT_EQ(dec.shots_abandoned(), 1u);
  // finish() closes the shot early: one fired detector in round 0 matched to the boundary.
  ASSERT_TRUE(dec.push(1, fired, now).ok());
  const auto prediction = dec.finish();
  ASSERT_TRUE(prediction.has_value());
  EXPECT_EQ(syndrome_of(m, *prediction), (std::vector<uint8_t>{0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(dec.finish().has_value());
  EXPECT_FALSE(dec.in_shot());
}

TEST(SlidingWindow, AnUnsetArrivalIsReadWhenARoundFillsAWindow) {
  // Measured from the epoch, a latency would be the machine's uptime.
  const LineModel m = line_model(2, 6);
  for (const uint32_t threads : {0u, 1u}) {
    SlidingWindowDecoder dec(plan_for(m, 1, 1), DecodeMethod::kMatching, threads);
    const std::vector<uint8_t> fired{1, 0};
    for (uint32_t r = 0; r < dec.plan().rounds_per_shot(); ++r)
      ASSERT_TRUE(dec.push(r, fired, SlidingWindowDecoder::Clock::time_point{}).ok());
    EXPECT_GT(dec.commit_latency().count() + dec.shot_latency().count(), 1u) << threads;
    EXPECT_LT(std::max(dec.commit_latency().max(), dec.shot_latency().max()), uint64_t{10'000'000'000}) << threads;
  }
}

TEST(SlidingWindow, ConfigurationRefusals) {
  const LineModel m = line_model(2, 4);
  for (const auto& [commit, buffer, message] :
       {std::tuple{0u, 1u, "commit_rounds must be at least 1"}, {1u, 0u, "buffer_rounds must be at least 1"}}) {
    auto plan = SlidingWindowPlan::create(m.model, *DetectorLayout::from_coordinates(m.model), commit, buffer);
    ASSERT_FALSE(plan.ok());
    EXPECT_EQ(plan.error(), message);
  }
  auto far = dem::parse_dem("error(0.1) D0 D2\nerror(0.1) D1\ndetector(0, 0) D0\ndetector(0, 1) D1\ndetector(0, 2) D2\n");
  auto plan = SlidingWindowPlan::create(*far, *DetectorLayout::from_coordinates(*far), 1, 1);
  ASSERT_FALSE(plan.ok());
  EXPECT_EQ(plan.error(), "buffer_rounds (1) must be at least the longest time span of an error in the model (2 rounds)");
}

}  // namespace
}  // namespace ostrel::decode
