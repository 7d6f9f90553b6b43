#include "ostrel/qssf/validation.h"

#include "ostrel/qssf/schema.h"

namespace ostrel::qssf {

Result<Ok, QssfError> validate_frame(const ReaderConfig& config, const SchemaId& schema_id,
                                     const ParsedFrame& frame) {
  auto timing = validate_timing_offsets(frame);
  if (!timing.ok()) return timing;
  // A stream whose schema the registry does not hold passes without schema checks.
  auto schema = lookup_schema(config.schemas, schema_id);
  if (!schema.ok()) return Ok{};
  auto counts = check_schema_counts(frame, **schema);
  if (!counts.ok()) return counts;
  return check_parity(frame, **schema);
}

}  // namespace ostrel::qssf
