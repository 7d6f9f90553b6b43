#include "ostrel/decode/belief/relay_bp_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <tuple>
#include <random>

#include "ostrel/decode/belief/brute_force_decoding.h"
#include "ostrel/decode/belief/test_models.h"

namespace ostrel::decode::belief {
namespace {

// (schedule, legs on the fired detectors' neighbourhood, legs completed by lone columns)
class RelayBpSchedules : public testing::TestWithParam<std::tuple<BpSchedule, bool, bool>> {};

TEST_P(RelayBpSchedules, SolutionsMeetTheSyndromeAndFailuresStayNearMaximumLikelihood) {
  std::mt19937_64 rng(31);
  auto dem = dem::parse_dem(random_model_text(rng, 8, 16, 4, 0.02, 0.12));
  ASSERT_TRUE(dem.ok());
  const auto [schedule, neighbourhood, complete] = GetParam();
  auto decoder = RelayBpDecoder::create(*dem, {.legs = 40,
                                               .solutions = 3,
                                               .seed = 4,
                                               .schedule = schedule,
                                               .neighbourhood = neighbourhood,
                                               .complete_lone_rows = complete});
  ASSERT_TRUE(decoder.ok()) << decoder.error();
  RelayBpDecoder replay = *decoder;
  const CheckMatrix& h = decoder->matrix();
  std::map<uint64_t, uint64_t> likeliest;
  std::vector<uint8_t> parity, scratch;
  std::vector<uint32_t> fired, check, errors;
  int ours = 0, exact = 0, unsolved = 0, completed = 0;
  for (int shot = 0; shot < 3000; ++shot) {
    errors.clear();
    uint64_t actual = 0;
    for (uint32_t c = 0; c < h.column_count; ++c)
      if (std::uniform_real_distribution<double>(0, 1)(rng) < h.priors[c]) {
        errors.push_back(c);
        actual ^= h.observables[c];
      }
    syndrome_of_columns(h, errors, parity, fired);
    const uint64_t predicted = decoder->decode(fired);
    completed += decoder->solutions_completed() > 0;
    if (decoder->solutions_found() > 0) {
      syndrome_of_columns(h, decoder->correction(), scratch, check);
      ASSERT_EQ(check, fired) << shot;
    } else {
      ++unsolved;
    }
    ours += predicted != actual;
    uint64_t key = 0;
    for (const uint32_t r : fired) key |= uint64_t{1} << r;
    auto [it, added] = likeliest.try_emplace(key, 0);
    if (added) it->second = brute_force_decode(h, parity).likeliest_observables;
    exact += it->second != actual;
    // The answer depends on the syndrome alone: a copy that saw other shots agrees.
    if (shot % 7 == 0) {
      EXPECT_EQ(replay.decode(fired), predicted);
    }
  }
  // A quarter of the model's columns are lone: completed legs end some relays early, at a cost
  // of a failure or two in 3000 shots here.
  EXPECT_EQ(completed > 0, complete);
  EXPECT_GT(exact, 20);
  EXPECT_LE(ours, exact * (complete ? 1.35 : 1.3) + 10)
      << "ours " << ours << ", exact " << exact << ", unsolved " << unsolved << ", completed " << completed;
}

INSTANTIATE_TEST_SUITE_P(All, RelayBpSchedules,
                         testing::Combine(testing::Values(BpSchedule::kParallel, BpSchedule::kSerial), testing::Bool(),
                                          testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == BpSchedule::kParallel ? "parallel" : "serial") +
                                  (std::get<1>(info.param) ? "_neighbourhood" : "_whole") +
                                  (std::get<2>(info.param) ? "_completed" : "");
                         });

// When a fired row touches every column the neighbourhood is the whole model, and the legs there
// (strengths drawn by whole-model column) must reproduce the whole model's answer exactly.
TEST(RelayBpDecoder, ANeighbourhoodHoldingEveryColumnDecodesAsTheWholeModel) {
  std::mt19937_64 rng(9);
  std::string text;
  for (const char c : random_model_text(rng, 10, 30, 3, 0.02, 0.15)) {
    text += c;
    if (c == ')') text += " D10";  // every error flips D10 too
  }
  auto dem = dem::parse_dem(text);
  ASSERT_TRUE(dem.ok());
  for (const BpSchedule schedule : {BpSchedule::kParallel, BpSchedule::kSerial}) {
    auto whole = RelayBpDecoder::create(*dem, {.legs = 20, .solutions = 2, .seed = 3, .schedule = schedule});
    auto local = RelayBpDecoder::create(
        *dem, {.legs = 20, .solutions = 2, .seed = 3, .schedule = schedule, .neighbourhood = true});
    ASSERT_TRUE(whole.ok() && local.ok());
    int relayed = 0, handed_over = 0;
    for (int shot = 0; shot < 300; ++shot) {
      std::vector<uint32_t> fired;
      for (uint32_t r = 0; r < 10; ++r)
        if (rng() % 4 == 0) fired.push_back(r);
      fired.push_back(10);
      ASSERT_EQ(local->decode(fired), whole->decode(fired)) << shot;
      EXPECT_EQ(local->correction_weight(), whole->correction_weight());
      EXPECT_TRUE(std::ranges::equal(local->correction(), whole->correction()));
      // The neighbourhood hands over to the whole model only after legs without a solution,
      // which then start again there.
      if (local->ran_on_whole()) {
        EXPECT_GT(local->iterations_run(), whole->iterations_run());
        ++handed_over;
      } else {
        EXPECT_EQ(local->iterations_run(), whole->iterations_run());
        relayed += whole->legs_run() > 1;
      }
    }
    EXPECT_GT(relayed, 0);
    EXPECT_LT(handed_over, 150);  // the exact path ran on most shots
  }
}

// With no iterations the decision is empty and every fired row unmet: the answer is each fired
// row's likeliest lone column when all have one, and no solution when one has none.
TEST(RelayBpDecoder, UnmetRowsAreCompletedByTheirLikeliestLoneColumns) {
  auto dem = dem::parse_dem(
      "error(0.1) D0 L0\nerror(0.2) D0\nerror(0.01) D0 D1 L0\nerror(0.1) D1 L1\nerror(0.1) D1 D2\n");
  ASSERT_TRUE(dem.ok());
  for (const bool neighbourhood : {false, true}) {
    auto decoder = RelayBpDecoder::create(*dem, {.pre_iter = 0, .legs = 0, .neighbourhood = neighbourhood});
    ASSERT_TRUE(decoder.ok());
    const CheckMatrix& h = decoder->matrix();
    const uint32_t fired[] = {0, 1};
    EXPECT_EQ(decoder->decode(fired), 2u) << neighbourhood;
    EXPECT_EQ(decoder->solutions_completed(), 1u);
    EXPECT_NEAR(decoder->correction_weight(), std::log(4.0) + std::log(9.0), 1e-6);
    std::vector<uint8_t> parity;
    std::vector<uint32_t> check;
    syndrome_of_columns(h, decoder->correction(), parity, check);
    EXPECT_EQ(check, std::vector<uint32_t>(std::begin(fired), std::end(fired)));
    const uint32_t alone[] = {2};
    decoder->decode(alone);
    EXPECT_EQ(decoder->solutions_found(), 0u);
  }
  auto plain = RelayBpDecoder::create(*dem, {.pre_iter = 0, .legs = 0, .complete_lone_rows = false});
  const uint32_t fired[] = {0, 1};
  plain->decode(fired);
  EXPECT_EQ(plain->solutions_found(), 0u);
}

TEST(RelayBpDecoder, TheLowestWeightSolutionWinsAndBadOptionsAreRefused) {
  // Two explanations of D0 D1: one error of p = 0.01 or two of p = 0.2 (weight 2.77 against 4.60).
  auto dem = dem::parse_dem("error(0.01) D0 D1 L0\nerror(0.2) D0\nerror(0.2) D1\n");
  auto decoder = RelayBpDecoder::create(*dem, {.legs = 50, .solutions = 10});
  ASSERT_TRUE(decoder.ok());
  const uint32_t fired[] = {0, 1};
  EXPECT_EQ(decoder->decode(fired), 0u);
  EXPECT_NEAR(decoder->correction_weight(), 2 * std::log(4.0), 1e-9);
  EXPECT_EQ(decoder->decode({}), 0u);
  EXPECT_EQ(decoder->legs_run(), 0u);
  for (const RelayBpOptions& bad : {RelayBpOptions{.gamma_min = 1, .gamma_max = 0}, RelayBpOptions{.solutions = 0},
                                    RelayBpOptions{.ms_scaling_factor = 0}})
    EXPECT_FALSE(RelayBpDecoder::create(*dem, bad).ok());
}

}  // namespace
}  // namespace ostrel::decode::belief
