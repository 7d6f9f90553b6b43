#include "ostrel/dem/dem_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "ostrel/dem/dem_parser.h"

namespace ostrel::dem {
namespace {

DetectorErrorModel parsed(std::string_view text) {
  auto r = parse_dem(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? std::move(r).value() : DetectorErrorModel{};
}

// Everything a decoder or a layout reads from a model.
auto contents(const DetectorErrorModel& m) {
  std::vector<std::tuple<double, std::vector<uint32_t>, std::vector<uint8_t>>> errors;
  for (size_t i = 0; i < m.error_count(); ++i) {
    const DemError e = m.error(i);
    errors.emplace_back(e.probability, std::vector<uint32_t>(e.detectors.begin(), e.detectors.end()),
                        std::vector<uint8_t>(e.observables.begin(), e.observables.end()));
  }
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> breaks;
  for (const ComponentBreak& b : m.component_breaks) breaks.emplace_back(b.error, b.detectors, b.observables);
  std::vector<std::tuple<uint32_t, uint32_t, std::optional<std::array<double, 3>>>> detectors;
  for (const DemDetector& d : m.detectors) detectors.emplace_back(d.id, d.coord_count, d.coords);
  return std::make_tuple(errors, breaks, detectors, m.detector_count, m.observable_count);
}

TEST(WriteDem, ParsingTheTextGivesTheModelBack) {
  for (const std::string_view text : {
           "error(0.1) D0 D1 ^ D2 L0\nerror(0.30000000000000004) D3 L1 ^ L2\ndetector(1, -0.5, 2.25) D1\n"
           "detector(7) D2\ndetector D4\nlogical_observable L6\n",
           "detector(0, 0) D0\nrepeat 3 {\n error(0.01) D0 D1 ^ D0\n shift_detectors(0, 1) 1\n detector(0, 0) D0\n}\n"
           "repeat 0 {\n error(0.2) D9\n}\n",  // a block repeated 0 times still counts its detectors
           "",
       }) {
    const DetectorErrorModel model = parsed(text);
    EXPECT_EQ(contents(parsed(write_dem_text(model))), contents(model)) << text;
  }
}

TEST(WriteDem, ErrorLineShowsComponents) {
  const DetectorErrorModel model = parsed("error(0.125) D0 L1 ^ D2\nerror(1e-05) D3");
  EXPECT_EQ(error_line(model, 0), "error(0.125) D0 L1 ^ D2");
  EXPECT_EQ(error_line(model, 1), "error(1e-05) D3");
}

}  // namespace
}  // namespace ostrel::dem
