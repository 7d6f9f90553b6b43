#include "ostrel/qssf/schema.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ostrel::qssf {
namespace {

// Errors are compared field by field with the value their own constructor makes, so the tests
// hold whatever payload layout and message text the error type uses.
void expect_error(const Result<Ok, QssfError>& r, const QssfError& want) {
  ASSERT_FALSE(r.ok());
  const QssfError& got = r.error();
  EXPECT_EQ(got.kind, want.kind);
  EXPECT_EQ(got.a, want.a);
  EXPECT_EQ(got.b, want.b);
  EXPECT_EQ(got.c, want.c);
  EXPECT_EQ(got.text, want.text);
  EXPECT_EQ(got.schema_id, want.schema_id);
}

ParsedFrame frame(uint16_t ancillas, uint16_t qubits, uint8_t code_type) {
  ParsedFrame f;
  f.header.frame_id = 42;
  f.header.ancilla_count = ancillas;
  f.header.qubit_count = qubits;
  f.header.code_type = code_type;
  f.meas_results.assign(ancillas, 1);
  return f;
}

HardwareSchema schema(uint16_t ancillas, uint16_t qubits, std::string code_type) {
  HardwareSchema s;
  s.ancilla_count = ancillas;
  s.qubit_count = qubits;
  s.code_type = std::move(code_type);
  return s;
}

TEST(Schema, CodeTypeNamesMapExactly) {
  const std::pair<const char*, uint8_t> names[] = {
      {"surface", 1}, {"surface_code", 1}, {"honeycomb", 2}, {"honeycomb_code", 2},
      {"color", 3}, {"color_code", 3}, {"repetition", 4}, {"repetition_code", 4},
      {"toric", 5}, {"toric_code", 5}, {"bivariate_bicycle", 6}, {"hypergraph_product", 7},
      {"fiber_bundle", 8}, {"custom", 255}};
  for (const auto& [name, discriminant] : names) EXPECT_EQ(code_type_from_name(name), discriminant) << name;
  for (const char* name : {"", "Custom", "SURFACE", "surface ", "surfacecode", "bivariate"})
    EXPECT_EQ(code_type_from_name(name), std::nullopt) << name;
}

TEST(Schema, CountsAreCheckedInOrderAndStopAtTheFirstMismatch) {
  expect_error(check_schema_counts(frame(16, 25, 1), schema(17, 0, "surface_code")),
               QssfError::frame_schema_mismatch("ancilla_count", 17, 16));
  expect_error(check_schema_counts(frame(16, 25, 3), schema(16, 24, "surface_code")),
               QssfError::frame_schema_mismatch("qubit_count", 24, 25));
  expect_error(check_schema_counts(frame(16, 25, 3), schema(16, 25, "surface_code")),
               QssfError::frame_schema_mismatch("code_type", 1, 3));
  // Names that map to no family skip the family check; distance is never compared.
  for (const char* name : {"Surface_Code", "Custom", "color"}) {
    auto f = frame(16, 25, 3);
    f.header.distance = 9;
    EXPECT_TRUE(check_schema_counts(f, schema(16, 25, name)).ok()) << name;
  }
}

struct ParityCase {
  std::vector<int8_t> results;
  std::vector<uint8_t> rle;
  std::vector<std::vector<uint16_t>> stabilizers;
  std::optional<uint64_t> failing_index;
};

void PrintTo(const ParityCase& c, std::ostream* os) {
  *os << c.results.size() << " results, " << c.stabilizers.size() << " stabilizers, "
      << (c.failing_index ? "fails at " + std::to_string(*c.failing_index) : std::string("holds"));
}

class Parity : public testing::TestWithParam<ParityCase> {};

TEST_P(Parity, AgreesWithTheDetectorEvents) {
  const ParityCase& c = GetParam();
  ParsedFrame f = frame(static_cast<uint16_t>(c.results.size()), 0, 1);
  f.meas_results = c.results;
  f.detector_rle = c.rle;
  HardwareSchema s;
  for (const auto& qubits : c.stabilizers) s.stabilizers.push_back({7, StabilizerType::X, qubits});
  const auto r = check_parity(f, s);
  if (c.failing_index) {
    expect_error(r, QssfError::parity_violation(42, *c.failing_index));
  } else {
    EXPECT_TRUE(r.ok());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Parity,
    testing::Values(
        ParityCase{{1, -1}, {0x81}, {{0, 1}}, std::nullopt},            // parity 1, event 1
        ParityCase{{1, -1}, {}, {{0, 1}}, 0},                           // no events: expected 0
        ParityCase{{0, 1}, {0x81}, {{0, 1}}, std::nullopt},             // 0 counts like -1
        ParityCase{{-1, -1}, {0x01, 0x81}, {{0, 1}, {0, 500}}, std::nullopt},  // 500 is ignored
        ParityCase{{-1, 1}, {0x81}, {{0}, {1}}, std::nullopt},
        ParityCase{{-1, -1}, {0x81}, {{0}, {1}}, 1},
        // The sequence is read whole: events past the ancilla count still count.
        ParityCase{{1, 1}, {0x03, 0x81}, {{}, {}, {}, {}}, 3},
        ParityCase{{-1}, {0x80, 0x00, 0x81}, {{0}}, std::nullopt},      // empty runs add nothing
        ParityCase{{-1, -1, -1}, {0x82, 0x7F}, {{0}, {1}, {2}}, 2},
        ParityCase{{-1}, {0x81}, {}, std::nullopt}),
    [](const testing::TestParamInfo<ParityCase>& info) {
      const ParityCase& c = info.param;
      return std::to_string(info.index) +
             (c.failing_index ? "_fails_at_" + std::to_string(*c.failing_index) : "_holds");
    });

TEST(Schema, LookupFindsRegisteredSchemasOnly) {
  SchemaRegistry registry;
  SchemaId known{};
  known[0] = 1;
  registry[known] = schema(5, 0, "custom");
  const auto found = lookup_schema(registry, known);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found.value(), &registry.at(known));
  SchemaId unknown{};
  unknown[15] = 0xFF;
  const auto missing = lookup_schema(registry, unknown);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, QssfErrorKind::SchemaNotFound);
  EXPECT_EQ(missing.error().schema_id, unknown);
}

TEST(Schema, JsonHasFixedKeyOrderAndOmitsAbsentMembers) {
  HardwareSchema s;
  for (uint8_t i = 0; i < 16; ++i) s.schema_id[i] = static_cast<uint8_t>(i * 0x11);
  s.version = "1.0.0";
  s.name = "chip \"A\"\n";
  s.description = "d";
  s.code_type = "surface";
  s.distance = 3;
  s.qubit_count = 17;
  s.ancilla_count = 8;
  s.stabilizers = {{0, StabilizerType::X, {1, 2}}, {65535, StabilizerType::Z, {}}};
  s.measurement_cycle_us = 1.0f;
  s.ancilla_layout = "auto";
  EXPECT_EQ(to_json(s),
            "{\n"
            "  \"schema_id\": \"00112233-4455-6677-8899-aabbccddeeff\",\n"
            "  \"version\": \"1.0.0\",\n"
            "  \"name\": \"chip \\\"A\\\"\\n\",\n"
            "  \"description\": \"d\",\n"
            "  \"code_type\": \"surface\",\n"
            "  \"distance\": 3,\n"
            "  \"qubit_count\": 17,\n"
            "  \"ancilla_count\": 8,\n"
            "  \"stabilizers\": [\n"
            "    {\n"
            "      \"id\": 0,\n"
            "      \"type\": \"X\",\n"
            "      \"qubits\": [\n"
            "        1,\n"
            "        2\n"
            "      ]\n"
            "    },\n"
            "    {\n"
            "      \"id\": 65535,\n"
            "      \"type\": \"Z\",\n"
            "      \"qubits\": []\n"
            "    }\n"
            "  ],\n"
            "  \"measurement_cycle_us\": 1.0,\n"
            "  \"ancilla_layout\": \"auto\"\n"
            "}");

  s.stabilizers.clear();
  s.measurement_cycle_us = NAN;
  s.ldpc_hx_matrix = "hx";
  s.encoding_rate = 0.5;
  s.dem_path = "m.dem";
  const std::string json = to_json(s);
  EXPECT_NE(json.find("  \"stabilizers\": [],\n  \"measurement_cycle_us\": null,\n"
                      "  \"ancilla_layout\": \"auto\",\n  \"ldpc_hx_matrix\": \"hx\",\n"
                      "  \"encoding_rate\": 0.5,\n  \"dem_path\": \"m.dem\"\n}"),
            std::string::npos)
      << json;
}

}  // namespace
}  // namespace ostrel::qssf
