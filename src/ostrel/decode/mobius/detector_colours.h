#pragma once
// Colour codes name each detector's colour and basis in its 4th coordinate: 0, 1, 2 for red,
// green and blue X-type checks, 3, 4, 5 for red, green and blue Z-type ones, -1 for a detector
// the decoder should ignore. Models written for other colour-code decoders carry the same marks.
#include <cstdint>
#include <string>
#include <vector>

#include "ostrel/dem/dem_model.h"
#include "ostrel/util/result.h"

namespace ostrel::decode::mobius {

// Per detector: its mark 0-5 (basis * 3 + colour), or kIgnored.
inline constexpr uint8_t kIgnored = 0xFF;

inline uint8_t colour_of(uint8_t mark) { return mark % 3; }
inline uint8_t basis_of(uint8_t mark) { return mark / 3; }

// The mark of every detector below the model's count. Detectors that no error names need no mark
// (they read as ignored). Fails naming the first detector an error names without a usable mark,
// and how many more there are.
Result<std::vector<uint8_t>, std::string> read_detector_colours(const dem::DetectorErrorModel& model);

}  // namespace ostrel::decode::mobius
