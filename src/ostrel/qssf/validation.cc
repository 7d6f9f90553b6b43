#include "ostrel/qssf/validation.h"

namespace ostrel::qssf {

Result<Ok, QssfError> validate_frame(const ReaderConfig& config, const SchemaId& schema_id,
                                     const ParsedFrame& frame) {
  (void)config;
  (void)schema_id;
  return validate_timing_offsets(frame);
}

}  // namespace ostrel::qssf
