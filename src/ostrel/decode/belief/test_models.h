#pragma once
// For tests only: small random check matrices written as models.
#include <cstdint>
#include <random>
#include <string>

#include "ostrel/decode/belief/check_matrix.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode::belief {

// `columns` errors over `rows` detectors, each flipping 1 to `max_degree` of them and a random
// subset of observables L0..L2, probabilities in [low, high]; every detector is flipped by some
// error.
inline std::string random_model_text(std::mt19937_64& rng, uint32_t rows, uint32_t columns, uint32_t max_degree,
                                     double low, double high) {
  std::uniform_real_distribution<double> probability(low, high);
  std::string text;
  for (uint32_t c = 0; c < columns; ++c) {
    text += "error(" + std::to_string(probability(rng)) + ")";
    const uint32_t degree = 1 + static_cast<uint32_t>(rng() % max_degree);
    if (c < rows) text += " D" + std::to_string(c);
    for (uint32_t k = c < rows; k < degree; ++k) text += " D" + std::to_string(rng() % rows);
    for (int o = 0; o < 3; ++o)
      if (rng() % 3 == 0) text += " L" + std::to_string(o);
    text += "\n";
  }
  return text;
}

inline std::shared_ptr<const CheckMatrix> matrix_from_text(const std::string& text) {
  auto dem = dem::parse_dem(text);
  if (!dem.ok()) return nullptr;
  auto h = build_check_matrix(*dem);
  return h.ok() ? *h : nullptr;
}

}  // namespace ostrel::decode::belief
