#pragma once
// A parsed detector error model: its errors (repeat blocks expanded), its declared detectors and
// the detector and observable counts. Built once by parse_dem and never changed afterwards.
//
// The targets of all errors live in two shared pools instead of two small vectors per error:
// a model holds tens of thousands of errors with two or three targets each, and one allocation
// per pool instead of two per error is what keeps parsing fast. `error(i)` gives the view.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel::dem {

struct DemDetector {
  std::optional<std::array<double, 3>> coords;
  uint32_t id = 0;
  // How many of `coords` were written (at most 3; a 4th is `fourth_coord`, later ones are not kept). Missing
  // pieces read as 0.0 in `coords`, so this is what tells (1, 2) from (1, 2, 0).
  uint32_t coord_count = 0;
  // The 4th coordinate when one was written (shifted like the others). Kept apart from `coords`
  // because readers take the last of those as time; colour-code models annotate each detector's
  // colour and basis here.
  std::optional<double> fourth_coord;
};

// One error as seen by readers: views into the model's pools.
struct DemError {
  std::span<const uint32_t> detectors;  // in the order written; duplicates kept
  std::span<const uint8_t> observables;  // in the order written; duplicates kept
  double probability = 0.0;
};

// Where a `^`-separated component other than the first begins inside error `error`: its first
// detector and observable target positions in the model's pools. An error written without `^`
// has no entry; the components of error i are its targets split at its entries, in order.
struct ComponentBreak {
  uint32_t error = 0;
  uint32_t detectors = 0;    // position in detector_targets
  uint32_t observables = 0;  // position in observable_targets
};

// A line the parser skipped as no instruction it reads: `line_number` is 1-based, 0 when the line
// came from a nested repeat block's written-out repetitions.
struct UnknownLine {
  uint64_t line_number = 0;
  std::string text;
};

// What a decoder says when given a circuit rather than its model.
inline constexpr std::string_view kCircuitGivenAdvice =
    "a Stim circuit is not a detector error model: decode its model, "
    "circuit.detector_error_model(decompose_errors=True)";

struct DetectorErrorModel {
  // Where one error's targets sit in the pools.
  struct ErrorRecord {
    double probability = 0.0;
    uint32_t detectors_begin = 0;
    uint32_t detectors_end = 0;
    uint32_t observables_begin = 0;
    uint32_t observables_end = 0;
  };

  std::vector<ErrorRecord> error_records;
  std::vector<uint32_t> detector_targets;
  std::vector<uint8_t> observable_targets;
  // The `^` separators of every error, ordered by error and position. The error views above
  // ignore them (an error is all its components together); decoders that build one edge per
  // component read them.
  std::vector<ComponentBreak> component_breaks;
  // One entry per distinct declared detector index; the first declaration wins.
  std::vector<DemDetector> detectors;
  // 1 + the largest detector index seen anywhere, 0 if none.
  uint64_t detector_count = 0;
  // 1 + the largest observable index of an error target or a top-level declaration, 0 if none.
  uint64_t observable_count = 0;
  // The first line skipped as no instruction (a misspelt `erorr(0.1) D0`, say): the parse goes
  // on, but a decoder must not decode a model other than the one written.
  std::optional<UnknownLine> first_unknown_line;

  size_t error_count() const { return error_records.size(); }

  DemError error(size_t i) const {
    const ErrorRecord& r = error_records[i];
    return {std::span(detector_targets).subspan(r.detectors_begin, r.detectors_end - r.detectors_begin),
            std::span(observable_targets)
                .subspan(r.observables_begin, r.observables_end - r.observables_begin),
            r.probability};
  }
};

}  // namespace ostrel::dem
