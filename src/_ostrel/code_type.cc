#include "_ostrel/code_type.h"

#include <cstdint>

#include "_ostrel/errors.h"
#include "_ostrel/py_ref.h"

namespace ostrel::py {
namespace {

struct CodeTypeObject {
  PyObject_HEAD
  uint8_t value;
  const char* variant;
};

struct Member {
  const char* attribute;
  uint8_t value;
  const char* variant;
};

constexpr Member kMembers[] = {
    {"SURFACE_CODE", 1, "SurfaceCode"},
    {"HONEYCOMB_CODE", 2, "HoneycombCode"},
    {"COLOR_CODE", 3, "ColorCode"},
    {"REPETITION_CODE", 4, "RepetitionCode"},
    {"TORIC_CODE", 5, "ToricCode"},
    {"BIVARIATE_BICYCLE", 6, "BivariateBicycle"},
    {"HYPERGRAPH_PRODUCT", 7, "HypergraphProduct"},
    {"FIBER_BUNDLE", 8, "FiberBundle"},
    {"CUSTOM", 255, "Custom"},
};

PyTypeObject* type = nullptr;

PyObject* code_type_repr(PyObject* self) {
  return PyUnicode_FromFormat("CodeType.%s", reinterpret_cast<CodeTypeObject*>(self)->variant);
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(code_type_repr)},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.CodeType",
    sizeof(CodeTypeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyTypeObject* code_type_type() { return type; }

bool init_code_type_type() {
  if (type) return true;
  PyRef created = PyRef::steal(PyType_FromSpec(&spec));
  if (!created) return false;
  auto* tp = reinterpret_cast<PyTypeObject*>(created.get());
  for (const Member& m : kMembers) {
    PyRef member = PyRef::steal(tp->tp_alloc(tp, 0));
    if (!member) return false;
    auto* obj = reinterpret_cast<CodeTypeObject*>(member.get());
    obj->value = m.value;
    obj->variant = m.variant;
    if (PyObject_SetAttrString(created.get(), m.attribute, member.get()) != 0) return false;
  }
  // From here on the class is read-only, like the module's other classes.
  tp->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(tp);
  type = reinterpret_cast<PyTypeObject*>(created.release());
  return true;
}

}  // namespace ostrel::py
