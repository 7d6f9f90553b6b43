#include "ostrel/decode/mobius/detector_colours.h"

#include <gtest/gtest.h>

#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode::mobius {
namespace {

Result<std::vector<uint8_t>, std::string> read(const char* text) {
  auto model = dem::parse_dem(text);
  EXPECT_TRUE(model.ok());
  return read_detector_colours(model.value());
}

TEST(DetectorColours, ReadsTheFourthCoordinate) {
  auto marks = read(
      "error(0.1) D0 D1 D2\nerror(0.1) D3 D5\n"
      "detector(0, 0, 0, 0) D0\ndetector(1, 0, 0, 4) D1\ndetector(1, 1, 0, 5) D2\n"
      "detector(2, 0, 0, -1) D3\nshift_detectors(0, 0, 1, 1) 0\ndetector(0, 0, 0, 2) D5\n");
  ASSERT_TRUE(marks.ok()) << marks.error();
  EXPECT_EQ(marks.value(), (std::vector<uint8_t>{0, 4, 5, kIgnored, kIgnored, 3}));
  EXPECT_EQ(colour_of(5), 2);
  EXPECT_EQ(basis_of(5), 1);
}

struct Refusal {
  const char* text;
  const char* message_start;
};

class DetectorColoursRefuse : public testing::TestWithParam<Refusal> {};

TEST_P(DetectorColoursRefuse, NamesTheDetector) {
  auto marks = read(GetParam().text);
  ASSERT_FALSE(marks.ok());
  EXPECT_EQ(marks.error().rfind(GetParam().message_start, 0), 0u) << marks.error();
  EXPECT_NE(marks.error().find("the 4th coordinate must be 0-5 or -1"), std::string::npos) << marks.error();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetectorColoursRefuse,
    testing::Values(Refusal{"error(0.1) D7\n", "detector D7 has no colour:"},
                    Refusal{"error(0.1) D7\ndetector(1, 2, 3) D7\n", "detector D7 has no colour:"},
                    Refusal{"error(0.1) D2 D7\nerror(0.1) D3\ndetector(0,0,0,1) D3\n",
                            "detector D2 has no colour (and 1 more detectors):"},
                    Refusal{"error(0.1) D1\ndetector(0, 0, 0, 6) D1\n", "detector D1 has colour 6:"},
                    Refusal{"error(0.1) D1\ndetector(0, 0, 0, 1.5) D1\n", "detector D1 has colour 1.5:"}));

}  // namespace
}  // namespace ostrel::decode::mobius
