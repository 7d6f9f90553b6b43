#include "_ostrel/decoder_result.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "_ostrel/args.h"
#include "_ostrel/errors.h"
#include "_ostrel/py_ref.h"

namespace ostrel::py {
namespace {

struct Correction {
  std::string pauli;
  uint8_t logical_id = 0;
};

struct DecoderResultObject {
  PyObject_HEAD
  std::vector<Correction> corrections;
  double confidence;
  uint64_t observable_flips;
};

struct LogicalCorrectionObject {
  PyObject_HEAD
  Correction correction;
};

PyTypeObject* result_type = nullptr;
PyTypeObject* correction_type = nullptr;

DecoderResultObject* as_result(PyObject* o) { return reinterpret_cast<DecoderResultObject*>(o); }
LogicalCorrectionObject* as_correction(PyObject* o) {
  return reinterpret_cast<LogicalCorrectionObject*>(o);
}

PyObject* alloc_result(PyTypeObject* tp, uint64_t flips, double confidence) {
  PyObject* o = tp->tp_alloc(tp, 0);
  if (!o) return nullptr;
  auto* r = as_result(o);
  new (&r->corrections) std::vector<Correction>();
  r->confidence = confidence;
  r->observable_flips = flips;
  return o;
}

void result_dealloc(PyObject* self) {
  as_result(self)->corrections.~vector();
  free_instance(self);
}

PyObject* result_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"observable_flips", "confidence", nullptr};
    PyObject* flips_arg = nullptr;
    PyObject* confidence_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:DecoderResult", const_cast<char**>(kwlist),
                                     &flips_arg, &confidence_arg))
      return nullptr;
    auto flips = arg_u64(flips_arg, "observable_flips");
    if (!flips) return nullptr;
    double confidence = 1.0;
    if (confidence_arg) {
      auto c = arg_f64(confidence_arg, "confidence");
      if (!c) return nullptr;
      confidence = *c;
    }
    return alloc_result(tp, *flips, confidence);
  });
}

std::string format_confidence(double c) {
  if (std::isnan(c)) return "NaN";
  if (std::isinf(c)) return c > 0 ? "inf" : "-inf";
  char buf[512];  // wide enough for the largest doubles printed in fixed notation
  std::snprintf(buf, sizeof buf, "%.4f", c);
  return buf;
}

std::string format_binary(uint64_t v) {
  if (v == 0) return "0b0";
  std::string digits;
  while (v) {
    digits.insert(digits.begin(), char('0' + (v & 1)));
    v >>= 1;
  }
  return "0b" + digits;
}

PyObject* result_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const auto* r = as_result(self);
    const std::string text = "DecoderResult(corrections=" + std::to_string(r->corrections.size()) +
                             ", confidence=" + format_confidence(r->confidence) +
                             ", observable_flips=" + format_binary(r->observable_flips) + ")";
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
  });
}

PyObject* new_correction(const Correction& c) {
  PyObject* o = correction_type->tp_alloc(correction_type, 0);
  if (!o) return nullptr;
  new (&as_correction(o)->correction) Correction(c);
  return o;
}

PyObject* get_corrections(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& list = as_result(self)->corrections;
    PyRef out = PyRef::steal(PyList_New(Py_ssize_t(list.size())));
    if (!out) return nullptr;
    for (size_t i = 0; i < list.size(); ++i) {
      PyObject* item = new_correction(list[i]);
      if (!item) return nullptr;
      PyList_SET_ITEM(out.get(), Py_ssize_t(i), item);
    }
    return out.release();
  });
}

PyObject* get_confidence(PyObject* self, void*) { return PyFloat_FromDouble(as_result(self)->confidence); }
PyObject* get_result_flips(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(as_result(self)->observable_flips);
}

PyGetSetDef result_getset[] = {
    {"corrections", get_corrections, nullptr, nullptr, nullptr},
    {"confidence", get_confidence, nullptr, nullptr, nullptr},
    {"observable_flips", get_result_flips, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {Py_tp_doc, const_cast<char*>("DecoderResult(observable_flips, confidence=1.0)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "builtins.DecoderResult",
    sizeof(DecoderResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    result_slots,
};

void correction_dealloc(PyObject* self) {
  as_correction(self)->correction.~Correction();
  free_instance(self);
}

PyObject* correction_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const auto& c = as_correction(self)->correction;
    const std::string text = "LogicalCorrection(logical_id=" + std::to_string(c.logical_id) +
                             ", pauli=" + c.pauli + ")";
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
  });
}

PyObject* get_logical_id(PyObject* self, void*) {
  return PyLong_FromLong(as_correction(self)->correction.logical_id);
}
PyObject* get_pauli(PyObject* self, void*) {
  const auto& p = as_correction(self)->correction.pauli;
  return PyUnicode_FromStringAndSize(p.data(), Py_ssize_t(p.size()));
}

PyGetSetDef correction_getset[] = {
    {"logical_id", get_logical_id, nullptr, nullptr, nullptr},
    {"pauli", get_pauli, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot correction_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(correction_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(correction_repr)},
    {Py_tp_getset, correction_getset},
    {0, nullptr},
};

PyType_Spec correction_spec = {
    "builtins.LogicalCorrection",
    sizeof(LogicalCorrectionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    correction_slots,
};

}  // namespace

PyTypeObject* decoder_result_type() { return result_type; }
PyTypeObject* logical_correction_type() { return correction_type; }

bool init_decoder_result_types() {
  if (!result_type)
    result_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&result_spec));
  if (!correction_type)
    correction_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&correction_spec));
  return result_type && correction_type;
}

PyObject* new_decoder_result(uint64_t observable_flips, double confidence) {
  return alloc_result(result_type, observable_flips, confidence);
}

bool is_decoder_result(PyObject* o) { return Py_IS_TYPE(o, result_type); }
uint64_t decoder_result_flips(PyObject* o) { return as_result(o)->observable_flips; }

}  // namespace ostrel::py
