#include "ostrel/decode/mobius/lift.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ostrel::decode::mobius {
namespace {

// Search steps per shot before the repair gives up.
constexpr uint32_t kRepairBudget = 256;
// For the detectors a lift left unexplained, decoded again: a search as long as it takes, nearly.
constexpr uint32_t kThoroughRepairBudget = 1u << 16;
// A correction's atom merged away (until the round's end).
constexpr uint32_t kGone = UINT32_MAX;

}  // namespace

Lift::Lift(std::shared_ptr<const AtomModel> atoms, std::shared_ptr<const LiftedGraph> lifted)
    : atoms_(std::move(atoms)), lifted_(std::move(lifted)) {
  for (size_t c = 0; c < 3; ++c) {
    matchers_[c] = std::make_unique<matching::MatchingDecoder>(lifted_->lift_graph[c]);
    tjoins_[c] = std::make_unique<ComponentTJoin>(lifted_->lift_graph[c]);
    in_matching_.assign(lifted_->edge_atom.size(), 0);
    for (const DecodingEdge& e : lifted_->lift_graph[c]->edges) now_[c].push_back(e.weight);
  }
  lightest_at_.assign(atoms_->at_start.empty() ? 0 : atoms_->at_start.size() - 1,
                      std::numeric_limits<double>::infinity());
  for (uint32_t d = 0; d < lightest_at_.size(); ++d)
    for (uint32_t a : atoms_->atoms_at(d)) lightest_at_[d] = std::min(lightest_at_[d], lifted_->atom_weight[a]);
  lightest_ = lifted_->atom_weight.empty() ? 0.0 : *std::min_element(lifted_->atom_weight.begin(), lifted_->atom_weight.end());
  const size_t detectors = atoms_->at_start.empty() ? 0 : atoms_->at_start.size() - 1;
  parity_.assign(detectors, 0);
  listed_.assign(detectors, 0);
  meet_mark_.assign(detectors, 0);
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
  if (depth == 1) {
    // One atom left to choose: the one flipping exactly the odd detectors, if any.
    uint32_t odd[3];
    uint32_t n = 0;
    for (uint32_t d : seen_) {
      if (!parity_[d]) continue;
      uint32_t k = n++;  // odd_ <= 3: kept ascending by insertion
      for (; k > 0 && odd[k - 1] > d; --k) odd[k] = odd[k - 1];
      odd[k] = d;
    }
    const uint32_t a = find_atom(std::span<const uint32_t>(odd, n));
    if (a == kNoAtom) return;
    const double w = weight + lifted_->atom_weight[a];
    if (found_ && w >= best_weight_) return;
    stack_.push_back(a);
    best_.assign(stack_.begin(), stack_.end());
    best_weight_ = w;
    found_ = true;
    stack_.pop_back();
    return;
  }
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

uint32_t Lift::find_atom(std::span<const uint32_t> detectors) const {
  return lifted_->atom_index.find(detectors);
}

bool Lift::merge_pair(size_t i, size_t j) {
  uint32_t together[6], rest[9];
  const std::span<const uint32_t> a = atoms_->atoms[correction_[i]].view();
  const std::span<const uint32_t> b = atoms_->atoms[correction_[j]].view();
  uint32_t* end = std::set_symmetric_difference(a.begin(), a.end(), b.begin(), b.end(), together);
  const size_t size = static_cast<size_t>(end - together);
  if (size == 0) {  // they cancel
    correction_[i] = kGone;
    correction_[j] = kGone;
    return true;
  }
  const double weight = lifted_->atom_weight[correction_[i]] + lifted_->atom_weight[correction_[j]];
  // The lightest one atom, or two atoms one of which flips the first detector, flipping the same.
  uint32_t best[2] = {UINT32_MAX, UINT32_MAX};
  double best_weight = weight;
  if (size <= 3) {
    const uint32_t c = find_atom(std::span<const uint32_t>(together, size));
    if (c != UINT32_MAX && lifted_->atom_weight[c] < best_weight) {
      best[0] = c;
      best_weight = lifted_->atom_weight[c];
    }
  }
  // Mostly every atom there is too heavy (under uniform noise most weigh alike): one test for all.
  const bool any_lighter = lightest_at_[together[0]] + lightest_ < best_weight;
  for (uint32_t c : any_lighter ? atoms_->atoms_at(together[0]) : std::span<const uint32_t>()) {
    // With the lightest atom of all beside it, c must still come in under the best.
    if (lifted_->atom_weight[c] + lightest_ >= best_weight) continue;
    const std::span<const uint32_t> v = atoms_->atoms[c].view();
    uint32_t* rest_end = std::set_symmetric_difference(together, together + size, v.begin(), v.end(), rest);
    const size_t rest_size = static_cast<size_t>(rest_end - rest);
    if (rest_size == 0 || rest_size > 3) continue;
    const uint32_t d = find_atom(std::span<const uint32_t>(rest, rest_size));
    if (d == UINT32_MAX || !(lifted_->atom_weight[c] + lifted_->atom_weight[d] < best_weight)) continue;
    best[0] = c;
    best[1] = d;
    best_weight = lifted_->atom_weight[c] + lifted_->atom_weight[d];
  }
  // A strict gain only, so that merging ends.
  if (best[0] == UINT32_MAX || !(best_weight < weight - 1e-9)) return false;
  correction_[i] = best[0];
  correction_[j] = best[1] == UINT32_MAX ? kGone : best[1];
  return true;
}

void Lift::merge_pairs(size_t first) {
  // A pair found no lighter keeps that answer while neither atom changes: after the first round,
  // only pairs with an atom the last round replaced are asked again.
  fresh_.assign(correction_.size(), 1);
  for (bool changed = true; changed;) {
    changed = false;
    // Atoms meet where they share a detector: sorted by detector, those meeting are neighbours.
    // Only detectors shared by an atom at `first` or later and a fresh atom can hold a pair worth
    // asking, and the matching's whole atoms (most of a correction) meet elsewhere mostly: the
    // others are left out of the sort.
    for (uint32_t k = first; k < correction_.size(); ++k)
      for (uint32_t d : atoms_->atoms[correction_[k]].view()) meet_mark_[d] |= 1;
    for (uint32_t k = 0; k < correction_.size(); ++k)
      if (fresh_[k])
        for (uint32_t d : atoms_->atoms[correction_[k]].view()) meet_mark_[d] |= 2;
    meets_.clear();
    for (uint32_t k = 0; k < correction_.size(); ++k)
      for (uint32_t d : atoms_->atoms[correction_[k]].view())
        if (meet_mark_[d] == 3) meets_.push_back({d, k});
    for (uint32_t k = 0; k < correction_.size(); ++k)
      for (uint32_t d : atoms_->atoms[correction_[k]].view()) meet_mark_[d] = 0;
    std::sort(meets_.begin(), meets_.end());
    merged_.assign(correction_.size(), 0);
    for (size_t s = 0; s < meets_.size();) {
      size_t t = s;
      while (t < meets_.size() && meets_[t].first == meets_[s].first) ++t;
      for (size_t x = s; x < t; ++x) {
        for (size_t y = x + 1; y < t; ++y) {
          const uint32_t i = meets_[x].second, j = meets_[y].second;  // i < j
          // Pairs among the matching's whole atoms are its own choice; an atom changes once a round.
          if (j < first || merged_[i] || merged_[j] || !(fresh_[i] | fresh_[j])) continue;
          if (merge_pair(i, j)) {
            merged_[i] = merged_[j] = 1;
            changed = true;
          }
        }
      }
      s = t;
    }
    if (!changed) break;
    size_t kept = 0, kept_first = 0;
    for (size_t k = 0; k < correction_.size(); ++k) {
      if (correction_[k] == kGone) continue;
      kept_first += k < first;
      fresh_[kept] = merged_[k];
      correction_[kept++] = correction_[k];
    }
    correction_.resize(kept);
    fresh_.resize(kept);
    first = kept_first;
  }
}

bool Lift::take_whole_atoms(std::span<const uint32_t> edges) {
  whole_.clear();
  rest_edges_.clear();
  matched_.clear();
  for (uint32_t e : edges) {
    if (!in_matching_[e]) matched_.push_back(e);
    in_matching_[e] ^= 1;
  }
  size_t left = 0;
  for (uint32_t e : matched_) left += in_matching_[e];
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
      left -= count;
      whole_.push_back(a);
      break;
    }
  }
  for (uint32_t e : matched_) {
    if (in_matching_[e]) rest_edges_.push_back(e);
    in_matching_[e] = 0;
  }
  return left == 0;
}

uint64_t Lift::lift(std::span<const uint32_t> edges, std::span<const uint32_t> fired, bool thorough) {
  // Most matchings are whole atoms: their atoms are the correction, and no lift is needed.
  if (take_whole_atoms(edges)) {
    correction_.assign(whole_.begin(), whole_.end());
    explained_ = true;
    residual_.clear();
    uint64_t observables = 0;
    for (uint32_t a : correction_) observables ^= atoms_->atoms[a].observables;
    return observables;
  }
  // Otherwise the whole atoms stay, and the rest of the matching explains what they leave.
  for (uint32_t a : whole_) toggle(a);
  for (uint32_t d : fired) toggle_detector(d);
  rest_fired_.clear();
  for (uint32_t d : seen_)
    if (parity_[d]) rest_fired_.push_back(d);
  std::sort(rest_fired_.begin(), rest_fired_.end());
  clear_parity();
  edges = rest_edges_;
  fired = rest_fired_;
  correction_.clear();
  double best_weight = 0.0;
  uint32_t best_odd = 0;
  bool have = false;
  for (uint8_t colour = 0; colour < 3; ++colour) {
    targets_.clear();
    for (uint32_t e : edges)
      if (lifted_->edge_lift_mask[e] >> colour & 1) targets_.push_back(e);
    std::sort(targets_.begin(), targets_.end());
    double weight;
    candidate_.clear();
    if (lowered_[colour].empty() && tjoins_[colour]->solve(targets_)) {
      weight = static_cast<double>(tjoins_[colour]->fine_weight()) / matching::kFineScale;
      for (uint32_t e : tjoins_[colour]->edges()) candidate_.push_back(lifted_->lift_edge_atom[colour][e]);
    } else {
      matching::MatchingDecoder& m = *matchers_[colour];
      m.decode(targets_);
      weight = m.correction_weight();
      for (uint32_t e : m.correction()) candidate_.push_back(lifted_->lift_edge_atom[colour][e]);
    }
    // Explained unless some targets were left unmatched.
    for (uint32_t a : candidate_) toggle(a);
    for (uint32_t d : fired) toggle_detector(d);
    const uint32_t odd = odd_;
    clear_parity();
    // The one leaving the fewest detectors unexplained (none, mostly), then the lightest.
    if (!have || odd < best_odd || (odd == best_odd && weight < best_weight)) {
      correction_.swap(candidate_);
      best_weight = weight;
      best_odd = odd;
      have = true;
    }
  }
  explained_ = best_odd == 0;
  residual_.clear();
  if (!explained_) {
    for (uint32_t a : correction_) toggle(a);
    for (uint32_t d : fired) toggle_detector(d);
    found_ = false;
    budget_ = thorough ? kThoroughRepairBudget : kRepairBudget;
    const uint32_t most = thorough ? 2 * kMaxRepairAtoms : kMaxRepairAtoms;
    for (uint32_t depth = 1; depth <= most && !found_ && budget_ > 0; ++depth) search(depth, 0.0);
    explained_ = found_;
    if (found_) {
      correction_.insert(correction_.end(), best_.begin(), best_.end());
    } else {
      for (uint32_t d : seen_)
        if (parity_[d]) residual_.push_back(d);
      std::sort(residual_.begin(), residual_.end());
    }
    clear_parity();
  }
  // Whole atoms first: pairs among them are the matching's own choice and are left as they are.
  correction_.insert(correction_.begin(), whole_.begin(), whole_.end());
  merge_pairs(whole_.size());
  uint64_t observables = 0;
  for (uint32_t a : correction_) observables ^= atoms_->atoms[a].observables;
  return observables;
}

}  // namespace ostrel::decode::mobius
