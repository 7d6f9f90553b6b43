#include "_ostrel/ostrel_stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "_ostrel/args.h"
#include "_ostrel/borrow.h"
#include "_ostrel/decoder.h"
#include "_ostrel/errors.h"
#include "_ostrel/frame_batch.h"
#include "_ostrel/detector_error_model.h"
#include "_ostrel/py_ref.h"
#include "_ostrel/sliding_window_decoder.h"
#include "_ostrel/stream_wait.h"
#include "_ostrel/syndrome_frame.h"
#include "_ostrel/syndrome_window.h"
#include "ostrel/driver/stream_decoder.h"
#include "ostrel/io/open_source.h"

namespace ostrel::py {
namespace {

// Everything a stream owns. The source is destroyed before the runtime whose threads serve it.
struct StreamState {
  std::unique_ptr<io::IoRuntime> runtime;
  std::optional<double> timeout;  // seconds one __next__ may wait in all; none: no limit
  std::unique_ptr<io::FrameSource> source;
  qssf::ParsedFrame frame;  // reused for every read, so reading allocates only the result
  // Set by set_decoder; holds the decoder, the configured depth, the model's detector count and
  // the window, which the first frame after configuration creates.
  std::optional<driver::StreamDecoder> decoder;
  // Or a SlidingWindowDecoder object, whose own state decodes the frames (one round each).
  PyRef sliding;

  bool is_open() const { return runtime && source; }
  void close() {
    source.reset();
    runtime.reset();
  }
  ~StreamState() { close(); }
};

struct OstrelStreamObject {
  PyObject_HEAD
  BorrowFlag borrow;
  StreamCall call;  // the call waiting for bytes, if any, for close() from another thread
  StreamState state;
};

PyTypeObject* type = nullptr;

OstrelStreamObject* as_stream(PyObject* o) { return reinterpret_cast<OstrelStreamObject*>(o); }

std::string seconds_text(double seconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", seconds);
  return buf;
}

PyObject* stream_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"source", nullptr};
    PyObject* source_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:OstrelStream", const_cast<char**>(kwlist),
                                     &source_arg))
      return nullptr;
    auto source = arg_str(source_arg, "source");
    if (!source) return nullptr;
    // A connection attempt can be interrupted like a read (no time limit applies to it).
    WaitCheck wait_check(std::nullopt, nullptr);
    auto opened = io::open_source(*source, &wait_check.interrupt());
    if (!opened.ok()) {
      const io::OpenError& e = opened.error();
      if (e.kind == io::OpenError::Kind::Interrupted) {
        if (wait_check.signalled) return nullptr;  // the handler's exception
        return raise_os_error("i/o error: " + e.message);  // not reached: no deadline is set
      }
      if (e.kind == io::OpenError::Kind::Unsupported) return raise_value_error(e.message);
      // A path that cannot be opened names itself, as Python's own open() does.
      if (!source->starts_with("tcp://")) return raise_file_error(e.message, e.os_errno, std::string(*source));
      return raise_os_error(e.message, e.os_errno);
    }
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) return nullptr;
    auto* s = as_stream(o);
    new (&s->borrow) BorrowFlag();
    new (&s->call) StreamCall();
    new (&s->state) StreamState();
    s->state.runtime = std::move(opened->runtime);
    s->state.source = std::move(opened->source);
    return o;
  });
}

void stream_dealloc(PyObject* self) {
  auto* s = as_stream(self);
  s->state.~StreamState();  // closes the source and joins the runtime's threads
  s->call.~StreamCall();
  s->borrow.~BorrowFlag();
  free_instance(self);
}

PyObject* stream_iter(PyObject* self) {
  Borrow access = Borrow::shared(as_stream(self)->borrow);
  if (!access) return nullptr;
  return Py_NewRef(self);
}

void close_state(void* state) { static_cast<StreamState*>(state)->close(); }

// The error of a wait that ended without a frame: the signal handler's, the closed stream's, or
// the timeout's.
PyObject* raise_wait_ended(const WaitCheck& wait_check, const StreamState& st) {
  if (wait_check.signalled) return nullptr;
  if (wait_check.cancelled) return raise_os_error("stream is closed");
  return raise_error(PyExc_TimeoutError,
                     "no frame arrived within the timeout of " + seconds_text(st.timeout.value_or(0)) + " s");
}

PyObject* stream_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* s = as_stream(self);
    Borrow access = Borrow::exclusive(s->borrow);
    if (!access) return nullptr;
    StreamState& st = s->state;
    if (!st.is_open()) return raise_os_error("stream is closed");
    WaitCheck wait_check(st.timeout, &s->call);
    // Ends before `access`: a cancelled call closes the stream while it still holds it.
    ActiveCall active(s->call, st.runtime.get(), &close_state, &st);
    auto read = st.source->read_one_frame(st.frame, &wait_check.interrupt());
    // A signal handler that raised wins over whatever the read made of the rest of the call.
    if (wait_check.signalled) return nullptr;
    if (!read.ok()) return raise_qssf(read.error());
    if (*read == qssf::ReadStatus::Interrupted) return raise_wait_ended(wait_check, st);
    if (*read == qssf::ReadStatus::EndOfStream) return nullptr;  // StopIteration
    const auto arrival = std::chrono::steady_clock::now();
    PyRef frame = PyRef::steal(new_syndrome_frame(st.frame));
    if (!frame) return nullptr;
    if (st.sliding) {
      auto* f = reinterpret_cast<SyndromeFrameObject*>(frame.get());
      uint64_t mask = 0;
      // Holds a reference of its own: the decoding step cannot run Python code, but the stream's
      // reference must not be the only thing keeping the object alive while it is borrowed.
      PyRef sliding = PyRef::borrow(st.sliding.get());
      if (!sliding_window_decode_frame(sliding.get(), f->round, f->detector_events(), arrival, mask)) return nullptr;
      f->observable_flips = mask;
      f->has_observable_flips = true;
      return frame.release();
    }
    if (!st.decoder) return frame.release();
    auto* f = reinterpret_cast<SyndromeFrameObject*>(frame.get());
    auto mask = st.decoder->decode_frame(f->ancilla_count, f->detector_events());
    if (!mask.ok()) return raise_window_error(mask.error());
    f->observable_flips = *mask;
    f->has_observable_flips = true;
    return frame.release();
  });
}

PyObject* stream_read_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    auto request = parse_batch_request(args, kwargs);
    if (!request) return nullptr;
    auto* s = as_stream(self);
    Borrow access = Borrow::exclusive(s->borrow);
    if (!access) return nullptr;
    StreamState& st = s->state;
    if (!st.is_open()) return raise_os_error("stream is closed");
    WaitCheck wait_check(st.timeout, &s->call);
    ActiveCall active(s->call, st.runtime.get(), &close_state, &st);
    // A SlidingWindowDecoder decodes the batch's frames too, held for the whole batch.
    std::optional<Borrow> sliding_access;
    std::optional<driver::StreamDecoder> sliding;
    if (st.sliding && !sliding_window_stream_decoder(st.sliding.get(), sliding_access, sliding)) return nullptr;
    driver::StreamDecoder* decoder = sliding ? &*sliding : st.decoder ? &*st.decoder : nullptr;
    return read_frame_batch(*st.source, st.frame, decoder, *request, &wait_check.interrupt(),
                            [&] { return raise_wait_ended(wait_check, st); });
  });
}

PyObject* stream_close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* s = as_stream(self);
    Borrow access = Borrow::exclusive(s->borrow);
    if (!access) {
      // A call waiting for bytes is cancelled and closes the stream as it ends.
      PyErr_Clear();
      if (cancel_waiting_call(s->call)) Py_RETURN_NONE;
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return nullptr;
    }
    s->state.close();
    Py_RETURN_NONE;
  });
}

// For readers of whole files: the file's current end is its end, so a frame it cuts is an error.
PyObject* stream_treat_end_as_final(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto* s = as_stream(self);
    Borrow access = Borrow::exclusive(s->borrow);
    if (!access) return nullptr;
    if (!s->state.is_open()) return raise_os_error("stream is closed");
    s->state.source->treat_end_as_final();
    Py_RETURN_NONE;
  });
}

PyObject* stream_set_decoder(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"dem", "window_depth", nullptr};
    PyObject* dem_arg;
    PyObject* depth_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:set_decoder", const_cast<char**>(kwlist),
                                     &dem_arg, &depth_arg))
      return nullptr;
    auto* s = as_stream(self);
    // Held across the calls into Python below, so they cannot use this stream meanwhile.
    Borrow access = Borrow::exclusive(s->borrow);
    if (!access) return nullptr;
    uint64_t depth = 0;
    if (depth_arg) {
      auto converted = arg_u64(depth_arg, "window_depth");
      if (!converted) return nullptr;
      depth = *converted;
    }
    if (is_sliding_window_decoder(dem_arg)) {
      // Frames are rounds decoded by that object; window_depth plays no part.
      s->state.decoder.reset();
      s->state.sliding = PyRef::borrow(dem_arg);
      Py_RETURN_NONE;
    }
    if (is_decoder(dem_arg)) {
      // A Decoder object: its graph and method, with scratch space of the stream's own.
      std::optional<driver::StreamDecoder> configured;
      if (!stream_decoder_from(dem_arg, depth, configured)) return nullptr;
      s->state.sliding = PyRef();
      s->state.decoder.reset();
      s->state.decoder.emplace(std::move(*configured));
      Py_RETURN_NONE;
    }
    std::string text;
    if (!dem_text_of(dem_arg, text)) return nullptr;
    dem::DetectorErrorModel model;
    if (!parse_dem_text(text, model)) return nullptr;
    auto decoder = driver::StreamDecoder::create_fixed(model, depth);
    if (!decoder.ok()) return raise_driver_error(decoder.error()), nullptr;
    // Nothing above changed the stream; from here the new decoder replaces the old one whole,
    // and its window starts empty.
    s->state.sliding = PyRef();
    s->state.decoder.reset();
    s->state.decoder.emplace(std::move(decoder).value());
    Py_RETURN_NONE;
  });
}

PyObject* stream_get_timeout(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto* s = as_stream(self);
    Borrow access = Borrow::shared(s->borrow);
    if (!access) return nullptr;
    if (!s->state.timeout) Py_RETURN_NONE;
    return PyFloat_FromDouble(*s->state.timeout);
  });
}

int stream_set_timeout(PyObject* self, PyObject* value, void*) {
  return guarded([&]() -> int {
    if (!value) {
      PyErr_SetString(PyExc_AttributeError, "cannot delete the timeout; set it to None");
      return -1;
    }
    std::optional<double> timeout;
    if (value != Py_None) {
      if (PyBool_Check(value) || !PyNumber_Check(value)) {
        PyErr_Format(PyExc_TypeError, "timeout must be None or a number of seconds, not %s",
                     Py_TYPE(value)->tp_name);
        return -1;
      }
      const double seconds = PyFloat_AsDouble(value);
      if (seconds == -1.0 && PyErr_Occurred()) return -1;
      if (!(seconds >= 0.0) || seconds > 1e9) {  // NaN fails the first test
        PyErr_SetString(PyExc_ValueError,
                        "timeout must be None or a number of seconds from 0 to 1e9");
        return -1;
      }
      timeout = seconds;
    }
    auto* s = as_stream(self);
    Borrow access = Borrow::exclusive(s->borrow);
    if (!access) return -1;
    s->state.timeout = timeout;
    return 0;
  });
}

PyGetSetDef getset[] = {
    {"timeout", stream_get_timeout, stream_set_timeout,
     "Seconds one next() (or read_batch, for its first frame) may wait in all for its frame,\n"
     "however the bytes trickle in, before it raises TimeoutError (the stream stays usable and\n"
     "the next call resumes where this one stopped); None waits without limit.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* stream_enter(PyObject* self, PyObject*) { return stream_iter(self); }

PyObject* stream_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"_exc_type", "_exc_val", "_tb", nullptr};
  PyObject *exc_type, *exc_val, *tb;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:__exit__", const_cast<char**>(kwlist),
                                   &exc_type, &exc_val, &tb))
    return nullptr;
  PyObject* closed = stream_close(self, nullptr);
  if (!closed) return nullptr;
  Py_DECREF(closed);
  Py_RETURN_FALSE;
}

PyMethodDef methods[] = {
    {"set_decoder", with_keywords(stream_set_decoder), METH_VARARGS | METH_KEYWORDS,
     "set_decoder($self, dem, window_depth=0)\n--\n\n"
     "Configure the Union-Find decoder from a DEM.\n"
     "\n"
     "Parameters\n"
     "----------\n"
     "dem:\n"
     "    Accepts a file path (str or pathlib.Path), an inline DEM text string,\n"
     "    or a ``stim.DetectorErrorModel`` object (``str(dem)`` gives the text).\n"
     "window_depth:\n"
     "    Number of syndrome rounds per decode window. 0 = auto-infer from\n"
     "    ``detector_count / ancilla_count`` (default)."},
    {"read_batch", with_keywords(stream_read_batch), METH_VARARGS | METH_KEYWORDS, kReadBatchDoc},
    {"close", stream_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"_treat_end_as_final", stream_treat_end_as_final, METH_NOARGS,
     "_treat_end_as_final($self)\n--\n\n"
     "Take the source's current end as its end: a frame it cuts raises OSError (truncated\n"
     "frame) instead of waiting for the rest, as a whole-file reader needs."},
    {"__enter__", stream_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", with_keywords(stream_exit),
     METH_VARARGS | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_val, _tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("OstrelStream(source)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.OstrelStream",
    sizeof(OstrelStreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyTypeObject* ostrel_stream_type() { return type; }

bool init_ostrel_stream_type() {
  if (!type) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return type != nullptr;
}

}  // namespace ostrel::py
