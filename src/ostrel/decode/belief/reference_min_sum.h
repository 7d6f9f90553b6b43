#pragma once
// For tests only: textbook min-sum with memory, one message per edge, every check's outputs
// computed by excluding each input in turn. The oracle for the fast kernels. In floats with the
// arithmetic in the same order as theirs, so that the two agree closely over many iterations
// (the dynamics with memory amplify rounding).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "ostrel/decode/belief/check_matrix.h"

namespace ostrel::decode::belief {

struct ReferenceMinSum {
  const CheckMatrix& h;
  std::vector<float> prior, marginal, bias, to_variable;  // to_variable per entry in row order
  std::vector<uint8_t> syndrome;

  ReferenceMinSum(const CheckMatrix& matrix, std::span<const double> prior_llrs, std::vector<uint8_t> fired)
      : h(matrix), prior(prior_llrs.begin(), prior_llrs.end()), marginal(prior), bias(prior),
        to_variable(matrix.entry_count(), 0.0f), syndrome(std::move(fired)) {}

  // Row r's messages from its inputs.
  void check(uint32_t r, float alpha, std::span<const float> in) {
    const uint32_t b = h.row_start[r], e = h.row_start[r + 1];
    for (uint32_t k = b; k < e; ++k) {
      float least = 1e6f;
      bool negative = syndrome[r];
      for (uint32_t o = b; o < e; ++o) {
        if (o == k) continue;
        least = std::min(least, std::fabs(in[o - b]));
        negative ^= std::signbit(in[o - b]);
      }
      to_variable[k] = negative ? -(alpha * least) : alpha * least;
    }
  }

  // All checks from the last marginals, then every column's marginal.
  void parallel(float alpha, std::span<const float> gamma) {
    for (uint32_t r = 0; r < h.row_count; ++r) {
      std::vector<float> in;
      for (uint32_t k = h.row_start[r]; k < h.row_start[r + 1]; ++k) in.push_back(marginal[h.row_columns[k]] - to_variable[k]);
      check(r, alpha, in);
    }
    for (uint32_t c = 0; c < h.column_count; ++c) {
      float sum = prior[c] + gamma[c] * (marginal[c] - prior[c]);
      for (const uint32_t k : h.entries_of(c)) sum += to_variable[k];
      marginal[c] = sum;
    }
  }

  // The bias from the last marginals, then check after check with the marginals updated at once.
  void serial(float alpha, std::span<const float> gamma) {
    for (uint32_t c = 0; c < h.column_count; ++c) {
      const float b = prior[c] + gamma[c] * (marginal[c] - prior[c]);
      marginal[c] += b - bias[c];
      bias[c] = b;
    }
    for (uint32_t r = 0; r < h.row_count; ++r) {
      std::vector<float> in;
      for (uint32_t k = h.row_start[r]; k < h.row_start[r + 1]; ++k) in.push_back(marginal[h.row_columns[k]] - to_variable[k]);
      check(r, alpha, in);
      for (uint32_t k = h.row_start[r]; k < h.row_start[r + 1]; ++k)
        marginal[h.row_columns[k]] = in[k - h.row_start[r]] + to_variable[k];
    }
  }
};

}  // namespace ostrel::decode::belief
