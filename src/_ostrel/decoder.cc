#include "_ostrel/decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "_ostrel/args.h"
#include "_ostrel/borrow.h"
#include "_ostrel/detector_error_model.h"
#include "_ostrel/errors.h"
#include "_ostrel/py_ref.h"
#include "ostrel/driver/fired_detectors.h"
#include "ostrel/driver/make_decoder.h"
#include "ostrel/driver/stream_decoder.h"

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ostrel_ARRAY_API
#include <numpy/arrayobject.h>

namespace ostrel::py {
namespace {

// The decoder of one Decoder object, made by the driver; its scratch space is used under the
// object's exclusive borrow.
struct DecoderCore {
  driver::BuiltDecoder built;
  // Scratch of one shot.
  std::vector<uint32_t> fired;
  std::string unexplained;  // set by decode_row: why the shot could not be decoded

  std::string method_name() const { return std::string(built.method->name); }
  uint64_t detector_count() const { return built.detector_count; }
  uint64_t observable_count() const { return built.observable_count; }

  // One shot: `count` elements `stride` bytes apart, an element non-zero when fired (or, bit
  // packed, eight detectors per byte, lowest bit first). Returns 0 with `unexplained` set for a
  // shot the method cannot explain.
  uint64_t decode_row(const uint8_t* data, npy_intp stride, npy_intp count, bool bit_packed) {
    driver::collect_fired(data, stride, static_cast<size_t>(count), bit_packed, built.detector_count, fired);
    auto decoded = built.decoder->decode(fired);
    if (decoded.ok()) return *decoded;
    unexplained = std::move(decoded).error();
    return 0;
  }
};

struct DecoderObject {
  PyObject_HEAD
  BorrowFlag borrow;
  DecoderCore core;
  ModelSource source;  // what a pickle carries: the decoder is rebuilt from its text
  PyRef options;       // the method's keyword options as given (a dict), for pickles
};

PyTypeObject* type = nullptr;

DecoderObject* as_decoder(PyObject* o) { return reinterpret_cast<DecoderObject*>(o); }

// Gives up the interpreter lock for its scope; taken back also when an exception leaves it.
class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace

bool raise_driver_error(const driver::DriverError& error) {
  raise_error(error.kind == driver::DriverError::Kind::OutOfMemory ? PyExc_MemoryError : PyExc_ValueError,
              error.message);
  return false;
}

bool decoder_options_from(PyObject* kwargs, driver::DecoderOptions& options) {
  if (!kwargs) return true;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    auto name = arg_str(key, "option name");
    if (!name) return false;
    if (PyBool_Check(value) || PyLong_Check(value)) {
      const long long v = PyLong_AsLongLong(value);
      if (v == -1 && PyErr_Occurred()) return false;
      options.set(std::string(*name), int64_t{v});
    } else if (PyFloat_Check(value)) {
      options.set(std::string(*name), PyFloat_AsDouble(value));
    } else if (PyUnicode_Check(value)) {
      auto text = arg_str(value, "option");
      if (!text) return false;
      options.set(std::string(*name), std::string(*text));
    } else {
      PyErr_Format(PyExc_TypeError, "option '%U' must be an int, float or str, not %.200s", key,
                   Py_TYPE(value)->tp_name);
      return false;
    }
  }
  return true;
}

namespace {

PyObject* decoder_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    // Decoder(dem, method=None, **options): every keyword but these two is the method's option.
    PyObject* dem_arg = nullptr;
    PyObject* method_arg = nullptr;
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > 2) {
      PyErr_Format(PyExc_TypeError, "Decoder() takes at most 2 positional arguments (%zd given)", positional);
      return nullptr;
    }
    if (positional > 0) dem_arg = PyTuple_GET_ITEM(args, 0);
    if (positional > 1) method_arg = PyTuple_GET_ITEM(args, 1);
    PyRef options_dict = PyRef::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    if (!options_dict) return nullptr;
    for (const char* name : {"dem", "method"}) {
      PyObject* given = PyDict_GetItemString(options_dict.get(), name);
      if (!given) continue;
      PyObject*& slot = name[0] == 'd' ? dem_arg : method_arg;
      if (slot) {
        PyErr_Format(PyExc_TypeError, "argument for Decoder() given by name ('%s') and position", name);
        return nullptr;
      }
      slot = given;
    }
    if (!dem_arg) {
      PyErr_SetString(PyExc_TypeError, "Decoder() missing required argument 'dem' (pos 1)");
      return nullptr;
    }
    // Held here: the two leave the options below.
    const PyRef dem_held = PyRef::borrow(dem_arg);
    const PyRef method_held = method_arg ? PyRef::borrow(method_arg) : PyRef();
    for (const char* name : {"dem", "method"})
      if (PyDict_GetItemString(options_dict.get(), name) && PyDict_DelItemString(options_dict.get(), name) != 0)
        return nullptr;
    std::string method_name(driver::kDefaultMethod);
    if (method_arg && method_arg != Py_None) {
      auto name = arg_str(method_arg, "method");
      if (!name) return nullptr;
      method_name.assign(name->data(), name->size());
    }
    driver::DecoderOptions options;
    if (!decoder_options_from(options_dict.get(), options)) return nullptr;
    if (auto known = driver::method_for(method_name); !known.ok()) return raise_driver_error(known.error()), nullptr;
    dem::DetectorErrorModel parsed;
    std::string text;
    const dem::DetectorErrorModel* model = model_and_text_from(dem_arg, parsed, text, true);
    if (!model) return nullptr;
    auto built = driver::make_decoder(*model, method_name, options);
    if (!built.ok()) return raise_driver_error(built.error()), nullptr;
    ModelSource source;
    if (!capture_model_source(dem_arg, text, source)) return nullptr;
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) return nullptr;
    new (&as_decoder(o)->borrow) BorrowFlag();
    new (&as_decoder(o)->core) DecoderCore{std::move(built).value(), {}, {}};
    as_decoder(o)->core.fired.reserve(as_decoder(o)->core.detector_count());
    new (&as_decoder(o)->source) ModelSource(std::move(source));
    new (&as_decoder(o)->options) PyRef(std::move(options_dict));
    return o;
  });
}

void decoder_dealloc(PyObject* self) {
  as_decoder(self)->options.~PyRef();
  as_decoder(self)->source.~ModelSource();
  as_decoder(self)->core.~DecoderCore();
  as_decoder(self)->borrow.~BorrowFlag();
  free_instance(self);
}

std::string shape_text(PyArrayObject* a) {
  std::string s = "(";
  for (int k = 0; k < PyArray_NDIM(a); ++k) {
    if (k) s += ", ";
    s += std::to_string(PyArray_DIM(a, k));
  }
  if (PyArray_NDIM(a) == 1) s += ",";
  return s + ")";
}

// The shots argument as an array whose element bytes read non-zero for a fired detector: bool,
// uint8 and int8 arrays as they are (any strides), other integer arrays converted to bool.
// Anything else, or another shape than (`width`,) / (shots, `width`), raises ValueError.
PyRef shots_array(PyObject* o, int ndim, npy_intp width, bool bit_packed, const char* what, const char* expected) {
  PyRef array = PyRef::steal(PyArray_FROM_O(o));
  if (!array) return array;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  const int t = PyArray_TYPE(a);
  const bool byte_type = t == NPY_UINT8 || t == NPY_INT8 || (!bit_packed && t == NPY_BOOL);
  const bool integer_type = !bit_packed && (PyTypeNum_ISINTEGER(t) || t == NPY_BOOL);
  const bool shape_ok = PyArray_NDIM(a) == ndim && PyArray_DIM(a, ndim - 1) == width;
  if (!shape_ok || !(integer_type || byte_type)) {
    PyRef dtype = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
    const char* dtype_text = dtype ? PyUnicode_AsUTF8(dtype.get()) : nullptr;
    if (!dtype_text) return PyRef();
    raise_value_error(std::string(what) + " must have shape " + expected + " and dtype " +
                      (bit_packed ? "uint8" : "bool or uint8") + ", got shape " + shape_text(a) + " and dtype " +
                      dtype_text);
    return PyRef();
  }
  if (byte_type) return array;
  return PyRef::steal(PyArray_FROM_OTF(array.get(), NPY_BOOL, NPY_ARRAY_FORCECAST));
}

npy_intp packed_width(uint64_t bits) { return static_cast<npy_intp>((bits + 7) / 8); }

void write_prediction(uint64_t mask, uint8_t* out, npy_intp stride, npy_intp count, bool bit_packed) {
  for (npy_intp k = 0; k < count; ++k) {
    const uint64_t shift = bit_packed ? 8 * uint64_t(k) : uint64_t(k);
    out[k * stride] = shift >= 64 ? 0 : static_cast<uint8_t>(bit_packed ? (mask >> shift) & 0xff : (mask >> shift) & 1);
  }
}

// The refusal of a shot that no correction explains.
PyObject* raise_unmatchable(DecoderCore& core, npy_intp shot, bool batch) {
  std::string text = std::move(core.unexplained);
  core.unexplained.clear();
  if (batch) text = "shot " + std::to_string(shot) + ": " + text;
  return raise_value_error(text);
}

// A correction's weight in the model's units, ln((1 - p) / p) summed over its errors.
double model_weight(DecoderCore& core) { return core.built.decoder->correction_weight(); }

PyObject* refuse_weights(const DecoderCore& core) {
  return raise_value_error("the '" + core.method_name() + "' method weighs no corrections: use a method that does, such as 'matching'");
}

PyObject* decoder_decode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"detection_events", "return_weight", nullptr};
    PyObject* events_arg;
    int return_weight = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:decode", const_cast<char**>(kwlist), &events_arg,
                                     &return_weight))
      return nullptr;
    auto* d = as_decoder(self);
    DecoderCore& core = d->core;
    if (return_weight && !core.built.decoder->weighs_corrections()) return refuse_weights(core);
    const auto width = static_cast<npy_intp>(core.detector_count());
    std::string expected = "(";
    expected.append(std::to_string(width)).append(",)");
    PyRef array = shots_array(events_arg, 1, width, false, "detection_events", expected.c_str());
    if (!array) return nullptr;
    Borrow access = Borrow::exclusive_or_busy(d->borrow, "Decoder");
    if (!access) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const uint64_t mask = core.decode_row(static_cast<const uint8_t*>(PyArray_DATA(a)), PyArray_STRIDE(a, 0),
                                          width, false);
    if (!core.unexplained.empty()) return raise_unmatchable(core, 0, false);
    npy_intp dims[1] = {static_cast<npy_intp>(core.observable_count())};
    PyRef out = PyRef::steal(PyArray_ZEROS(1, dims, NPY_UINT8, 0));
    if (!out) return nullptr;
    write_prediction(mask, static_cast<uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get()))), 1,
                     dims[0], false);
    if (!return_weight) return out.release();
    return Py_BuildValue("(Nd)", out.release(), model_weight(core));
  });
}

PyObject* decoder_decode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"shots", "bit_packed_shots", "bit_packed_predictions", "return_weights", nullptr};
    PyObject* shots_arg;
    int packed_shots = 0, packed_predictions = 0, return_weights = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$ppp:decode_batch", const_cast<char**>(kwlist), &shots_arg,
                                     &packed_shots, &packed_predictions, &return_weights))
      return nullptr;
    auto* d = as_decoder(self);
    DecoderCore& core = d->core;
    if (return_weights && !core.built.decoder->weighs_corrections()) return refuse_weights(core);
    const npy_intp width =
        packed_shots ? packed_width(core.detector_count()) : static_cast<npy_intp>(core.detector_count());
    std::string expected = "(num_shots, ";
    expected.append(std::to_string(width)).append(")");
    PyRef array = shots_array(shots_arg, 2, width, packed_shots != 0, "shots", expected.c_str());
    if (!array) return nullptr;
    Borrow access = Borrow::exclusive_or_busy(d->borrow, "Decoder");
    if (!access) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const npy_intp shots = PyArray_DIM(a, 0);
    const npy_intp out_width = packed_predictions ? packed_width(core.observable_count())
                                                  : static_cast<npy_intp>(core.observable_count());
    npy_intp dims[2] = {shots, out_width};
    PyRef out = PyRef::steal(PyArray_ZEROS(2, dims, NPY_UINT8, 0));
    if (!out) return nullptr;
    const auto* in = static_cast<const uint8_t*>(PyArray_DATA(a));
    const npy_intp row_stride = PyArray_STRIDE(a, 0), col_stride = PyArray_STRIDE(a, 1);
    auto* predictions = static_cast<uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    npy_intp weight_dims[1] = {shots};
    PyRef weights;
    double* weight_out = nullptr;
    if (return_weights) {
      weights = PyRef::steal(PyArray_ZEROS(1, weight_dims, NPY_FLOAT64, 0));
      if (!weights) return nullptr;
      weight_out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(weights.get())));
    }
    npy_intp failed = -1;
    {
      // Only this object's scratch space and the arrays (held above) are used in here.
      ReleasedGil released;
      for (npy_intp s = 0; s < shots; ++s) {
        const uint64_t mask = core.decode_row(in + s * row_stride, col_stride, width, packed_shots != 0);
        if (!core.unexplained.empty()) {
          failed = s;
          break;
        }
        write_prediction(mask, predictions + s * out_width, 1, out_width, packed_predictions != 0);
        if (weight_out) weight_out[s] = model_weight(core);
      }
    }
    if (failed >= 0) return raise_unmatchable(core, failed, true);
    if (!return_weights) return out.release();
    return Py_BuildValue("(NN)", out.release(), weights.release());
  });
}

PyObject* get_num_detectors(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_decoder(self)->core.detector_count());
}
PyObject* get_num_observables(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_decoder(self)->core.observable_count());
}
PyObject* get_method(PyObject* self, void*) {
  const std::string name = as_decoder(self)->core.method_name();
  return PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
}

PyObject* decoder_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const DecoderCore& c = as_decoder(self)->core;
    const std::string text = std::string("Decoder(method='") + c.method_name() +
                             "', num_detectors=" + std::to_string(c.detector_count()) +
                             ", num_observables=" + std::to_string(c.observable_count()) + ")";
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
  });
}

// Pickles as its model text and method, so that processes (multiprocessing, Dask) rebuild it.
PyObject* decoder_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const DecoderObject* d = as_decoder(self);
    PyRef text = PyRef::steal(model_source_text(d->source));
    if (!text) return nullptr;
    PyRef method = PyRef::steal(get_method(self, nullptr));  // the property's name for it, whatever it is
    if (!method) return nullptr;
    PyRef args = PyRef::steal(Py_BuildValue("(OO)", text.get(), method.get()));
    PyRef kwargs = PyRef::steal(PyDict_Copy(d->options.get()));
    if (!args || !kwargs) return nullptr;
    return pickle_reduction("Decoder", args.get(), kwargs.get());
  });
}

PyMethodDef methods[] = {
    {"__reduce__", decoder_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"decode", with_keywords(decoder_decode), METH_VARARGS | METH_KEYWORDS,
     "decode($self, detection_events, *, return_weight=False)\n--\n\n"
     "Decode one shot.\n"
     "\n"
     "``detection_events`` is a 1-D array of ``num_detectors`` elements (bool or\n"
     "integers, non-zero = fired). Returns the predicted observable flips as a\n"
     "uint8 array of ``num_observables`` elements; with ``return_weight`` the pair\n"
     "(predictions, weight), the weight of the correction in the model's units\n"
     "(ln((1 - p) / p) summed over its edges). A shot that no correction explains\n"
     "(an odd number of events in a part of the graph without boundary) raises\n"
     "ValueError."},
    {"decode_batch", with_keywords(decoder_decode_batch), METH_VARARGS | METH_KEYWORDS,
     "decode_batch($self, shots, *, bit_packed_shots=False, bit_packed_predictions=False, return_weights=False)\n--\n\n"
     "Decode many shots, one per row of a 2-D array.\n"
     "\n"
     "``shots`` has shape ``(num_shots, num_detectors)``, or with\n"
     "``bit_packed_shots`` ``(num_shots, ceil(num_detectors / 8))`` uint8 holding\n"
     "eight detectors per byte, lowest bit first. Returns a uint8 array of shape\n"
     "``(num_shots, num_observables)``, or with ``bit_packed_predictions``\n"
     "``(num_shots, ceil(num_observables / 8))``; with ``return_weights`` the pair\n"
     "(predictions, weights), a float64 weight per shot. The interpreter lock is\n"
     "released while the shots are decoded; the decoder itself is held for the call."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"num_detectors", get_num_detectors, nullptr, "Detectors of the model (the width of a shot).", nullptr},
    {"num_observables", get_num_observables, nullptr, "Observables of the model (the width of a prediction).",
     nullptr},
    {"method", get_method, nullptr,
     "The decoding method: a name of ``DECODE_METHODS``, or 'union-find'.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(decoder_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>(
                    "Decoder(dem, method='matching', **options)\n--\n\n"
                    "A decoder built from a detector error model: a file path, DEM text, a\n"
                    "``pathlib.Path``, a ``stim.DetectorErrorModel`` or a ``DetectorErrorModel``.\n"
                    "\n"
                    "``method='matching'`` (default) finds a minimum-weight perfect matching,\n"
                    "exactly; ``method='weighted-union-find'`` grows clusters by edge weight and\n"
                    "peels a correction (faster, a little less accurate); ``method='correlated-matching'`` (and\n"
                    "``'correlated-union-find'``, faster; option ``max_passes``, and ``union_find_from``: shots\n"
                    "with fewer fired detectors take matching's first pass) decode again with the edges that\n"
                    "share an error with the correction weighed by that; all need the model's errors decomposed\n"
                    "into components of one or two detectors. ``method='bp-osd'`` (belief propagation, then\n"
                    "ordered statistics; options max_iter, bp_method, ms_scaling_factor, schedule,\n"
                    "osd_method, osd_order) and ``method='relay-bp'`` (options gamma0, pre_iter, num_iter,\n"
                    "legs, gamma_min, gamma_max, solutions, seed, schedule) decode models whose errors flip any number\n"
                    "of detectors (colour and qLDPC codes); ``method='belief-matching'`` weighs matching by\n"
                    "BP over a ``^``-decomposed model's whole errors. ``method='mobius'`` (and\n"
                    "``'correlated-mobius'``, option ``max_passes``) decodes colour codes, errors of any size,\n"
                    "from detectors marked in their 4th coordinate (0-2 red/green/blue X-type, 3-5 Z-type,\n"
                    "-1 ignored). ``method='union-find'`` is the fixed reference\n"
                    "procedure that ``OstrelStream.set_decoder`` runs on a model, for comparisons.\n"
                    "``DECODE_METHODS`` lists the methods; keyword ``options`` go to the method, which\n"
                    "refuses names it does not read. A model with a line that is no model instruction,\n"
                    "a probability outside [0, 1] or an observable past L63 is refused (ValueError).")},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.Decoder",
    sizeof(DecoderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyTypeObject* decoder_type() { return type; }

bool init_decoder_type() {
  if (!type) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return type != nullptr;
}

bool is_decoder(PyObject* o) { return type && Py_IS_TYPE(o, type); }

bool stream_decoder_from(PyObject* decoder, uint64_t window_depth, std::optional<driver::StreamDecoder>& out) {
  // The model is shared; the stream gets a decoder of its own, with its own scratch space.
  const DecoderCore& core = as_decoder(decoder)->core;
  out.emplace(driver::StreamDecoder::create_on(core.built.decoder->clone(), core.detector_count(), window_depth,
                                               core.built.ancillas_per_round));
  out->require_fit();
  return true;
}

}  // namespace ostrel::py
