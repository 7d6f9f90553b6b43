#include "ostrel/driver/model_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ostrel/dem/dem_parser.h"
#include "ostrel/driver/make_decoder.h"
#include "ostrel/driver/window_decoder.h"

namespace ostrel::driver {
namespace {

constexpr uint32_t kAncillas = 3, kRounds = 5;

uint32_t det(uint32_t round, uint32_t ancilla) { return round * kAncillas + ancilla; }

// Rounds of three ancillas with errors of one, two and three detectors, some across two rounds;
// error k alone flips observable k, so a prediction names the errors committed.
struct RoundsModel {
  std::vector<std::vector<uint32_t>> errors;
  std::string text;

  RoundsModel() {
    for (uint32_t r = 0; r < kRounds; ++r) {
      for (uint32_t a = 0; a < kAncillas; ++a) errors.push_back({det(r, a)});
      if (r + 1 < kRounds)
        for (uint32_t a = 0; a < kAncillas; ++a) errors.push_back({det(r, a), det(r + 1, a)});
      errors.push_back({det(r, 0), det(r, 1), det(r, 2)});
      if (r + 1 < kRounds) errors.push_back({det(r, 0), det(r + 1, 1), det(r + 1, 2)});
    }
    for (size_t k = 0; k < errors.size(); ++k) {
      text += "error(0.04)";
      for (const uint32_t d : errors[k]) text += " D" + std::to_string(d);
      text += " L" + std::to_string(k) + "\n";
    }
    for (uint32_t r = 0; r < kRounds; ++r)
      for (uint32_t a = 0; a < kAncillas; ++a)
        text += "detector(" + std::to_string(a) + ", " + std::to_string(r) + ") D" + std::to_string(det(r, a)) + "\n";
  }

  // The detectors the errors of `mask` flip, as one value per detector.
  std::vector<uint8_t> syndrome(uint64_t mask) const {
    std::vector<uint8_t> s(kRounds * kAncillas, 0);
    for (size_t k = 0; k < errors.size(); ++k)
      if (mask >> k & 1)
        for (const uint32_t d : errors[k]) s[d] ^= 1;
    return s;
  }
};

Result<WindowDecoder, DriverError> window_for(const std::string& text, std::string_view method, uint32_t commit,
                                              uint32_t buffer, const DecoderOptions& options = {},
                                              uint32_t threads = 0) {
  auto model = dem::parse_dem(text);
  EXPECT_TRUE(model.ok());
  auto layout = decode::DetectorLayout::from_coordinates(*model);
  EXPECT_TRUE(layout.ok()) << layout.error();
  auto plan = plan_window(*model, std::move(layout).value(), commit, buffer, *find_method(method), options);
  if (!plan.ok()) return fail(std::move(plan).error());
  return WindowDecoder::create(std::move(plan).value(), threads);
}

// Pushes rounds [0, rounds) of a shot; the last frame returned.
uint64_t push_rounds(WindowDecoder& w, const std::vector<uint8_t>& shot, uint32_t rounds) {
  uint64_t frame = 0;
  for (uint32_t r = 0; r < rounds; ++r) {
    auto pushed = w.push(r, std::span(shot).subspan(size_t{r} * kAncillas, kAncillas), WindowDecoder::Clock::now());
    EXPECT_TRUE(pushed.ok());
    frame = pushed->frame;
  }
  return frame;
}

struct Shape {
  uint32_t commit, buffer;
};

class ModelWindowSyndrome : public ::testing::TestWithParam<Shape> {};

// bp-osd meets every window's syndrome, so the errors the window commits explain the shot's
// events exactly; a shot ended early, the events of its rounds so far.
TEST_P(ModelWindowSyndrome, CommittedErrorsExplainTheFiredSetOnEveryShot) {
  const RoundsModel m;
  auto w = window_for(m.text, "bp-osd", GetParam().commit, GetParam().buffer);
  ASSERT_TRUE(w.ok()) << w.error().message;
  std::mt19937_64 rng(11);
  std::bernoulli_distribution occurs(0.08);
  for (int shot = 0; shot < 300; ++shot) {
    uint64_t errors = 0;
    for (size_t k = 0; k < m.errors.size(); ++k) errors |= uint64_t{occurs(rng)} << k;
    const std::vector<uint8_t> fired = m.syndrome(errors);
    EXPECT_EQ(m.syndrome(push_rounds(*w, fired, kRounds)), fired) << "shot " << shot;
    const uint32_t early = 1 + shot % (kRounds - 1);
    push_rounds(*w, fired, early);
    const auto prediction = w->finish();
    ASSERT_TRUE(prediction.has_value());
    const std::vector<uint8_t> explained = m.syndrome(*prediction);
    EXPECT_TRUE(std::equal(fired.begin(), fired.begin() + early * kAncillas, explained.begin()))
        << "shot " << shot << " ended after " << early << " rounds";
  }
  EXPECT_EQ(w->shots_decoded(), 600u);
}

INSTANTIATE_TEST_SUITE_P(Windows, ModelWindowSyndrome,
                         ::testing::Values(Shape{1, 1}, Shape{2, 1}, Shape{1, 2}, Shape{3, 3}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           return "Commit" + std::to_string(info.param.commit) + "Buffer" +
                                  std::to_string(info.param.buffer);
                         });

// Each window's model against its definition: the errors whose earliest detector is in its rounds,
// cut to them; a component wholly past the window's end is cut with its observables.
TEST(ModelWindow, AWindowHoldsTheErrorsStartingInItsRounds) {
  const RoundsModel m;
  struct Component {
    std::vector<uint32_t> detectors;
    uint8_t observable;
  };
  std::vector<std::vector<Component>> errors;
  for (size_t k = 0; k < m.errors.size(); ++k) errors.push_back({{m.errors[k], static_cast<uint8_t>(k)}});
  errors.push_back({{{det(2, 0)}, 40}, {{det(4, 1)}, 41}});
  auto w = window_for(m.text + "error(0.04) D6 L40 ^ D13 L41\n", "relay-bp", 1, 2);
  ASSERT_TRUE(w.ok()) << w.error().message;
  const ModelWindowPlan& plan = *w->plan().model;
  ASSERT_EQ(plan.windows().size(), 3u);
  for (const ModelWindowPlan::Window& at : plan.windows()) {
    ModelWindowPlan::Window window;
    const dem::DetectorErrorModel sub = plan.window_model(at.first, at.end, window);
    size_t record = 0;
    for (size_t k = 0; k < errors.size(); ++k) {
      std::vector<uint32_t> inside;
      std::vector<uint8_t> observables;
      uint32_t earliest = kRounds;
      for (const Component& c : errors[k]) {
        bool kept = false;
        for (const uint32_t d : c.detectors) {
          earliest = std::min(earliest, d / kAncillas);
          if (d / kAncillas >= at.end) continue;
          kept = true;
          inside.push_back(static_cast<uint32_t>(std::find(window.detectors.begin(), window.detectors.end(), d) -
                                                 window.detectors.begin()));
        }
        if (kept) observables.push_back(c.observable);
      }
      if (earliest < at.first || earliest >= at.end) continue;
      ASSERT_LT(record, sub.error_count()) << "window " << at.first;
      const auto e = sub.error(record);
      EXPECT_EQ(std::vector<uint32_t>(e.detectors.begin(), e.detectors.end()), inside) << "error " << k;
      EXPECT_EQ(std::vector<uint8_t>(e.observables.begin(), e.observables.end()), observables) << "error " << k;
      ++record;
    }
    EXPECT_EQ(record, sub.error_count()) << "window " << at.first;
  }
}

// A window of the whole shot is the whole-shot decoder, shot for shot.
TEST(ModelWindow, AWindowOfTheWholeShotDecodesAsTheShot) {
  const RoundsModel m;
  auto model = dem::parse_dem(m.text);
  ASSERT_TRUE(model.ok());
  for (const std::string_view method : {"bp-osd", "relay-bp"}) {
    auto w = window_for(m.text, method, kRounds, 1);
    ASSERT_TRUE(w.ok()) << w.error().message;
    auto whole = make_decoder(*model, method);
    ASSERT_TRUE(whole.ok());
    std::mt19937_64 rng(5);
    std::bernoulli_distribution fires(0.2);
    for (int shot = 0; shot < 200; ++shot) {
      std::vector<uint8_t> events(kRounds * kAncillas);
      std::vector<uint32_t> fired;
      for (uint32_t d = 0; d < events.size(); ++d)
        if ((events[d] = fires(rng))) fired.push_back(d);
      EXPECT_EQ(push_rounds(*w, events, kRounds), *whole.value().decoder->decode(fired)) << method << " " << shot;
    }
  }
}

TEST(ModelWindow, RefusesWhatItCannotCommit) {
  const RoundsModel m;
  DecoderOptions misspelt;
  misspelt.set("osd_ordr", int64_t{2});
  struct Case {
    std::string text;
    std::string_view method;
    uint32_t commit, buffer, threads;
    const DecoderOptions* options;
    std::string message;
  };
  const DecoderOptions none;
  const std::string long_error = m.text + "error(0.01) D0 D7\n";
  for (const Case& c : {
           Case{long_error, "bp-osd", 2, 1, 0, &none,
                "buffer_rounds (1) must be at least the longest time span of an error in the model (2 rounds)"},
           Case{m.text, "relay-bp", 0, 1, 0, &none, "commit_rounds must be at least 1"},
           Case{m.text, "union-find", 1, 1, 0, &none,
                "the sliding window cannot decode with 'union-find': it takes 'matching', "},
           Case{m.text, "bp-osd", 1, 1, 2, &none,
                "the sliding window decodes with 'bp-osd' one window after another: threads must be 0"},
           Case{m.text, "bp-osd", 1, 1, 0, &misspelt, "unknown option 'osd_ordr'"},
           Case{m.text, "mobius", 1, 1, 0, &none, "the window of rounds 0 to 1: "},
       }) {
    auto w = window_for(c.text, c.method, c.commit, c.buffer, *c.options, c.threads);
    ASSERT_FALSE(w.ok()) << c.method;
    EXPECT_NE(w.error().message.find(c.message), std::string::npos) << w.error().message;
  }
}

}  // namespace
}  // namespace ostrel::driver
