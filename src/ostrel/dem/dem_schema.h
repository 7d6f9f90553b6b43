#pragma once
// A detector error model described as a hardware schema: one Z or X stabilizer per declared
// detector, counts taken from the model, everything else fixed.
#include <string>
#include <string_view>

#include "ostrel/dem/dem_model.h"
#include "ostrel/qssf/schema.h"
#include "ostrel/util/os_error.h"
#include "ostrel/util/result.h"

namespace ostrel::dem {

// The schema with the given id and name. A stabilizer's type comes from its detector's
// coordinates: x and y rounded (halves away from zero) and summed, odd gives X, even or no
// coordinates gives Z. Counts and ids wider than 16 bits keep their low 16 bits.
qssf::HardwareSchema schema_from_dem(const DetectorErrorModel& dem, std::string name,
                                     const qssf::SchemaId& schema_id);

// The JSON text of that schema under a fresh random version-4 id. Fails only when the
// operating system gives no random bytes.
Result<std::string, OsError> to_schema_json(const DetectorErrorModel& dem, std::string_view name);

}  // namespace ostrel::dem
