#include "ostrel/qssf/schema.h"

#include <utility>

#include "ostrel/util/json_writer.h"

namespace ostrel::qssf {
namespace {

// Reads a detector-event sequence at rising positions, walking the runs once overall.
class RunCursor {
 public:
  explicit RunCursor(std::span<const uint8_t> rle) : rle_(rle) {}

  // Event at `position`; positions must not decrease between calls. 0 past the end.
  uint8_t at(uint64_t position) {
    while (next_run_ < rle_.size()) {
      const uint8_t run = rle_[next_run_];
      const uint64_t length = run & 0x7F;
      if (position < run_start_ + length) return run >> 7;
      run_start_ += length;
      ++next_run_;
    }
    return 0;
  }

 private:
  std::span<const uint8_t> rle_;
  size_t next_run_ = 0;
  uint64_t run_start_ = 0;  // sequence position where rle_[next_run_] begins
};

void write_optional_text(JsonWriter& w, std::string_view key, const std::optional<std::string>& value) {
  if (!value) return;
  w.key(key);
  w.string_value(*value);
}

}  // namespace

std::optional<uint8_t> code_type_from_name(std::string_view name) {
  static constexpr std::pair<std::string_view, uint8_t> kNames[] = {
      {"surface", 1},        {"surface_code", 1},
      {"honeycomb", 2},      {"honeycomb_code", 2},
      {"color", 3},          {"color_code", 3},
      {"repetition", 4},     {"repetition_code", 4},
      {"toric", 5},          {"toric_code", 5},
      {"bivariate_bicycle", 6},
      {"hypergraph_product", 7},
      {"fiber_bundle", 8},
      {"custom", 255},
  };
  for (const auto& [text, discriminant] : kNames)
    if (text == name) return discriminant;
  return std::nullopt;
}

Result<const HardwareSchema*, QssfError> lookup_schema(const SchemaRegistry& registry, const SchemaId& id) {
  const auto it = registry.find(id);
  if (it == registry.end()) return fail(QssfError::schema_not_found(id));
  return &it->second;
}

Result<Ok, QssfError> check_schema_counts(const ParsedFrame& frame, const HardwareSchema& schema) {
  const FrameHeader& h = frame.header;
  if (h.ancilla_count != schema.ancilla_count)
    return fail(QssfError::frame_schema_mismatch("ancilla_count", schema.ancilla_count, h.ancilla_count));
  if (h.qubit_count != schema.qubit_count)
    return fail(QssfError::frame_schema_mismatch("qubit_count", schema.qubit_count, h.qubit_count));
  if (const std::optional<uint8_t> expected = code_type_from_name(schema.code_type);
      expected && *expected != h.code_type)
    return fail(QssfError::frame_schema_mismatch("code_type", *expected, h.code_type));
  return Ok{};
}

Result<Ok, QssfError> check_parity(const ParsedFrame& frame, const HardwareSchema& schema) {
  const std::vector<int8_t>& results = frame.meas_results;
  RunCursor events(frame.detector_rle);
  for (size_t i = 0; i < schema.stabilizers.size(); ++i) {
    uint8_t parity = 0;
    for (const uint16_t q : schema.stabilizers[i].qubits)
      if (q < results.size() && results[q] <= 0) parity ^= 1;
    if (parity != events.at(i)) return fail(QssfError::parity_violation(frame.header.frame_id, i));
  }
  return Ok{};
}

std::string to_json(const HardwareSchema& schema) {
  JsonWriter w;
  w.begin_object();
  w.key("schema_id");
  w.string_value(format_uuid(schema.schema_id));
  w.key("version");
  w.string_value(schema.version);
  w.key("name");
  w.string_value(schema.name);
  w.key("description");
  w.string_value(schema.description);
  w.key("code_type");
  w.string_value(schema.code_type);
  w.key("distance");
  w.uint_value(schema.distance);
  w.key("qubit_count");
  w.uint_value(schema.qubit_count);
  w.key("ancilla_count");
  w.uint_value(schema.ancilla_count);
  w.key("stabilizers");
  w.begin_array();
  for (const Stabilizer& s : schema.stabilizers) {
    w.begin_object();
    w.key("id");
    w.uint_value(s.id);
    w.key("type");
    w.string_value(s.type == StabilizerType::X ? "X" : "Z");
    w.key("qubits");
    w.begin_array();
    for (const uint16_t q : s.qubits) w.uint_value(q);
    w.end_array();
    w.end_object();
  }
  w.end_array();
  w.key("measurement_cycle_us");
  w.float_value(schema.measurement_cycle_us);
  w.key("ancilla_layout");
  w.string_value(schema.ancilla_layout);
  write_optional_text(w, "ldpc_hz_matrix", schema.ldpc_hz_matrix);
  write_optional_text(w, "ldpc_hx_matrix", schema.ldpc_hx_matrix);
  write_optional_text(w, "logical_z_matrix", schema.logical_z_matrix);
  write_optional_text(w, "logical_x_matrix", schema.logical_x_matrix);
  if (schema.encoding_rate) {
    w.key("encoding_rate");
    w.double_value(*schema.encoding_rate);
  }
  write_optional_text(w, "dem_path", schema.dem_path);
  w.end_object();
  return std::move(w).take();
}

}  // namespace ostrel::qssf
