#include "_ostrel/logical_error_accumulator.h"

#include <cstdio>
#include <new>

#include "_ostrel/args.h"
#include "_ostrel/decoder_result.h"
#include "_ostrel/errors.h"
#include "_ostrel/py_ref.h"
#include "ostrel/metrics/logical_error_accumulator.h"

namespace ostrel::py {
namespace {

// Every method needs only shared access: the counters are atomic, so no call ever conflicts and
// no borrow flag is kept.
struct AccumulatorObject {
  PyObject_HEAD
  metrics::LogicalErrorAccumulator accumulator;
};

PyTypeObject* type = nullptr;

metrics::LogicalErrorAccumulator& acc(PyObject* o) {
  return reinterpret_cast<AccumulatorObject*>(o)->accumulator;
}

PyObject* accumulator_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"observable_count", nullptr};
    PyObject* count_arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:LogicalErrorAccumulator",
                                     const_cast<char**>(kwlist), &count_arg))
      return nullptr;
    auto count = arg_u64(count_arg, "observable_count");
    if (!count) return nullptr;
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) return nullptr;
    new (&acc(o)) metrics::LogicalErrorAccumulator(*count);
    return o;
  });
}

void accumulator_dealloc(PyObject* self) {
  acc(self).~LogicalErrorAccumulator();
  free_instance(self);
}

PyObject* record(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"result", "ground_truth", nullptr};
  PyObject *result, *truth_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:record", const_cast<char**>(kwlist), &result,
                                   &truth_arg))
    return nullptr;
  if (!is_decoder_result(result)) {
    PyErr_Format(PyExc_TypeError, "argument 'result': '%s' object is not a DecoderResult",
                 Py_TYPE(result)->tp_name);
    return nullptr;
  }
  auto truth = arg_u64(truth_arg, "ground_truth");
  if (!truth) return nullptr;
  acc(self).record(decoder_result_flips(result), *truth);
  Py_RETURN_NONE;
}

PyObject* logical_error_rate(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"observable", nullptr};
  PyObject* observable_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:logical_error_rate", const_cast<char**>(kwlist),
                                   &observable_arg))
    return nullptr;
  auto observable = arg_u64(observable_arg, "observable");
  if (!observable) return nullptr;
  return PyFloat_FromDouble(acc(self).logical_error_rate(*observable));
}

PyObject* mean_logical_error_rate(PyObject* self, PyObject*) {
  return PyFloat_FromDouble(acc(self).mean_logical_error_rate());
}

PyObject* total_shots(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(acc(self).total_shots());
}

PyObject* reset(PyObject* self, PyObject*) {
  acc(self).reset();
  Py_RETURN_NONE;
}

PyObject* accumulator_repr(PyObject* self) {
  char text[128];
  std::snprintf(text, sizeof text, "LogicalErrorAccumulator(shots=%llu, mean_p_L=%.4f)",
                static_cast<unsigned long long>(acc(self).total_shots()),
                acc(self).mean_logical_error_rate());
  return PyUnicode_FromString(text);
}

PyMethodDef methods[] = {
    {"record", with_keywords(record), METH_VARARGS | METH_KEYWORDS,
     "record($self, result, ground_truth)\n--\n\n"},
    {"logical_error_rate", with_keywords(logical_error_rate), METH_VARARGS | METH_KEYWORDS,
     "logical_error_rate($self, observable)\n--\n\n"},
    {"mean_logical_error_rate", mean_logical_error_rate, METH_NOARGS,
     "mean_logical_error_rate($self)\n--\n\n"},
    {"total_shots", total_shots, METH_NOARGS, "total_shots($self)\n--\n\n"},
    {"reset", reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(accumulator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(accumulator_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(accumulator_repr)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("LogicalErrorAccumulator(observable_count)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.LogicalErrorAccumulator",
    sizeof(AccumulatorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyTypeObject* logical_error_accumulator_type() { return type; }

bool init_logical_error_accumulator_type() {
  if (!type) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return type != nullptr;
}

}  // namespace ostrel::py
