#pragma once
// The decoding methods every front door offers (the Python module, the C interface, the command
// line, sinter, Dask): one table, so adding a method is one entry here and its maker.
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ostrel/decode/decode_method.h"
#include "ostrel/dem/dem_model.h"
#include "ostrel/driver/decoder_options.h"
#include "ostrel/driver/shot_decoder.h"
#include "ostrel/util/result.h"

namespace ostrel::driver {

// Why no decoder was made: the argument or model is refused, or memory ran out.
struct DriverError {
  // Text that is no model at all is BadText; everything else a model or argument may be refused
  // for is InvalidArgument.
  enum class Kind : uint8_t { InvalidArgument, BadText, OutOfMemory };
  Kind kind = Kind::InvalidArgument;
  std::string message;

  static DriverError invalid(std::string message) { return {Kind::InvalidArgument, std::move(message)}; }
};

// Builds the method's decoder for a model that passed the common checks (make_decoder.h), reading
// its options from `options`.
using MakeShotDecoder = Result<std::unique_ptr<ShotDecoder>, DriverError> (*)(const dem::DetectorErrorModel& model,
                                                                             const DecoderOptions& options);

struct MethodSpec {
  std::string_view name;
  // One line for help texts: what it does and when to choose it.
  std::string_view summary;
  // Offered in method lists; an unlisted method is reachable by name only (for comparisons).
  bool listed = true;
  // Decodes errors of any number of detectors, without decomposition.
  bool decodes_hyperedges = false;
  // Set for methods on a decoding graph: the sliding window decodes its windows with this.
  std::optional<decode::DecodeMethod> graph_method;
  MakeShotDecoder make = nullptr;
};

// Every method, listed ones first, in the order callers show them.
std::span<const MethodSpec> registered_methods() noexcept;
const MethodSpec* find_method(std::string_view name) noexcept;

// What a decoder decodes with when no method is named: exact matching.
inline constexpr std::string_view kDefaultMethod = "matching";

// The listed names as a phrase: "'a', 'b', or 'c'".
std::string listed_method_names();
// "unknown decoding method 'x': expected 'a', 'b', or 'c'".
std::string unknown_method_message(std::string_view name);
// The advice for a model with errors of three or more detectors, given to `method`: decompose
// it, or pick a method that decodes hyperedges.
std::string hyperedge_advice(std::string_view method);

}  // namespace ostrel::driver
