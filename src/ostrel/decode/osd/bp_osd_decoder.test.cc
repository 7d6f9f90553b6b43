#include "ostrel/decode/osd/bp_osd_decoder.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "ostrel/decode/belief/brute_force_decoding.h"
#include "ostrel/decode/belief/test_models.h"

namespace ostrel::decode::osd {
namespace {

// Shots sampled from a small hypergraph model: every correction meets its syndrome, and the
// failures stay near those of exact maximum-likelihood decoding of the same shots.
TEST(BpOsdDecoder, FailsLittleMoreThanMaximumLikelihoodAndAlwaysMeetsTheSyndrome) {
  std::mt19937_64 rng(21);
  const std::string text = belief::random_model_text(rng, 8, 16, 4, 0.02, 0.12);
  auto dem = dem::parse_dem(text);
  ASSERT_TRUE(dem.ok());
  std::map<uint64_t, uint64_t> likeliest;  // per syndrome: exact decoding is the slow part
  for (const auto method : {belief::BpMethod::kMinSum, belief::BpMethod::kProductSum}) {
    auto decoder = BpOsdDecoder::create(*dem, {.bp = {.max_iter = 20, .method = method}, .osd_order = 4});
    ASSERT_TRUE(decoder.ok()) << decoder.error();
    const belief::CheckMatrix& h = decoder->matrix();
    std::vector<uint8_t> parity;
    std::vector<uint32_t> fired, check, errors;
    int ours = 0, exact = 0, osd_runs = 0;
    const int shots = 3000;
    for (int shot = 0; shot < shots; ++shot) {
      errors.clear();
      uint64_t actual = 0;
      for (uint32_t c = 0; c < h.column_count; ++c)
        if (std::uniform_real_distribution<double>(0, 1)(rng) < h.priors[c]) {
          errors.push_back(c);
          actual ^= h.observables[c];
        }
      belief::syndrome_of_columns(h, errors, parity, fired);
      const uint64_t predicted = decoder->decode(fired);
      osd_runs += !decoder->bp_converged();
      const auto correction = decoder->correction();
      std::vector<uint8_t> scratch;
      belief::syndrome_of_columns(h, correction, scratch, check);
      ASSERT_EQ(check, fired) << shot;
      ours += predicted != actual;
      uint64_t key = 0;
      for (const uint32_t r : fired) key |= uint64_t{1} << r;
      auto [it, added] = likeliest.try_emplace(key, 0);
      if (added) it->second = belief::brute_force_decode(h, parity).likeliest_observables;
      exact += it->second != actual;
    }
    EXPECT_GT(osd_runs, 0);
    EXPECT_GT(exact, 20);
    EXPECT_LE(ours, exact * 1.25 + 10) << "ours " << ours << ", exact maximum likelihood failed " << exact << " times";
  }
}

// With errors likelier than not, an empty syndrome is not free: the answer must still explain it.
TEST(BpOsdDecoder, LikelyErrorsAreDecodedLikeAnyOther) {
  auto dem = dem::parse_dem("error(0.9) D0 D1 L0\nerror(0.1) D1 D2\nerror(0.2) D2\nerror(0.05) D0\n");
  ASSERT_TRUE(dem.ok());
  auto decoder = BpOsdDecoder::create(*dem, {.osd_method = OsdMethod::kExhaustive, .osd_order = 4});
  ASSERT_TRUE(decoder.ok());
  const belief::CheckMatrix& h = decoder->matrix();
  std::vector<uint8_t> syndrome(3), parity;
  std::vector<uint32_t> fired, check;
  for (uint32_t s = 0; s < 8; ++s) {
    fired.clear();
    for (uint32_t r = 0; r < 3; ++r) {
      syndrome[r] = (s >> r) & 1;
      if (syndrome[r]) fired.push_back(r);
    }
    const uint64_t predicted = decoder->decode(fired);
    belief::syndrome_of_columns(h, decoder->correction(), parity, check);
    EXPECT_EQ(check, fired) << s;
    EXPECT_EQ(predicted, belief::brute_force_decode(h, syndrome).min_weight_observables) << s;
  }
}

TEST(BpOsdDecoder, ZeroSyndromeAndCopiesDecodeAlike) {
  std::mt19937_64 rng(2);
  auto dem = dem::parse_dem(belief::random_model_text(rng, 20, 40, 3, 0.01, 0.1));
  ASSERT_TRUE(dem.ok());
  auto decoder = BpOsdDecoder::create(*dem, {});
  ASSERT_TRUE(decoder.ok());
  EXPECT_EQ(decoder->decode({}), 0u);
  EXPECT_TRUE(decoder->correction().empty());
  BpOsdDecoder copy = *decoder;
  for (int shot = 0; shot < 200; ++shot) {
    std::vector<uint32_t> fired;
    for (uint32_t d = 0; d < 20; ++d)
      if (rng() % 5 == 0) fired.push_back(d);
    EXPECT_EQ(decoder->decode(fired), copy.decode(fired));
  }
}

TEST(BpOsdDecoder, OptionsAreReadByTheirUsualNamesAndBadOnesRefused) {
  EXPECT_EQ(parse_bp_method("minimum_sum"), belief::BpMethod::kMinSum);
  EXPECT_EQ(parse_bp_method("product_sum"), belief::BpMethod::kProductSum);
  EXPECT_EQ(parse_bp_schedule("serial"), belief::BpSchedule::kSerial);
  EXPECT_EQ(parse_osd_method("osd_e"), OsdMethod::kExhaustive);
  EXPECT_EQ(parse_osd_method("osd_cs"), OsdMethod::kCombinationSweep);
  EXPECT_EQ(parse_osd_method("osd0"), OsdMethod::kOsd0);
  EXPECT_FALSE(parse_osd_method("osd_x").has_value());
  auto dem = dem::parse_dem("error(0.1) D0 D1 D2\n");
  auto exhaustive = BpOsdDecoder::create(*dem, {.osd_method = OsdMethod::kExhaustive, .osd_order = 30});
  ASSERT_FALSE(exhaustive.ok());
  EXPECT_NE(exhaustive.error().find("2^30"), std::string::npos);
  auto scaling = BpOsdDecoder::create(*dem, {.bp = {.ms_scaling_factor = 1.5}});
  ASSERT_FALSE(scaling.ok());
  EXPECT_NE(scaling.error().find("ms_scaling_factor"), std::string::npos);
}

}  // namespace
}  // namespace ostrel::decode::osd
