#pragma once
// For tests only: a line of ancillas measured round after round, each error its own observable,
// so a prediction names the edges it holds.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/sliding_window.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode {

// A line of `A` ancillas measured for `R` rounds: detector r*A + a at (a, r). Every error is
// one edge with an observable of its own (at most 64 edges), so a frame names the set of edges
// committed an odd number of times. Edges: each ancilla to its right neighbour (the last to the
// boundary), the first ancilla to the boundary, and each detector to the next round's.
struct LineModel {
  uint32_t A, R;
  dem::DetectorErrorModel model;
  std::vector<std::pair<uint32_t, uint32_t>> edges;  // by observable; second == kNoDetector for the boundary
};

inline LineModel line_model(uint32_t A, uint32_t R, double p = 0.05, bool edge_observables = true) {
  LineModel m{A, R, {}, {}};
  std::string text;
  auto add = [&](uint32_t u, uint32_t v, double q) {
    text += "error(" + std::to_string(q) + ") D" + std::to_string(u);
    if (v != kNoDetector) text += " D" + std::to_string(v);
    if (edge_observables) text += " L" + std::to_string(m.edges.size());
    text += "\n";
    m.edges.emplace_back(u, v);
  };
  for (uint32_t r = 0; r < R; ++r) {
    add(r * A, kNoDetector, p);
    for (uint32_t a = 0; a < A; ++a) add(r * A + a, a + 1 < A ? r * A + a + 1 : kNoDetector, p * (1 + 0.1 * a));
    if (r + 1 < R)
      for (uint32_t a = 0; a < A; ++a) add(r * A + a, (r + 1) * A + a, p * 0.7);
  }
  for (uint32_t r = 0; r < R; ++r)
    for (uint32_t a = 0; a < A; ++a)
      text += "detector(" + std::to_string(a) + ", " + std::to_string(r) + ") D" + std::to_string(r * A + a) + "\n";
  auto parsed = dem::parse_dem(text);
  EXPECT_TRUE(parsed.ok());
  m.model = std::move(parsed).value();
  return m;
}

inline std::vector<uint8_t> random_shot(const LineModel& m, std::mt19937& rng, double density) {
  std::bernoulli_distribution fire(density);
  std::vector<uint8_t> shot(size_t{m.A} * m.R);
  for (auto& b : shot) b = fire(rng);
  return shot;
}

// The detectors an edge set (one bit per edge) flips.
inline std::vector<uint8_t> syndrome_of(const LineModel& m, uint64_t edge_bits) {
  std::vector<uint8_t> s(size_t{m.A} * m.R, 0);
  for (size_t e = 0; e < m.edges.size(); ++e) {
    if (!(edge_bits >> e & 1)) continue;
    s[m.edges[e].first] ^= 1;
    if (m.edges[e].second != kNoDetector) s[m.edges[e].second] ^= 1;
  }
  return s;
}

inline std::shared_ptr<const SlidingWindowPlan> plan_for(const LineModel& m, uint32_t commit, uint32_t buffer) {
  auto layout = DetectorLayout::from_coordinates(m.model);
  EXPECT_TRUE(layout.ok());
  auto plan = SlidingWindowPlan::create(m.model, std::move(layout).value(), commit, buffer);
  EXPECT_TRUE(plan.ok()) << plan.error();
  return std::move(plan).value();
}

// Pushes a whole shot; returns the running frame after every round (the last is the prediction).
inline std::vector<uint64_t> run_shot(SlidingWindowDecoder& dec, const LineModel& m, const std::vector<uint8_t>& shot) {
  std::vector<uint64_t> frames;
  for (uint32_t r = 0; r < m.R; ++r) {
    auto pushed = dec.push(r, std::span(shot).subspan(size_t{r} * m.A, m.A), SlidingWindowDecoder::Clock::now());
    EXPECT_TRUE(pushed.ok());
    EXPECT_EQ(pushed->shot_ended, r + 1 == m.R);
    frames.push_back(pushed->frame);
  }
  return frames;
}

}  // namespace ostrel::decode
