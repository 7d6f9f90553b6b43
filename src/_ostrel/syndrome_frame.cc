#include "_ostrel/syndrome_frame.h"

#include <cstring>
#include <string>

#include "_ostrel/decoder_result.h"
#include "_ostrel/errors.h"
#include "_ostrel/numpy_arrays.h"
#include "_ostrel/py_ref.h"

namespace ostrel::py {
namespace {

using Frame = SyndromeFrameObject;

PyTypeObject* frame_type = nullptr;

uint8_t* inline_bytes(Frame* f) { return reinterpret_cast<uint8_t*>(f) + sizeof(Frame); }
const uint8_t* inline_bytes(const Frame* f) {
  return reinterpret_cast<const uint8_t*>(f) + sizeof(Frame);
}

Frame* as_frame(PyObject* o) { return reinterpret_cast<Frame*>(o); }

PyObject* frame_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const Frame* f = as_frame(self);
    const std::string text = "SyndromeFrame(frame_id=" + std::to_string(f->frame_id) +
                             ", round=" + std::to_string(f->round) +
                             ", detector_events=" + std::to_string(f->detector_event_count) + "/" +
                             std::to_string(f->ancilla_count) + ")";
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
  });
}

PyObject* get_frame_id(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_frame(self)->frame_id); }
PyObject* get_round(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_frame(self)->round); }
PyObject* get_timestamp_ns(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_frame(self)->timestamp_ns); }
PyObject* get_qubit_count(PyObject* self, void*) { return PyLong_FromLong(as_frame(self)->qubit_count); }
PyObject* get_ancilla_count(PyObject* self, void*) { return PyLong_FromLong(as_frame(self)->ancilla_count); }
PyObject* get_detector_event_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_frame(self)->detector_event_count);
}
PyObject* get_code_type(PyObject* self, void*) { return PyLong_FromLong(as_frame(self)->code_type); }
PyObject* get_distance(PyObject* self, void*) { return PyLong_FromLong(as_frame(self)->distance); }
PyObject* get_observable_flips(PyObject* self, void*) {
  const Frame* f = as_frame(self);
  if (!f->has_observable_flips) {
    PyErr_SetString(ostrel_error_type(), kNoDecoderMessage);
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(f->observable_flips);
}

PyObject* meas_results(PyObject* self, PyObject*) {
  auto bytes = as_frame(self)->meas_results();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), Py_ssize_t(bytes.size()));
}

PyObject* to_numpy_detector_events(PyObject* self, PyObject*) {
  return guarded([&] { return new_bool_array(as_frame(self)->detector_events()); });
}

PyObject* to_numpy_meas_results(PyObject* self, PyObject*) {
  return guarded([&] { return new_int8_array(as_frame(self)->meas_results()); });
}

PyObject* null_decode(PyObject*, PyObject*) {
  return guarded([&] { return new_decoder_result(0, 1.0); });
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  if (!value) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* to_dict(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const Frame* f = as_frame(self);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    Py_INCREF(Py_None);
    const bool ok =
        set_item(d, "frame_id", PyLong_FromUnsignedLongLong(f->frame_id)) &&
        set_item(d, "round", PyLong_FromUnsignedLong(f->round)) &&
        set_item(d, "timestamp_ns", PyLong_FromUnsignedLongLong(f->timestamp_ns)) &&
        set_item(d, "qubit_count", PyLong_FromLong(f->qubit_count)) &&
        set_item(d, "ancilla_count", PyLong_FromLong(f->ancilla_count)) &&
        set_item(d, "detector_event_count", PyLong_FromUnsignedLong(f->detector_event_count)) &&
        set_item(d, "code_type", PyLong_FromLong(f->code_type)) &&
        set_item(d, "distance", PyLong_FromLong(f->distance)) &&
        set_item(d, "detector_events", new_bool_array(f->detector_events())) &&
        set_item(d, "observable_flips", f->has_observable_flips
                                            ? PyLong_FromUnsignedLongLong(f->observable_flips)
                                            : Py_NewRef(Py_None));
    Py_DECREF(Py_None);
    return ok ? dict.release() : nullptr;
  });
}

PyGetSetDef frame_getset[] = {
    {"frame_id", get_frame_id, nullptr, nullptr, nullptr},
    {"round", get_round, nullptr, nullptr, nullptr},
    {"timestamp_ns", get_timestamp_ns, nullptr, nullptr, nullptr},
    {"qubit_count", get_qubit_count, nullptr, nullptr, nullptr},
    {"ancilla_count", get_ancilla_count, nullptr, nullptr, nullptr},
    {"detector_event_count", get_detector_event_count, nullptr, nullptr, nullptr},
    {"code_type", get_code_type, nullptr, nullptr, nullptr},
    {"distance", get_distance, nullptr, nullptr, nullptr},
    {"observable_flips", get_observable_flips, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef frame_methods[] = {
    {"meas_results", meas_results, METH_NOARGS, "meas_results($self)\n--\n\n"},
    {"to_numpy_detector_events", to_numpy_detector_events, METH_NOARGS,
     "to_numpy_detector_events($self)\n--\n\n"
     "Detector events as a 1-D NumPy bool array of shape `(ancilla_count,)`."},
    {"to_numpy_meas_results", to_numpy_meas_results, METH_NOARGS,
     "to_numpy_meas_results($self)\n--\n\n"
     "Ancilla measurement results as a 1-D NumPy int8 array of shape `(ancilla_count,)`."},
    {"null_decode", null_decode, METH_NOARGS, "null_decode($self)\n--\n\n"},
    {"to_dict", to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\n"
     "Serialise this frame as a Python dict suitable for pandas / JSON.\n\n"
     "The `detector_events` key holds a 1-D NumPy bool array. All scalar\n"
     "fields are plain Python ints/floats."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot frame_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(frame_repr)},
    {Py_tp_getset, frame_getset},
    {Py_tp_methods, frame_methods},
    {0, nullptr},
};

PyType_Spec frame_spec = {
    "builtins.SyndromeFrame",
    sizeof(Frame),
    1,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    frame_slots,
};

}  // namespace

std::span<const int8_t> SyndromeFrameObject::meas_results() const {
  return {reinterpret_cast<const int8_t*>(inline_bytes(this)), ancilla_count};
}

std::span<const uint8_t> SyndromeFrameObject::detector_events() const {
  return {inline_bytes(this) + ancilla_count, ancilla_count};
}

PyTypeObject* syndrome_frame_type() { return frame_type; }

bool init_syndrome_frame_type() {
  if (!frame_type) frame_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&frame_spec));
  return frame_type != nullptr;
}

bool is_syndrome_frame(PyObject* o) { return Py_IS_TYPE(o, frame_type); }

PyObject* new_syndrome_frame(const qssf::ParsedFrame& parsed) {
  const qssf::FrameHeader& h = parsed.header;
  const size_t n = h.ancilla_count;
  PyObject* o = frame_type->tp_alloc(frame_type, Py_ssize_t(2 * n));
  if (!o) return nullptr;
  Frame* f = as_frame(o);
  f->frame_id = h.frame_id;
  f->timestamp_ns = h.timestamp_ns;
  f->round = h.round;
  f->qubit_count = h.qubit_count;
  f->ancilla_count = h.ancilla_count;
  f->code_type = h.code_type;
  f->distance = h.distance;
  f->detector_event_count = qssf::count_detector_events(parsed.detector_rle);
  const auto& ext = parsed.extensions;
  f->has_observable_flips = ext && ext->observable_flips.has_value();
  f->observable_flips = f->has_observable_flips ? *ext->observable_flips : 0;
  uint8_t* bytes = inline_bytes(f);
  if (n) std::memcpy(bytes, parsed.meas_results.data(), n);
  qssf::decode_detector_rle(parsed.detector_rle, std::span<uint8_t>(bytes + n, n));
  return o;
}

}  // namespace ostrel::py
