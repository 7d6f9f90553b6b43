#include "ostrel/decode/shot_events.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode {
namespace {

TEST(ShotEvents, ListsFollowADenseCopyUnderRandomRoundsTogglesAndMoves) {
  // 43 columns (a stretch of 32, a word of eight and a tail), 6 rounds; columns 1, 20 and 35 are
  // empty in odd rounds (detectors are numbered row by row).
  constexpr uint32_t C = 43;
  auto empty = [](uint32_t r, uint32_t c) { return r % 2 == 1 && (c == 1 || c == 20 || c == 35); };
  std::string text;
  std::vector<int64_t> table(6 * C, -1);
  uint32_t det = 0;
  for (uint32_t r = 0; r < 6; ++r)
    for (uint32_t c = 0; c < C; ++c)
      if (!empty(r, c)) {
        table[r * C + c] = det;
        text += "error(0.1) D" + std::to_string(det++) + "\n";
      }
  auto model = dem::parse_dem(text);
  ASSERT_TRUE(model.ok());
  auto layout = DetectorLayout::from_table(*model, 6, C, table);
  ASSERT_TRUE(layout.ok()) << layout.error();
  ShotEvents events(*layout);
  std::vector<uint8_t> dense(det, 0);
  std::mt19937 rng(3);
  for (int step = 0; step < 3000; ++step) {
    const uint32_t op = rng() % 3;
    if (op == 0) {
      const uint32_t r = rng() % 6;
      std::vector<uint8_t> row(C);
      for (auto& b : row) b = static_cast<uint8_t>(rng() % 5 == 0 ? rng() % 4 : 0);
      events.set_round(r, row);
      for (uint32_t c = 0; c < C; ++c)
        if (const uint32_t d = layout->detector(r, c); d != DetectorLayout::kNone) dense[d] = row[c] != 0;
    } else if (op == 1) {
      const uint32_t d = rng() % det;
      events.toggle(d);
      dense[d] ^= 1;
    } else {
      // Rounds two apart have the same empty cells.
      const uint32_t first = rng() % 4;
      events.move_down(first, 4, 2);
      for (uint32_t r = first; r < 4; ++r)
        for (uint32_t c = 0; c < C; ++c)
          if (const uint32_t d = layout->detector(r, c); d != DetectorLayout::kNone)
            dense[d] = dense[layout->detector(r + 2, c)];
    }
    const uint32_t first = rng() % 6, end = first + 1 + rng() % (6 - first);
    std::vector<uint32_t> got, expected;
    events.gather(first, end, got);
    for (uint32_t d = events.round_base(first); d < events.round_base(end); ++d)
      if (dense[d]) expected.push_back(d - events.round_base(first));
    ASSERT_EQ(got, expected) << "step " << step;
  }
}

}  // namespace
}  // namespace ostrel::decode
