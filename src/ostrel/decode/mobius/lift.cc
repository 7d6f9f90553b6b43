#include "ostrel/decode/mobius/lift.h"

namespace ostrel::decode::mobius {
namespace {

// Search steps per shot before the repair gives up.
constexpr uint32_t kRepairBudget = 4096;

}  // namespace

Lift::Lift(std::shared_ptr<const AtomModel> atoms, std::shared_ptr<const LiftedGraph> lifted)
    : atoms_(std::move(atoms)), lifted_(std::move(lifted)) {
  in_matching_.assign(lifted_->edge_atom.size(), 0);
  const size_t detectors = atoms_->at_start.empty() ? 0 : atoms_->at_start.size() - 1;
  parity_.assign(detectors, 0);
  listed_.assign(detectors, 0);
}

void Lift::toggle(uint32_t atom) {
  for (uint32_t d : atoms_->atoms[atom].view()) {
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
}

bool Lift::search(uint32_t depth, double weight) {
  uint32_t lowest = UINT32_MAX;
  for (uint32_t d : seen_)
    if (parity_[d] && d < lowest) lowest = d;
  if (lowest == UINT32_MAX) {
    if (!found_ || weight < best_weight_) {
      best_.assign(stack_.begin(), stack_.end());
      best_weight_ = weight;
      found_ = true;
    }
    return true;
  }
  // Each atom clears at most three detectors.
  if (depth == 0 || budget_ == 0 || odd_ > 3 * depth) return false;
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
  return found_;
}

uint64_t Lift::lift(std::span<const uint32_t> edges, std::span<const uint32_t> fired) {
  correction_.clear();
  matched_.clear();
  for (uint32_t e : edges) {
    if (!in_matching_[e]) matched_.push_back(e);
    in_matching_[e] ^= 1;
  }
  // Whole atoms first: on each matched edge, the lightest atom whose edges were all matched.
  for (uint32_t e : matched_) {
    if (!in_matching_[e]) continue;
    for (uint32_t k = lifted_->edge_atoms_start[e]; k < lifted_->edge_atoms_start[e + 1]; ++k) {
      const uint32_t a = lifted_->edge_atoms[k];
      const uint32_t count = lifted_->atom_edge_count[a];
      bool whole = true;
      for (uint32_t i = 0; i < count && whole; ++i) {
        const uint32_t f = lifted_->atom_edges[3 * a + i];
        whole = f != kNoEdge && in_matching_[f];
      }
      if (!whole) continue;
      for (uint32_t i = 0; i < count; ++i) in_matching_[lifted_->atom_edges[3 * a + i]] = 0;
      correction_.push_back(a);
      toggle(a);
      break;
    }
  }
  for (uint32_t e : matched_) in_matching_[e] = 0;
  for (uint32_t d : fired) {
    if (d >= parity_.size()) continue;
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
  explained_ = true;
  if (odd_ > 0) {
    found_ = false;
    budget_ = kRepairBudget;
    for (uint32_t depth = 1; depth <= kMaxRepairAtoms && !found_ && budget_ > 0; ++depth) search(depth, 0.0);
    explained_ = found_;
    if (found_)
      for (uint32_t a : best_) correction_.push_back(a);
  }
  for (uint32_t d : seen_) {
    parity_[d] = 0;
    listed_[d] = 0;
  }
  seen_.clear();
  odd_ = 0;

  // An atom chosen twice cancels; the observables follow the same parity.
  uint64_t observables = 0;
  for (uint32_t a : correction_) observables ^= atoms_->atoms[a].observables;
  return observables;
}

}  // namespace ostrel::decode::mobius
