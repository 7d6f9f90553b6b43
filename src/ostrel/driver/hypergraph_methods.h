#pragma once
// The makers of the methods on a model's check matrix, whose errors may flip any number of
// detectors: BP+OSD, Relay-BP, and belief-matching (BP on the whole errors, matching on their
// components). Each reads its keyword options here.
#include "ostrel/driver/method_registry.h"

namespace ostrel::driver {

// max_iter, bp_method, ms_scaling_factor, schedule, osd_method, osd_order.
Result<std::unique_ptr<ShotDecoder>, DriverError> make_bp_osd(const dem::DetectorErrorModel& model,
                                                              const DecoderOptions& options);
// gamma0, pre_iter, num_iter, legs, gamma_min, gamma_max, solutions, ms_scaling_factor, seed, schedule.
Result<std::unique_ptr<ShotDecoder>, DriverError> make_relay_bp(const dem::DetectorErrorModel& model,
                                                                const DecoderOptions& options);
// max_iter, bp_method, ms_scaling_factor, schedule.
Result<std::unique_ptr<ShotDecoder>, DriverError> make_belief_matching(const dem::DetectorErrorModel& model,
                                                                       const DecoderOptions& options);

}  // namespace ostrel::driver
