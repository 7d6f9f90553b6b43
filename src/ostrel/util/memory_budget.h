#pragma once
// How much memory a decoding graph and the decoder built on it may take together.
//
// A model of a few bytes can describe millions of errors (repeat blocks), and the graph and the
// decoders turn every error into per-edge arrays. Memory is overcommitted, so an allocation that
// succeeds can still end the process when it is filled in; each structure therefore counts what
// it will allocate from the model's counts first, and refuses beyond the budget before
// allocating anything.
#include <cstdint>

namespace ostrel {

// 4 GiB: a distance-25 rotated surface code over 1,000 rounds (624,000 detectors, 35 million
// edges once its decomposed errors are chained) is counted at 3.1 GiB (graph 1.4, decoder 1.7).
inline constexpr uint64_t kDecodingMemoryBudget = uint64_t{4} << 30;

// Total RAM, or UINT64_MAX when the system does not say.
uint64_t physical_memory_bytes() noexcept;

// kDecodingMemoryBudget, or half the machine's memory when that is less.
uint64_t decoding_memory_budget() noexcept;

// Whole mebibytes, rounded up, for messages.
inline uint64_t mebibytes(uint64_t bytes) noexcept { return bytes / (1 << 20) + (bytes % (1 << 20) != 0); }

}  // namespace ostrel
