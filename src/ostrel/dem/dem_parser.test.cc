#include "ostrel/dem/dem_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "ostrel/util/test_names.h"

namespace ostrel::dem {
namespace {

// A distance-3, 4-round repetition code memory experiment (circuit noise 0.01), as written by
// Stim: a repeat block with detector and coordinate shifts. Stim reports 10 detectors,
// 1 observable and 36 errors.
constexpr std::string_view kRepetitionCode = R"(error(0.002673815958446297981) D0
error(0.002673815958446297981) D0 D1
error(0.005333333333333313206) D0 D2
error(0.005333333333333313206) D0 D3
error(0.005333333333333313206) D1 D3
error(0.002673815958446297981) D1 L0
error(0.002673815958446297981) D2
error(0.002673815958446297981) D2 D3
error(0.002673815958446297981) D3 L0
detector(1, 0) D0
detector(3, 0) D1
repeat 2 {
    error(0.002673815958446297981) D2
    error(0.002673815958446297981) D2 D3
    error(0.005333333333333313206) D2 D4
    error(0.005333333333333313206) D2 D5
    error(0.005333333333333313206) D3 D5
    error(0.002673815958446297981) D3 L0
    error(0.002673815958446297981) D4
    error(0.002673815958446297981) D4 D5
    error(0.002673815958446297981) D5 L0
    shift_detectors(0, 1) 0
    detector(1, 0) D2
    detector(3, 0) D3
    shift_detectors 2
}
error(0.002673815958446297981) D2
error(0.002673815958446297981) D2 D3
error(0.005333333333333313206) D2 D4
error(0.005333333333333313206) D2 D5
error(0.005333333333333313206) D3 D5
error(0.002673815958446297981) D3 L0
error(0.002673815958446297981) D4
error(0.002673815958446297981) D4 D5
error(0.002673815958446297981) D5 L0
shift_detectors(0, 1) 0
detector(1, 0) D2
detector(3, 0) D3
detector(1, 1) D4
detector(3, 1) D5
)";

// The same model as Stim's flattened() writes it: no repeat block, no shifts.
constexpr std::string_view kRepetitionCodeFlat = R"(error(0.002673815958446297981) D0
error(0.002673815958446297981) D0 D1
error(0.005333333333333313206) D0 D2
error(0.005333333333333313206) D0 D3
error(0.005333333333333313206) D1 D3
error(0.002673815958446297981) D1 L0
error(0.002673815958446297981) D2
error(0.002673815958446297981) D2 D3
error(0.002673815958446297981) D3 L0
detector(1, 0) D0
detector(3, 0) D1
error(0.002673815958446297981) D2
error(0.002673815958446297981) D2 D3
error(0.005333333333333313206) D2 D4
error(0.005333333333333313206) D2 D5
error(0.005333333333333313206) D3 D5
error(0.002673815958446297981) D3 L0
error(0.002673815958446297981) D4
error(0.002673815958446297981) D4 D5
error(0.002673815958446297981) D5 L0
detector(1, 1) D2
detector(3, 1) D3
error(0.002673815958446297981) D4
error(0.002673815958446297981) D4 D5
error(0.005333333333333313206) D4 D6
error(0.005333333333333313206) D4 D7
error(0.005333333333333313206) D5 D7
error(0.002673815958446297981) D5 L0
error(0.002673815958446297981) D6
error(0.002673815958446297981) D6 D7
error(0.002673815958446297981) D7 L0
detector(1, 2) D4
detector(3, 2) D5
error(0.002673815958446297981) D6
error(0.002673815958446297981) D6 D7
error(0.005333333333333313206) D6 D8
error(0.005333333333333313206) D6 D9
error(0.005333333333333313206) D7 D9
error(0.002673815958446297981) D7 L0
error(0.002673815958446297981) D8
error(0.002673815958446297981) D8 D9
error(0.002673815958446297981) D9 L0
detector(1, 3) D6
detector(3, 3) D7
detector(1, 4) D8
detector(3, 4) D9
)";

using ErrorTuple = std::tuple<std::vector<uint32_t>, std::vector<uint8_t>, double>;
using Coords = std::array<double, 3>;

std::vector<ErrorTuple> errors_of(const DetectorErrorModel& m) {
  std::vector<ErrorTuple> out;
  for (size_t i = 0; i < m.error_count(); ++i) {
    const DemError e = m.error(i);
    out.emplace_back(std::vector<uint32_t>(e.detectors.begin(), e.detectors.end()),
                     std::vector<uint8_t>(e.observables.begin(), e.observables.end()), e.probability);
  }
  return out;
}

std::vector<std::tuple<uint32_t, std::optional<Coords>>> detectors_of(const DetectorErrorModel& m) {
  std::vector<std::tuple<uint32_t, std::optional<Coords>>> out;
  for (const DemDetector& d : m.detectors) out.emplace_back(d.id, d.coords);
  return out;
}

DetectorErrorModel parse_ok(std::string_view text) {
  auto r = parse_dem(text);
  EXPECT_TRUE(r.ok()) << "text: " << text << "\nerror: " << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(r).value() : DetectorErrorModel{};
}

TEST(ParseDem, StimRepeatBlockMatchesItsFlattenedForm) {
  const DetectorErrorModel folded = parse_ok(kRepetitionCode);
  const DetectorErrorModel flat = parse_ok(kRepetitionCodeFlat);
  EXPECT_EQ(folded.error_count(), 36u);
  EXPECT_EQ(folded.detector_count, 10u);
  EXPECT_EQ(folded.observable_count, 1u);
  EXPECT_EQ(errors_of(folded), errors_of(flat));
  EXPECT_EQ(detectors_of(folded), detectors_of(flat));
  ASSERT_EQ(folded.detectors.size(), 10u);
  for (uint32_t i = 0; i < 10; ++i) {  // Stim: D(2k) at (1, k), D(2k+1) at (3, k)
    EXPECT_EQ(folded.detectors[i].id, i);
    EXPECT_EQ(folded.detectors[i].coords, (Coords{i % 2 ? 3.0 : 1.0, double(i / 2), 0.0}));
  }
  EXPECT_EQ(std::get<2>(errors_of(folded)[0]), 0.002673815958446297981);
}

// A nested block reads as its body written out in full, shifts and declarations included; the
// inner "} #c" line is a body line, not the inner block's end.
TEST(ParseDem, NestedRepeatBlocksMatchTheirFlattenedForm) {
  const std::string nested =
      "error(0.1) D0\nrepeat 2 {\n  error(0.2) D0 D1\n  repeat 3 {\n    error(0.3) D1 L0\n    } #c\n"
      "    detector(0, 1) D1\n    shift_detectors(0, 1) 1\n  }\n  error(0.4) D1 D2 ^ D3\n"
      "  shift_detectors 2\n}\nerror(0.5) D2";
  std::string flat = "error(0.1) D0\n";
  for (int outer = 0; outer < 2; ++outer) {
    flat += "error(0.2) D0 D1\n";
    for (int inner = 0; inner < 3; ++inner) flat += "error(0.3) D1 L0\ndetector(0, 1) D1\nshift_detectors(0, 1) 1\n";
    flat += "error(0.4) D1 D2 ^ D3\nshift_detectors 2\n";
  }
  flat += "error(0.5) D2";
  const DetectorErrorModel a = parse_ok(nested);
  const DetectorErrorModel b = parse_ok(flat);
  EXPECT_EQ(a.error_count(), 1u + 2 * 5 + 1);
  EXPECT_EQ(errors_of(a), errors_of(b));
  EXPECT_EQ(detectors_of(a), detectors_of(b));
  EXPECT_EQ(a.component_breaks.size(), b.component_breaks.size());
  EXPECT_EQ(a.detector_count, b.detector_count);
  // Unclosed inner blocks, and inner ones too large to write out, are refused.
  EXPECT_EQ(parse_dem("repeat 2 {\nrepeat 3 {\nerror(0.1) D0\n}").error().kind, DemParseErrorKind::UnterminatedRepeat);
  EXPECT_EQ(parse_dem("repeat 2 {\nrepeat 99999999999 {\nerror(0.1) D0\n}\n}").error().kind,
            DemParseErrorKind::ModelTooLarge);
  // Blocks of shifts alone nested deep would take forever: the written-out text is bounded.
  std::string deep = "shift_detectors 1\n";
  for (int k = 0; k < 40; ++k) deep = "repeat 4 {\n" + deep + "}\n";
  EXPECT_EQ(parse_dem("repeat 2 {\n" + deep + "}").error().kind, DemParseErrorKind::ModelTooLarge);
}

struct CountCase {
  std::string text;
  size_t errors;
  uint64_t detector_count;
  uint64_t observable_count;
  size_t declarations;
};

void PrintTo(const CountCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

// "3_error_abc_D0" for the fourth case, error(abc) D0.
template <class Case>
std::string text_case_name(const testing::TestParamInfo<Case>& info) {
  return test_names::case_name(info.index, info.param.text);
}


class ParseDemCounts : public testing::TestWithParam<CountCase> {};

TEST_P(ParseDemCounts, Counts) {
  const CountCase& c = GetParam();
  const DetectorErrorModel m = parse_ok(c.text);
  EXPECT_EQ(m.error_count(), c.errors);
  EXPECT_EQ(m.detector_count, c.detector_count);
  EXPECT_EQ(m.observable_count, c.observable_count);
  EXPECT_EQ(m.detectors.size(), c.declarations);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseDemCounts,
    testing::Values(
        CountCase{"", 0, 0, 0, 0}, CountCase{"# only a comment\n\n  \t \n", 0, 0, 0, 0},
        CountCase{"error(0.1) D0 D1 L0", 1, 2, 1, 0}, CountCase{"detector D9", 0, 10, 0, 1},
        CountCase{"logical_observable L5", 0, 0, 6, 0}, CountCase{"logical_observable L300", 0, 0, 0, 0},
        CountCase{"error(0.1) D4294967295", 1, 4294967296, 0, 0},
        // Unknown instructions, stray braces and "#" inside a line are skipped; tagged ones count.
        CountCase{"error[tag](0.1) D5\nfoo D7\n}\nlogical_observable # L3\nerrorD1", 1, 6, 4, 0},
        CountCase{"repeat 3 {\nerror(0.1) D0\n}", 3, 1, 0, 0},
        CountCase{"repeat 0 {\nerror(0.1) D0\ndetector D2\n}", 0, 3, 0, 1},
        CountCase{"repeat 4 {\n  error(0.1) D0 D5\n}", 4, 6, 0, 0},
        CountCase{"repeat 2 {\nlogical_observable L4\n}", 0, 0, 0, 0},
        CountCase{"repeat 2 {\nerror(0.1) L4\n}", 2, 0, 5, 0},
        // "} # c" is a body line; the block runs to the next exact "}".
        CountCase{"repeat 2 {\nerror(0.1) D0\n} # c\nerror(0.2) D1\n}\nerror(0.3) D2", 5, 3, 0, 0},
        CountCase{"  error(0.1) D0\r\n\tdetector(1,2,3) D1\r\n", 1, 2, 0, 1},
        CountCase{"\xC2\xA0" "error(0.1)\xE3\x80\x80" "D0\xE2\x80\xA8" "D1\xC2\x85", 1, 2, 0, 0},
        // A declaration shifted out of range takes its next token that still fits.
        CountCase{"repeat 2 {\ndetector D4294967295 D3\nshift_detectors 1\n}", 0, 4294967296, 0, 2},
        // Repeated declarations without a shift collapse into one, whatever the count.
        CountCase{"repeat 18446744073709551615 {\ndetector(0, 0) D0\nshift_detectors(1) 0\n}", 0, 1, 0, 1}),
    text_case_name<CountCase>);

struct FailureCase {
  std::string text;
  DemParseErrorKind kind;
  std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ParseDemFailures : public testing::TestWithParam<FailureCase> {};

TEST_P(ParseDemFailures, Message) {
  const FailureCase& c = GetParam();
  const auto r = parse_dem(c.text);
  ASSERT_FALSE(r.ok()) << c.text;
  EXPECT_EQ(r.error().kind, c.kind) << c.text;
  EXPECT_EQ(r.error().message(), c.message) << c.text;
}

using K = DemParseErrorKind;
INSTANTIATE_TEST_SUITE_P(
    Texts, ParseDemFailures,
    testing::Values(
        FailureCase{"error(0.1) X1", K::MalformedTarget, "malformed target 'X1'"},
        FailureCase{"error(0.1) D0 #c", K::MalformedTarget, "malformed target '#c'"},
        FailureCase{"error(0.1) L256", K::MalformedTarget, "malformed target 'L256'"},
        FailureCase{"error(0.1) D-1", K::MalformedTarget, "malformed target 'D-1'"},
        FailureCase{"error(0.1) D+", K::MalformedTarget, "malformed target 'D+'"},
        FailureCase{"error(0.1) D", K::MalformedTarget, "malformed target 'D'"},
        FailureCase{"error(0.1) D1a", K::MalformedTarget, "malformed target 'D1a'"},
        FailureCase{"error(0.1) D4294967296", K::MalformedTarget, "malformed target 'D4294967296'"},
        FailureCase{"error(abc) D0", K::InvalidProbability, "invalid probability 'abc' in error instruction"},
        FailureCase{"error( 0.5x ) D0", K::InvalidProbability, "invalid probability ' 0.5x ' in error instruction"},
        FailureCase{"error(0.5 D0", K::InvalidProbability, "invalid probability 'error(0.5 D0' in error instruction"},
        FailureCase{"error() D0", K::InvalidProbability, "invalid probability '' in error instruction"},
        FailureCase{"detector(1,2,3)", K::MalformedTarget, "malformed target 'detector(1,2,3)'"},
        FailureCase{"detector", K::MalformedTarget, "malformed target 'detector'"},
        FailureCase{"detector(1,2 D7", K::MalformedDetectorCoords, "malformed detector coords 'detector(1,2 D7'"},
        FailureCase{"detector)1( D7", K::MalformedDetectorCoords, "malformed detector coords 'detector)1( D7'"},
        FailureCase{"repeat x {\n}", K::InvalidRepeatCount, "invalid repeat count 'x'"},
        FailureCase{"repeat -1 {\n}", K::InvalidRepeatCount, "invalid repeat count '-1'"},
        FailureCase{"repeat 3{\n}", K::InvalidRepeatCount, "invalid repeat count '3{'"},
        FailureCase{"repeat 18446744073709551616 {\n}", K::InvalidRepeatCount,
                    "invalid repeat count '18446744073709551616'"},
        FailureCase{"repeat 2 {\nerror(0.1) D0", K::UnterminatedRepeat, "unterminated repeat block"},
        FailureCase{"repeat 2 {\nerror(0.1) D0\n} #", K::UnterminatedRepeat, "unterminated repeat block"},
        FailureCase{"repeat 2 {\nrepeat 2 {\nerror(0.1) D0\n}\n} #", K::UnterminatedRepeat,
                    "unterminated repeat block"},
        // An unterminated block is reported as such even when its body is broken too.
        FailureCase{"repeat 2 {\nerror(bad) D0\n", K::UnterminatedRepeat, "unterminated repeat block"},
        FailureCase{"repeat 2 {\nerror(bad) D0\n}", K::InvalidProbability,
                    "invalid probability 'bad' in error instruction"},
        FailureCase{"repeat 2 {\nrepeat x {\n}", K::InvalidRepeatCount, "invalid repeat count 'x'"},
        // shift_detectors takes one unsigned count, optional numeric arguments and an optional tag.
        FailureCase{"shift_detectors", K::MalformedTarget, "malformed target 'shift_detectors'"},
        FailureCase{"shift_detectors -1", K::MalformedTarget, "malformed target 'shift_detectors -1'"},
        FailureCase{"shift_detectors +1", K::MalformedTarget, "malformed target 'shift_detectors +1'"},
        FailureCase{"shift_detectors 1 2", K::MalformedTarget, "malformed target 'shift_detectors 1 2'"},
        FailureCase{"shift_detectors D1", K::MalformedTarget, "malformed target 'shift_detectors D1'"},
        FailureCase{"shift_detectors(a) 1", K::MalformedTarget, "malformed target 'shift_detectors(a) 1'"},
        FailureCase{"shift_detectors(1,,2) 1", K::MalformedTarget, "malformed target 'shift_detectors(1,,2) 1'"},
        FailureCase{"shift_detectors(1 2", K::MalformedTarget, "malformed target 'shift_detectors(1 2'"},
        // A tag needs its closing bracket, on every instruction the reader knows.
        FailureCase{"shift_detectors[t 1", K::UnterminatedTag, "unterminated tag in 'shift_detectors[t 1'"},
        FailureCase{"error[leak(0.1) D0", K::UnterminatedTag, "unterminated tag in 'error[leak(0.1) D0'"},
        FailureCase{"detector[a(1) D0", K::UnterminatedTag, "unterminated tag in 'detector[a(1) D0'"},
        FailureCase{"logical_observable[ L0", K::UnterminatedTag, "unterminated tag in 'logical_observable[ L0'"},
        FailureCase{"repeat[r 2 {\nerror(0.1) D0\n}", K::UnterminatedTag, "unterminated tag in 'repeat[r 2 {'"},
        FailureCase{"shift_detectors 18446744073709551616", K::MalformedTarget,
                    "malformed target 'shift_detectors 18446744073709551616'"},
        // Shifted indices must still fit in 32 bits, in every repetition.
        FailureCase{"shift_detectors 4294967295\nerror(0.1) D1", K::MalformedTarget, "malformed target 'D1'"},
        FailureCase{"shift_detectors 4294967295\ndetector D1", K::MalformedTarget,
                    "malformed target 'detector D1'"},
        FailureCase{"repeat 3 {\nerror(0.2) L0\nerror(0.1) L0 ^ D+1 D0\nshift_detectors 2147483648\n}",
                    K::MalformedTarget, "malformed target 'D+1'"},
        FailureCase{"repeat 18446744073709551615 {\nshift_detectors 1\n}\nerror(0.1) D0", K::MalformedTarget,
                    "malformed target 'D0'"},
        // Expansion is bounded before anything is copied.
        FailureCase{"repeat 16777216 {\nerror(0.1) D0\nerror(0.1) D1\n}", K::ModelTooLarge,
                    "detector error model too large: more than 16777216 errors"},
        FailureCase{"repeat 18446744073709551615 {\nerror(0.1)\n}", K::ModelTooLarge,
                    "detector error model too large: more than 16777216 errors"},
        FailureCase{"repeat 10000000 {\nerror(0.1) D0 D1 D2 D3 D4 D5 D6 L0\n}", K::ModelTooLarge,
                    "detector error model too large: more than 67108864 error targets"},
        FailureCase{"repeat 8388609 {\ndetector D0\nshift_detectors 1\n}", K::ModelTooLarge,
                    "detector error model too large: more than 8388608 detector declarations"},
        // A declaration whose taken index leaves the range falls back to a later, smaller one.
        FailureCase{"repeat 3 {\ndetector D2147483648 D9 D-1\nshift_detectors 2147483647\n}", K::MalformedTarget,
                    "malformed target 'detector D2147483648 D9 D-1'"}),
    text_case_name<FailureCase>);

TEST(ParseDem, ErrorTargetsAndProbabilities) {
  const DetectorErrorModel m = parse_ok(
      "error(0.1) L0 D3 ^ D4\n"
      "error( 0.5 )D+5 D007 D5 L255 L0\n"
      "error(2.0)\n"
      "error(0)\n"
      "error(-INF) D1\n"
      "error(+.5e1)\n"
      "error(1e400)\n"
      "error(1e-400)\n"
      "error(4.9e-324)\n"
      "error(Infinity)\n"
      "error(0.0e999999999999)\n"
      "error(-1" + std::string(400, '0') + ")\n"
      "error(0.000" + std::string(400, '0') + "1)\n");
  const std::vector<ErrorTuple> expected{
      {{3, 4}, {0}, 0.1},      {{5, 7, 5}, {255, 0}, 0.5}, {{}, {}, 2.0},      {{}, {}, 0.0},
      {{1}, {}, -INFINITY},    {{}, {}, 5.0},              {{}, {}, INFINITY}, {{}, {}, 0.0},
      {{}, {}, 4.9e-324},      {{}, {}, INFINITY},         {{}, {}, 0.0},      {{}, {}, -INFINITY},
      {{}, {}, 0.0}};
  EXPECT_EQ(errors_of(m), expected);
  EXPECT_EQ(m.detector_count, 8u);
  EXPECT_EQ(m.observable_count, 256u);
  EXPECT_TRUE(std::isnan(parse_ok("error(NaN) D0").error(0).probability));
}

TEST(ParseDem, ProbabilitySyntaxOutsideTheGrammarIsRefused) {
  for (const char* p : {"0x10", "1e", "1e+", ".", "+-1", "1_0", "infinit", "nan(1", "1.5.2", "--1", "e5", "1 2"}) {
    const auto r = parse_dem(std::string("error(") + p + ") D0");
    ASSERT_FALSE(r.ok()) << p;
    EXPECT_EQ(r.error().kind, K::InvalidProbability) << p;
  }
}

TEST(ParseDem, DetectorDeclarations) {
  const DetectorErrorModel m = parse_ok(
      "detector(1, 2, 3) D7\n"
      "detector(1,x) D6\n"
      "detector D5\n"
      "detector(1,2,3) D4 D8\n"
      "detector() D3\n"
      "detector(1,2,3,4) D2\n"
      "detector(9) D7\n"  // already declared: the first coordinates stay
      "detector(1) X D-1 D1\n");
  const std::vector<std::tuple<uint32_t, std::optional<Coords>>> expected{
      {7, Coords{1, 2, 3}}, {6, Coords{1, 0, 0}}, {5, std::nullopt}, {4, Coords{1, 2, 3}},
      {3, Coords{0, 0, 0}}, {2, Coords{1, 2, 3}}, {1, Coords{1, 0, 0}}};
  EXPECT_EQ(detectors_of(m), expected);
  EXPECT_EQ(m.detector_count, 8u);
}

TEST(ParseDem, KeepsTheFourthCoordinateShifted) {
  const DetectorErrorModel m = parse_ok(
      "detector(1, 2, 3, 4) D0\n"
      "shift_detectors(0, 0, 1, 2) 1\n"
      "repeat 2 {\n detector(0, 0, 0, -1) D0\n shift_detectors(0, 0, 1, 0.5) 1\n}\n"
      "detector(5, 6, 7) D0\n");
  std::vector<std::optional<double>> fourth;
  for (const DemDetector& d : m.detectors) fourth.push_back(d.fourth_coord);
  EXPECT_EQ(fourth, (std::vector<std::optional<double>>{4.0, 1.0, 1.5, std::nullopt}));
  EXPECT_EQ(m.detectors[2].coords, (Coords{0, 0, 2}));
  EXPECT_EQ(m.detectors[2].coord_count, 3u);
}

TEST(ParseDem, ShiftsMoveLaterTargetsAndWrittenCoordinates) {
  DetectorErrorModel m = parse_ok("shift_detectors 5\nerror(0.1) D0\nshift_detectors 007\nerror(0.1) D0");
  EXPECT_EQ(errors_of(m), (std::vector<ErrorTuple>{{{5}, {}, 0.1}, {{12}, {}, 0.1}}));
  EXPECT_EQ(m.detector_count, 13u);

  // Only the coordinates a declaration writes are shifted; extra shift arguments are ignored.
  m = parse_ok(
      "shift_detectors(1, 2, 3, 4) 0\n"
      "detector(0, 0) D0\n"
      "detector(0, 0, 0, 0, 0) D1\n"
      "detector D2\n"
      "shift_detectors[tag](10) 2\n"
      "detector() D3\n"
      "detector(-0.5) D4\n"
      "shift_detectors() 1\n"
      "detector(0,0,0) D4");
  const std::vector<std::tuple<uint32_t, std::optional<Coords>>> expected{
      {0, Coords{1, 2, 0}}, {1, Coords{1, 2, 3}}, {2, std::nullopt}, {5, Coords{0, 0, 0}},
      {6, Coords{10.5, 0, 0}}, {7, Coords{11, 2, 3}}};
  EXPECT_EQ(detectors_of(m), expected);
}

TEST(ParseDem, RepetitionsAccumulateTheirShifts) {
  const DetectorErrorModel m = parse_ok(
      "repeat 3 {\n"
      " error(0.1) D0 L1\n"
      " shift_detectors(0, 0, 1) 2\n"
      " detector(1, 1, 0) D1\n"
      "}\n"
      "error(0.2) D0\n"
      "detector(0, 0, 0) D0");
  EXPECT_EQ(errors_of(m), (std::vector<ErrorTuple>{
                              {{0}, {1}, 0.1}, {{2}, {1}, 0.1}, {{4}, {1}, 0.1}, {{6}, {}, 0.2}}));
  const std::vector<std::tuple<uint32_t, std::optional<Coords>>> expected{
      {3, Coords{1, 1, 1}}, {5, Coords{1, 1, 2}}, {7, Coords{1, 1, 3}}, {6, Coords{0, 0, 3}}};
  EXPECT_EQ(detectors_of(m), expected);
  EXPECT_EQ(m.detector_count, 8u);
  EXPECT_EQ(m.observable_count, 2u);
}

TEST(ParseDem, ZeroRepetitionsKeepTheOffsetButCountTheBody) {
  const DetectorErrorModel m = parse_ok("repeat 0 {\nshift_detectors 3\nerror(0.1) D1\n}\nerror(0.1) D0");
  EXPECT_EQ(errors_of(m), (std::vector<ErrorTuple>{{{0}, {}, 0.1}}));
  EXPECT_EQ(m.detector_count, 5u);  // the body's D1 under its shift of 3
}

TEST(ParseDem, ModelSurvivesCopying) {
  DetectorErrorModel copy;
  {
    const DetectorErrorModel original = parse_ok(kRepetitionCode);
    copy = original;
  }
  EXPECT_EQ(errors_of(copy), errors_of(parse_ok(kRepetitionCodeFlat)));
}

// Every text is accepted or refused without harm; an accepted model is self-consistent.
TEST(ParseDem, MutatedTextsParseOrFailCleanly) {
  const std::string pieces[] = {"error(", ")", "(", "0.1", "D", "L", "^", " ", "\n", "}", "repeat 3 {\n",
                                "shift_detectors", "detector", "logical_observable", "#", "9", ",",
                                "4294967295", "\xE2\x80", "\xC2\xA0", "\r", "+", "-", "e"};
  std::mt19937 rng(12345);
  std::string base(kRepetitionCode);
  for (int round = 0; round < 3000; ++round) {
    std::string text = base;
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits; ++e) {
      const size_t at = rng() % (text.size() + 1);
      if (rng() % 2) {
        text.insert(at, pieces[rng() % std::size(pieces)]);
      } else {
        text.erase(at, rng() % 8);
      }
    }
    const auto r = parse_dem(text);
    if (!r.ok()) {
      EXPECT_FALSE(r.error().message().empty());
      continue;
    }
    const DetectorErrorModel& m = r.value();
    std::set<uint32_t> ids;
    for (const DemDetector& d : m.detectors) {
      EXPECT_TRUE(ids.insert(d.id).second);
      EXPECT_LT(d.id, m.detector_count);
    }
    for (size_t i = 0; i < m.error_count(); ++i) {
      for (const uint32_t d : m.error(i).detectors) EXPECT_LT(d, m.detector_count);
      for (const uint8_t o : m.error(i).observables) EXPECT_LT(o, m.observable_count);
    }
  }
}

}  // namespace
}  // namespace ostrel::dem
