#pragma once
// For tests only: exact decoding of small check matrices by trying every set of columns.
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <vector>

#include "ostrel/decode/belief/check_matrix.h"

namespace ostrel::decode::belief {

struct BruteForceAnswer {
  double min_weight = std::numeric_limits<double>::infinity();  // sum ln((1 - p) / p); inf: no solution
  uint64_t min_weight_observables = 0;
  uint64_t likeliest_observables = 0;  // the observable class of greatest total probability
};

// Columns at most 20. Fired: one byte per row.
inline BruteForceAnswer brute_force_decode(const CheckMatrix& h, const std::vector<uint8_t>& syndrome) {
  BruteForceAnswer answer;
  std::map<uint64_t, double> class_probability;
  const uint32_t n = h.column_count;
  std::vector<uint8_t> parity(h.row_count);
  for (uint64_t set = 0; set < (uint64_t{1} << n); ++set) {
    std::fill(parity.begin(), parity.end(), 0);
    uint64_t observables = 0;
    double weight = 0, probability = 1;
    for (uint32_t c = 0; c < n; ++c) {
      const double p = h.priors[c];
      if ((set >> c) & 1) {
        for (const uint32_t r : h.rows_of(c)) parity[r] ^= 1;
        observables ^= h.observables[c];
        weight += std::log((1 - p) / p);
        probability *= p;
      } else {
        probability *= 1 - p;
      }
    }
    if (parity != syndrome) continue;
    class_probability[observables] += probability;
    if (weight < answer.min_weight - 1e-12) {
      answer.min_weight = weight;
      answer.min_weight_observables = observables;
    }
  }
  double best = -1;
  for (const auto& [observables, probability] : class_probability)
    if (probability > best) {
      best = probability;
      answer.likeliest_observables = observables;
    }
  return answer;
}

}  // namespace ostrel::decode::belief
