#include "ostrel/decode/mobius/mobius_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "ostrel/decode/matching/edge_weights.h"
#include "ostrel/decode/mobius/detector_colours.h"
#include "ostrel/decode/mobius/test_colour_codes.h"
#include "ostrel/dem/dem_parser.h"

namespace ostrel::decode::mobius {
namespace {

dem::DetectorErrorModel parse(const char* text) {
  auto model = dem::parse_dem(text);
  EXPECT_TRUE(model.ok());
  return std::move(model).value();
}

// The marked detectors a set of the model's errors flips, ascending.
std::vector<uint32_t> syndrome_of_errors(const dem::DetectorErrorModel& m, std::span<const uint8_t> marks,
                                         std::span<const uint32_t> errors) {
  std::vector<uint8_t> parity(m.detector_count, 0);
  for (uint32_t e : errors)
    for (uint32_t d : m.error(e).detectors) parity[d] ^= 1;
  std::vector<uint32_t> out;
  for (uint32_t d = 0; d < m.detector_count; ++d)
    if (parity[d] && marks[d] != kIgnored) out.push_back(d);
  return out;
}

uint64_t observables_of_errors(const dem::DetectorErrorModel& m, std::span<const uint32_t> errors) {
  uint64_t mask = 0;
  for (uint32_t e : errors)
    for (uint8_t o : m.error(e).observables) mask ^= uint64_t{1} << o;
  return mask;
}

std::vector<uint32_t> syndrome_of_atoms(const AtomModel& atoms, std::span<const uint32_t> chosen) {
  std::map<uint32_t, int> parity;
  for (uint32_t a : chosen)
    for (uint32_t d : atoms.atoms[a].view()) parity[d] ^= 1;
  std::vector<uint32_t> out;
  for (auto [d, p] : parity)
    if (p) out.push_back(d);
  return out;
}

double weight_of_atoms(const MobiusDecoder& dec, std::span<const uint32_t> chosen) {
  double w = 0;
  for (uint32_t a : chosen) w += dec.lifted().atom_weight[a];
  return w;
}

// Minimum-weight explanations by atoms, over every set of at most two atoms.
struct Exhaustive {
  struct Best {
    double weight;
    uint64_t observables;
  };
  std::map<std::vector<uint32_t>, Best> best;

  explicit Exhaustive(const MobiusDecoder& dec) {
    const AtomModel& atoms = dec.atoms();
    const uint32_t n = static_cast<uint32_t>(atoms.atoms.size());
    auto offer = [&](std::vector<uint32_t> chosen) {
      const std::vector<uint32_t> s = syndrome_of_atoms(atoms, chosen);
      uint64_t obs = 0;
      for (uint32_t a : chosen) obs ^= atoms.atoms[a].observables;
      const double w = weight_of_atoms(dec, chosen);
      auto [it, fresh] = best.try_emplace(s, Best{w, obs});
      if (!fresh && w < it->second.weight) it->second = {w, obs};
    };
    offer({});
    for (uint32_t a = 0; a < n; ++a) {
      offer({a});
      for (uint32_t b = a + 1; b < n; ++b) offer({a, b});
    }
  }
};

constexpr double kTolerance = 1e-3;  // the matcher's rounding over a handful of edges

struct ModelCase {
  const char* name;
  const char* text;
  bool distance_kept;
  bool reprice = false;
};

class MobiusOnDistanceThree : public testing::TestWithParam<ModelCase> {};

// Every single error of a distance-3 code is decoded as the exhaustive minimum-weight decoder
// decodes it (to its own observables where noise keeps the distance); every pair of errors gets
// a correction whose syndrome is the fired set, mostly the exhaustive one's.
TEST_P(MobiusOnDistanceThree, AgreesWithExhaustiveDecoding) {
  const dem::DetectorErrorModel model = parse(GetParam().text);
  auto made = MobiusDecoder::create(model, {.reprice_pieces = GetParam().reprice});
  ASSERT_TRUE(made.ok()) << made.error();
  MobiusDecoder& dec = made.value();
  const Exhaustive exhaustive(dec);
  const uint32_t n = static_cast<uint32_t>(model.error_count());

  uint32_t pairs = 0, pairs_agreeing = 0, clean = 0, shots = 0;
  for (uint32_t i = 0; i < n; ++i) {
    for (uint32_t j = i; j < n; ++j) {
      std::vector<uint32_t> errors{i};
      if (j != i) errors.push_back(j);
      const std::vector<uint32_t> fired = syndrome_of_errors(model, dec.marks(), errors);
      const uint64_t mask = dec.decode(fired);
      std::vector<uint32_t> correction(dec.correction().begin(), dec.correction().end());
      ASSERT_TRUE(dec.explained()) << "errors " << i << ", " << j;
      ASSERT_EQ(syndrome_of_atoms(dec.atoms(), correction), fired) << "errors " << i << ", " << j;
      const double weight = weight_of_atoms(dec, correction);
      // The correction's atoms' edges explain the lifted shot, so the (minimum) matching never
      // outweighs them; a matching that is exactly those edges weighs what they weigh.
      std::vector<uint32_t> edges_of_correction, matched(dec.matched_edges().begin(), dec.matched_edges().end());
      double edge_weight = 0;
      for (uint32_t a : correction)
        for (uint32_t k = 0; k < dec.lifted().atom_edge_count[a]; ++k) {
          const uint32_t e = dec.lifted().atom_edges[3 * a + k];
          edges_of_correction.push_back(e);
          edge_weight += matching::fine_weight(dec.lifted().graph->edges[e]) / matching::kFineScale;
        }
      ASSERT_LE(dec.matching_weight(), edge_weight + kTolerance);
      std::sort(edges_of_correction.begin(), edges_of_correction.end());
      std::sort(matched.begin(), matched.end());
      if (edges_of_correction == matched) {
        ++clean;
        ASSERT_NEAR(dec.matching_weight(), edge_weight, kTolerance);
      }
      ++shots;
      const auto best = exhaustive.best.find(fired);
      if (j == i) {
        ASSERT_NE(best, exhaustive.best.end());
        EXPECT_NEAR(weight, best->second.weight, kTolerance) << "error " << i;
        EXPECT_EQ(mask, best->second.observables) << "error " << i;
        // Phenomenological noise keeps the distance: one error is always undone.
        if (GetParam().distance_kept) {
          EXPECT_EQ(mask, observables_of_errors(model, errors)) << "error " << i;
        }
      } else if (best != exhaustive.best.end()) {
        ++pairs;
        pairs_agreeing += mask == best->second.observables;
      }
    }
  }
  // The lifted matching is not minimum-weight colour-code decoding, but it is close to it.
  EXPECT_GE(pairs_agreeing, 0.9 * pairs) << pairs_agreeing << " of " << pairs;
  EXPECT_GE(clean, shots / 2) << clean << " of " << shots;
}

INSTANTIATE_TEST_SUITE_P(Models, MobiusOnDistanceThree,
                         testing::Values(ModelCase{"phenomenological", testdata::kPhenomenologicalD3, true},
                                         ModelCase{"circuit", testdata::kCircuitD3, false},
                                         ModelCase{"phenomenological_repriced", testdata::kPhenomenologicalD3, true, true},
                                         ModelCase{"circuit_repriced", testdata::kCircuitD3, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Sampled shots of many errors: the correction explains the fired set and flips the observables
// returned, the correlated variant's too, and a clone decodes alike.
TEST(MobiusDecoder, CorrectionExplainsSampledShots) {
  const dem::DetectorErrorModel model = parse(testdata::kCircuitD3);
  for (const MobiusOptions options : {MobiusOptions{}, MobiusOptions{.correlated = true},
                                     MobiusOptions{.reprice_pieces = true},
                                     MobiusOptions{.correlated = true, .reprice_pieces = true}}) {
    auto made = MobiusDecoder::create(model, options);
    ASSERT_TRUE(made.ok()) << made.error();
    MobiusDecoder& dec = made.value();
    MobiusDecoder copy(dec);
    std::mt19937_64 rng(7);
    for (int shot = 0; shot < 3000; ++shot) {
      std::vector<uint32_t> errors;
      for (uint32_t e = 0; e < model.error_count(); ++e)
        if (std::uniform_real_distribution<double>(0, 1)(rng) < 0.02) errors.push_back(e);
      const std::vector<uint32_t> fired = syndrome_of_errors(model, dec.marks(), errors);
      const uint64_t mask = dec.decode(fired);
      ASSERT_TRUE(dec.explained()) << "shot " << shot;
      std::vector<uint32_t> correction(dec.correction().begin(), dec.correction().end());
      ASSERT_EQ(syndrome_of_atoms(dec.atoms(), correction), fired) << "shot " << shot;
      uint64_t flipped = 0;
      for (uint32_t a : correction) flipped ^= dec.atoms().atoms[a].observables;
      ASSERT_EQ(flipped, mask) << "shot " << shot;
      ASSERT_EQ(copy.decode(fired), mask);
    }
  }
}

// Re-weighting in one pass, or on a model whose errors are all single atoms, is the plain decoder.
TEST(MobiusDecoder, CorrelatedWithoutRoomToReweighDecodesAsPlain) {
  const dem::DetectorErrorModel circuit = parse(testdata::kCircuitD3);
  // The phenomenological model without its errors in both bases (Y errors): no error of two atoms.
  const dem::DetectorErrorModel phenomenological = parse(testdata::kPhenomenologicalD3);
  const std::vector<uint8_t> marks = read_detector_colours(phenomenological).value();
  std::string single;
  size_t error = 0;
  for (std::string_view rest = testdata::kPhenomenologicalD3; !rest.empty();) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.starts_with("error")) {
      uint8_t bases = 0;
      for (uint32_t d : phenomenological.error(error++).detectors) bases |= uint8_t(1u << basis_of(marks[d]));
      if (bases == 3) continue;
    }
    single.append(line).append("\n");
  }
  struct Case {
    const dem::DetectorErrorModel model;
    uint32_t passes;
  };
  const Case cases[] = {{circuit, 1}, {parse(single.c_str()), 4}};
  for (const Case& c : cases) {
    auto plain = MobiusDecoder::create(c.model);
    auto correlated = MobiusDecoder::create(c.model, {.correlated = true, .max_passes = c.passes});
    ASSERT_TRUE(plain.ok() && correlated.ok());
    ASSERT_EQ(c.passes == 1, plain->atoms().composite_count() > 0);
    std::mt19937_64 rng(3);
    for (int shot = 0; shot < 500; ++shot) {
      std::vector<uint32_t> errors;
      for (uint32_t e = 0; e < c.model.error_count(); ++e)
        if (std::uniform_real_distribution<double>(0, 1)(rng) < 0.03) errors.push_back(e);
      const std::vector<uint32_t> fired = syndrome_of_errors(c.model, plain->marks(), errors);
      ASSERT_EQ(correlated->decode(fired), plain->decode(fired)) << "shot " << shot;
      ASSERT_EQ(correlated->last_passes(), 1u);
    }
  }
}

TEST(MobiusDecoder, SkipsIgnoredAndRepeatedDetectors) {
  const dem::DetectorErrorModel model = parse(
      "error(0.1) D0 D1 D2\nerror(0.1) D0 D1\nerror(0.1) D1 D2\nerror(0.1) D0 D2\nerror(0.1) D0 L0\n"
      "error(0.1) D1\nerror(0.1) D2\nerror(0.2) D3\n"
      "detector(0,0,0,0) D0\ndetector(1,0,0,1) D1\ndetector(2,0,0,2) D2\ndetector(3,0,0,-1) D3\n");
  auto made = MobiusDecoder::create(model);
  ASSERT_TRUE(made.ok()) << made.error();
  const std::vector<uint32_t> fired{0, 3, 2, 2, 9};  // D3 ignored, D2 cancels, D9 past the model
  EXPECT_EQ(made.value().decode(fired), 1u);
  EXPECT_EQ(made.value().correction().size(), 1u);
}

TEST(MobiusDecoder, RefusesModelsWithoutColours) {
  auto made = MobiusDecoder::create(parse("error(0.1) D0 D1\nerror(0.1) D1 L0\ndetector(0, 0, 0) D0\n"));
  ASSERT_FALSE(made.ok());
  EXPECT_EQ(made.error().rfind("detector D0 has no colour (and 1 more detectors): the 4th coordinate", 0), 0u)
      << made.error();
}

}  // namespace
}  // namespace ostrel::decode::mobius
