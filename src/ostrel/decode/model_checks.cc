#include "ostrel/decode/model_checks.h"

#include "ostrel/dem/dem_writer.h"

namespace ostrel::decode {
namespace {

// Circuit instructions are written in capitals (H, CX, DETECTOR, QUBIT_COORDS), a model's never.
bool looks_like_circuit_instruction(std::string_view line) {
  size_t n = 0;
  while (n < line.size() && ((line[n] >= 'A' && line[n] <= 'Z') || (line[n] >= '0' && line[n] <= '9') || line[n] == '_'))
    ++n;
  return n > 0 && line[0] >= 'A' && line[0] <= 'Z' && (n == line.size() || line[n] == ' ' || line[n] == '(');
}

}  // namespace

std::optional<std::string> refuse_undecodable(const dem::DetectorErrorModel& model) {
  if (const auto& unknown = model.first_unknown_line) {
    std::string where = unknown->line_number ? "line " + std::to_string(unknown->line_number) + ": " : "";
    if (looks_like_circuit_instruction(unknown->text))
      return where + "'" + unknown->text + "' is a circuit instruction; " + std::string(dem::kCircuitGivenAdvice);
    return where + "not a detector error model instruction: '" + unknown->text + "'";
  }
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
