// The _ostrel extension module: multi-phase initialisation whose one execution step registers the
// classes, the exception type and the version, each name appended to __all__ in order.
#include "_ostrel/code_type.h"
#include "_ostrel/decoder.h"
#include "_ostrel/decoder_result.h"
#include "_ostrel/sliding_window_decoder.h"
#include "_ostrel/detector_error_model.h"
#include "_ostrel/errors.h"
#include "_ostrel/frame_batch.h"
#include "_ostrel/logical_error_accumulator.h"
#include "_ostrel/numpy_arrays.h"
#include "_ostrel/ostrel_stream.h"
#include "_ostrel/py_ref.h"
#include "_ostrel/python.h"
#include "_ostrel/syndrome_frame.h"
#include "_ostrel/syndrome_window.h"

namespace ostrel::py {
namespace {

PyObject* as_object(PyTypeObject* t) { return reinterpret_cast<PyObject*>(t); }

// Appends `name` to __all__ (creating it if needed), then sets the attribute.
bool add(PyObject* module, const char* name, PyObject* value) {
  if (!value) return false;
  PyObject* dict = PyModule_GetDict(module);
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (!all) {
    PyRef created = PyRef::steal(PyList_New(0));
    if (!created || PyDict_SetItemString(dict, "__all__", created.get()) != 0) return false;
    all = created.get();
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) != 0) return false;
  return PyModule_AddObjectRef(module, name, value) == 0;
}

// The decoding methods offered, name -> one line on each, in the order callers list them; the
// fixed reference procedure is left out (it stays reachable by name).
PyObject* decode_methods() {
  PyRef methods = PyRef::steal(PyDict_New());
  if (!methods) return nullptr;
  for (const driver::MethodSpec& m : driver::registered_methods()) {
    if (!m.listed) continue;
    PyRef summary = PyRef::steal(PyUnicode_FromStringAndSize(m.summary.data(), Py_ssize_t(m.summary.size())));
    if (!summary) return nullptr;
    const std::string name(m.name);
    if (PyDict_SetItemString(methods.get(), name.c_str(), summary.get()) != 0) return nullptr;
  }
  return methods.release();
}

int module_exec(PyObject* module) {
  return guarded([&]() -> int {
    if (!PyModule_Check(module)) {
      PyErr_SetString(PyExc_TypeError, "expected a module object");
      return -1;
    }
    if (!init_numpy() || !init_syndrome_frame_type() || !init_code_type_type() ||
        !init_decoder_result_types() || !init_ostrel_stream_type() ||
        !init_detector_error_model_types() || !init_syndrome_window_type() ||
        !init_logical_error_accumulator_type() || !init_decoder_type() ||
        !init_frame_batch_type() ||
        !init_sliding_window_decoder_type())
      return -1;
    PyRef version = PyRef::steal(PyUnicode_FromString("0.1.0"));
    PyRef methods = PyRef::steal(decode_methods());
    const std::string default_method(driver::kDefaultMethod);
    PyRef default_name = PyRef::steal(PyUnicode_FromString(default_method.c_str()));
    const bool ok = add(module, "SyndromeFrame", as_object(syndrome_frame_type())) &&
                    add(module, "SyndromeWindow", as_object(syndrome_window_type())) &&
                    add(module, "OstrelStream", as_object(ostrel_stream_type())) &&
                    add(module, "CodeType", as_object(code_type_type())) &&
                    add(module, "DecoderResult", as_object(decoder_result_type())) &&
                    add(module, "LogicalCorrection", as_object(logical_correction_type())) &&
                    add(module, "DetectorErrorModel", as_object(detector_error_model_type())) &&
                    add(module, "SpacetimeGraph", as_object(spacetime_graph_type())) &&
                    add(module, "LogicalErrorAccumulator",
                        as_object(logical_error_accumulator_type())) &&
                    add(module, "Decoder", as_object(decoder_type())) &&
                    add(module, "FrameBatch", as_object(frame_batch_type())) &&
                    add(module, "SlidingWindowDecoder", as_object(sliding_window_decoder_type())) &&
                    add(module, "OstrelError", ostrel_error_type()) &&
                    add(module, "DECODE_METHODS", methods.get()) &&
                    add(module, "DEFAULT_METHOD", default_name.get()) &&
                    add(module, "__version__", version.get());
    return ok ? 0 : -1;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Class objects are cached per process, so one interpreter at a time.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ostrel",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace ostrel::py

PyMODINIT_FUNC PyInit__ostrel() { return PyModuleDef_Init(&ostrel::py::module_def); }
