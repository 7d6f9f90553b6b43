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
#include "ostrel/decode/decode_method.h"
#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/graph_components.h"
#include "ostrel/decode/model_checks.h"
#include "ostrel/decode/stream_decoder.h"
#include "ostrel/decode/union_find.h"
#include "ostrel/dem/spacetime_graph.h"

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ostrel_ARRAY_API
#include <numpy/arrayobject.h>

namespace ostrel::py {
namespace {

constexpr const char* kFixed = "union-find";
constexpr decode::DecodeMethod kDefaultMethod = decode::DecodeMethod::kWeightedUnionFind;

// The graphs and decoders of one Decoder object. The graphs never change; the decoders' scratch
// space is used under the object's exclusive borrow.
struct DecoderCore {
  bool weighted = true;  // on a decoding graph, by `method`; else the fixed procedure
  decode::DecodeMethod method = kDefaultMethod;
  uint64_t detector_count = 0;
  uint64_t observable_count = 0;
  std::shared_ptr<const decode::DecodingGraph> weighted_graph;
  std::shared_ptr<const dem::SpacetimeGraph> fixed_graph;
  std::unique_ptr<decode::GraphDecoder> weighted_decoder;
  std::optional<decode::UnionFindDecoder> fixed_decoder;
  // Components without boundary, when the graph has any: a shot must leave each of them even.
  std::optional<decode::GraphComponents> components;
  // Scratch of one shot.
  std::vector<uint32_t> fired;
  std::vector<uint8_t> cells;
  std::optional<uint32_t> unmatchable;  // set by decode_row: the shot could not be decoded

  std::string method_name() const {
    return weighted ? std::string(decode::decode_method_name(method)) : std::string(kFixed);
  }

  // One shot: `count` elements `stride` bytes apart, an element non-zero when fired (or, bit
  // packed, eight detectors per byte, lowest bit first).
  uint64_t decode_row(const uint8_t* data, npy_intp stride, npy_intp count, bool bit_packed) {
    if (weighted) {
      fired.clear();
      npy_intp i = 0;
      if (stride == 1 && !bit_packed) {
        // Shots are mostly zeros: skip them eight bytes at a time.
        for (; i + 8 <= count; i += 8) {
          uint64_t word;
          std::memcpy(&word, data + i, sizeof word);
          if constexpr (std::endian::native == std::endian::little) {
            // Each non-zero byte, lowest address first: the word's lowest set bit, then its byte cleared.
            while (word) {
              const int byte = __builtin_ctzll(word) >> 3;
              fired.push_back(static_cast<uint32_t>(i + byte));
              word &= ~(uint64_t{0xff} << (8 * byte));
            }
          } else {
            for (npy_intp j = i; j < i + 8; ++j)
              if (data[j]) fired.push_back(static_cast<uint32_t>(j));
          }
        }
      }
      for (; i < count; ++i) {
        const uint8_t byte = data[i * stride];
        if (!byte) continue;
        if (!bit_packed) {
          fired.push_back(static_cast<uint32_t>(i));
          continue;
        }
        for (uint32_t b = 0; b < 8; ++b)
          if (byte >> b & 1) fired.push_back(static_cast<uint32_t>(8 * i + b));
      }
      if (components && (unmatchable = components->unmatchable(fired))) return 0;
      return weighted_decoder->decode(fired);
    }
    cells.assign(detector_count, 0);
    for (npy_intp i = 0; i < count; ++i) {
      const uint8_t byte = data[i * stride];
      if (!byte) continue;
      if (!bit_packed) {
        cells[i] = 1;
        continue;
      }
      for (uint64_t b = 0; b < 8; ++b)
        if ((byte >> b & 1) && 8 * uint64_t(i) + b < detector_count) cells[8 * i + b] = 1;
    }
    return fixed_decoder->decode(cells);
  }
};

struct DecoderObject {
  PyObject_HEAD
  BorrowFlag borrow;
  DecoderCore core;
  ModelSource source;  // what a pickle carries: the decoder is rebuilt from its text
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

bool build_core(const dem::DetectorErrorModel& model, std::optional<decode::DecodeMethod> method,
                DecoderCore& core) {
  const bool weighted = method.has_value();
  if (auto refused = decode::refuse_undecodable(model)) {
    raise_value_error(*refused);
    return false;
  }
  core.weighted = weighted;
  if (method) core.method = *method;
  core.detector_count = model.detector_count;
  core.observable_count = model.observable_count;
  if (weighted) {
    auto graph = decode::build_decoding_graph(model);
    if (!graph.ok()) {
      raise_value_error(graph.error());
      return false;
    }
    core.weighted_graph = std::move(graph).value();
    core.weighted_decoder = decode::make_graph_decoder(core.method, core.weighted_graph);
    decode::GraphComponents components(*core.weighted_graph);
    if (components.any_closed()) core.components.emplace(std::move(components));
    return true;
  }
  // Refused before anything is built when the graph and its decoder would pass the budget.
  if (auto refused = dem::check_node_count(model)) {
    raise_value_error(refused->message());
    return false;
  }
  if (auto within = decode::decoding_bytes(model); !within.ok()) {
    raise_value_error(within.error().message());
    return false;
  }
  auto graph = dem::build_spacetime_graph(model);
  if (!graph.ok()) {
    raise_value_error(graph.error().message());
    return false;
  }
  core.fixed_graph = std::move(graph).value();
  auto decoder = decode::UnionFindDecoder::create(core.fixed_graph);
  if (!decoder.ok()) {
    const bool memory = decoder.error().kind == decode::DecoderErrorKind::OutOfMemory;
    raise_error(memory ? PyExc_MemoryError : PyExc_ValueError, decoder.error().message());
    return false;
  }
  core.fixed_decoder.emplace(std::move(decoder).value());
  return true;
}

PyObject* decoder_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"dem", "method", nullptr};
    PyObject* dem_arg;
    PyObject* method_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:Decoder", const_cast<char**>(kwlist), &dem_arg,
                                     &method_arg))
      return nullptr;
    std::optional<decode::DecodeMethod> method = kDefaultMethod;
    if (method_arg) {
      auto name = arg_str(method_arg, "method");
      if (!name) return nullptr;
      if (*name == kFixed) {
        method.reset();
      } else if (!(method = decode::parse_decode_method(*name))) {
        std::string expected;
        for (const std::string_view known : decode::decode_method_names()) expected.append("'").append(known).append("', ");
        return raise_value_error("unknown decoding method '" + std::string(*name) + "': expected " + expected +
                                 "or '" + kFixed + "'");
      }
    }
    DecoderCore core;
    dem::DetectorErrorModel parsed;
    std::string text;
    const dem::DetectorErrorModel* model = model_and_text_from(dem_arg, parsed, text);
    if (!model || !build_core(*model, method, core)) return nullptr;
    ModelSource source;
    if (!capture_model_source(dem_arg, text, source)) return nullptr;
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) return nullptr;
    new (&as_decoder(o)->borrow) BorrowFlag();
    new (&as_decoder(o)->core) DecoderCore(std::move(core));
    new (&as_decoder(o)->source) ModelSource(std::move(source));
    return o;
  });
}

void decoder_dealloc(PyObject* self) {
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
PyObject* raise_unmatchable(const DecoderCore& core, npy_intp shot, bool batch) {
  std::string text = core.components->describe(*core.unmatchable);
  if (batch) text = "shot " + std::to_string(shot) + ": " + text;
  return raise_value_error(text);
}

// A correction's weight in the model's units, ln((1 - p) / p) summed over its edges.
double model_weight(DecoderCore& core) {
  return core.weighted_decoder->correction_weight();
}

PyObject* refuse_weights(const DecoderCore& core) {
  return raise_value_error("the '" + core.method_name() + "' method weighs no corrections: use a method on the decoding graph");
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
    if (return_weight && !core.weighted) return refuse_weights(core);
    const auto width = static_cast<npy_intp>(core.detector_count);
    std::string expected = "(";
    expected.append(std::to_string(width)).append(",)");
    PyRef array = shots_array(events_arg, 1, width, false, "detection_events", expected.c_str());
    if (!array) return nullptr;
    Borrow access = Borrow::exclusive_or_busy(d->borrow, "Decoder");
    if (!access) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const uint64_t mask = core.decode_row(static_cast<const uint8_t*>(PyArray_DATA(a)), PyArray_STRIDE(a, 0),
                                          width, false);
    if (core.unmatchable) return raise_unmatchable(core, 0, false);
    npy_intp dims[1] = {static_cast<npy_intp>(core.observable_count)};
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
    if (return_weights && !core.weighted) return refuse_weights(core);
    const npy_intp width =
        packed_shots ? packed_width(core.detector_count) : static_cast<npy_intp>(core.detector_count);
    std::string expected = "(num_shots, ";
    expected.append(std::to_string(width)).append(")");
    PyRef array = shots_array(shots_arg, 2, width, packed_shots != 0, "shots", expected.c_str());
    if (!array) return nullptr;
    Borrow access = Borrow::exclusive_or_busy(d->borrow, "Decoder");
    if (!access) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const npy_intp shots = PyArray_DIM(a, 0);
    const npy_intp out_width = packed_predictions ? packed_width(core.observable_count)
                                                  : static_cast<npy_intp>(core.observable_count);
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
        if (core.unmatchable) {
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
  return PyLong_FromUnsignedLongLong(as_decoder(self)->core.detector_count);
}
PyObject* get_num_observables(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_decoder(self)->core.observable_count);
}
PyObject* get_method(PyObject* self, void*) {
  const std::string name = as_decoder(self)->core.method_name();
  return PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
}

PyObject* decoder_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const DecoderCore& c = as_decoder(self)->core;
    const std::string text = std::string("Decoder(method='") + c.method_name() +
                             "', num_detectors=" + std::to_string(c.detector_count) +
                             ", num_observables=" + std::to_string(c.observable_count) + ")";
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
    PyRef kwargs = PyRef::steal(PyDict_New());
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
     "The decoding method: 'weighted-union-find', 'matching', 'correlated-matching', 'correlated-union-find' or "
     "'union-find'.",
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
                    "Decoder(dem, method='weighted-union-find')\n--\n\n"
                    "A decoder built from a detector error model: a file path, DEM text, a\n"
                    "``pathlib.Path``, a ``stim.DetectorErrorModel`` or a ``DetectorErrorModel``.\n"
                    "\n"
                    "``method='weighted-union-find'`` (default) grows clusters by edge weight and\n"
                    "peels a correction; ``method='matching'`` finds a minimum-weight perfect\n"
                    "matching, exactly; ``method='correlated-matching'`` (and\n"
                    "``'correlated-union-find'``) decode again with the edges that share an error\n"
                    "with the correction weighed by that; all need the model's errors decomposed\n"
                    "into components of one or two detectors. ``method='union-find'`` is the fixed procedure that\n"
                    "``OstrelStream.set_decoder`` runs by default, on the whole model.")},
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

bool stream_decoder_from(PyObject* decoder, uint64_t window_depth, std::optional<decode::StreamDecoder>& out) {
  // The graphs are immutable and shared; the stream gets decoders of its own on them.
  const DecoderCore& core = as_decoder(decoder)->core;
  if (core.weighted) {
    out.emplace(decode::StreamDecoder::create_on_graph(core.weighted_decoder->clone(), core.detector_count, window_depth));
    out->require_fit();
    return true;
  }
  auto created = decode::StreamDecoder::create(core.fixed_graph, core.detector_count, window_depth);
  if (!created.ok()) {
    const bool memory = created.error().kind == decode::DecoderErrorKind::OutOfMemory;
    raise_error(memory ? PyExc_MemoryError : PyExc_ValueError, created.error().message());
    return false;
  }
  out.emplace(std::move(created).value());
  out->require_fit();
  return true;
}

}  // namespace ostrel::py
