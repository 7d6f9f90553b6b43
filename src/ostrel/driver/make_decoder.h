#pragma once
// The one road from a model to a decoder, for every front door: the method looked up in the
// registry, the model checked (lines the parser skipped, probabilities, observables past 63, the
// memory budget, errors the method cannot decode), the method's options read, the decoder built.
#include <cstdint>
#include <memory>
#include <string_view>

#include "ostrel/dem/dem_model.h"
#include "ostrel/driver/decoder_options.h"
#include "ostrel/driver/method_registry.h"
#include "ostrel/driver/shot_decoder.h"
#include "ostrel/util/result.h"

namespace ostrel::driver {

struct BuiltDecoder {
  std::unique_ptr<ShotDecoder> decoder;
  const MethodSpec* method = nullptr;
  uint64_t detector_count = 0;
  uint64_t observable_count = 0;
  // Ancillas of one round by the model's detector coordinates (the last one the round), or 0
  // when the detectors carry none: streams refuse frames that are neither a round nor a shot.
  uint32_t ancillas_per_round = 0;
};

Result<BuiltDecoder, DriverError> make_decoder(const dem::DetectorErrorModel& model,
                                               std::string_view method = kDefaultMethod,
                                               const DecoderOptions& options = {});

// The method named, or the refusal of an unknown name.
Result<const MethodSpec*, DriverError> method_for(std::string_view name);

}  // namespace ostrel::driver
