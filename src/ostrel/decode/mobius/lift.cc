#include "ostrel/decode/mobius/lift.h"

#include <algorithm>
#include <cmath>

namespace ostrel::decode::mobius {
namespace {

// Search steps per shot before the repair gives up.
constexpr uint32_t kRepairBudget = 4096;

}  // namespace

Lift::Lift(std::shared_ptr<const AtomModel> atoms, std::shared_ptr<const LiftedGraph> lifted)
    : atoms_(std::move(atoms)), lifted_(std::move(lifted)) {
  for (size_t c = 0; c < 3; ++c) {
    matchers_[c] = std::make_unique<matching::MatchingDecoder>(lifted_->lift_graph[c]);
    for (const DecodingEdge& e : lifted_->lift_graph[c]->edges) now_[c].push_back(e.weight);
  }
  const size_t detectors = atoms_->at_start.empty() ? 0 : atoms_->at_start.size() - 1;
  parity_.assign(detectors, 0);
  listed_.assign(detectors, 0);
}

void Lift::toggle_detector(uint32_t d) {
  parity_[d] ^= 1;
  if (parity_[d]) {
    ++odd_;
  } else {
    --odd_;
  }
  if (!listed_[d]) {
    listed_[d] = 1;
    seen_.push_back(d);
  }
}

void Lift::toggle(uint32_t atom) {
  for (uint32_t d : atoms_->atoms[atom].view()) toggle_detector(d);
}

void Lift::lower_atom(uint32_t atom, double weight) {
  const auto units = static_cast<int32_t>(std::clamp(std::round(weight * kWeightScale), 0.0, double(kMaxWeight)));
  for (size_t c = 0; c < 3; ++c) {
    const uint32_t e = lifted_->lift_atom_edge[c][atom];
    if (e == kNoEdge || units >= now_[c][e]) continue;
    now_[c][e] = units;
    matchers_[c]->set_edge_weight(e, units);
    lowered_[c].push_back(e);
  }
}

void Lift::restore_weights() {
  for (size_t c = 0; c < 3; ++c) {
    if (lowered_[c].empty()) continue;
    for (uint32_t e : lowered_[c]) now_[c][e] = lifted_->lift_graph[c]->edges[e].weight;
    lowered_[c].clear();
    matchers_[c]->restore_edge_weights();
  }
}

void Lift::clear_parity() {
  for (uint32_t d : seen_) {
    parity_[d] = 0;
    listed_[d] = 0;
  }
  seen_.clear();
  odd_ = 0;
}

void Lift::search(uint32_t depth, double weight) {
  uint32_t lowest = UINT32_MAX;
  for (uint32_t d : seen_)
    if (parity_[d] && d < lowest) lowest = d;
  if (lowest == UINT32_MAX) {
    if (!found_ || weight < best_weight_) {
      best_.assign(stack_.begin(), stack_.end());
      best_weight_ = weight;
      found_ = true;
    }
    return;
  }
  // Each atom clears at most three detectors.
  if (depth == 0 || budget_ == 0 || odd_ > 3 * depth) return;
  --budget_;
  for (uint32_t a : atoms_->atoms_at(lowest)) {
    const double w = weight + lifted_->atom_weight[a];
    if (found_ && w >= best_weight_) continue;
    toggle(a);
    stack_.push_back(a);
    search(depth - 1, w);
    stack_.pop_back();
    toggle(a);
  }
}

uint64_t Lift::lift(std::span<const uint32_t> edges, std::span<const uint32_t> fired) {
  correction_.clear();
  double best_weight = 0.0;
  bool have = false;
  explained_ = false;
  for (uint8_t colour = 0; colour < 3; ++colour) {
    targets_.clear();
    for (uint32_t e : edges)
      if (lifted_->edge_excluded[e] != colour) targets_.push_back(e);
    std::sort(targets_.begin(), targets_.end());
    matching::MatchingDecoder& m = *matchers_[colour];
    m.decode(targets_);
    const double weight = m.correction_weight();
    candidate_.clear();
    for (uint32_t e : m.correction()) candidate_.push_back(lifted_->lift_edge_atom[colour][e]);
    // Explained unless some targets were left unmatched.
    for (uint32_t a : candidate_) toggle(a);
    for (uint32_t d : fired) toggle_detector(d);
    const bool explains = odd_ == 0;
    clear_parity();
    if (!have || (explains && !explained_) || (explains == explained_ && weight < best_weight)) {
      correction_.swap(candidate_);
      best_weight = weight;
      explained_ = explains;
      have = true;
    }
  }
  if (!explained_) {
    for (uint32_t a : correction_) toggle(a);
    for (uint32_t d : fired) toggle_detector(d);
    found_ = false;
    budget_ = kRepairBudget;
    for (uint32_t depth = 1; depth <= kMaxRepairAtoms && !found_ && budget_ > 0; ++depth) search(depth, 0.0);
    explained_ = found_;
    if (found_) correction_.insert(correction_.end(), best_.begin(), best_.end());
    clear_parity();
  }
  uint64_t observables = 0;
  for (uint32_t a : correction_) observables ^= atoms_->atoms[a].observables;
  return observables;
}

}  // namespace ostrel::decode::mobius
