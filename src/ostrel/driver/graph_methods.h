#pragma once
// The makers of the methods on a decoding graph (the weighted Union-Find, exact matching and
// their correlated re-weighting) and of the fixed Union-Find procedure on the spacetime graph.
#include "ostrel/decode/union_find.h"
#include "ostrel/driver/method_registry.h"

namespace ostrel::driver {

Result<std::unique_ptr<ShotDecoder>, DriverError> make_weighted_union_find(const dem::DetectorErrorModel& model,
                                                                           const DecoderOptions& options);
Result<std::unique_ptr<ShotDecoder>, DriverError> make_matching(const dem::DetectorErrorModel& model,
                                                                const DecoderOptions& options);
// The correlated methods take option max_passes: decodes per shot at most (1 to 64; 1 decodes as
// matching). Not given: 4 for correlated-matching; for correlated-union-find 3 on shots of at
// least 96 fired detectors and 2 on the rest. correlated-union-find also takes union_find_from:
// shots of at least that many fired detectors take Union-Find's first pass, the rest matching's
// (0 to 2^32 - 1; 0: every shot; not given: see decode::default_union_find_from).
Result<std::unique_ptr<ShotDecoder>, DriverError> make_correlated_union_find(const dem::DetectorErrorModel& model,
                                                                             const DecoderOptions& options);
Result<std::unique_ptr<ShotDecoder>, DriverError> make_correlated_matching(const dem::DetectorErrorModel& model,
                                                                           const DecoderOptions& options);
Result<std::unique_ptr<ShotDecoder>, DriverError> make_fixed_union_find(const dem::DetectorErrorModel& model,
                                                                        const DecoderOptions& options);

// The fixed procedure on the model's spacetime graph, refused before anything is built when the
// graph and its arrays would pass the memory budget.
Result<decode::UnionFindDecoder, DriverError> build_fixed_procedure(const dem::DetectorErrorModel& model);

// A decoder on a decoding graph as a shot decoder: shots no matching explains are refused.
std::unique_ptr<ShotDecoder> graph_shot_decoder(std::unique_ptr<decode::GraphDecoder> decoder);

}  // namespace ostrel::driver
