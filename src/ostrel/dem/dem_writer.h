#pragma once
// DEM text of a parsed model: one instruction per error and per declared detector, in model order,
// so that parsing the text gives back the same errors, declarations and counts. Used to hand a
// model to another process (pickling) and to name an error in messages.
#include <cstddef>
#include <string>

#include "ostrel/dem/dem_model.h"

namespace ostrel::dem {

// "error(0.01) D0 D1 ^ D2 L0": error `index` with its components, probability in shortest form.
std::string error_line(const DetectorErrorModel& model, size_t index);

// The whole model as text, flat; counts beyond the largest target or declaration are kept (the
// observable count by a declaration, the detector count by a block repeated 0 times).
std::string write_dem_text(const DetectorErrorModel& model);

}  // namespace ostrel::dem
