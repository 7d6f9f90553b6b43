#include "ostrel/decode/belief/neighbourhood.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "ostrel/decode/belief/test_models.h"

namespace ostrel::decode::belief {
namespace {

// The neighbourhood against its definition, rebuilt from scratch for each fired set: the columns
// touching a fired row, the rows they touch or that fired, each row with exactly its columns
// among them, and both directions of the sparse matrix agreeing. Built in turn on one object (its
// buffers reused, shrinking and growing) and checked again on a copy made mid-way.
TEST(Neighbourhood, HoldsTheColumnsOfTheFiredRowsAndTheirRows) {
  std::mt19937_64 rng(5);
  for (int model = 0; model < 4; ++model) {
    const auto h = matrix_from_text(random_model_text(rng, 30, 60, 4, 0.01, 0.2));
    ASSERT_NE(h, nullptr);
    Neighbourhood n(h);
    for (int shot = 0; shot < 40; ++shot) {
      std::set<uint32_t> fired_set;
      const uint32_t count = shot % 10 == 0 ? 0 : static_cast<uint32_t>(rng() % 6) + (shot % 7 == 0 ? 25 : 0);
      for (uint32_t i = 0; i < count; ++i) fired_set.insert(static_cast<uint32_t>(rng() % h->row_count));
      const std::vector<uint32_t> fired(fired_set.begin(), fired_set.end());
      n.build(fired);
      const Neighbourhood copy = n;
      for (const Neighbourhood* m : {static_cast<const Neighbourhood*>(&n), &copy}) {
        const CheckMatrix& g = *m->matrix();
        std::set<uint32_t> columns, rows(fired.begin(), fired.end());
        for (const uint32_t r : fired)
          for (const uint32_t c : h->columns_of(r)) columns.insert(c);
        for (const uint32_t c : columns)
          for (const uint32_t r : h->rows_of(c)) rows.insert(r);
        ASSERT_EQ(g.column_count, columns.size());
        ASSERT_EQ(g.row_count, rows.size());
        std::vector<uint32_t> whole_columns, whole_rows, fired_back;
        for (uint32_t j = 0; j < g.column_count; ++j) whole_columns.push_back(m->whole_column(j));
        for (uint32_t i = 0; i < g.row_count; ++i) whole_rows.push_back(m->whole_row(i));
        for (const uint32_t i : m->fired()) fired_back.push_back(m->whole_row(i));
        EXPECT_EQ(whole_columns, std::vector<uint32_t>(columns.begin(), columns.end()));
        EXPECT_EQ(whole_rows, std::vector<uint32_t>(rows.begin(), rows.end()));
        EXPECT_EQ(fired_back, fired);
        for (uint32_t j = 0; j < g.column_count; ++j) {
          const uint32_t c = m->whole_column(j);
          EXPECT_EQ(g.priors[j], h->priors[c]);
          EXPECT_EQ(g.observables[j], h->observables[c]);
          std::vector<uint32_t> mapped;
          for (const uint32_t i : g.rows_of(j)) mapped.push_back(m->whole_row(i));
          EXPECT_EQ(mapped, std::vector<uint32_t>(h->rows_of(c).begin(), h->rows_of(c).end()));
          for (uint32_t k = g.column_start[j]; k < g.column_start[j + 1]; ++k)
            EXPECT_EQ(g.row_columns[g.column_entries[k]], j);
        }
        for (uint32_t i = 0; i < g.row_count; ++i) {
          std::vector<uint32_t> expected, mapped;
          for (const uint32_t c : h->columns_of(m->whole_row(i)))
            if (columns.count(c)) expected.push_back(c);
          for (const uint32_t j : g.columns_of(i)) mapped.push_back(m->whole_column(j));
          EXPECT_EQ(mapped, expected) << "row " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace ostrel::decode::belief
