#pragma once
// The DEM text reader: turns detector-error-model text into a DetectorErrorModel record.
//
// Accepted: `error(p) targets`, `detector(coords) D<n>`, `logical_observable L<n>`,
// `shift_detectors(coords) K`, `repeat N { ... }` blocks (not nested) and whole-line comments;
// every other line is skipped. Each of those instructions may carry a tag after its name
// (`error[leak](0.1) D0`), which is read past and changes nothing. The reader keeps no state between calls.
#include <cstdint>
#include <string>
#include <string_view>

#include "ostrel/dem/dem_model.h"
#include "ostrel/util/result.h"

namespace ostrel::dem {

// Bounds on the size of a parsed model. Repeat blocks multiply their bodies, so a few lines of
// text can ask for any amount of memory; these limits refuse such text before it is expanded
// (and also text that is itself that large). They sit well above real experiments (a
// distance-25 surface code run for 1000 rounds has about 12 million errors and 0.6 million
// detectors) while keeping a model below about 1 GiB: 16 Mi errors of 24 bytes, 64 Mi targets
// of at most 4 bytes and 8 Mi declarations of 40 bytes.
inline constexpr uint64_t kMaxDemErrors = uint64_t{1} << 24;
inline constexpr uint64_t kMaxDemTargets = uint64_t{1} << 26;  // detector + observable targets
inline constexpr uint64_t kMaxDemDetectorDeclarations = uint64_t{1} << 23;

// The bounds one parse applies; the defaults are the limits above. Smaller ones suit callers that
// must stay within less memory (a fuzzing harness, a service with a quota).
struct DemLimits {
  uint64_t errors = kMaxDemErrors;
  uint64_t targets = kMaxDemTargets;
  uint64_t detector_declarations = kMaxDemDetectorDeclarations;
};

enum class DemParseErrorKind : uint8_t {
  InvalidProbability,
  MalformedTarget,
  UnterminatedRepeat,
  InvalidRepeatCount,
  MalformedDetectorCoords,
  ModelTooLarge,
  UnterminatedTag,
};

struct DemParseError {
  DemParseErrorKind kind = DemParseErrorKind::UnterminatedRepeat;
  // The offending text, inserted unchanged into the message (none for UnterminatedRepeat);
  // for ModelTooLarge, what exceeded its limit ("errors", "error targets", ...).
  std::string text;
  uint64_t limit = 0;  // ModelTooLarge only
  // The written line the failure was met on (1-based) and its text; 0 and empty where no
  // written line holds it (a line of a nested block's written-out repetitions).
  uint64_t line_number = 0;
  std::string line;

  static DemParseError invalid_probability(std::string_view text);
  static DemParseError malformed_target(std::string_view text);
  static DemParseError unterminated_repeat();
  static DemParseError invalid_repeat_count(std::string_view token);
  static DemParseError malformed_detector_coords(std::string_view line);
  static DemParseError unterminated_tag(std::string_view line);
  static DemParseError model_too_large(std::string_view what, uint64_t limit);

  // e.g. "malformed target 'X1'", "unterminated repeat block",
  // "detector error model too large: more than 16777216 errors", "unterminated tag in 'error[a(0.1)'".
  std::string message() const;
  // The message after "line N: ", and for a malformed target the line it stood in:
  // "line 1: malformed target '#' in 'error(0.1) D0 D1 L0 # note'". What decoders and the command
  // line show, where a model is read to be decoded.
  std::string located_message() const;
};

// Nested repeat blocks are read by recursion; deeper text is refused as too large.
inline constexpr uint32_t kMaxRepeatNesting = 64;

// The first failure ends the parse; no partial record is returned.
Result<DetectorErrorModel, DemParseError> parse_dem(std::string_view text, const DemLimits& limits = {});

}  // namespace ostrel::dem
