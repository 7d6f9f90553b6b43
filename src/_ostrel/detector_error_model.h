#pragma once
// DetectorErrorModel (parse, from_file, sizes, exports) and SpacetimeGraph (sizes).
#include <string>
#include <string_view>

#include "_ostrel/python.h"
#include "ostrel/dem/dem_model.h"

namespace ostrel::py {

PyTypeObject* detector_error_model_type();
PyTypeObject* spacetime_graph_type();
bool init_detector_error_model_types();

// The DEM text named by a path: reads the file as UTF-8. On failure sets OSError with the OS
// text ("No such file or directory (os error 2)") or "stream did not contain valid UTF-8".
bool read_dem_file(const std::string& path, std::string& text);
// Parses DEM text; on failure sets ValueError with the parser's message.
bool parse_dem_text(std::string_view text, dem::DetectorErrorModel& model);
// The DEM text `dem` stands for: the file a str names when anything exists at that path (else
// the str itself), the file an os.PathLike names, or str(dem). On failure a Python error is set.
bool dem_text_of(PyObject* dem, std::string& text);
// The model of a DetectorErrorModel instance, or null for any other object.
const dem::DetectorErrorModel* model_if_dem(PyObject* o);
// The model `dem` stands for: a DetectorErrorModel's own, or the text dem_text_of gives parsed
// into `storage`. Null with a Python error set on failure.
// A str that names no file and parses to a model with neither errors nor detectors is taken
// for a mistyped path: the model, else FileNotFoundError naming it.
const dem::DetectorErrorModel* model_from(PyObject* dem, dem::DetectorErrorModel& storage);
// The same, also giving DEM text that stands for the model (the text read, or the model written).
const dem::DetectorErrorModel* model_and_text_from(PyObject* dem, dem::DetectorErrorModel& storage,
                                                   std::string& text);
// The mistyped-path check of model_from, for callers that parse for themselves: false with
// FileNotFoundError set when `dem` is such a str.
bool refuse_missing_model_file(PyObject* dem, const dem::DetectorErrorModel& model);

}  // namespace ostrel::py
