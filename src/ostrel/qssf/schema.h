#pragma once
// The hardware schema: a device and code description that frames can be checked against
// (counts, code family, stabilizer parity), and its JSON form.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel/qssf/errors.h"
#include "ostrel/qssf/payload.h"
#include "ostrel/util/result.h"

namespace ostrel::qssf {

enum class StabilizerType : uint8_t { X, Z };

struct Stabilizer {
  uint16_t id = 0;
  StabilizerType type = StabilizerType::Z;
  std::vector<uint16_t> qubits;  // indices into the frame's measurement results
};

// Field order is the JSON key order.
struct HardwareSchema {
  SchemaId schema_id{};
  std::string version;
  std::string name;
  std::string description;
  std::string code_type;  // the code family by name, see code_type_from_name
  uint8_t distance = 0;
  uint16_t qubit_count = 0;
  uint16_t ancilla_count = 0;
  std::vector<Stabilizer> stabilizers;  // order matters: parity uses positions, not ids
  float measurement_cycle_us = 0.0f;
  std::string ancilla_layout;
  std::optional<std::string> ldpc_hz_matrix;
  std::optional<std::string> ldpc_hx_matrix;
  std::optional<std::string> logical_z_matrix;
  std::optional<std::string> logical_x_matrix;
  std::optional<double> encoding_rate;
  std::optional<std::string> dem_path;
};

using SchemaRegistry = std::map<SchemaId, HardwareSchema>;

// The code-type discriminant of a family name ("surface" and "surface_code" give 1, ...,
// "custom" gives 255); exact, case-sensitive match. Other names give nothing.
std::optional<uint8_t> code_type_from_name(std::string_view name);

// The schema registered under `id`, or SchemaNotFound. The pointer lives as long as the entry.
Result<const HardwareSchema*, QssfError> lookup_schema(const SchemaRegistry& registry, const SchemaId& id);

// Ancilla count, qubit count, then code family (when the schema's name maps to one), each
// reported as FrameSchemaMismatch with the schema's value and the frame's.
Result<Ok, QssfError> check_schema_counts(const ParsedFrame& frame, const HardwareSchema& schema);

// Stabilizer i's parity (results <= 0 count as 1; indices past the results are ignored) must
// equal detector event i of the whole run-length sequence (0 past its end).
Result<Ok, QssfError> check_parity(const ParsedFrame& frame, const HardwareSchema& schema);

// Indented JSON (two spaces), keys in field order, absent optional members left out.
std::string to_json(const HardwareSchema& schema);

}  // namespace ostrel::qssf
