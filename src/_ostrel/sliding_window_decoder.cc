#include "_ostrel/sliding_window_decoder.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "_ostrel/args.h"
#include "_ostrel/borrow.h"
#include "_ostrel/decoder.h"
#include "_ostrel/detector_error_model.h"
#include "_ostrel/errors.h"
#include "_ostrel/numpy_arrays.h"
#include "_ostrel/py_ref.h"
#include "ostrel/decode/sliding_window.h"
#include "ostrel/dem/dem_parser.h"
#include "ostrel/driver/make_decoder.h"
#include "ostrel/driver/window_decoder.h"
#include "ostrel/driver/window_plan.h"

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ostrel_ARRAY_API
#include <numpy/arrayobject.h>

namespace ostrel::py {
namespace {


struct SlidingObject {
  PyObject_HEAD
  BorrowFlag borrow;
  std::optional<driver::WindowDecoder> decoder;
  uint64_t detector_count;
  PyRef options;  // the method's keyword options as given (a dict), for pickles
  // What a pickle carries: the model and the layout table (null: 'coordinates').
  ModelSource source;
  PyRef layout;
};

constexpr const char* kName = "SlidingWindowDecoder";
// More decoding threads than this buy nothing: a shot's first layer holds few windows at once.
constexpr uint64_t kMaxThreads = 256;

PyTypeObject* type = nullptr;

SlidingObject* as_sliding(PyObject* o) { return reinterpret_cast<SlidingObject*>(o); }

std::optional<uint32_t> rounds_arg(PyObject* o, const char* name) {
  auto value = arg_count(o, name);
  if (!value) return std::nullopt;
  if (*value > UINT32_MAX) {
    raise_value_error(std::string(name) + " must be at most " + std::to_string(UINT32_MAX));
    return std::nullopt;
  }
  return static_cast<uint32_t>(*value);
}

// "coordinates", or a 2-D integer array of detector indices with -1 for none.
bool layout_of(PyObject* arg, const dem::DetectorErrorModel& model, std::optional<decode::DetectorLayout>& out) {
  if (arg == nullptr || PyUnicode_Check(arg)) {
    if (arg != nullptr) {
      auto text = arg_str(arg, "layout");
      if (!text) return false;
      if (*text != "coordinates")
        return raise_value_error("layout must be 'coordinates' or a 2-D integer array (rounds x ancillas), got '" +
                                 std::string(*text) + "'") != nullptr;
    }
    auto layout = decode::DetectorLayout::from_coordinates(model);
    if (!layout.ok()) return raise_value_error(layout.error()) != nullptr;
    out.emplace(std::move(layout).value());
    return true;
  }
  PyRef array = PyRef::steal(PyArray_FROM_O(arg));
  if (!array) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  if (PyArray_NDIM(a) != 2 || !(PyTypeNum_ISINTEGER(PyArray_TYPE(a)))) {
    raise_value_error("layout must be 'coordinates' or a 2-D integer array (rounds x ancillas)");
    return false;
  }
  PyRef cells = PyRef::steal(PyArray_FROM_OTF(array.get(), NPY_INT64, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
  if (!cells) return false;
  auto* c = reinterpret_cast<PyArrayObject*>(cells.get());
  // uint64 values above INT64_MAX wrapped in the cast; they name no detector either way.
  const std::span<const int64_t> values(static_cast<const int64_t*>(PyArray_DATA(c)),
                                        static_cast<size_t>(PyArray_SIZE(c)));
  auto layout = decode::DetectorLayout::from_table(model, static_cast<uint64_t>(PyArray_DIM(c, 0)),
                                                   static_cast<uint64_t>(PyArray_DIM(c, 1)), values);
  if (!layout.ok()) return raise_value_error(layout.error()) != nullptr;
  out.emplace(std::move(layout).value());
  return true;
}

PyObject* get_layout(PyObject* self, void*);

PyObject* sliding_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"dem", "commit_rounds", "buffer_rounds", "layout", "method", "threads", nullptr};
    // Every keyword but these is the method's option.
    PyRef options_dict = PyRef::steal(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    PyRef named = PyRef::steal(PyDict_New());
    if (!options_dict || !named) return nullptr;
    for (const char* const* name = kwlist; *name; ++name)
      if (PyObject* given = PyDict_GetItemString(options_dict.get(), *name)) {
        if (PyDict_SetItemString(named.get(), *name, given) != 0 ||
            PyDict_DelItemString(options_dict.get(), *name) != 0)
          return nullptr;
      }
    PyObject *dem_arg, *commit_arg, *buffer_arg, *layout_arg = nullptr, *method_arg = nullptr,
                                                  *threads_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, named.get(), "OOO|$OOO:SlidingWindowDecoder", const_cast<char**>(kwlist),
                                     &dem_arg, &commit_arg, &buffer_arg, &layout_arg, &method_arg, &threads_arg))
      return nullptr;
    driver::DecoderOptions options;
    if (!decoder_options_from(options_dict.get(), options)) return nullptr;
    uint32_t threads = 0;
    if (threads_arg) {
      auto n = arg_count(threads_arg, "threads");
      if (!n) return nullptr;
      if (*n > kMaxThreads) return raise_value_error("threads must be at most " + std::to_string(kMaxThreads));
      threads = static_cast<uint32_t>(*n);
    }
    auto commit = rounds_arg(commit_arg, "commit_rounds");
    if (!commit) return nullptr;
    auto buffer = rounds_arg(buffer_arg, "buffer_rounds");
    if (!buffer) return nullptr;
    std::string_view method_name = driver::kDefaultMethod;
    if (method_arg) {
      auto name = arg_str(method_arg, "method");
      if (!name) return nullptr;
      method_name = *name;
    }
    auto spec = driver::method_for(method_name);
    if (!spec.ok()) return raise_driver_error(spec.error()), nullptr;
    std::optional<driver::WindowPlan> plan;
    dem::DetectorErrorModel parsed;
    const dem::DetectorErrorModel* model = model_if_dem(dem_arg);
    std::string text;
    if (!model) {
      if (!refuse_stim_circuit(dem_arg) || !dem_text_of(dem_arg, text)) return nullptr;
      // Parallel windows need every round of the shot in the plan: expanded, never folded.
      auto got = driver::fold_or_parse(text, *commit, *buffer, **spec,
                                       threads == 0 && (layout_arg == nullptr || PyUnicode_Check(layout_arg)));
      if (!got.ok()) return raise_driver_error(got.error()), nullptr;
      if (got->folded) {
        plan = std::move(got->folded);
      } else {
        parsed = std::move(got->model);
        if (!refuse_missing_model_file(dem_arg, parsed)) return nullptr;
        model = &parsed;
      }
    }
    if (!plan) {
      std::optional<decode::DetectorLayout> layout;
      if (!layout_of(layout_arg, *model, layout)) return nullptr;
      auto created = driver::plan_window(*model, std::move(*layout), *commit, *buffer, **spec, options);
      if (!created.ok()) return raise_driver_error(created.error()), nullptr;
      plan = std::move(created).value();
    } else if (auto unknown = options.unread((*spec)->name)) {
      return raise_value_error(*unknown);
    } else if (layout_arg != nullptr) {
      auto text = arg_str(layout_arg, "layout");
      if (!text) return nullptr;
      if (*text != "coordinates")
        return raise_value_error("layout must be 'coordinates' or a 2-D integer array (rounds x ancillas), got '" +
                                 std::string(*text) + "'");
    }
    auto made = driver::WindowDecoder::create(std::move(*plan), threads);
    if (!made.ok()) return raise_driver_error(made.error()), nullptr;
    ModelSource source;
    if (!capture_model_source(dem_arg, text, source)) return nullptr;
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) return nullptr;
    auto* s = as_sliding(o);
    new (&s->borrow) BorrowFlag();
    new (&s->decoder) std::optional<driver::WindowDecoder>(std::move(made).value());
    s->detector_count = s->decoder->plan().model_detector_count();
    new (&s->options) PyRef(std::move(options_dict));
    new (&s->source) ModelSource(std::move(source));
    // A table is kept as the plan holds it, so later changes to the caller's array do not count.
    new (&s->layout) PyRef(layout_arg && !PyUnicode_Check(layout_arg) ? PyRef::steal(get_layout(o, nullptr)) : PyRef());
    if (layout_arg && !PyUnicode_Check(layout_arg) && !s->layout) {
      Py_DECREF(o);
      return nullptr;
    }
    return o;
  });
}

void sliding_dealloc(PyObject* self) {
  auto* s = as_sliding(self);
  s->layout.~PyRef();
  s->options.~PyRef();
  s->source.~ModelSource();
  s->decoder.~optional();
  s->borrow.~BorrowFlag();
  free_instance(self);
}

PyObject* sliding_push(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const auto arrival = std::chrono::steady_clock::now();
    static const char* kwlist[] = {"detection_events", "round", nullptr};
    PyObject *events_arg, *round_arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:push", const_cast<char**>(kwlist), &events_arg, &round_arg))
      return nullptr;
    auto round = arg_count(round_arg, "round");
    if (!round) return nullptr;
    // Any 1-D numeric array: an element fires when it is non-zero.
    PyRef array = PyRef::steal(PyArray_FROM_OTF(events_arg, NPY_BOOL, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (!array) return nullptr;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_NDIM(a) != 1)
      return raise_value_error("detection_events must be a 1-D array of one value per ancilla");
    auto* s = as_sliding(self);
    Borrow access = Borrow::exclusive_or_busy(s->borrow, kName);
    if (!access) return nullptr;
    if (*round > UINT32_MAX) return raise_value_error("round " + std::to_string(*round) + " is beyond any shot");
    const std::span<const uint8_t> events(static_cast<const uint8_t*>(PyArray_DATA(a)),
                                          static_cast<size_t>(PyArray_DIM(a, 0)));
    auto pushed = s->decoder->push(static_cast<uint32_t>(*round), events, arrival);
    if (!pushed.ok()) return raise_value_error(pushed.error());
    return PyLong_FromUnsignedLongLong(pushed->frame);
  });
}

PyObject* sliding_coordinate_layout(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"dem", nullptr};
    PyObject* dem_arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:coordinate_layout", const_cast<char**>(kwlist), &dem_arg))
      return nullptr;
    dem::DetectorErrorModel parsed;
    const dem::DetectorErrorModel* model = model_from(dem_arg, parsed);
    if (!model) return nullptr;
    auto layout = decode::DetectorLayout::from_coordinates(*model);
    if (!layout.ok()) return raise_value_error(layout.error());
    return new_index_matrix(layout->cells(), layout->rows(), layout->columns(), decode::DetectorLayout::kNone);
  });
}

PyObject* sliding_finish(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* s = as_sliding(self);
    Borrow access = Borrow::exclusive_or_busy(s->borrow, kName);
    if (!access) return nullptr;
    const std::optional<uint64_t> prediction = s->decoder->finish();
    if (!prediction) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*prediction);
  });
}

// Percentiles (0..100) of one of the latency histograms, in microseconds.
PyObject* latency_percentiles(PyObject* self, PyObject* args, PyObject* kwargs, bool shot) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"percentiles", nullptr};
    PyObject* q_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, shot ? "|O:shot_latency_us" : "|O:commit_latency_us",
                                     const_cast<char**>(kwlist), &q_arg))
      return nullptr;
    PyRef default_q;
    if (!q_arg) {
      default_q = PyRef::steal(Py_BuildValue("(dddd)", 50.0, 90.0, 99.0, 99.9));
      if (!default_q) return nullptr;
      q_arg = default_q.get();
    }
    PyRef seq = PyRef::steal(PySequence_Fast(q_arg, "argument 'percentiles': expected a sequence of numbers"));
    if (!seq) return nullptr;
    std::vector<double> qs;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
      auto q = arg_f64(PySequence_Fast_GET_ITEM(seq.get(), i), "percentiles");
      if (!q) return nullptr;
      if (!(*q >= 0.0 && *q <= 100.0)) return raise_value_error("percentiles must lie between 0 and 100");
      qs.push_back(*q);
    }
    auto* s = as_sliding(self);
    Borrow access = Borrow::shared_or_busy(s->borrow, kName);
    if (!access) return nullptr;
    const decode::LatencyHistogram& h = shot ? s->decoder->shot_latency() : s->decoder->commit_latency();
    PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(qs.size())));
    if (!out) return nullptr;
    for (size_t i = 0; i < qs.size(); ++i) {
      PyObject* v = PyFloat_FromDouble(static_cast<double>(h.percentile(qs[i] / 100.0)) / 1000.0);
      if (!v) return nullptr;
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), v);
    }
    return out.release();
  });
}

PyObject* sliding_commit_latency(PyObject* self, PyObject* args, PyObject* kwargs) {
  return latency_percentiles(self, args, kwargs, false);
}
PyObject* sliding_shot_latency(PyObject* self, PyObject* args, PyObject* kwargs) {
  return latency_percentiles(self, args, kwargs, true);
}

PyObject* sliding_reset_statistics(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* s = as_sliding(self);
    Borrow access = Borrow::exclusive_or_busy(s->borrow, kName);
    if (!access) return nullptr;
    s->decoder->clear_statistics();
    Py_RETURN_NONE;
  });
}

// A read-only property: a number taken under shared access.
template <uint64_t (*Read)(const SlidingObject&)>
PyObject* get_number(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto* s = as_sliding(self);
    Borrow access = Borrow::shared_or_busy(s->borrow, kName);
    if (!access) return nullptr;
    return PyLong_FromUnsignedLongLong(Read(*s));
  });
}

uint64_t read_commit(const SlidingObject& s) { return s.decoder->plan().commit_rounds(); }
uint64_t read_buffer(const SlidingObject& s) { return s.decoder->plan().buffer_rounds(); }
uint64_t read_rounds_per_shot(const SlidingObject& s) { return s.decoder->plan().rounds_per_shot(); }
uint64_t read_ancillas(const SlidingObject& s) { return s.decoder->plan().layout().columns(); }
uint64_t read_detectors(const SlidingObject& s) { return s.detector_count; }
uint64_t read_observables(const SlidingObject& s) { return s.decoder->plan().observable_count(); }
uint64_t read_rounds(const SlidingObject& s) { return s.decoder->rounds_decoded(); }
uint64_t read_windows(const SlidingObject& s) { return s.decoder->windows_decoded(); }
uint64_t read_shots(const SlidingObject& s) { return s.decoder->shots_decoded(); }
uint64_t read_abandoned(const SlidingObject& s) { return s.decoder->shots_abandoned(); }
uint64_t read_committed(const SlidingObject& s) { return s.decoder->committed_frame(); }
uint64_t read_threads(const SlidingObject& s) { return s.decoder->threads(); }

PyObject* get_method(PyObject* self, void*) {
  const std::string_view name = as_sliding(self)->decoder->method_name();
  return PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
}

PyObject* get_layout(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const decode::DetectorLayout& l = as_sliding(self)->decoder->plan().layout();
    return new_index_matrix(l.cells(), l.rows(), l.columns(), decode::DetectorLayout::kNone);
  });
}

PyObject* sliding_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const driver::WindowDecoder& d = *as_sliding(self)->decoder;
    const driver::WindowPlan& p = d.plan();
    std::string text = "SlidingWindowDecoder(commit_rounds=" + std::to_string(p.commit_rounds()) +
                       ", buffer_rounds=" + std::to_string(p.buffer_rounds()) +
                       ", rounds_per_shot=" + std::to_string(p.rounds_per_shot()) +
                       ", ancillas=" + std::to_string(p.layout().columns());
    if (d.method_name() != driver::kDefaultMethod) text.append(", method='").append(d.method_name()).append("'");
    if (d.threads() != 0) text += ", threads=" + std::to_string(d.threads());
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
  });
}

// Pickles as the constructor's arguments (the model as text): the copy starts with no shot in
// progress and no statistics.
PyObject* sliding_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* s = as_sliding(self);
    const driver::WindowPlan& p = s->decoder->plan();
    PyRef text = PyRef::steal(model_source_text(s->source));
    if (!text) return nullptr;
    PyRef args = PyRef::steal(Py_BuildValue("(OII)", text.get(), p.commit_rounds(), p.buffer_rounds()));
    PyRef method = PyRef::steal(get_method(self, nullptr));
    if (!args || !method) return nullptr;
    PyRef kwargs = PyRef::steal(PyDict_Copy(s->options.get()));
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "method", method.get()) != 0) return nullptr;
    if (s->layout && PyDict_SetItemString(kwargs.get(), "layout", s->layout.get()) != 0) return nullptr;
    if (const uint32_t threads = s->decoder->threads(); threads != 0) {
      PyRef n = PyRef::steal(PyLong_FromUnsignedLong(threads));
      if (!n || PyDict_SetItemString(kwargs.get(), "threads", n.get()) != 0) return nullptr;
    }
    return pickle_reduction(kName, args.get(), kwargs.get());
  });
}

PyMethodDef methods[] = {
    {"__reduce__", sliding_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"push", with_keywords(sliding_push), METH_VARARGS | METH_KEYWORDS,
     "push($self, detection_events, round)\n--\n\n"
     "Decode one round as it arrives.\n"
     "\n"
     "``detection_events`` holds one value per ancilla column of the layout (non-zero =\n"
     "fired); ``round`` is its row. Round 0 starts a shot (abandoning one in\n"
     "progress); any other round must follow the previous one. Returns the running\n"
     "committed logical frame: the XOR of the observables of every correction edge\n"
     "committed so far in this shot. After the shot's last round\n"
     "(``rounds_per_shot - 1``) it is the shot's prediction. A round that does not\n"
     "fit raises ValueError and changes nothing."},
    {"coordinate_layout", with_keywords(sliding_coordinate_layout), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "coordinate_layout(dem)\n--\n\n"
     "The detector layout of a model from its detector coordinates.\n"
     "\n"
     "Returns a 2-D int64 array of shape ``(rounds, ancillas)``: cell ``[r, c]`` is the\n"
     "detector that ancilla column ``c`` reports in round ``r``, or -1. A detector's last\n"
     "coordinate is its round (rows in ascending order of that value); the coordinates\n"
     "before it name its ancilla (columns in ascending lexicographic order of those\n"
     "tuples). Raises ValueError if a detector an error names has no coordinates or two\n"
     "detectors share their coordinates. ``dem`` takes any form the constructor takes."},
    {"finish", sliding_finish, METH_NOARGS,
     "finish($self)\n--\n\n"
     "End the shot in progress early: decode the rounds held with a closing time\n"
     "boundary after the last of them and return the shot's prediction (an int), or\n"
     "None when no shot is in progress."},
    {"commit_latency_us", with_keywords(sliding_commit_latency), METH_VARARGS | METH_KEYWORDS,
     "commit_latency_us($self, percentiles=(50, 90, 99, 99.9))\n--\n\n"
     "Percentiles of the time from the arrival of the round that filled a window to\n"
     "its committed result, in microseconds (a list; 0.0 before any commit). Each\n"
     "figure is the upper edge of a histogram bucket at most 1/16 wide."},
    {"shot_latency_us", with_keywords(sliding_shot_latency), METH_VARARGS | METH_KEYWORDS,
     "shot_latency_us($self, percentiles=(50, 90, 99, 99.9))\n--\n\n"
     "Percentiles of the time from the arrival of a shot's last round to the shot's\n"
     "prediction, in microseconds (as ``commit_latency_us``)."},
    {"reset_statistics", sliding_reset_statistics, METH_NOARGS,
     "reset_statistics($self)\n--\n\n"
     "Set the counters and latency histograms back to zero."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"commit_rounds", get_number<read_commit>, nullptr, "Rounds committed per window.", nullptr},
    {"buffer_rounds", get_number<read_buffer>, nullptr, "Rounds after the commit region in each window.", nullptr},
    {"rounds_per_shot", get_number<read_rounds_per_shot>, nullptr, "Rows of the layout: the rounds of one shot.",
     nullptr},
    {"ancilla_count", get_number<read_ancillas>, nullptr, "Columns of the layout: values per round.", nullptr},
    {"num_detectors", get_number<read_detectors>, nullptr, "Detectors of the model.", nullptr},
    {"num_observables", get_number<read_observables>, nullptr, "Observables of the model.", nullptr},
    {"method", get_method, nullptr,
     "The decoding method of each window (any of ``DECODE_METHODS``).",
     nullptr},
    {"layout", get_layout, nullptr,
     "The detector layout as a 2-D int64 array (rounds, ancillas), -1 where no detector; for a\n"
     "folded repeat block, that of the shortened model (fewer rows than ``rounds_per_shot``).",
     nullptr},
    {"rounds_decoded", get_number<read_rounds>, nullptr, "Rounds pushed (by push or a stream).", nullptr},
    {"windows_decoded", get_number<read_windows>, nullptr, "Windows decoded, the closing ones included.", nullptr},
    {"shots_decoded", get_number<read_shots>, nullptr, "Shots whose prediction was given.", nullptr},
    {"shots_abandoned", get_number<read_abandoned>, nullptr, "Shots left unfinished by a new round 0.", nullptr},
    {"committed_frame", get_number<read_committed>, nullptr,
     "The running committed logical frame of the current (or last) shot.", nullptr},
    {"threads", get_number<read_threads>, nullptr,
     "Threads decoding windows in parallel; 0 when each window is decoded by the pushing thread.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(sliding_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sliding_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(sliding_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>(
                    "SlidingWindowDecoder(dem, commit_rounds, buffer_rounds, *, layout='coordinates', "
                    "method='matching', threads=0, **options)\n--\n\n"
                    "Real-time decoding of shots that arrive one round at a time.\n"
                    "\n"
                    "The window holds ``commit_rounds + buffer_rounds`` rounds. When it is full it\n"
                    "is decoded by ``method`` ('matching', exact minimum-weight matching;\n"
                    "'weighted-union-find', faster; 'correlated-matching' or 'correlated-union-find'\n"
                    "re-weighted by the model's correlated errors); the correction edges in its\n"
                    "first ``commit_rounds`` rounds are committed (their observables go into the\n"
                    "running logical frame; an edge crossing into the buffer flips the detector it\n"
                    "reaches there) and the window slides on by ``commit_rounds``. The shot's last\n"
                    "round is decoded with the model's closing time boundary.\n"
                    "\n"
                    "The methods that decode errors of any size ('bp-osd', 'relay-bp',\n"
                    "'belief-matching', 'mobius', 'correlated-mobius'; ``options`` as ``Decoder``\n"
                    "takes them) decode each window on its slice of the model: the errors whose\n"
                    "first detector lies in the window, cut at its end; the errors of the correction\n"
                    "that start in the commit rounds are committed. Their models are expanded, and\n"
                    "their windows decoded one after another (``threads=0``).\n"
                    "\n"
                    "``dem`` is a model in any form ``Decoder`` accepts. ``layout`` maps rounds and\n"
                    "ancilla columns to detectors: 'coordinates' (each detector's last coordinate\n"
                    "is its round; see ``coordinate_layout``) or a 2-D integer\n"
                    "array (rounds x ancillas) of detector indices with -1 for none.\n"
                    "\n"
                    "Model text with a long top-level repeat block (as Stim writes memory\n"
                    "experiments) is not expanded: with the coordinate layout, the window decodes on\n"
                    "the model with the block cut to a few windows' rounds, every middle window on one\n"
                    "steady-state window, with the same results as the expanded model. A shot may then\n"
                    "run for any number of rounds (up to 2**32) in the memory of a few windows. A block\n"
                    "that cannot be folded that way is expanded; ValueError when it is too large.\n"
                    "\n"
                    "``threads`` >= 1 decodes windows in parallel on that many threads of the\n"
                    "decoder's own: a first layer of windows, each with a buffer of\n"
                    "``buffer_rounds`` on both sides of its ``commit_rounds``, decoded as soon as\n"
                    "their rounds are in and independently of each other, then the seams between\n"
                    "them (``buffer_rounds`` each) once both neighbours have committed; the shot's\n"
                    "last window takes every round after the commit region of the one before it.\n"
                    "A shot's last round waits for its windows; the prediction is the same for any number of\n"
                    "threads (it may differ from that of ``threads=0``, one window after another). The\n"
                    "model is then expanded, never folded.\n"
                    "\n"
                    "A stream accepts it in ``set_decoder``: each frame is one round (``round`` its\n"
                    "row) and its ``observable_flips`` is the running committed frame, the shot's\n"
                    "prediction on its last frame. The stream decodes with this object's own\n"
                    "state, so its statistics count the stream's rounds; give one object to one\n"
                    "stream at a time.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.SlidingWindowDecoder",
    sizeof(SlidingObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyTypeObject* sliding_window_decoder_type() { return type; }

bool init_sliding_window_decoder_type() {
  if (!type) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return type != nullptr;
}

bool is_sliding_window_decoder(PyObject* o) { return type && Py_IS_TYPE(o, type); }

bool sliding_window_decode_frame(PyObject* decoder, uint32_t round, std::span<const uint8_t> events,
                                 std::chrono::steady_clock::time_point arrival, uint64_t& mask) {
  auto* s = as_sliding(decoder);
  Borrow access = Borrow::exclusive_or_busy(s->borrow, kName);
  if (!access) return false;
  auto pushed = s->decoder->push(round, events, arrival);
  if (!pushed.ok()) {
    raise_value_error(pushed.error());
    return false;
  }
  mask = pushed->frame;
  return true;
}

bool sliding_window_stream_decoder(PyObject* decoder, std::optional<Borrow>& access, std::optional<driver::StreamDecoder>& out) {
  auto* s = as_sliding(decoder);
  access.emplace(Borrow::exclusive_or_busy(s->borrow, kName));
  if (!*access) return false;
  out.emplace(driver::StreamDecoder::over_sliding_window(*s->decoder));
  return true;
}

}  // namespace ostrel::py
