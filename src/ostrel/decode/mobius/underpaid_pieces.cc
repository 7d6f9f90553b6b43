#include "ostrel/decode/mobius/underpaid_pieces.h"

#include "ostrel/decode/decoding_graph.h"

namespace ostrel::decode::mobius {
namespace {

constexpr uint32_t kNone = UINT32_MAX;
// The edges' weights are rounded to 1/kWeightScale: a part within rounding of its pieces' price
// was paid in full.
constexpr double kMargin = 1e-6;

}  // namespace

UnderpaidPieces::UnderpaidPieces(const AtomModel& atoms, const LiftedGraph& lifted)
    : atoms_(&atoms), lifted_(&lifted), slot_(atoms.at_start.empty() ? 0 : atoms.at_start.size() - 1, kNone) {}

uint32_t UnderpaidPieces::slot_of(uint32_t detector) {
  if (slot_[detector] == kNone) {
    slot_[detector] = static_cast<uint32_t>(parent_.size());
    parent_.push_back(slot_[detector]);
    touched_.push_back(detector);
  }
  return slot_[detector];
}

uint32_t UnderpaidPieces::root(uint32_t i) {
  while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
  return i;
}

std::span<const uint32_t> UnderpaidPieces::find(std::span<const uint32_t> pieces,
                                                std::span<const uint32_t> explaining) {
  parent_.clear();
  touched_.clear();
  out_.clear();
  const DecodingGraph& graph = *lifted_->graph;
  const uint32_t boundary = graph.detector_count;
  // Lifted node n is a node of detector n / 2.
  for (uint32_t e : pieces) {
    const DecodingEdge& edge = graph.edges[e];
    const uint32_t u = slot_of(edge.u / 2);
    if (edge.v < boundary) join(u, slot_of(edge.v / 2));
  }
  for (uint32_t a : explaining) {
    const std::span<const uint32_t> ds = atoms_->atoms[a].view();
    const uint32_t first = slot_of(ds[0]);
    for (size_t k = 1; k < ds.size(); ++k) join(slot_of(ds[k]), first);
  }
  balance_.assign(parent_.size(), 0.0);
  for (uint32_t a : explaining) balance_[root(slot_[atoms_->atoms[a].detectors[0]])] += lifted_->atom_weight[a];
  for (uint32_t e : pieces)
    balance_[root(slot_[graph.edges[e].u / 2])] -= graph.edges[e].weight / static_cast<double>(kWeightScale);
  for (uint32_t e : pieces)
    if (balance_[root(slot_[graph.edges[e].u / 2])] > kMargin) out_.push_back(e);
  for (uint32_t d : touched_) slot_[d] = kNone;
  return out_;
}

}  // namespace ostrel::decode::mobius
