#include "ostrel/decode/model_checks.h"

#include "ostrel/dem/dem_writer.h"

namespace ostrel::decode {

std::optional<std::string> refuse_undecodable(const dem::DetectorErrorModel& model) {
  for (size_t i = 0; i < model.error_count(); ++i) {
    const double p = model.error_records[i].probability;
    if (!(p >= 0.0 && p <= 1.0))  // NaN fails both
      return dem::error_line(model, i) + ": its probability is not a number from 0 to 1";
  }
  if (model.observable_count > kMaxDecodedObservables)
    return "the model has " + std::to_string(model.observable_count) + " observables; a decoder predicts at most " +
           std::to_string(kMaxDecodedObservables) + " (L0 to L63)";
  return std::nullopt;
}

}  // namespace ostrel::decode
