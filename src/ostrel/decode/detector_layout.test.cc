#include "ostrel/decode/detector_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode {
namespace {

dem::DetectorErrorModel model(const char* text) {
  auto parsed = dem::parse_dem(text);
  EXPECT_TRUE(parsed.ok());
  return std::move(parsed).value();
}

constexpr uint32_t N = DetectorLayout::kNone;

TEST(DetectorLayout, FromCoordinatesOrdersPositionsLexicographicallyAndRoundsAscending) {
  // Two ancillas at (2, 0) and (0, 1); the first round has only the ancilla at (0, 1); the last
  // "round" is written in a repeat block with shifted coordinates, as Stim writes them.
  auto layout = DetectorLayout::from_coordinates(model(
      "error(0.1) D0 D1\nerror(0.1) D1 D3\nerror(0.1) D2 D4\nerror(0.1) D0\n"
      "detector(0, 1, 0) D0\n"
      "repeat 2 {\n  detector(2, 0, 1) D1\n  detector(0, 1, 1) D2\n  shift_detectors(0, 0, 1) 2\n}\n"));
  ASSERT_TRUE(layout.ok()) << layout.error();
  EXPECT_EQ(layout->rows(), 3u);
  EXPECT_EQ(layout->columns(), 2u);
  EXPECT_EQ(std::vector<uint32_t>(layout->cells().begin(), layout->cells().end()),
            (std::vector<uint32_t>{0, N, 2, 1, 4, 3}));
  EXPECT_EQ(layout->round_of(3), 2u);
  EXPECT_EQ(layout->detector(1, 1), 1u);
}

TEST(DetectorLayout, TwoCoordinatesMeanPositionAndRound) {
  // (1, 2) is ancilla 1 at round 2, not the point (1, 2, 0).
  auto layout = DetectorLayout::from_coordinates(
      model("error(0.1) D0 D1\nerror(0.1) D1 D2\ndetector(1, 0) D0\ndetector(1, 2) D1\ndetector(3, 0) D2\n"));
  ASSERT_TRUE(layout.ok()) << layout.error();
  EXPECT_EQ(layout->rows(), 2u);
  EXPECT_EQ(std::vector<uint32_t>(layout->cells().begin(), layout->cells().end()),
            (std::vector<uint32_t>{0, 2, 1, N}));
}

TEST(DetectorLayout, FromTableChecksEveryCell) {
  const auto m = model("error(0.1) D0 D1\nerror(0.1) D2\n");
  struct Case {
    std::vector<int64_t> cells;
    uint64_t rows, columns;
    std::string message;  // empty: accepted
  };
  for (const Case& c : std::vector<Case>{
           {{0, 1, -1, 2}, 2, 2, ""},
           {{0, 1, 1, 2}, 2, 2, "the layout names detector D1 twice, in cells (0, 1) and (1, 0)"},
           {{0, 1, -1, 3}, 2, 2, "layout cell (1, 1) holds 3, which is neither -1 nor a detector of the model (it has 3)"},
           {{0, 1, -2, 2}, 2, 2, "layout cell (1, 0) holds -2, which is neither -1 nor a detector of the model (it has 3)"},
           {{0, 1, -1, -1}, 2, 2, "the layout leaves out detector D2, which the model's errors name"},
           {{}, 0, 2, "a detector layout needs at least one row and one column"},
           {{0, 1, 2}, 2, 2, "a detector layout of 2 x 2 cells does not match its 3 entries"},
       }) {
    auto layout = DetectorLayout::from_table(m, c.rows, c.columns, c.cells);
    if (c.message.empty()) {
      ASSERT_TRUE(layout.ok()) << layout.error();
      EXPECT_EQ(layout->round_of(2), 1u);
    } else {
      ASSERT_FALSE(layout.ok());
      EXPECT_EQ(layout.error(), c.message);
    }
  }
}

TEST(DetectorLayout, CoordinateLayoutRefusals) {
  for (const auto& [text, message] : std::vector<std::pair<const char*, std::string>>{
           {"error(0.1) D0 D1\ndetector(0, 0) D0\n",
            "detector D1 has no coordinates: a layout from coordinates needs each detector's round as its last "
            "coordinate (declare detector coordinates or give the layout as an array)"},
           {"error(0.1) D0 D1\ndetector(0, 0) D0\ndetector() D1\n",
            "detector D1 has no coordinates: a layout from coordinates needs each detector's round as its last "
            "coordinate (declare detector coordinates or give the layout as an array)"},
           {"error(0.1) D0 D1\ndetector(0, 0) D0\ndetector(0, 0) D1\n",
            "detectors D0 and D1 have the same coordinates: a layout from coordinates needs one detector per "
            "ancilla and round"},
           {"error(0.1) D0\ndetector(nan, 0) D0\n", "detector D0 has a coordinate that is not a number"},
           {"error(0.1) L0\n", "the model has no detectors to lay out"},
       }) {
    auto layout = DetectorLayout::from_coordinates(model(text));
    ASSERT_FALSE(layout.ok()) << text;
    EXPECT_EQ(layout.error(), message);
  }
}

}  // namespace
}  // namespace ostrel::decode
