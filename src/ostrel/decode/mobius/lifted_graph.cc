#include "ostrel/decode/mobius/lifted_graph.h"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "ostrel/decode/mobius/detector_colours.h"

namespace ostrel::decode::mobius {
namespace {

double weight_of(double p) {
  const double q = std::min(p, 0.5);
  return std::log((1 - q) / q);
}

// The probability whose weight is w.
double probability_of(double w) { return 1.0 / (1.0 + std::exp(w)); }

struct Candidate {
  uint32_t u, v;  // v == boundary for a boundary edge
  double weight;
  uint32_t atom;
  uint8_t excluded = 0;
};

// Edges given as candidates (any order), parallel ones reduced to the lightest, built into a
// decoding graph of `nodes` nodes; `edge_atom` gets each graph edge's atom (the lightest) and
// `atom_edge` each atom's graph edge.
std::shared_ptr<const DecodingGraph> build_graph(uint32_t nodes, std::vector<Candidate>& list, size_t atom_count,
                                                 std::vector<uint32_t>& edge_atom, std::vector<uint32_t>& atom_edge) {
  std::sort(list.begin(), list.end(), [](const Candidate& x, const Candidate& y) {
    return std::tie(x.u, x.v, x.weight, x.atom) < std::tie(y.u, y.v, y.weight, y.atom);
  });
  std::vector<ComponentEdge> components;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0 && list[i].u == list[i - 1].u && list[i].v == list[i - 1].v) continue;
    components.push_back({list[i].u, list[i].v == nodes ? kNoDetector : list[i].v, probability_of(list[i].weight),
                          uint64_t{0}, kNoError});
  }
  std::shared_ptr<const DecodingGraph> built = build_decoding_graph(nodes, 0, components);
  edge_atom.assign(built->edges.size(), 0);
  atom_edge.assign(atom_count, kNoEdge);
  uint32_t e = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    const Candidate& c = list[i];
    while (e < built->edges.size() && std::tie(built->edges[e].u, built->edges[e].v) < std::tie(c.u, c.v)) ++e;
    if (e == built->edges.size() || built->edges[e].u != c.u || built->edges[e].v != c.v) continue;
    if (i == 0 || list[i - 1].u != c.u || list[i - 1].v != c.v) edge_atom[e] = c.atom;
    atom_edge[c.atom] = e;
  }
  return built;
}

}  // namespace

LiftedGraph build_lifted_graph(const AtomModel& atoms, std::span<const uint8_t> marks, uint64_t observable_count) {
  const uint32_t detector_count = static_cast<uint32_t>(marks.size());
  const uint32_t boundary = 2 * detector_count;
  LiftedGraph out;
  const size_t n = atoms.atoms.size();
  out.atom_edge_count.assign(n, 0);
  out.atom_edges.assign(3 * n, kNoEdge);
  out.atom_weight.resize(n);

  // The edges each atom makes, in the order of the colour each subgraph leaves out.
  std::vector<Candidate> candidates;
  candidates.reserve(3 * n);
  for (uint32_t a = 0; a < n; ++a) {
    const Atom& atom = atoms.atoms[a];
    out.atom_weight[a] = weight_of(atom.probability);
    size_t first = candidates.size();
    uint32_t dangling[3];
    size_t dangling_count = 0;
    for (uint8_t excluded = 0; excluded < 3; ++excluded) {
      uint32_t ends[2];
      size_t k = 0;
      for (uint32_t d : atom.view()) {
        const uint8_t c = colour_of(marks[d]);
        if (c != excluded) ends[k++] = lifted_node(d, c, excluded);
      }
      if (k == 0) continue;
      if (k == 1) {
        dangling[dangling_count++] = ends[0];
        continue;
      }
      candidates.push_back({std::min(ends[0], ends[1]), std::max(ends[0], ends[1]), 0.0, a, excluded});
    }
    // An atom with two colours, or one detector, leaves two nodes in different subgraphs (where the
    // code's boundary cuts its pieces off): one edge between them glues the subgraphs there.
    if (dangling_count == 2)
      candidates.push_back({std::min(dangling[0], dangling[1]), std::max(dangling[0], dangling[1]), 0.0, a, 3});
    const size_t count = candidates.size() - first;
    out.atom_edge_count[a] = static_cast<uint8_t>(count);
    // The gluing edge shares like the others: weighing it as two shares (it stands for the atom in
    // two subgraphs) cost circuit noise more failures than it saved on phenomenological noise.
    const double share = out.atom_weight[a] / std::pow(double(count), kEdgeShareExponent);
    for (size_t k = first; k < candidates.size(); ++k) candidates[k].weight = share;
  }
  // Parallel edges: one graph edge weighing as the lightest atom (the first of equals).
  std::sort(candidates.begin(), candidates.end(), [](const Candidate& x, const Candidate& y) {
    return std::tie(x.u, x.v, x.weight, x.atom) < std::tie(y.u, y.v, y.weight, y.atom);
  });
  std::vector<ComponentEdge> components;
  for (size_t i = 0; i < candidates.size(); ++i) {
    // Merging parallel edges as "an odd number of them" instead measured far worse: the lift
    // must pick one atom, and the merged weight undersells each.
    if (i > 0 && candidates[i].u == candidates[i - 1].u && candidates[i].v == candidates[i - 1].v) continue;
    const Candidate& c = candidates[i];
    components.push_back(
        {c.u, c.v == boundary ? kNoDetector : c.v, probability_of(c.weight), uint64_t{0}, kNoError});
  }
  std::shared_ptr<const DecodingGraph> built = build_decoding_graph(boundary, observable_count, components);

  // Each candidate's graph edge; `candidates` is ordered by (u, v, weight) as the graph's edges are.
  out.edge_atom.assign(built->edges.size(), 0);
  out.edge_excluded.assign(built->edges.size(), 0);
  out.edge_atoms_start.assign(built->edges.size() + 1, 0);
  out.edge_atoms.reserve(candidates.size());
  std::vector<uint8_t> filled(n, 0);
  uint32_t e = 0;
  for (const Candidate& c : candidates) {
    while (e < built->edges.size() && std::tie(built->edges[e].u, built->edges[e].v) < std::tie(c.u, c.v)) {
      out.edge_atoms_start[e + 1] = static_cast<uint32_t>(out.edge_atoms.size());
      ++e;
    }
    if (e == built->edges.size() || built->edges[e].u != c.u || built->edges[e].v != c.v) continue;
    if (out.edge_atoms.size() == out.edge_atoms_start[e]) out.edge_atom[e] = c.atom;
    out.edge_atoms.push_back(c.atom);
    out.edge_excluded[e] = c.excluded;
    out.atom_edges[3 * c.atom + filled[c.atom]++] = e;
  }
  for (; e < built->edges.size(); ++e) out.edge_atoms_start[e + 1] = static_cast<uint32_t>(out.edge_atoms.size());

  const uint32_t lifted_edges = static_cast<uint32_t>(built->edges.size());
  // The node that speaks for detector d in the lift of colour c: the node in the subgraph of c and
  // c + 1 for those two colours, in that of c + 2 and c for colour c + 2. An edge takes part in
  // the lift when it meets one.
  out.edge_lift_mask.assign(lifted_edges, 0);
  for (uint32_t e = 0; e < lifted_edges; ++e) {
    for (uint32_t node : {built->edges[e].u, built->edges[e].v}) {
      if (node >= boundary) continue;
      const uint8_t colour = colour_of(marks[node / 2]);
      const uint8_t excluded = node % 2 == 0 ? (colour + 2) % 3 : (colour + 1) % 3;
      for (uint8_t c = 0; c < 3; ++c) {
        const uint8_t speaks = colour == (c + 2) % 3 ? (c + 1) % 3 : (c + 2) % 3;
        if (excluded == speaks) out.edge_lift_mask[e] |= uint8_t(1u << c);
      }
    }
  }
  for (uint8_t colour = 0; colour < 3; ++colour) {
    std::vector<Candidate> list;
    list.reserve(n);
    for (uint32_t a = 0; a < n; ++a) {
      uint32_t ends[3] = {lifted_edges, lifted_edges, lifted_edges};
      size_t k = 0;
      for (size_t i = 0; i < out.atom_edge_count[a]; ++i) {
        const uint32_t e = out.atom_edges[3 * a + i];
        if (e != kNoEdge && (out.edge_lift_mask[e] >> colour & 1)) ends[k++] = e;
      }
      // One or two by construction (each detector has one node speaking for it).
      if (k == 0 || k > 2) continue;
      list.push_back({std::min(ends[0], ends[1]), std::max(ends[0], ends[1]), out.atom_weight[a], a});
    }
    out.lift_graph[colour] =
        build_graph(lifted_edges, list, n, out.lift_edge_atom[colour], out.lift_atom_edge[colour]);
  }

  out.atom_index = AtomIndex(atoms.atoms);
  out.graph = std::move(built);
  return out;
}

}  // namespace ostrel::decode::mobius
