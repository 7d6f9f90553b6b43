#pragma once
// The decoding graph of one position of a sliding window over a shot's rounds.
//
// A window covers rounds [first, end) of a detector layout. Its graph holds the detectors of those
// rounds (renumbered from 0, round by round) and the model's error components restricted to them:
// - a component inside the window stays as it is, one to the boundary stays a boundary edge;
// - a component from the window to a later round becomes a boundary edge of its in-window end:
//   the rounds after the window are not known yet, so the window's last rounds see an open time
//   boundary there;
// - a component that reaches an earlier round is left out: those rounds are committed, and
//   whatever a committed correction did to this window's detectors is already in their events.
// (WindowSpan can open the past side or close the future side, for windows decoded in parallel.)
// Rounds [commit_first, commit_end) are the commit region. A correction edge with an end in it is
// committed: its observables go into the running logical frame, and if its other end lies in a
// buffer (the rounds outside the commit region) that detector's event is flipped, so the window
// decoding those rounds next sees the correction's effect. Edges wholly in a buffer are not
// committed.
// Components keep the error they came from, so the window's graph correlates the components of
// an error that it holds, and only those.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/detector_layout.h"

namespace ostrel::decode {

struct WindowSpan {
  uint32_t first = 0;       // first round of the window
  uint32_t end = 0;         // one past its last round
  uint32_t commit_end = 0;  // one past the last committed round; == end commits everything
  // Rounds before commit_first are a buffer too (a window of parallel decoding, committed between
  // two others): 0 commits from the window's first round.
  uint32_t commit_first = 0;
  // Whether a component reaching a round before the window (after it) becomes a boundary edge of
  // its in-window end, the rounds there being undecided, or is left out, their correction being
  // committed already (or committed by the window on that side, which flips this one's events).
  bool open_past = false;
  bool open_future = true;
};

struct WindowGraph {
  static constexpr uint32_t kNoFlip = UINT32_MAX;

  WindowSpan span;
  std::vector<uint32_t> detectors;  // window detector -> model detector
  std::shared_ptr<const DecodingGraph> graph;
  std::vector<uint8_t> committed;   // per graph edge: 1 if a correction through it is committed
  std::vector<uint32_t> flips;      // per graph edge: the model detector a committed edge flips, or kNoFlip
  // Windows whose graphs are equal (the interior positions of a circuit that repeats its rounds)
  // share one graph and one decoder: the index of that decoder.
  uint32_t decoder = 0;
};

// Whether two window graphs decode alike: the same nodes and the same edges, weights,
// observables, correlations (alike, edge_correlations.h) and commit marks in the same order.
bool same_decoding(const WindowGraph& a, const WindowGraph& b);

// `to_window` is scratch of at least layout.detector_count() entries, all kNone on entry and
// left so on return (it maps model detectors to window detectors while the graph is built).
WindowGraph build_window_graph(const DetectorLayout& layout, std::span<const ComponentEdge> components,
                               uint64_t observable_count, WindowSpan span, std::vector<uint32_t>& to_window);

// The largest number of rounds between the two ends of any component (0 for a model whose
// errors all stay within a round).
uint32_t longest_round_span(const DetectorLayout& layout, std::span<const ComponentEdge> components);

}  // namespace ostrel::decode
