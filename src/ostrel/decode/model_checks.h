#pragma once
// What a decoder object refuses in a model that parsed: a line the parser skipped as no
// instruction (a misspelt one would silently decode another model), probabilities no error can
// have, and observables beyond the 64 a prediction mask holds.
#include <optional>
#include <string>

#include "ostrel/dem/dem_model.h"

namespace ostrel::decode {

// Bits of a prediction mask.
constexpr uint64_t kMaxDecodedObservables = 64;

// Why the decoders cannot mean `model`, naming the first offending line or error, or nothing:
// "line 2: not a detector error model instruction: 'erorr(0.2) D1 L0'"
// "error(nan) D0 D1 L0: its probability is not a number from 0 to 1"
// "the model has 70 observables; a decoder predicts at most 64 (L0 to L63)"
std::optional<std::string> refuse_undecodable(const dem::DetectorErrorModel& model);

}  // namespace ostrel::decode
