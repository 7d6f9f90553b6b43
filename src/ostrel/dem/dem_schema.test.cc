#include "ostrel/dem/dem_schema.h"

#include <gtest/gtest.h>

#include "ostrel/dem/dem_parser.h"

namespace ostrel::dem {
namespace {

DetectorErrorModel parse(std::string_view text) {
  auto r = parse_dem(text);
  EXPECT_TRUE(r.ok()) << text;
  return r.ok() ? std::move(r).value() : DetectorErrorModel{};
}

TEST(DemSchema, DescribesTheModelWithFixedValues) {
  const qssf::SchemaId id{0xde, 0xad, 0xbe, 0xef, 0, 0, 0x40, 0, 0x80, 0, 0, 0, 0, 0, 0, 1};
  const std::string json =
      qssf::to_json(schema_from_dem(parse("error(0.1) D0 D2 L1\ndetector(1, 2, 0) D2\ndetector D65537"),
                                    "dev\t1", id));
  EXPECT_EQ(json,
            "{\n"
            "  \"schema_id\": \"deadbeef-0000-4000-8000-000000000001\",\n"
            "  \"version\": \"1.0.0\",\n"
            "  \"name\": \"dev\\t1\",\n"
            "  \"description\": \"Auto-generated from DEM: 65538 detectors, 2 observables\",\n"
            "  \"code_type\": \"Custom\",\n"
            "  \"distance\": 0,\n"
            "  \"qubit_count\": 0,\n"
            "  \"ancilla_count\": 2,\n"
            "  \"stabilizers\": [\n"
            "    {\n"
            "      \"id\": 2,\n"
            "      \"type\": \"X\",\n"
            "      \"qubits\": []\n"
            "    },\n"
            "    {\n"
            "      \"id\": 1,\n"
            "      \"type\": \"Z\",\n"
            "      \"qubits\": []\n"
            "    }\n"
            "  ],\n"
            "  \"measurement_cycle_us\": 1.0,\n"
            "  \"ancilla_layout\": \"auto\"\n"
            "}");
}

TEST(DemSchema, ModelWithoutDeclarationsHasNoStabilizers) {
  const qssf::HardwareSchema s = schema_from_dem(parse("error(0.1) D69999"), "m", {});
  EXPECT_TRUE(s.stabilizers.empty());
  EXPECT_EQ(s.ancilla_count, 4464);  // 70000 modulo 65536
  EXPECT_NE(qssf::to_json(s).find("\"stabilizers\": [],\n"), std::string::npos);
}

TEST(DemSchema, StabilizerTypeIsTheParityOfRoundedXPlusY) {
  const std::pair<const char*, qssf::StabilizerType> cases[] = {
      {"detector(1, 2, 0) D0", qssf::StabilizerType::X},
      {"detector(1, 1, 0) D0", qssf::StabilizerType::Z},
      {"detector(2.5, 0.4, 0) D0", qssf::StabilizerType::X},  // 3 + 0
      {"detector(-0.5, 0.5, 7) D0", qssf::StabilizerType::Z},  // -1 + 1
      {"detector(-1.5) D0", qssf::StabilizerType::Z},  // -2 + 0
      {"detector D0", qssf::StabilizerType::Z},
      {"detector(nan, 1) D0", qssf::StabilizerType::X},  // NaN counts as 0
      {"detector(1e300, 1e300) D0", qssf::StabilizerType::Z},  // both saturate to 2^63 - 1
      {"detector(1e300, 2) D0", qssf::StabilizerType::X},
      {"detector(-inf, 0) D0", qssf::StabilizerType::Z},  // -2^63
  };
  for (const auto& [text, type] : cases) {
    const qssf::HardwareSchema s = schema_from_dem(parse(text), "m", {});
    ASSERT_EQ(s.stabilizers.size(), 1u) << text;
    EXPECT_EQ(s.stabilizers[0].type, type) << text;
  }
}

TEST(DemSchema, EachCallDrawsAFreshId) {
  const DetectorErrorModel m = parse("detector(0, 1) D0");
  const auto a = to_schema_json(m, "x");
  const auto b = to_schema_json(m, "x");
  ASSERT_TRUE(a.ok() && b.ok());
  const std::string_view prefix = "{\n  \"schema_id\": \"";
  ASSERT_TRUE(a.value().starts_with(prefix));
  const std::string id_a = a.value().substr(prefix.size(), 36);
  const std::string id_b = b.value().substr(prefix.size(), 36);
  EXPECT_NE(id_a, id_b);
  EXPECT_EQ(id_a[14], '4');
  EXPECT_NE(std::string("89ab").find(id_a[19]), std::string::npos);
  for (const size_t dash : {8u, 13u, 18u, 23u}) EXPECT_EQ(id_a[dash], '-');
  EXPECT_EQ(a.value().substr(prefix.size() + 36), b.value().substr(prefix.size() + 36));
}

}  // namespace
}  // namespace ostrel::dem
