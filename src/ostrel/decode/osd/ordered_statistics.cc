#include "ostrel/decode/osd/ordered_statistics.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>

#include "ostrel/util/memory_budget.h"

namespace ostrel::decode::osd {
namespace {

uint32_t words_for(uint64_t bits) { return static_cast<uint32_t>((bits + 63) / 64); }

}  // namespace

Result<OrderedStatistics, std::string> OrderedStatistics::create(std::shared_ptr<const belief::CheckMatrix> matrix,
                                                                 uint64_t budget) {
  const uint64_t bytes = uint64_t{matrix->row_count} * words_for(matrix->column_count) * 8 +
                         uint64_t{matrix->column_count} * 32 + uint64_t{matrix->row_count} * 24;
  if (bytes > budget)
    return fail("ordered statistics on this model would take " + std::to_string(mebibytes(bytes)) +
                " MiB (a dense " + std::to_string(matrix->row_count) + " x " + std::to_string(matrix->column_count) +
                " bit matrix), over the " + std::to_string(mebibytes(budget)) + " MiB decoders may use");
  return OrderedStatistics(std::move(matrix));
}

OrderedStatistics::OrderedStatistics(std::shared_ptr<const belief::CheckMatrix> matrix) : matrix_(std::move(matrix)) {
  const belief::CheckMatrix& h = *matrix_;
  words_ = words_for(h.column_count);
  pivot_words_ = words_for(h.row_count);
  weight_.resize(h.column_count);
  for (uint32_t c = 0; c < h.column_count; ++c) {
    const double p = std::clamp(h.priors[c], 1e-300, 1.0 - 1e-16);
    weight_[c] = std::log((1 - p) / p);
  }
  rows_.assign(size_t{h.row_count} * words_, 0);
  row_of_.resize(h.row_count);
  syndrome_.assign(h.row_count, 0);
  order_.resize(h.column_count);
  pivot_position_.resize(h.row_count);
  is_pivot_.assign(h.column_count, 0);
  free_.reserve(h.column_count);
  base_.assign(pivot_words_, 0);
  candidate_.assign(pivot_words_, 0);
  best_.assign(pivot_words_, 0);
  delta_.assign(h.column_count, 0.0);
  signed_weight_.assign(h.row_count, 0.0);
  correction_.reserve(h.column_count);
  // The matrix's rank, once: elimination stops there on every shot.
  std::iota(order_.begin(), order_.end(), 0u);
  fill({});
  full_rank_ = eliminate(h.row_count);
  std::fill(is_pivot_.begin(), is_pivot_.end(), 0);
}

void OrderedStatistics::fill(std::span<const uint32_t> fired) {
  const belief::CheckMatrix& h = *matrix_;
  std::fill(rows_.begin(), rows_.end(), 0);
  for (uint32_t p = 0; p < h.column_count; ++p)
    for (const uint32_t r : h.rows_of(order_[p])) rows_[size_t{r} * words_ + p / 64] |= uint64_t{1} << (p % 64);
  std::fill(syndrome_.begin(), syndrome_.end(), 0);
  for (const uint32_t r : fired) syndrome_[r] = 1;
}

uint32_t OrderedStatistics::eliminate(uint32_t stop_at_rank) {
  // Rows are swapped in place, so that pivot i sits in row i and every scan runs down memory.
  const uint32_t m = matrix_->row_count, n = matrix_->column_count;
  uint32_t rank = 0;
  for (uint32_t p = 0; p < n && rank < stop_at_rank; ++p) {
    const uint32_t word = p / 64;
    const uint64_t mask = uint64_t{1} << (p % 64);
    uint32_t found = rank;
    while (found < m && !(rows_[size_t{found} * words_ + word] & mask)) ++found;
    if (found == m) continue;
    uint64_t* pivot = &rows_[size_t{rank} * words_];
    if (found != rank) {
      // Both rows are zero before word p / 64.
      std::swap_ranges(pivot + word, pivot + words_, &rows_[size_t{found} * words_ + word]);
      std::swap(syndrome_[rank], syndrome_[found]);
    }
    // The pivot row is zero before p: only the words from p's on change.
    for (uint32_t r = 0; r < m; ++r) {
      if (r == rank) continue;
      uint64_t* target = &rows_[size_t{r} * words_];
      if (!(target[word] & mask)) continue;
      for (uint32_t w = word; w < words_; ++w) target[w] ^= pivot[w];
      syndrome_[r] ^= syndrome_[rank];
    }
    row_of_[rank] = rank;
    pivot_position_[rank] = p;
    is_pivot_[p] = 1;
    ++rank;
  }
  return rank;
}

double OrderedStatistics::pivot_weight(const uint64_t* x) const {
  double sum = 0;
  for (uint32_t w = 0; w < pivot_words_; ++w)
    for (uint64_t bits = x[w]; bits; bits &= bits - 1)
      sum += weight_[order_[pivot_position_[w * 64 + std::countr_zero(bits)]]];
  return sum;
}

bool OrderedStatistics::solve(std::span<const uint32_t> fired, std::span<const double> marginals, OsdMethod method,
                              uint32_t order) {
  const belief::CheckMatrix& h = *matrix_;
  std::iota(order_.begin(), order_.end(), 0u);
  // Ties by index: the order is a function of the marginals alone (and std::sort needs no buffer).
  std::sort(order_.begin(), order_.end(), [&](uint32_t a, uint32_t b) {
    return marginals[a] < marginals[b] || (marginals[a] == marginals[b] && a < b);
  });
  std::fill(is_pivot_.begin(), is_pivot_.end(), 0);
  fill(fired);
  rank_ = eliminate(full_rank_);

  bool consistent = true;
  for (uint32_t r = rank_; r < h.row_count; ++r)
    if (syndrome_[r]) consistent = false;
  std::fill(base_.begin(), base_.end(), 0);
  for (uint32_t i = 0; i < rank_; ++i)
    if (syndrome_[row_of_[i]]) base_[i / 64] |= uint64_t{1} << (i % 64);
  free_.clear();
  for (uint32_t p = 0; p < h.column_count; ++p)
    if (!is_pivot_[p]) free_.push_back(p);

  best_weight_ = pivot_weight(base_.data());
  best_extra_.clear();
  if (consistent && !free_.empty()) {
    if (method == OsdMethod::kCombinationSweep) {
      sweep_single();
      sweep_pairs(order);
    } else if (method == OsdMethod::kExhaustive) {
      sweep_exhaustive(order);
    }
  }
  take(base_.data(), best_extra_);
  return consistent;
}

void OrderedStatistics::sweep_single() {
  // Adding free column p flips the pivots of its reduced column: the weight changes by p's own
  // weight plus, per flipped pivot, + its weight if unset in the base or - if set.
  for (uint32_t i = 0; i < rank_; ++i) {
    const double w = weight_[order_[pivot_position_[i]]];
    signed_weight_[i] = (base_[i / 64] >> (i % 64)) & 1 ? -w : w;
  }
  for (const uint32_t p : free_) delta_[p] = weight_[order_[p]];
  for (uint32_t i = 0; i < rank_; ++i) {
    const uint64_t* row = &rows_[size_t{row_of_[i]} * words_];
    const double s = signed_weight_[i];
    for (uint32_t w = pivot_position_[i] / 64; w < words_; ++w)
      for (uint64_t bits = row[w]; bits; bits &= bits - 1) delta_[w * 64 + std::countr_zero(bits)] += s;
  }
  const double base_weight = best_weight_;
  for (const uint32_t p : free_) {
    const double candidate = base_weight + delta_[p];
    if (candidate < best_weight_) {
      best_weight_ = candidate;
      best_extra_.assign(1, p);
    }
  }
}

void OrderedStatistics::sweep_pairs(uint32_t order) {
  const uint32_t w = std::min<uint32_t>(order, static_cast<uint32_t>(free_.size()));
  if (w < 2) return;
  columns_.assign(size_t{w} * pivot_words_, 0);
  for (uint32_t j = 0; j < w; ++j)
    for (uint32_t i = 0; i < rank_; ++i)
      if (bit(i, free_[j])) columns_[size_t{j} * pivot_words_ + i / 64] |= uint64_t{1} << (i % 64);
  for (uint32_t a = 0; a < w; ++a) {
    for (uint32_t b = a + 1; b < w; ++b) {
      const uint64_t* ca = &columns_[size_t{a} * pivot_words_];
      const uint64_t* cb = &columns_[size_t{b} * pivot_words_];
      for (uint32_t k = 0; k < pivot_words_; ++k) candidate_[k] = base_[k] ^ ca[k] ^ cb[k];
      const double weight =
          pivot_weight(candidate_.data()) + weight_[order_[free_[a]]] + weight_[order_[free_[b]]];
      if (weight < best_weight_) {
        best_weight_ = weight;
        best_extra_.assign({free_[a], free_[b]});
      }
    }
  }
}

void OrderedStatistics::sweep_exhaustive(uint32_t order) {
  const uint32_t w = std::min<uint32_t>({order, static_cast<uint32_t>(free_.size()), kMaxExhaustiveOrder});
  if (w == 0) return;
  columns_.assign(size_t{w} * pivot_words_, 0);
  for (uint32_t j = 0; j < w; ++j)
    for (uint32_t i = 0; i < rank_; ++i)
      if (bit(i, free_[j])) columns_[size_t{j} * pivot_words_ + i / 64] |= uint64_t{1} << (i % 64);
  // Gray code: each step adds or removes one column.
  std::copy(base_.begin(), base_.end(), candidate_.begin());
  double extra = 0;
  uint32_t best_code = 0;
  const uint32_t count = uint32_t{1} << w;
  for (uint32_t g = 1; g < count; ++g) {
    const uint32_t j = static_cast<uint32_t>(std::countr_zero(g));
    const uint64_t* cj = &columns_[size_t{j} * pivot_words_];
    for (uint32_t k = 0; k < pivot_words_; ++k) candidate_[k] ^= cj[k];
    const uint32_t code = g ^ (g >> 1);
    extra += (code >> j) & 1 ? weight_[order_[free_[j]]] : -weight_[order_[free_[j]]];
    const double weight = pivot_weight(candidate_.data()) + extra;
    if (weight < best_weight_) {
      best_weight_ = weight;
      best_code = code;
    }
  }
  best_extra_.clear();
  for (uint32_t j = 0; j < w; ++j)
    if ((best_code >> j) & 1) best_extra_.push_back(free_[j]);
}

void OrderedStatistics::take(const uint64_t* x, std::span<const uint32_t> extra) {
  std::copy(x, x + pivot_words_, best_.begin());
  for (const uint32_t p : extra)
    for (uint32_t i = 0; i < rank_; ++i)
      if (bit(i, p)) best_[i / 64] ^= uint64_t{1} << (i % 64);
  correction_.clear();
  correction_observables_ = 0;
  correction_weight_ = 0;
  auto add = [&](uint32_t column) {
    correction_.push_back(column);
    correction_observables_ ^= matrix_->observables[column];
    correction_weight_ += weight_[column];
  };
  for (uint32_t w = 0; w < pivot_words_; ++w)
    for (uint64_t bits = best_[w]; bits; bits &= bits - 1) add(order_[pivot_position_[w * 64 + std::countr_zero(bits)]]);
  for (const uint32_t p : extra) add(order_[p]);
}

}  // namespace ostrel::decode::osd
