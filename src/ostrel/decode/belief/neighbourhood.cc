#include "ostrel/decode/belief/neighbourhood.h"

#include <algorithm>
#include <bit>

namespace ostrel::decode::belief {
namespace {

void set_bit(std::vector<uint64_t>& bits, uint32_t i) { bits[i >> 6] |= uint64_t{1} << (i & 63); }

// Appends the set bits of `bits` to `out`, ascending, clearing them.
void drain(std::vector<uint64_t>& bits, std::vector<uint32_t>& out) {
  for (size_t w = 0; w < bits.size(); ++w) {
    for (uint64_t word = bits[w]; word != 0; word &= word - 1)
      out.push_back(static_cast<uint32_t>(w * 64 + static_cast<size_t>(std::countr_zero(word))));
    bits[w] = 0;
  }
}

}  // namespace

Neighbourhood::Neighbourhood(std::shared_ptr<const CheckMatrix> whole)
    : whole_(std::move(whole)), region_(std::make_shared<CheckMatrix>()), view_(region_) {
  column_bits_.assign((size_t{whole_->column_count} + 63) / 64, 0);
  row_bits_.assign((size_t{whole_->row_count} + 63) / 64, 0);
  local_row_.assign(whole_->row_count, 0);
  build({});
}

Neighbourhood::Neighbourhood(const Neighbourhood& other)
    : whole_(other.whole_), region_(std::make_shared<CheckMatrix>(*other.region_)), view_(region_),
      column_bits_(other.column_bits_), row_bits_(other.row_bits_), local_row_(other.local_row_),
      columns_(other.columns_), rows_(other.rows_), fired_(other.fired_), fill_(other.fill_) {}

Neighbourhood& Neighbourhood::operator=(const Neighbourhood& other) {
  if (this != &other) *this = Neighbourhood(other);
  return *this;
}

void Neighbourhood::build(std::span<const uint32_t> fired) {
  const CheckMatrix& h = *whole_;
  CheckMatrix& g = *region_;
  columns_.clear();
  rows_.clear();
  for (const uint32_t r : fired)
    for (const uint32_t c : h.columns_of(r)) set_bit(column_bits_, c);
  drain(column_bits_, columns_);
  // A fired row no column touches stays in, unsatisfiable, as it is in the whole.
  for (const uint32_t r : fired) set_bit(row_bits_, r);
  for (const uint32_t c : columns_)
    for (const uint32_t r : h.rows_of(c)) set_bit(row_bits_, r);
  drain(row_bits_, rows_);
  for (uint32_t i = 0; i < rows_.size(); ++i) local_row_[rows_[i]] = i;
  fired_.clear();
  for (const uint32_t r : fired) fired_.push_back(local_row_[r]);
  std::sort(fired_.begin(), fired_.end());

  const auto n_rows = static_cast<uint32_t>(rows_.size());
  const auto n_columns = static_cast<uint32_t>(columns_.size());
  g.row_count = n_rows;
  g.column_count = n_columns;
  g.observable_count = h.observable_count;
  g.has_likely_column = false;
  g.column_start.resize(size_t{n_columns} + 1);
  g.column_rows.clear();
  g.priors.resize(n_columns);
  g.observables.resize(n_columns);
  g.row_start.assign(size_t{n_rows} + 1, 0);
  g.column_start[0] = 0;
  for (uint32_t j = 0; j < n_columns; ++j) {
    const uint32_t c = columns_[j];
    for (const uint32_t r : h.rows_of(c)) {
      const uint32_t local = local_row_[r];
      g.column_rows.push_back(local);
      ++g.row_start[local + 1];
    }
    g.column_start[j + 1] = static_cast<uint32_t>(g.column_rows.size());
    g.priors[j] = h.priors[c];
    g.observables[j] = h.observables[c];
  }
  for (uint32_t r = 0; r < n_rows; ++r) g.row_start[r + 1] += g.row_start[r];
  fill_.assign(g.row_start.begin(), g.row_start.end() - 1);
  g.row_columns.resize(g.column_rows.size());
  g.column_entries.resize(g.column_rows.size());
  for (uint32_t j = 0; j < n_columns; ++j)
    for (uint32_t k = g.column_start[j]; k < g.column_start[j + 1]; ++k) {
      const uint32_t at = fill_[g.column_rows[k]]++;
      g.row_columns[at] = j;
      g.column_entries[k] = at;
    }

}

}  // namespace ostrel::decode::belief
