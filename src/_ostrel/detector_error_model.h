#pragma once
// DetectorErrorModel (parse, from_file, sizes, exports) and SpacetimeGraph (sizes).
#include <string>
#include <string_view>

#include "_ostrel/py_ref.h"
#include "_ostrel/python.h"
#include "ostrel/dem/dem_model.h"

namespace ostrel::py {

PyTypeObject* detector_error_model_type();
PyTypeObject* spacetime_graph_type();
bool init_detector_error_model_types();

// The DEM text named by a path: reads the file as UTF-8. On failure sets OSError with the OS
// text ("No such file or directory (os error 2)") or "stream did not contain valid UTF-8".
bool read_dem_file(const std::string& path, std::string& text);
// Parses DEM text; on failure sets ValueError with the parser's message (`located`: after the
// line it was met on, as decoders show it).
bool parse_dem_text(std::string_view text, dem::DetectorErrorModel& model, bool located = false);
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
// The same, also giving the text read (left empty for a DetectorErrorModel). `for_decoder`: a
// stim.Circuit is refused with how to get its model, and parse failures name their line.
const dem::DetectorErrorModel* model_and_text_from(PyObject* dem, dem::DetectorErrorModel& storage,
                                                   std::string& text, bool for_decoder = false);

// False with ValueError set when `dem` is a stim.Circuit: decoders take its model.
bool refuse_stim_circuit(PyObject* dem);

// What a decoder object was built from, kept for pickling without a copy of a large model's text:
// the str given (DEM text, or a path read again when pickled), the DetectorErrorModel, or for
// other objects (which may change) their text as it was.
struct ModelSource {
  PyRef object;
  bool is_path = false;
};
// `text` is what dem_text_of gave for `dem` (unused for a str, a path or a DetectorErrorModel).
bool capture_model_source(PyObject* dem, std::string_view text, ModelSource& source);
// The source's DEM text as a new str, or null with a Python error set.
PyObject* model_source_text(const ModelSource& source);
// The mistyped-path check of model_from, for callers that parse for themselves: false with
// FileNotFoundError set when `dem` is such a str.
bool refuse_missing_model_file(PyObject* dem, const dem::DetectorErrorModel& model);

}  // namespace ostrel::py
