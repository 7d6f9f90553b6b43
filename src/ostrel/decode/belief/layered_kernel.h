#pragma once
// One iteration of layered min-sum over a matrix's rows, in two builds that give the same bits:
// a portable one, one in AVX-512 (16 entries a step, the marginals gathered and scattered) and
// one in AVX2 (8 a step, gathered), the widest the processor has chosen at run time. Same bits because every step is exact or in
// the same order: least and second least magnitudes do not depend on the order they are folded
// in, the sign parity is an exclusive or, and each sum and product is the portable one's.
//
// The pass first moves every column's bias (the memory term, prior + gamma * (marginal - prior))
// and its marginal with it, then runs the rows; the hard decision is the caller's.
#include <cstdint>

namespace ostrel::decode::belief {

struct LayeredPass {
  uint32_t column_count = 0;
  uint32_t row_count = 0;
  const uint32_t* row_start = nullptr;    // row_count + 1
  const uint32_t* row_columns = nullptr;  // per entry in row order
  const uint32_t* syndrome = nullptr;     // per row, 0 or 1
  const float* prior = nullptr;           // per column
  const float* gammas = nullptr;          // per column, or null for `gamma` everywhere
  float gamma = 0.0f;
  float alpha = 1.0f;                     // the check messages' scaling
  float* bias = nullptr;                  // per column
  float* marginal = nullptr;              // per column
  float* message = nullptr;               // per entry: check to variable
  float* input = nullptr;                 // scratch: the longest row
};

using LayeredKernel = void (*)(const LayeredPass& pass);
// The first column from `from` on whose decision (marginal < 0, as its sign bit) differs from
// `hard`, or `count`.
using DecisionScan = uint32_t (*)(const float* marginal, const uint8_t* hard, uint32_t from, uint32_t count);

// What a check with one neighbour sends (certainty, yet finite), as the double-precision path:
// the least and second least start here.
inline constexpr float kLayeredMaxMessage = 1e6f;

void layered_pass_portable(const LayeredPass& pass);
// The pass's first step, portable: this iteration's biases, and the marginals moved with them.
void move_biases(const LayeredPass& pass);
uint32_t next_decision_change_portable(const float* marginal, const uint8_t* hard, uint32_t from, uint32_t count);
// Null where this build or this processor has no AVX-512 (AVX2).
LayeredKernel layered_pass_avx512();
LayeredKernel layered_pass_avx2();
DecisionScan next_decision_change_avx512();
// The fastest this processor runs.
LayeredKernel fastest_layered_kernel();
DecisionScan fastest_decision_scan();

}  // namespace ostrel::decode::belief
