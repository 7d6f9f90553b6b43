#include "ostrel/dem/dem_schema.h"

#include <cmath>

#include "ostrel/util/uuid.h"

namespace ostrel::dem {
namespace {

// Rounded half away from zero, saturated to the int64 range; NaN gives 0.
int64_t round_to_int64(double v) {
  if (std::isnan(v)) return 0;
  const double r = std::round(v);
  if (r >= 9223372036854775808.0) return INT64_MAX;
  if (r < -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(r);
}

qssf::StabilizerType stabilizer_type(const DemDetector& d) {
  if (!d.coords) return qssf::StabilizerType::Z;
  // Parity of the sum, taken in wrapping unsigned arithmetic (wrapping keeps parity).
  const uint64_t sum = static_cast<uint64_t>(round_to_int64((*d.coords)[0])) +
                       static_cast<uint64_t>(round_to_int64((*d.coords)[1]));
  return (sum & 1) != 0 ? qssf::StabilizerType::X : qssf::StabilizerType::Z;
}

}  // namespace

qssf::HardwareSchema schema_from_dem(const DetectorErrorModel& dem, std::string name,
                                     const qssf::SchemaId& schema_id) {
  qssf::HardwareSchema schema;
  schema.schema_id = schema_id;
  schema.version = "1.0.0";
  schema.name = std::move(name);
  schema.description = "Auto-generated from DEM: " + std::to_string(dem.detector_count) + " detectors, " +
                       std::to_string(dem.observable_count) + " observables";
  schema.code_type = "Custom";
  schema.distance = 0;
  schema.qubit_count = 0;
  schema.ancilla_count = static_cast<uint16_t>(dem.detector_count);
  schema.stabilizers.reserve(dem.detectors.size());
  for (const DemDetector& d : dem.detectors)
    schema.stabilizers.push_back({static_cast<uint16_t>(d.id), stabilizer_type(d), {}});
  schema.measurement_cycle_us = 1.0f;
  schema.ancilla_layout = "auto";
  return schema;
}

Result<std::string, OsError> to_schema_json(const DetectorErrorModel& dem, std::string_view name) {
  const Result<Uuid, OsError> id = random_uuid_v4();
  if (!id.ok()) return fail(id.error());
  return qssf::to_json(schema_from_dem(dem, std::string(name), id.value()));
}

}  // namespace ostrel::dem
