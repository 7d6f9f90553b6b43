#pragma once
// The semantic checks a reader runs on a complete frame when its configuration asks for them.
#include "ostrel/qssf/errors.h"
#include "ostrel/qssf/payload.h"
#include "ostrel/qssf/reader_config.h"
#include "ostrel/util/result.h"

namespace ostrel::qssf {

// Timing offsets first, then the stream's schema (when the registry holds it): counts and code
// family, then stabilizer parity. The first failure is returned.
Result<Ok, QssfError> validate_frame(const ReaderConfig& config, const SchemaId& schema_id,
                                     const ParsedFrame& frame);

}  // namespace ostrel::qssf
