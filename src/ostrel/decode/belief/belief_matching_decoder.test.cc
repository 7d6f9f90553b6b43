#include "ostrel/decode/belief/belief_matching_decoder.h"

#include <gtest/gtest.h>

#include <random>

#include "ostrel/decode/test_syndromes.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode::belief {
namespace {

// A repetition-like chain whose errors come in correlated pairs (`^`), sampled as whole errors.
std::string chain_model(std::mt19937_64& rng, uint32_t n) {
  const double scale = 1.0;
  std::uniform_real_distribution<double> probability(0.01 * scale, 0.08 * scale);
  std::string text;
  for (uint32_t j = 0; j + 1 < n; ++j) text += "error(" + std::to_string(probability(rng)) + ") D" + std::to_string(j) + " D" + std::to_string(j + 1) + "\n";
  text += "error(" + std::to_string(0.05 * scale) + ") D0 L0\nerror(" + std::to_string(0.05 * scale) + ") D" +
          std::to_string(n - 1) + "\n";
  for (uint32_t j = 0; j + 3 < n; j += 2)
    text += "error(" + std::to_string(0.03 * scale) + ") D" + std::to_string(j) + " D" + std::to_string(j + 1) + " ^ D" + std::to_string(j + 2) + " D" +
            std::to_string(j + 3) + "\n";
  return text;
}

TEST(BeliefMatchingDecoder, CorrectionsMeetTheSyndromeAndCopiesAgree) {
  std::mt19937_64 rng(8);
  auto dem = dem::parse_dem(chain_model(rng, 12));
  ASSERT_TRUE(dem.ok());
  auto decoder = BeliefMatchingDecoder::create(*dem, {});
  ASSERT_TRUE(decoder.ok()) << decoder.error();
  BeliefMatchingDecoder copy = *decoder;
  for (int shot = 0; shot < 500; ++shot) {
    std::vector<uint32_t> fired;
    for (uint32_t d = 0; d < 12; ++d)
      if (rng() % 4 == 0) fired.push_back(d);
    const uint64_t predicted = decoder->decode(fired);
    const auto correction = decoder->correction();
    EXPECT_EQ(syndrome_of(decoder->graph(), correction), fired);
    EXPECT_EQ(copy.decode(fired), predicted);
  }
}

TEST(BeliefMatchingDecoder, RefusesModelsWithUndecomposedHyperedges) {
  auto dem = dem::parse_dem("error(0.1) D0 D1 D2 L0\n");
  auto decoder = BeliefMatchingDecoder::create(*dem, {});
  ASSERT_FALSE(decoder.ok());
  EXPECT_EQ(decoder.error().rfind("belief-matching needs a model decomposed with ^", 0), 0u) << decoder.error();
}

}  // namespace
}  // namespace ostrel::decode::belief
