#pragma once
// The lifted ("rainbow") graph of a colour code, after Gidney & Jones (arXiv:2312.08813): each
// detector becomes two nodes, one in each of the two colour-pair subgraphs holding its colour
// (a red one in red-green and in blue-red). An atom becomes an edge in each subgraph where it
// flips two detectors, between their nodes there. Where it flips one detector in a subgraph (the
// code's boundary has cut the rest off), that node is left over; an atom leaves two such nodes
// (a red-green atom its red node in blue-red and its green node in green-blue, a one-detector
// atom both nodes of its detector), and one edge joins them, gluing the subgraphs along the
// boundary into one surface (the Möbius strip of Sahay and Brown, arXiv:2108.11395, for the
// triangle). A three-colour atom gives three edges, a two-colour or same-colour one two, a
// one-detector atom one; there are no boundary edges.
//
// Every node of an atom's detector meets exactly one of its edges, so the edges of any set of
// atoms meet each node of a detector as often as the set flips it: a shot's fired detectors,
// lifted to both their nodes, are explained by the edges of the atoms that occurred, and each
// detector contributes two nodes, so every component holds an even number. Each edge weighs the
// atom's weight ln((1 - p) / p) divided by n^kEdgeShareExponent, n its edge count: with exponent 1
// a set of whole atoms would weigh exactly what the atoms weigh together, but 0.85 (three-edge
// atoms a little dearer than one- and two-edge ones) measured 5-10% fewer failures on every
// circuit family tried. The value is measured, not derived: on a model whose edges take few
// distinct weights (phenomenological noise) near-ties between paths change sides with it, so the
// failures there swing by several percent either way between 0.7 and 1. Parallel
// edges of several atoms are one graph edge weighing as the lightest of them.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/mobius/atom_index.h"
#include "ostrel/decode/mobius/atoms.h"

namespace ostrel::decode::mobius {

inline constexpr double kEdgeShareExponent = 0.85;

// The node of detector d in the subgraph without colour `excluded` (never d's own colour).
inline uint32_t lifted_node(uint32_t detector, uint8_t colour, uint8_t excluded) {
  return 2 * detector + (excluded == (colour + 2) % 3 ? 0u : 1u);
}

struct LiftedGraph {
  std::shared_ptr<const DecodingGraph> graph;  // 2 nodes per detector (and an unused boundary)
  std::vector<uint32_t> edge_atom;             // per graph edge: the lightest atom on it
  // Every atom on each graph edge, lightest first: edge_atoms[edge_atoms_start[e] .. [e + 1]).
  std::vector<uint32_t> edge_atoms_start;
  std::vector<uint32_t> edge_atoms;
  std::vector<uint8_t> atom_edge_count;        // per atom: 1, 2 or 3
  // Per atom, the graph edges it lies on: atom_edges[3 * a .. 3 * a + atom_edge_count[a]),
  // kNoEdge for one the graph left out (a weight past its range).
  std::vector<uint32_t> atom_edges;
  // The ln((1 - p) / p) of each atom, p capped at 1/2.
  std::vector<double> atom_weight;
  // Per lifted edge: the colour its subgraph leaves out (3 for an edge gluing two subgraphs).
  std::vector<uint8_t> edge_excluded;
  // Per lifted edge, bit c: the edge takes part in the lift of colour c (lift.h).
  std::vector<uint8_t> edge_lift_mask;
  // Per colour c, the graph the lift matches on: a node per lifted edge, an edge per atom joining
  // its (one or two) lifted edges that take part in the lift of c (to the boundary for one),
  // weighing the atom's weight; and the atom of each of its edges.
  std::array<std::shared_ptr<const DecodingGraph>, 3> lift_graph;
  std::array<std::vector<uint32_t>, 3> lift_edge_atom;
  std::array<std::vector<uint32_t>, 3> lift_atom_edge;  // per atom: its edge there
  // The atom of each detector set.
  AtomIndex atom_index;
};

inline constexpr uint32_t kNoEdge = UINT32_MAX;

LiftedGraph build_lifted_graph(const AtomModel& atoms, std::span<const uint8_t> marks, uint64_t observable_count);

}  // namespace ostrel::decode::mobius
