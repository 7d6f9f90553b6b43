#include "ostrel/decode/mobius/detector_colours.h"

#include <cmath>
#include <cstdio>

namespace ostrel::decode::mobius {
namespace {

constexpr uint8_t kUnmarked = 0xFE;  // during reading only: no declaration gave a mark
constexpr uint8_t kBadMark = 0xFD;   // a 4th coordinate outside the convention
constexpr const char* kConvention =
    "the 4th coordinate must be 0-5 or -1 (0, 1, 2: red, green, blue X-type; 3, 4, 5: red, green, blue "
    "Z-type; -1: ignored)";

}  // namespace

Result<std::vector<uint8_t>, std::string> read_detector_colours(const dem::DetectorErrorModel& model) {
  std::vector<uint8_t> marks(model.detector_count, kUnmarked);
  std::vector<double> written(model.detector_count, 0.0);
  for (const dem::DemDetector& d : model.detectors) {
    if (d.id >= marks.size() || !d.fourth_coord) continue;
    const double c = *d.fourth_coord;
    written[d.id] = c;
    if (c == -1.0) {
      marks[d.id] = kIgnored;
    } else if (c >= 0.0 && c <= 5.0 && c == std::floor(c)) {
      marks[d.id] = static_cast<uint8_t>(c);
    } else {
      marks[d.id] = kBadMark;
    }
  }
  // Only detectors that errors name must be marked; count the faulty ones once each.
  std::vector<uint8_t> reported(model.detector_count, 0);
  uint64_t faulty = 0;
  uint32_t first = 0;
  for (uint32_t t : model.detector_targets) {
    if (t >= marks.size() || (marks[t] != kUnmarked && marks[t] != kBadMark) || reported[t]) continue;
    reported[t] = 1;
    if (faulty++ == 0 || t < first) first = t;
  }
  if (faulty > 0) {
    std::string message = "detector D" + std::to_string(first);
    if (marks[first] == kBadMark) {
      char text[32];
      std::snprintf(text, sizeof text, "%g", written[first]);
      message += std::string(" has colour ") + text;
    } else {
      message += " has no colour";
    }
    if (faulty > 1) message += " (and " + std::to_string(faulty - 1) + " more detectors)";
    return fail(message + ": " + kConvention);
  }
  for (uint8_t& m : marks)
    if (m == kUnmarked || m == kBadMark) m = kIgnored;
  return marks;
}

}  // namespace ostrel::decode::mobius
