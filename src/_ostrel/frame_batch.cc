#include "_ostrel/frame_batch.h"

#include <array>
#include <limits>
#include <string>

#include "_ostrel/errors.h"
#include "_ostrel/numpy_arrays.h"
#include "_ostrel/py_ref.h"
#include "_ostrel/syndrome_window.h"
#include "ostrel/driver/batch_reader.h"

namespace ostrel::py {
namespace {

using qssf::BatchColumn;
using qssf::kBatchColumns;

struct FrameBatchObject {
  PyObject_HEAD
  uint64_t size;
  bool bit_packed;
  std::array<PyObject*, kBatchColumns> arrays;  // owned; never null once made
};

PyTypeObject* type = nullptr;

FrameBatchObject* as_batch(PyObject* o) { return reinterpret_cast<FrameBatchObject*>(o); }

int column_type(BatchColumn c, bool bit_packed) {
  switch (c) {
    case BatchColumn::FrameId:
    case BatchColumn::TimestampNs:
    case BatchColumn::ObservableFlips:
      return numpy_type_uint64();
    case BatchColumn::Round:
    case BatchColumn::DetectorEventCount:
      return numpy_type_uint32();
    case BatchColumn::QubitCount:
    case BatchColumn::AncillaCount:
    case BatchColumn::Flags:
      return numpy_type_uint16();
    case BatchColumn::CodeType:
    case BatchColumn::Distance:
      return numpy_type_uint8();
    case BatchColumn::HasObservableFlips:
    case BatchColumn::HasPayloadChecksum:
      return numpy_type_bool();
    case BatchColumn::DetectorEvents:
      return bit_packed ? numpy_type_uint8() : numpy_type_bool();
    case BatchColumn::MeasResults:
      return numpy_type_int8();
  }
  return numpy_type_uint8();
}

// Hands every column of `batch` to a NumPy array that frees it.
PyObject* new_batch_object(qssf::FrameBatch& batch) {
  PyRef o = PyRef::steal(type->tp_alloc(type, 0));
  if (!o) return nullptr;
  auto* b = as_batch(o.get());
  b->size = batch.size();
  b->bit_packed = batch.bit_packed();
  b->arrays.fill(nullptr);
  for (size_t c = 0; c < kBatchColumns; ++c) {
    const auto column = BatchColumn(c);
    const bool matrix = column == BatchColumn::DetectorEvents || column == BatchColumn::MeasResults;
    const int64_t dims[2] = {int64_t(batch.size()), int64_t(batch.element_bytes(column))};
    b->arrays[c] = new_owning_array(std::move(batch.column(column)), column_type(column, batch.bit_packed()),
                                    matrix ? 2 : 1, dims);
    if (!b->arrays[c]) return nullptr;
  }
  return o.release();
}

void batch_dealloc(PyObject* self) {
  for (PyObject*& a : as_batch(self)->arrays) Py_CLEAR(a);
  free_instance(self);
}

Py_ssize_t batch_len(PyObject* self) { return Py_ssize_t(as_batch(self)->size); }

PyObject* batch_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const FrameBatchObject* b = as_batch(self);
    std::string text = "FrameBatch(frames=" + std::to_string(b->size);
    if (b->bit_packed) text += ", bit_packed=True";
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
  });
}

template <BatchColumn C>
PyObject* get_column(PyObject* self, void*) {
  return Py_NewRef(as_batch(self)->arrays[size_t(C)]);
}

PyObject* get_bit_packed(PyObject* self, void*) { return PyBool_FromLong(as_batch(self)->bit_packed); }

// Sets dict[key] = value, consuming the reference to value.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (!value) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* to_pandas(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    FrameBatchObject* b = as_batch(self);
    PyRef pandas = PyRef::steal(PyImport_ImportModule("pandas"));
    if (!pandas) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
      PyErr_Clear();
      return raise_error(PyExc_ImportError, "FrameBatch.to_pandas needs pandas (pip install pandas)");
    }
    auto column = [&](BatchColumn c) { return Py_NewRef(b->arrays[size_t(c)]); };
    PyRef columns = PyRef::steal(PyDict_New());
    if (!columns) return nullptr;
    static constexpr std::pair<const char*, BatchColumn> scalars[] = {
        {"frame_id", BatchColumn::FrameId},
        {"round", BatchColumn::Round},
        {"timestamp_ns", BatchColumn::TimestampNs},
        {"qubit_count", BatchColumn::QubitCount},
        {"ancilla_count", BatchColumn::AncillaCount},
        {"detector_event_count", BatchColumn::DetectorEventCount},
        {"code_type", BatchColumn::CodeType},
        {"distance", BatchColumn::Distance},
        {"flags", BatchColumn::Flags},
    };
    for (const auto& [name, c] : scalars)
      if (!put(columns.get(), name, column(c))) return nullptr;
    // One array per frame, as a frame's to_dict() gives it.
    if (!put(columns.get(), "detector_events", PySequence_List(b->arrays[size_t(BatchColumn::DetectorEvents)])))
      return nullptr;
    // Frames without a mask show as missing values of pandas' nullable UInt64.
    PyRef missing = PyRef::steal(PyNumber_Invert(b->arrays[size_t(BatchColumn::HasObservableFlips)]));
    if (!missing) return nullptr;
    PyRef arrays = PyRef::steal(PyObject_GetAttrString(pandas.get(), "arrays"));
    if (!arrays) return nullptr;
    PyRef flips = PyRef::steal(PyObject_CallMethod(arrays.get(), "IntegerArray", "OO",
                                                   b->arrays[size_t(BatchColumn::ObservableFlips)],
                                                   missing.get()));
    if (!put(columns.get(), "observable_flips", flips.release())) return nullptr;
    return PyObject_CallMethod(pandas.get(), "DataFrame", "O", columns.get());
  });
}

PyGetSetDef getset[] = {
    {"frame_id", get_column<BatchColumn::FrameId>, nullptr, "Frame ids (uint64).", nullptr},
    {"round", get_column<BatchColumn::Round>, nullptr, "Rounds (uint32).", nullptr},
    {"timestamp_ns", get_column<BatchColumn::TimestampNs>, nullptr, "Timestamps in ns (uint64).", nullptr},
    {"qubit_count", get_column<BatchColumn::QubitCount>, nullptr, "Qubit counts (uint16).", nullptr},
    {"ancilla_count", get_column<BatchColumn::AncillaCount>, nullptr,
     "Ancilla counts (uint16); one value throughout a batch.", nullptr},
    {"detector_event_count", get_column<BatchColumn::DetectorEventCount>, nullptr,
     "Fired detectors per frame as counted from the encoded payload (uint32).", nullptr},
    {"code_type", get_column<BatchColumn::CodeType>, nullptr, "Code-type bytes (uint8).", nullptr},
    {"distance", get_column<BatchColumn::Distance>, nullptr, "Code distances (uint8).", nullptr},
    {"flags", get_column<BatchColumn::Flags>, nullptr, "Header flags (uint16).", nullptr},
    {"observable_flips", get_column<BatchColumn::ObservableFlips>, nullptr,
     "Observable flip masks (uint64); 0 where has_observable_flips is False.", nullptr},
    {"has_observable_flips", get_column<BatchColumn::HasObservableFlips>, nullptr,
     "Which frames carry a mask (bool): read with the frame, or decoded.", nullptr},
    {"has_payload_checksum", get_column<BatchColumn::HasPayloadChecksum>, nullptr,
     "Which frames carried a payload checksum (bool); every one read has matched its payload.", nullptr},
    {"detector_events", get_column<BatchColumn::DetectorEvents>, nullptr,
     "Detector events, frames x ancillas (bool); bit-packed, frames x ceil(ancillas / 8) (uint8,\n"
     "detector i in bit i % 8 of byte i // 8, as Stim's b8 format).",
     nullptr},
    {"meas_results", get_column<BatchColumn::MeasResults>, nullptr,
     "Measurement results, frames x ancillas (int8).", nullptr},
    {"bit_packed", get_bit_packed, nullptr, "Whether detector_events is bit-packed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"to_pandas", to_pandas, METH_NOARGS,
     "to_pandas($self)\n--\n\n"
     "A pandas DataFrame with one row per frame: the header fields, the detector events as one\n"
     "array per row, and observable_flips as nullable UInt64 (missing where no mask)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(batch_repr)},
    {Py_sq_length, reinterpret_cast<void*>(batch_len)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>(
                    "Frames read by OstrelStream.read_batch as NumPy arrays, one element (or row) per\n"
                    "frame. Every frame of a batch has the same ancilla count. The properties\n"
                    "return the batch's own arrays, not copies.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.FrameBatch",
    sizeof(FrameBatchObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

std::nullptr_t raise_batch_error(const driver::BatchError& error) {
  if (const auto* e = std::get_if<qssf::QssfError>(&error)) return raise_qssf(*e);
  if (const auto* e = std::get_if<driver::WindowError>(&error)) return raise_window_error(*e);
  if (std::holds_alternative<driver::BatchInterrupted>(error)) return raise_internal_fault("interrupted");
  const auto& e = std::get<qssf::BatchAllocError>(error);
  return raise_error(e.too_large ? PyExc_ValueError : PyExc_MemoryError, e.message());
}

}  // namespace

PyTypeObject* frame_batch_type() { return type; }

bool init_frame_batch_type() {
  if (!type) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return type != nullptr;
}

std::optional<BatchRequest> parse_batch_request(PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"max_frames", "bit_packed", nullptr};
  PyObject* max_arg;
  int bit_packed = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:read_batch", const_cast<char**>(kwlist),
                                   &max_arg, &bit_packed))
    return std::nullopt;
  PyRef index = PyRef::steal(PyNumber_Index(max_arg));
  if (!index) {
    PyErr_Format(PyExc_TypeError, "argument 'max_frames': '%s' object cannot be interpreted as an integer",
                 Py_TYPE(max_arg)->tp_name);
    return std::nullopt;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow < 0 || (overflow == 0 && value <= 0)) {
    PyRef text = PyRef::steal(PyObject_Str(index.get()));
    if (!text) return std::nullopt;
    PyErr_Format(PyExc_ValueError, "max_frames must be at least 1, got %U", text.get());
    return std::nullopt;
  }
  // The widest columns hold 8 bytes a frame: larger requests can never be allocated.
  const uint64_t frames = overflow > 0 ? std::numeric_limits<uint64_t>::max() : uint64_t(value);
  if (frames > uint64_t(std::numeric_limits<std::ptrdiff_t>::max()) / 8) {
    PyRef text = PyRef::steal(PyObject_Str(index.get()));
    if (!text) return std::nullopt;
    PyErr_Format(PyExc_ValueError, "a frame batch of %U frames is too large", text.get());
    return std::nullopt;
  }
  return BatchRequest{frames, bit_packed != 0};
}

PyObject* read_frame_batch(io::FrameSource& source, qssf::ParsedFrame& frame,
                           driver::StreamDecoder* decoder, const BatchRequest& request,
                           const WaitInterrupt* first_wait, const std::function<PyObject*()>& interrupted) {
  // The wait for the first frame releases the interpreter lock only while it blocks (its interrupt
  // does that). Once a frame is in, the rest of the batch touches no Python object and other
  // threads run meanwhile; the caller's exclusive borrow keeps every other use of the stream out.
  struct ReleasedLock {
    PyThreadState* state = PyEval_SaveThread();
    ~ReleasedLock() { PyEval_RestoreThread(state); }
  };
  std::optional<Result<qssf::FrameBatch, driver::BatchError>> read;
  {
    std::optional<ReleasedLock> released;  // takes the lock back however the block is left
    driver::BatchWaits waits{first_wait, [&] { released.emplace(); }};
    read.emplace(driver::read_batch(source, frame, request.max_frames, request.bit_packed, decoder, waits));
  }
  if (!read->ok()) {
    if (std::holds_alternative<driver::BatchInterrupted>(read->error())) return interrupted();
    return raise_batch_error(read->error());
  }
  return new_batch_object(read->value());
}

}  // namespace ostrel::py
