#pragma once
// A shot's detection events as the windows over it read them: per round of a detector layout,
// the list of its fired detectors by rank (a detector's place among the layout's detectors,
// round by round), ascending. The detectors of rounds [first, end) are numbered from 0 by rank
// in a window's graph (window_graph.h), so a window's fired list is its rounds' lists less the
// rank of its first detector: gathering costs the events, not the window's size.
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/detector_layout.h"

namespace ostrel::decode {

class ShotEvents {
 public:
  explicit ShotEvents(const DetectorLayout& layout);

  // Round r's events, one per layout column (non-zero = fired); replaces what the round held.
  void set_round(uint32_t r, std::span<const uint8_t> events);
  // Toggles one detector's event.
  void toggle(uint32_t detector);
  // Appends the window-local indices of the fired detectors of rounds [first, end), ascending.
  void gather(uint32_t first, uint32_t end, std::vector<uint32_t>& out) const;
  // Round r takes round r + shift's events, for r in [first, end); the rounds' detectors must
  // sit in the same columns.
  void move_down(uint32_t first, uint32_t end, uint32_t shift);

  uint32_t rank(uint32_t detector) const { return rank_[detector]; }
  // Rank of the first detector of round r (r may be the layout's row count: the detector count).
  uint32_t round_base(uint32_t r) const { return round_base_[r]; }

 private:
  const DetectorLayout* layout_;
  std::vector<uint32_t> rank_;        // per detector
  std::vector<uint32_t> round_base_;  // per round and one past the last
  std::vector<uint32_t> cell_rank_;   // per round and column: the cell's rank, or kNone
  std::vector<uint32_t> fired_;       // per round: room for one rank per column
  std::vector<uint32_t> count_;       // per round: how much of that room is used
};

}  // namespace ostrel::decode
