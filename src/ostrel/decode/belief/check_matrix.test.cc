#include "ostrel/decode/belief/check_matrix.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode::belief {
namespace {

std::shared_ptr<const CheckMatrix> matrix_of(const std::string& text) {
  auto dem = dem::parse_dem(text);
  EXPECT_TRUE(dem.ok());
  auto h = build_check_matrix(*dem);
  EXPECT_TRUE(h.ok()) << (h.ok() ? "" : h.error());
  return h.ok() ? *h : nullptr;
}

TEST(CheckMatrix, JoinsComponentsMergesDuplicatesAndDropsWhatCannotBeSeen) {
  const auto h = matrix_of(
      "error(0.1) D0 D1 ^ D2 L0\n"   // one column {0,1,2} L0
      "error(0.2) D2 D0 D1 L0\n"     // the same column: merged
      "error(0.3) D0 D1 ^ D1 D2\n"   // D1 cancels: {0,2}
      "error(0.05) D0 D1 D2\n"       // same detectors, other observables: its own column
      "error(0) D3\n"                // never happens
      "error(0.4) L1\n"              // flips no detector
      "error(0.1) D4 ^ D4\n"         // cancels to nothing
      "repeat 2 {\n error(0.01) D5 D6 L1\n shift_detectors 1\n}\n");
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(h->column_count, 5u);
  EXPECT_EQ(h->row_count, 8u);
  EXPECT_EQ(std::vector<uint32_t>(h->rows_of(0).begin(), h->rows_of(0).end()), (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(h->observables[0], 1u);
  EXPECT_NEAR(h->priors[0], 0.1 * 0.8 + 0.2 * 0.9, 1e-15);
  EXPECT_EQ(std::vector<uint32_t>(h->rows_of(1).begin(), h->rows_of(1).end()), (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(h->observables[2], 0u);
  EXPECT_EQ(std::vector<uint32_t>(h->rows_of(4).begin(), h->rows_of(4).end()), (std::vector<uint32_t>{6, 7}));
  EXPECT_EQ(h->observables[4], 2u);
  EXPECT_EQ(h->error_column, (std::vector<uint32_t>{0, 0, 1, 2, kNoColumn, kNoColumn, kNoColumn, 3, 4}));
  EXPECT_FALSE(h->has_likely_column);
}

TEST(CheckMatrix, RowAndColumnViewsAreTransposesOfEachOther) {
  std::mt19937_64 rng(3);
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text += "error(0.0" + std::to_string(1 + rng() % 9) + ")";
    const int targets = 1 + static_cast<int>(rng() % 5);
    for (int t = 0; t < targets; ++t) text += " D" + std::to_string(rng() % 40);
    if (rng() % 3 == 0) text += " ^ D" + std::to_string(rng() % 40);
    if (rng() % 2) text += " L" + std::to_string(rng() % 3);
    text += "\n";
  }
  const auto h = matrix_of(text);
  ASSERT_NE(h, nullptr);
  std::set<std::pair<uint32_t, uint32_t>> by_column, by_row;
  for (uint32_t c = 0; c < h->column_count; ++c) {
    const auto rows = h->rows_of(c);
    const auto entries = h->entries_of(c);
    for (size_t i = 0; i < rows.size(); ++i) {
      by_column.insert({rows[i], c});
      EXPECT_EQ(h->row_columns[entries[i]], c);
      EXPECT_GE(entries[i], h->row_start[rows[i]]);
      EXPECT_LT(entries[i], h->row_start[rows[i] + 1]);
    }
  }
  for (uint32_t r = 0; r < h->row_count; ++r)
    for (const uint32_t c : h->columns_of(r)) by_row.insert({r, c});
  EXPECT_EQ(by_column, by_row);
  EXPECT_EQ(by_row.size(), h->entry_count());
}

TEST(CheckMatrix, RefusesWhatNoDecoderCanMean) {
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"error(0.1) D0 L70\n", "the model has 71 observables; a decoder predicts at most 64 (L0 to L63)"},
      {"error(1.5) D0\n", "error(1.5) D0: its probability is not a number from 0 to 1"},
  };
  for (const Case& c : cases) {
    auto dem = dem::parse_dem(c.text);
    if (!dem.ok()) continue;  // the parser may refuse first; then nothing reaches the matrix
    auto h = build_check_matrix(*dem);
    ASSERT_FALSE(h.ok()) << c.text;
    EXPECT_EQ(h.error(), c.message);
  }
  auto dem = dem::parse_dem("error(0.1) D0 D1 D2\n");
  auto h = build_check_matrix(*dem, 64);
  ASSERT_FALSE(h.ok());
  EXPECT_NE(h.error().find("MiB decoders may use"), std::string::npos) << h.error();
}

}  // namespace
}  // namespace ostrel::decode::belief
