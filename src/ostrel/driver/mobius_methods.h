#pragma once
// The makers of the colour-code methods: Möbius matching on the lifted graph, and its correlated
// re-weighting (decode/mobius).
#include "ostrel/driver/method_registry.h"

namespace ostrel::driver {

Result<std::unique_ptr<ShotDecoder>, DriverError> make_mobius(const dem::DetectorErrorModel& model,
                                                              const DecoderOptions& options);
// Option max_passes: decodes per shot at most (1 to 64, default 4).
Result<std::unique_ptr<ShotDecoder>, DriverError> make_correlated_mobius(const dem::DetectorErrorModel& model,
                                                                         const DecoderOptions& options);

}  // namespace ostrel::driver
