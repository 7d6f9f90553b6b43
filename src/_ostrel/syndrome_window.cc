#include "_ostrel/syndrome_window.h"

#include <new>
#include <optional>
#include <string>

#include "_ostrel/args.h"
#include "_ostrel/borrow.h"
#include "_ostrel/errors.h"
#include "_ostrel/numpy_arrays.h"
#include "_ostrel/py_ref.h"
#include "_ostrel/syndrome_frame.h"
#include "ostrel/decode/syndrome_window.h"

namespace ostrel::py {
namespace {

struct SyndromeWindowObject {
  PyObject_HEAD
  BorrowFlag borrow;
  std::optional<decode::SyndromeWindow> window;  // always engaged once constructed
};

PyTypeObject* type = nullptr;

SyndromeWindowObject* as_window(PyObject* o) { return reinterpret_cast<SyndromeWindowObject*>(o); }

PyObject* window_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"ancilla_count", "window_depth", nullptr};
    PyObject *ancillas_arg, *depth_arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:SyndromeWindow", const_cast<char**>(kwlist),
                                     &ancillas_arg, &depth_arg))
      return nullptr;
    auto ancillas = arg_u64(ancillas_arg, "ancilla_count");
    if (!ancillas) return nullptr;
    auto depth = arg_u64(depth_arg, "window_depth");
    if (!depth) return nullptr;
    auto created = decode::SyndromeWindow::create(*ancillas, *depth);
    if (!created.ok()) return raise_window_error(created.error());
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) return nullptr;
    auto* w = as_window(o);
    new (&w->borrow) BorrowFlag();
    new (&w->window) std::optional<decode::SyndromeWindow>(std::move(created).value());
    return o;
  });
}

void window_dealloc(PyObject* self) {
  auto* w = as_window(self);
  w->window.~optional();
  w->borrow.~BorrowFlag();
  free_instance(self);
}

PyObject* window_push(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"frame", nullptr};
    PyObject* frame;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:push", const_cast<char**>(kwlist), &frame))
      return nullptr;
    if (!is_syndrome_frame(frame)) {
      PyErr_Format(PyExc_TypeError, "argument 'frame': '%s' object is not a SyndromeFrame",
                   Py_TYPE(frame)->tp_name);
      return nullptr;
    }
    auto* w = as_window(self);
    Borrow access = Borrow::exclusive(w->borrow);
    if (!access) return nullptr;
    auto pushed = w->window->push(reinterpret_cast<SyndromeFrameObject*>(frame)->detector_events());
    if (!pushed.ok()) return raise_window_error(pushed.error());
    Py_RETURN_NONE;
  });
}

PyObject* window_push_numpy(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"detector_events", "frame_id", "round", nullptr};
    PyObject *events_arg, *frame_id_arg, *round_arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:push_numpy", const_cast<char**>(kwlist),
                                     &events_arg, &frame_id_arg, &round_arg))
      return nullptr;
    auto events = bool_vector_view(events_arg, "detector_events");
    if (!events) return nullptr;
    if (!arg_u64(frame_id_arg, "frame_id")) return nullptr;
    auto round = arg_u64(round_arg, "round");
    if (!round) return nullptr;
    if (*round > UINT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, "argument 'round': value too large to fit in a u32");
      return nullptr;
    }
    auto* w = as_window(self);
    Borrow access = Borrow::exclusive(w->borrow);
    if (!access) return nullptr;
    // Strided views push exactly their elements in order, as a contiguous copy would.
    auto pushed = w->window->push_strided(events->data, events->count, events->stride);
    if (!pushed.ok()) return raise_window_error(pushed.error());
    Py_RETURN_NONE;
  });
}

PyObject* window_is_full(PyObject* self, PyObject*) {
  Borrow access = Borrow::shared(as_window(self)->borrow);
  if (!access) return nullptr;
  return PyBool_FromLong(as_window(self)->window->is_full());
}

PyObject* window_is_empty(PyObject* self, PyObject*) {
  Borrow access = Borrow::shared(as_window(self)->borrow);
  if (!access) return nullptr;
  return PyBool_FromLong(as_window(self)->window->is_empty());
}

PyObject* window_to_numpy_matrix(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Borrow access = Borrow::shared(as_window(self)->borrow);
    if (!access) return nullptr;
    const auto& w = *as_window(self)->window;
    return new_bool_matrix(w.matrix(), w.len(), w.ancilla_count());
  });
}

PyObject* window_active_detectors(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Borrow access = Borrow::shared(as_window(self)->borrow);
    if (!access) return nullptr;
    const auto& w = *as_window(self)->window;
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    bool ok = true;
    w.for_each_active([&](uint64_t index) {
      if (!ok) return;
      PyRef item = PyRef::steal(PyLong_FromUnsignedLongLong(index));
      ok = item && PyList_Append(list.get(), item.get()) == 0;
    });
    return ok ? list.release() : nullptr;
  });
}

Py_ssize_t window_len(PyObject* self) {
  Borrow access = Borrow::shared(as_window(self)->borrow);
  if (!access) return -1;
  return Py_ssize_t(as_window(self)->window->len());
}

PyObject* window_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Borrow access = Borrow::shared(as_window(self)->borrow);
    if (!access) return nullptr;
    const auto& w = *as_window(self)->window;
    const std::string text = "SyndromeWindow(rounds=" + std::to_string(w.len()) + "/" +
                             std::to_string(w.window_depth()) +
                             ", ancillas=" + std::to_string(w.ancilla_count()) + ")";
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
  });
}

PyMethodDef methods[] = {
    {"push", with_keywords(window_push), METH_VARARGS | METH_KEYWORDS,
     "push($self, frame)\n--\n\n"
     "Push a `SyndromeFrame` into the window, evicting the oldest if full."},
    {"push_numpy", with_keywords(window_push_numpy), METH_VARARGS | METH_KEYWORDS,
     "push_numpy($self, detector_events, frame_id, round)\n--\n\n"
     "Push detector events directly from a 1-D NumPy bool array.\n"
     "\n"
     "Use this when building frames from vendor adapters (IBM, Cirq, etc.)\n"
     "instead of constructing a full `SyndromeFrame`.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "detector_events : np.ndarray[bool]\n"
     "    Shape ``(ancilla_count,)``.\n"
     "frame_id : int, optional\n"
     "    Monotonic frame counter (default 0).\n"
     "round : int, optional\n"
     "    Round index within an experiment (default 0)."},
    {"is_full", window_is_full, METH_NOARGS, "is_full($self)\n--\n\n"},
    {"is_empty", window_is_empty, METH_NOARGS, "is_empty($self)\n--\n\n"},
    {"to_numpy_matrix", window_to_numpy_matrix, METH_NOARGS,
     "to_numpy_matrix($self)\n--\n\n"
     "Detector matrix as a 2-D NumPy bool array of shape `(rounds, ancilla_count)`.\n"
     "\n"
     "Row 0 is the oldest round; row `len()-1` is the newest."},
    {"active_detectors", window_active_detectors, METH_NOARGS,
     "active_detectors($self)\n--\n\n"
     "Indices (into the flat detector matrix) of all fired detectors across all rounds."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(window_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(window_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(window_repr)},
    {Py_sq_length, reinterpret_cast<void*>(window_len)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("SyndromeWindow(ancilla_count, window_depth)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.SyndromeWindow",
    sizeof(SyndromeWindowObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

std::nullptr_t raise_window_error(const decode::WindowError& error) {
  PyObject* type = error.kind == decode::WindowErrorKind::OutOfMemory ? PyExc_MemoryError : PyExc_ValueError;
  raise_error(type, error.message());
  return nullptr;
}

PyTypeObject* syndrome_window_type() { return type; }

bool init_syndrome_window_type() {
  if (!type) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return type != nullptr;
}

}  // namespace ostrel::py
