#include "ostrel/driver/method_registry.h"

#include <array>

#include "ostrel/driver/graph_methods.h"
#include "ostrel/driver/hypergraph_methods.h"
#include "ostrel/driver/mobius_methods.h"

namespace ostrel::driver {
namespace {

using decode::DecodeMethod;

// The one table of methods. A new method is one entry here and its maker.
const std::array kMethods = {
    MethodSpec{"matching", "exact minimum-weight perfect matching on the decoding graph (the default)", true, false,
               DecodeMethod::kMatching, &make_matching},
    MethodSpec{"correlated-matching",
               "matching, re-weighted by the errors the correction's edges share (the most accurate on graph-like "
               "codes; about 3-6x the time of matching)",
               true, false, DecodeMethod::kCorrelatedMatching, &make_correlated_matching},
    MethodSpec{"weighted-union-find", "clusters grown by edge weight, then peeled (fastest; a few % more failures)",
               true, false, DecodeMethod::kWeightedUnionFind, &make_weighted_union_find},
    MethodSpec{"correlated-union-find", "Union-Find's correction weighs one matching pass as correlated-matching does (faster than "
               "it, about pymatching-correlated's accuracy)", true, false,
               DecodeMethod::kCorrelatedUnionFind, &make_correlated_union_find},
    MethodSpec{"bp-osd",
               "belief propagation, then ordered statistics when it does not converge (qLDPC and colour codes: "
               "any model, decomposed or not)",
               true, true, std::nullopt, &make_bp_osd},
    MethodSpec{"relay-bp",
               "belief propagation with memory in relay legs, no post-processing (qLDPC codes under circuit "
               "noise: far fewer failures than bp-osd, at about twice its time)",
               true, true, std::nullopt, &make_relay_bp},
    MethodSpec{"belief-matching",
               "matching weighed by belief propagation over the whole errors (surface codes; needs a model "
               "decomposed with ^)",
               true, false, std::nullopt, &make_belief_matching},
    MethodSpec{"mobius",
               "colour codes (detectors marked red/green/blue X/Z in their 4th coordinate): matching on the lifted "
               "graph, lifted back to a set of errors",
               true, true, std::nullopt, &make_mobius},
    MethodSpec{"correlated-mobius",
               "mobius re-weighted by the errors a correction's pieces share (Y errors, hooks): fewer failures at "
               "about 2-3x its time",
               true, true, std::nullopt, &make_correlated_mobius},
    MethodSpec{"union-find", "the fixed reference procedure on the spacetime graph (for comparisons only)", false,
               false, std::nullopt, &make_fixed_union_find},
};

std::string quoted_list(bool hyperedges_only) {
  std::string out;
  size_t count = 0, total = 0;
  for (const MethodSpec& m : kMethods) total += m.listed && (!hyperedges_only || m.decodes_hyperedges);
  for (const MethodSpec& m : kMethods) {
    if (!m.listed || (hyperedges_only && !m.decodes_hyperedges)) continue;
    if (count) out += count + 1 == total ? (total > 2 ? ", or " : " or ") : ", ";
    out.append("'").append(m.name).append("'");
    ++count;
  }
  return out;
}

}  // namespace

std::span<const MethodSpec> registered_methods() noexcept { return kMethods; }

const MethodSpec* find_method(std::string_view name) noexcept {
  for (const MethodSpec& m : kMethods)
    if (m.name == name) return &m;
  return nullptr;
}

std::string listed_method_names() { return quoted_list(false); }

std::string unknown_method_message(std::string_view name) {
  return "unknown decoding method '" + std::string(name) + "': expected " + listed_method_names();
}

std::string hyperedge_advice(std::string_view method) {
  std::string advice = "; '" + std::string(method) + "' needs the model's errors decomposed (a circuit's model "
                       "from circuit.detector_error_model(decompose_errors=True))";
  const std::string hyper = quoted_list(true);
  if (!hyper.empty()) advice += ", or use a method that decodes errors of any size: " + hyper;
  return advice;
}

}  // namespace ostrel::driver
