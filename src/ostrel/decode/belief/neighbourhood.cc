#include "ostrel/decode/belief/neighbourhood.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace ostrel::decode::belief {
namespace {

// Appends the indices of the non-zero bytes of `marks` to `out`, ascending, clearing them. Marks
// are bytes rather than bits: setting one is a store, where setting a bit is a read-modify-write
// that waits for the last one to the same word (a column's rows are near one another).
void drain(std::vector<uint8_t>& marks, std::vector<uint32_t>& out) {
  const size_t n = marks.size();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, marks.data() + i, 8);
    if (word == 0) continue;
    if constexpr (std::endian::native == std::endian::little) {
      // A mark is the low bit of its byte: the marked bytes in order, without a branch on each.
      for (; word != 0; word &= word - 1)
        out.push_back(static_cast<uint32_t>(i + static_cast<size_t>(std::countr_zero(word)) / 8));
    } else {
      for (size_t j = 0; j < 8; ++j)
        if (marks[i + j]) out.push_back(static_cast<uint32_t>(i + j));
    }
    std::memset(marks.data() + i, 0, 8);
  }
  for (; i < n; ++i)
    if (marks[i]) {
      out.push_back(static_cast<uint32_t>(i));
      marks[i] = 0;
    }
}

}  // namespace

Neighbourhood::Neighbourhood(std::shared_ptr<const CheckMatrix> whole)
    : whole_(std::move(whole)), region_(std::make_shared<CheckMatrix>()), view_(region_) {
  column_marks_.assign(whole_->column_count, 0);
  row_marks_.assign(whole_->row_count, 0);
  row_entries_.assign(whole_->row_count, 0);
  local_row_.assign(whole_->row_count, 0);
  build({});
}

Neighbourhood::Neighbourhood(const Neighbourhood& other)
    : whole_(other.whole_), region_(std::make_shared<CheckMatrix>(*other.region_)), view_(region_),
      column_marks_(other.column_marks_), row_marks_(other.row_marks_), row_entries_(other.row_entries_),
      local_row_(other.local_row_),
      columns_(other.columns_), rows_(other.rows_), fired_(other.fired_), fill_(other.fill_) {}

Neighbourhood& Neighbourhood::operator=(const Neighbourhood& other) {
  if (this != &other) *this = Neighbourhood(other);
  return *this;
}

uint32_t Neighbourhood::local_column(uint32_t whole) const {
  const auto at = std::lower_bound(columns_.begin(), columns_.end(), whole);
  return at != columns_.end() && *at == whole ? static_cast<uint32_t>(at - columns_.begin()) : kNoColumn;
}

void Neighbourhood::build(std::span<const uint32_t> fired) {
  const CheckMatrix& h = *whole_;
  CheckMatrix& g = *region_;
  columns_.clear();
  rows_.clear();
  // Local pointers: a byte store would otherwise make the compiler reload every vector's data.
  uint8_t* const column_marks = column_marks_.data();
  uint8_t* const row_marks = row_marks_.data();
  uint32_t* const row_entries = row_entries_.data();
  const uint32_t* const column_start = h.column_start.data();
  const uint32_t* const column_rows = h.column_rows.data();
  for (const uint32_t r : fired)
    for (const uint32_t c : h.columns_of(r)) column_marks[c] = 1;
  drain(column_marks_, columns_);
  size_t entries = 0;
  // The columns' entries lie apart in a matrix larger than the caches: fetched a few columns ahead.
  constexpr size_t kAhead = 8;
  for (size_t j = 0; j < columns_.size(); ++j) {
    if (j + kAhead < columns_.size()) __builtin_prefetch(column_rows + column_start[columns_[j + kAhead]]);
    const uint32_t c = columns_[j];
    const uint32_t b = column_start[c], e = column_start[c + 1];
    entries += e - b;
    for (uint32_t k = b; k < e; ++k) ++row_entries[column_rows[k]];
  }
  // The rows are those with entries, and any fired row no column touches (it stays in,
  // unsatisfiable, as it is in the whole): a sweep of the counts spares a mark per entry.
  for (const uint32_t r : fired) row_marks[r] = 1;
  for (uint32_t r = 0; r < h.row_count; ++r)
    if (row_entries[r] != 0 || row_marks[r] != 0) {
      rows_.push_back(r);
      row_marks[r] = 0;
    }
  const auto n_rows = static_cast<uint32_t>(rows_.size());
  const auto n_columns = static_cast<uint32_t>(columns_.size());
  g.row_start.resize(size_t{n_rows} + 1);
  g.row_start[0] = 0;
  for (uint32_t i = 0; i < n_rows; ++i) {
    const uint32_t r = rows_[i];
    local_row_[r] = i;
    g.row_start[i + 1] = g.row_start[i] + row_entries_[r];
    row_entries_[r] = 0;
  }
  fired_.clear();
  for (const uint32_t r : fired) fired_.push_back(local_row_[r]);
  std::sort(fired_.begin(), fired_.end());

  g.row_count = n_rows;
  g.column_count = n_columns;
  g.observable_count = h.observable_count;
  g.has_likely_column = false;
  g.column_start.resize(size_t{n_columns} + 1);
  g.column_rows.resize(entries);
  g.row_columns.resize(entries);
  g.column_entries.resize(entries);
  g.priors.resize(n_columns);
  g.observables.resize(n_columns);
  fill_.assign(g.row_start.begin(), g.row_start.end() - 1);
  // Both directions in one pass over the columns: each entry goes to its row's next free place.
  const uint32_t* const local_row = local_row_.data();
  uint32_t* const fill = fill_.data();
  uint32_t* const out_start = g.column_start.data();
  uint32_t* const out_rows = g.column_rows.data();
  uint32_t* const out_columns = g.row_columns.data();
  uint32_t* const out_entries = g.column_entries.data();
  uint32_t k = 0;
  for (uint32_t j = 0; j < n_columns; ++j) {
    const uint32_t c = columns_[j];
    out_start[j] = k;
    for (uint32_t w = column_start[c]; w < column_start[c + 1]; ++w, ++k) {
      const uint32_t local = local_row[column_rows[w]];
      const uint32_t at = fill[local]++;
      out_rows[k] = local;
      out_columns[at] = j;
      out_entries[k] = at;
    }
    g.priors[j] = h.priors[c];
    g.observables[j] = h.observables[c];
  }
  out_start[n_columns] = k;
}

}  // namespace ostrel::decode::belief
