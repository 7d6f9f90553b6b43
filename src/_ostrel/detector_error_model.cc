#include "_ostrel/detector_error_model.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <memory>
#include <new>
#include <string>

#include "_ostrel/args.h"
#include "_ostrel/errors.h"
#include "_ostrel/py_ref.h"
#include "ostrel/decode/decoding_graph.h"
#include "ostrel/dem/dem_parser.h"
#include "ostrel/dem/dem_schema.h"
#include "ostrel/dem/dem_writer.h"
#include "ostrel/dem/spacetime_graph.h"
#include "ostrel/util/text_file.h"

namespace ostrel::py {
namespace {

constexpr const char* kNoPymatching =
    "pymatching not found \xE2\x80\x94 install it with: pip install pymatching";

// Both objects are immutable after creation, so their calls never conflict and keep no borrow
// flag.
struct DemObject {
  PyObject_HEAD
  dem::DetectorErrorModel model;
};

struct GraphObject {
  PyObject_HEAD
  std::shared_ptr<const dem::SpacetimeGraph> graph;
};

PyTypeObject* dem_type = nullptr;
PyTypeObject* graph_type = nullptr;

const dem::DetectorErrorModel& model_of(PyObject* o) { return reinterpret_cast<DemObject*>(o)->model; }
const dem::SpacetimeGraph& graph_of(PyObject* o) { return *reinterpret_cast<GraphObject*>(o)->graph; }

PyObject* wrap_model(dem::DetectorErrorModel model) {
  PyObject* o = dem_type->tp_alloc(dem_type, 0);
  if (!o) return nullptr;
  new (&reinterpret_cast<DemObject*>(o)->model) dem::DetectorErrorModel(std::move(model));
  return o;
}

void dem_dealloc(PyObject* self) {
  reinterpret_cast<DemObject*>(self)->model.~DetectorErrorModel();
  free_instance(self);
}

// Parses the single argument `name` of a static method taking one str.
std::optional<std::string_view> single_str(PyObject* args, PyObject* kwargs, const char* name,
                                           const char* format) {
  const char* kwlist[] = {name, nullptr};
  PyObject* value;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &value))
    return std::nullopt;
  return arg_str(value, name);
}

PyObject* dem_parse(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    auto text = single_str(args, kwargs, "text", "O:parse");
    if (!text) return nullptr;
    dem::DetectorErrorModel model;
    if (!parse_dem_text(*text, model)) return nullptr;
    return wrap_model(std::move(model));
  });
}

PyObject* dem_from_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    auto path = single_str(args, kwargs, "path", "O:from_file");
    if (!path) return nullptr;
    std::string text;
    if (!read_dem_file(std::string(*path), text)) return nullptr;
    dem::DetectorErrorModel model;
    if (!parse_dem_text(text, model)) return nullptr;
    return wrap_model(std::move(model));
  });
}

PyObject* get_detector_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(model_of(self).detector_count);
}
PyObject* get_observable_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(model_of(self).observable_count);
}
PyObject* get_error_count(PyObject* self, void*) {
  return PyLong_FromSize_t(model_of(self).error_count());
}

// One entry per detector index: the coordinates its first declaration wrote (a tuple of floats,
// shifts applied) or None when it was never declared with coordinates.
PyObject* dem_detector_coordinates(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const auto& m = model_of(self);
    PyRef list = PyRef::steal(PyList_New(Py_ssize_t(m.detector_count)));
    if (!list) return nullptr;
    for (uint64_t i = 0; i < m.detector_count; ++i) PyList_SET_ITEM(list.get(), Py_ssize_t(i), Py_NewRef(Py_None));
    for (const dem::DemDetector& d : m.detectors) {
      if (!d.coords || d.id >= m.detector_count) continue;
      const uint32_t written = std::min<uint32_t>(d.coord_count, 3);
      PyRef coords = PyRef::steal(PyTuple_New(written));
      if (!coords) return nullptr;
      for (uint32_t k = 0; k < written; ++k) {
        PyObject* value = PyFloat_FromDouble((*d.coords)[k]);
        if (!value) return nullptr;
        PyTuple_SET_ITEM(coords.get(), k, value);
      }
      PyList_SetItem(list.get(), Py_ssize_t(d.id), coords.release());
    }
    return list.release();
  });
}

PyObject* dem_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const auto& m = model_of(self);
    const std::string text = "DetectorErrorModel(detectors=" + std::to_string(m.detector_count) +
                             ", observables=" + std::to_string(m.observable_count) +
                             ", errors=" + std::to_string(m.error_count()) + ")";
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
  });
}

PyObject* import_pymatching() {
  PyObject* module = PyImport_ImportModule("pymatching");
  if (!module) PyErr_SetString(PyExc_ImportError, kNoPymatching);
  return module;
}

// The Matching of the weighted decoder's graph, merged by pymatching itself: every `^` component
// in model order becomes add_edge(u, v, ...) or add_boundary_edge(u, ...) with weight
// ln((1 - p) / p), its error probability, its observables and `strategy`, which is how pymatching
// reads a detector error model.
PyObject* merged_matching(const dem::DetectorErrorModel& model, PyObject* strategy) {
  if (model.observable_count > 64)
    return raise_value_error("a merge strategy handles at most 64 observables, this model has " +
                             std::to_string(model.observable_count));
  auto components = decode::collect_component_edges(model);
  if (!components.ok()) return raise_value_error(components.error());
  PyRef module = PyRef::steal(import_pymatching());
  if (!module) return nullptr;
  PyRef matching = PyRef::steal(PyObject_CallMethod(module.get(), "Matching", nullptr));
  if (!matching) return nullptr;
  PyRef add_edge = PyRef::steal(PyObject_GetAttrString(matching.get(), "add_edge"));
  PyRef add_boundary_edge = PyRef::steal(PyObject_GetAttrString(matching.get(), "add_boundary_edge"));
  if (!add_edge || !add_boundary_edge) return nullptr;
  for (const decode::ComponentEdge& c : *components) {
    // Nothing can be learnt from a mechanism that never occurs.
    if (!(c.probability > 0.0)) continue;
    PyRef kwargs = PyRef::steal(PyDict_New());
    PyRef weight = PyRef::steal(PyFloat_FromDouble(std::log((1.0 - c.probability) / c.probability)));
    PyRef probability = PyRef::steal(PyFloat_FromDouble(c.probability));
    PyRef ids = PyRef::steal(PySet_New(nullptr));
    if (!kwargs || !weight || !probability || !ids) return nullptr;
    for (unsigned k = 0; k < 64; ++k) {
      if (!(c.observables >> k & 1)) continue;
      PyRef id = PyRef::steal(PyLong_FromLong(long(k)));
      if (!id || PySet_Add(ids.get(), id.get()) != 0) return nullptr;
    }
    if (PyDict_SetItemString(kwargs.get(), "fault_ids", ids.get()) != 0 ||
        PyDict_SetItemString(kwargs.get(), "weight", weight.get()) != 0 ||
        PyDict_SetItemString(kwargs.get(), "error_probability", probability.get()) != 0 ||
        PyDict_SetItemString(kwargs.get(), "merge_strategy", strategy) != 0)
      return nullptr;
    const bool boundary = c.v == decode::kNoDetector;
    PyRef args = PyRef::steal(boundary ? Py_BuildValue("(k)", (unsigned long)c.u)
                                       : Py_BuildValue("(kk)", (unsigned long)c.u, (unsigned long)c.v));
    if (!args) return nullptr;
    PyRef done = PyRef::steal(
        PyObject_Call(boundary ? add_boundary_edge.get() : add_edge.get(), args.get(), kwargs.get()));
    if (!done) return nullptr;
  }
  return matching.release();
}

// Without a merge strategy: matching.add_edge(u, v, weight=..., fault_ids={...}) for every edge of
// the spacetime graph, then the boundary. With one: merged_matching above.
PyObject* dem_to_pymatching(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"merge_strategy", nullptr};
    PyObject* strategy = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:to_pymatching", const_cast<char**>(kwlist),
                                     &strategy))
      return nullptr;
    if (strategy != Py_None) {
      if (!arg_str(strategy, "merge_strategy")) return nullptr;
      return merged_matching(model_of(self), strategy);
    }
    auto built = dem::build_spacetime_graph(model_of(self));
    if (!built.ok()) return raise_value_error(built.error().message());
    const dem::SpacetimeGraph& graph = **built;

    PyRef module = PyRef::steal(import_pymatching());
    if (!module) return nullptr;
    PyRef matching_class = PyRef::steal(PyObject_GetAttrString(module.get(), "Matching"));
    if (!matching_class) return nullptr;
    PyRef matching = PyRef::steal(PyObject_CallNoArgs(matching_class.get()));
    if (!matching) return nullptr;
    PyRef boundary = PyRef::steal(PySet_New(nullptr));
    PyRef boundary_index = PyRef::steal(PyLong_FromUnsignedLongLong(graph.boundary_node));
    if (!boundary || !boundary_index || PySet_Add(boundary.get(), boundary_index.get()) != 0)
      return nullptr;
    PyRef add_edge = PyRef::steal(PyObject_GetAttrString(matching.get(), "add_edge"));
    if (!add_edge) return nullptr;
    for (const dem::GraphEdge& edge : graph.edges) {
      PyRef kwargs = PyRef::steal(PyDict_New());
      PyRef weight = PyRef::steal(PyFloat_FromDouble(double(edge.weight)));
      if (!kwargs || !weight || PyDict_SetItemString(kwargs.get(), "weight", weight.get()) != 0)
        return nullptr;
      // pymatching takes fault ids as a set. An observable listed twice flips back, so the set
      // holds the observables listed an odd number of times, as the decoder counts them.
      std::array<uint64_t, 4> odd{};
      for (uint8_t k : edge.observables) odd[k / 64] ^= uint64_t(1) << (k % 64);
      if (odd != std::array<uint64_t, 4>{}) {
        PyRef ids = PyRef::steal(PySet_New(nullptr));
        if (!ids) return nullptr;
        for (unsigned k = 0; k < 256; ++k) {
          if (!(odd[k / 64] >> (k % 64) & 1)) continue;
          PyRef id = PyRef::steal(PyLong_FromLong(long(k)));
          if (!id || PySet_Add(ids.get(), id.get()) != 0) return nullptr;
        }
        if (PyDict_SetItemString(kwargs.get(), "fault_ids", ids.get()) != 0) return nullptr;
      }
      PyRef args = PyRef::steal(Py_BuildValue("(kk)", (unsigned long)edge.u, (unsigned long)edge.v));
      if (!args) return nullptr;
      PyRef done = PyRef::steal(PyObject_Call(add_edge.get(), args.get(), kwargs.get()));
      if (!done) return nullptr;
    }
    PyRef set_boundary = PyRef::steal(
        PyObject_CallMethod(matching.get(), "set_boundary_nodes", "(O)", boundary.get()));
    if (!set_boundary) return nullptr;
    return matching.release();
  });
}

PyObject* dem_to_schema_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"name", nullptr};
    PyObject* name_arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:to_schema_json", const_cast<char**>(kwlist),
                                     &name_arg))
      return nullptr;
    auto name = arg_str(name_arg, "name");
    if (!name) return nullptr;
    auto json = dem::to_schema_json(model_of(self), *name);
    if (!json.ok()) return raise_os_error(json.error().message());
    return PyUnicode_FromStringAndSize(json->data(), Py_ssize_t(json->size()));
  });
}

PyGetSetDef dem_getset[] = {
    {"detector_count", get_detector_count, nullptr, nullptr, nullptr},
    {"observable_count", get_observable_count, nullptr, nullptr, nullptr},
    {"error_count", get_error_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef dem_methods[] = {
    {"parse", with_keywords(dem_parse), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "parse(text)\n--\n\nParse a Stim DEM from its text representation."},
    {"from_file", with_keywords(dem_from_file), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_file(path)\n--\n\nLoad a Stim DEM from a file path."},
    {"to_pymatching", with_keywords(dem_to_pymatching), METH_VARARGS | METH_KEYWORDS,
     "to_pymatching($self, merge_strategy=None)\n--\n\n"
     "Build a `pymatching.Matching` object from this DEM.\n"
     "\n"
     "Requires `pymatching` to be installed (`pip install pymatching`).\n"
     "Edges are added with weight `-ln(p/(1-p))` and `fault_ids` identifying\n"
     "which observables flip when the error fires.\n"
     "\n"
     "Without `merge_strategy` the edges are those of the spacetime graph, added\n"
     "as they are, so a model with parallel edges makes pymatching refuse it.\n"
     "With one of pymatching's strategies (\"independent\", \"smallest-weight\",\n"
     "\"keep-original\", \"replace\", \"disallow\"), every `^` component of every\n"
     "error becomes its own edge (boundary edges for one detector) and\n"
     "pymatching merges parallel edges by that strategy; with \"independent\"\n"
     "the result decodes like `pymatching.Matching.from_detector_error_model`."},
    {"detector_coordinates", dem_detector_coordinates, METH_NOARGS,
     "detector_coordinates($self)\n--\n\n"
     "The coordinates of every detector, by index: a tuple of the (at most three)\n"
     "coordinates its first declaration wrote, shifts applied, or None for a detector\n"
     "declared without coordinates or not declared."},
    {"to_schema_json", with_keywords(dem_to_schema_json), METH_VARARGS | METH_KEYWORDS,
     "to_schema_json($self, name)\n--\n\n"
     "Serialise this DEM as a `HardwareSchema`-compatible JSON string."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dem_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dem_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(dem_repr)},
    {Py_tp_getset, dem_getset},
    {Py_tp_methods, dem_methods},
    {0, nullptr},
};

PyType_Spec dem_spec = {
    "builtins.DetectorErrorModel",
    sizeof(DemObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    dem_slots,
};

void graph_dealloc(PyObject* self) {
  reinterpret_cast<GraphObject*>(self)->graph.~shared_ptr();
  free_instance(self);
}

PyObject* get_node_count(PyObject* self, void*) { return PyLong_FromSize_t(graph_of(self).nodes.size()); }
PyObject* get_edge_count(PyObject* self, void*) { return PyLong_FromSize_t(graph_of(self).edges.size()); }
PyObject* get_boundary_node(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(graph_of(self).boundary_node);
}

PyObject* graph_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const auto& g = graph_of(self);
    const std::string text = "SpacetimeGraph(nodes=" + std::to_string(g.nodes.size()) +
                             ", edges=" + std::to_string(g.edges.size()) +
                             ", boundary=" + std::to_string(g.boundary_node) + ")";
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
  });
}

PyGetSetDef graph_getset[] = {
    {"node_count", get_node_count, nullptr, nullptr, nullptr},
    {"edge_count", get_edge_count, nullptr, nullptr, nullptr},
    {"boundary_node", get_boundary_node, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_repr)},
    {Py_tp_getset, graph_getset},
    {0, nullptr},
};

PyType_Spec graph_spec = {
    "builtins.SpacetimeGraph",
    sizeof(GraphObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    graph_slots,
};

}  // namespace

bool read_dem_file(const std::string& path, std::string& text) {
  auto read = read_utf8_file(path);
  if (!read.ok()) {
    const FileReadError& e = read.error();
    raise_os_error(e.message(), e.kind == FileReadError::Kind::Os ? e.os_code : 0);
    return false;
  }
  text = std::move(read).value();
  return true;
}

bool parse_dem_text(std::string_view text, dem::DetectorErrorModel& model, bool located) {
  auto parsed = dem::parse_dem(text);
  if (!parsed.ok()) {
    raise_value_error(located ? parsed.error().located_message() : parsed.error().message());
    return false;
  }
  model = std::move(parsed).value();
  return true;
}

PyTypeObject* detector_error_model_type() { return dem_type; }
PyTypeObject* spacetime_graph_type() { return graph_type; }

bool init_detector_error_model_types() {
  if (!dem_type) dem_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&dem_spec));
  if (!graph_type) graph_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&graph_spec));
  return dem_type && graph_type;
}

// The DEM text `dem` stands for: the file a str names when anything exists at that path (else
// the str itself), the file an os.PathLike names, or str(dem).
bool dem_text_of(PyObject* dem, std::string& text) {
  if (PyUnicode_Check(dem)) {
    auto value = arg_str(dem, "dem");
    if (!value) return false;
    text.assign(value->data(), value->size());
    struct stat info;
    const bool exists = text.find('\0') == std::string::npos && ::stat(text.c_str(), &info) == 0;
    if (!exists) return true;
    const std::string path = std::move(text);
    return read_dem_file(path, text);
  }
  PyRef fspath = PyRef::steal(PyObject_GetAttrString(dem, "__fspath__"));
  if (fspath) {
    PyRef path = PyRef::steal(PyObject_CallNoArgs(fspath.get()));
    if (!path) return false;
    auto value = arg_str(path.get(), "dem");
    if (!value) return false;
    return read_dem_file(std::string(*value), text);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  PyRef str = PyRef::steal(PyObject_Str(dem));
  if (!str) return false;
  auto value = arg_str(str.get(), "dem");
  if (!value) return false;
  text.assign(value->data(), value->size());
  return true;
}

const dem::DetectorErrorModel* model_if_dem(PyObject* o) {
  return dem_type && Py_IS_TYPE(o, dem_type) ? &model_of(o) : nullptr;
}

bool refuse_missing_model_file(PyObject* dem, const dem::DetectorErrorModel& model) {
  if (!PyUnicode_Check(dem) || model.error_count() != 0 || model.detector_count != 0) return true;
  auto value = arg_str(dem, "dem");
  if (!value) return false;
  const std::string name(*value);
  // Text with lines, or none at all, is a model (of comments, or empty), not a mistyped name.
  if (name.find_first_of("\n\0") != std::string::npos || name.find_first_not_of(" \t\r") == std::string::npos)
    return true;
  struct stat info;
  if (::stat(name.c_str(), &info) == 0) return true;
  PyRef error = PyRef::steal(PyObject_CallFunction(PyExc_FileNotFoundError, "isO", ENOENT,
                                                   "No such file or directory (and not a detector error model)", dem));
  if (error) PyErr_SetObject(PyExc_FileNotFoundError, error.get());
  return false;
}

// A circuit's text parses as a model of skipped lines: say what to pass instead.
bool refuse_stim_circuit(PyObject* dem) {
  PyTypeObject* t = Py_TYPE(dem);
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__"));
  if (!module) {
    PyErr_Clear();
    return true;
  }
  const char* name = PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8(module.get()) : nullptr;
  if (!name) {
    PyErr_Clear();
    return true;
  }
  if (std::string_view(name).starts_with("stim") && std::string_view(t->tp_name).ends_with("Circuit")) {
    raise_value_error(std::string(dem::kCircuitGivenAdvice));
    return false;
  }
  return true;
}

const dem::DetectorErrorModel* model_and_text_from(PyObject* dem, dem::DetectorErrorModel& storage,
                                                   std::string& text, bool for_decoder) {
  if (const dem::DetectorErrorModel* given = model_if_dem(dem)) return given;
  if (for_decoder && !refuse_stim_circuit(dem)) return nullptr;
  if (!dem_text_of(dem, text) || !parse_dem_text(text, storage, for_decoder) || !refuse_missing_model_file(dem, storage))
    return nullptr;
  return &storage;
}

bool capture_model_source(PyObject* dem, std::string_view text, ModelSource& source) {
  source.is_path = false;
  if (model_if_dem(dem)) {
    source.object = PyRef::borrow(dem);
    return true;
  }
  if (PyUnicode_Check(dem)) {
    auto value = arg_str(dem, "dem");
    if (!value) return false;
    const std::string name(*value);
    struct stat info;
    source.is_path = name.find('\0') == std::string::npos && ::stat(name.c_str(), &info) == 0;
    source.object = PyRef::borrow(dem);
    return true;
  }
  if (PyObject_HasAttrString(dem, "__fspath__")) {
    source.object = PyRef::steal(PyObject_CallMethod(dem, "__fspath__", nullptr));
    source.is_path = true;
    return static_cast<bool>(source.object);
  }
  // Other objects may change after construction: their text as it was.
  source.object = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  return static_cast<bool>(source.object);
}

PyObject* model_source_text(const ModelSource& source) {
  if (const dem::DetectorErrorModel* model = model_if_dem(source.object.get())) {
    const std::string text = dem::write_dem_text(*model);
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  }
  if (!source.is_path) return Py_NewRef(source.object.get());
  auto path = arg_str(source.object.get(), "dem");
  if (!path) return nullptr;
  std::string text;
  if (!read_dem_file(std::string(*path), text)) return nullptr;
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

const dem::DetectorErrorModel* model_from(PyObject* dem, dem::DetectorErrorModel& storage) {
  if (const dem::DetectorErrorModel* given = model_if_dem(dem)) return given;
  std::string text;
  if (!dem_text_of(dem, text) || !parse_dem_text(text, storage) || !refuse_missing_model_file(dem, storage))
    return nullptr;
  return &storage;
}

}  // namespace ostrel::py
