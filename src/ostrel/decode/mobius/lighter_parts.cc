#include "ostrel/decode/mobius/lighter_parts.h"

#include <algorithm>

namespace ostrel::decode::mobius {
namespace {

constexpr uint32_t kNone = UINT32_MAX;
// Weights are sums of a few logarithms: a side wins by more than rounding.
constexpr double kMargin = 1e-9;

}  // namespace

LighterParts::LighterParts(const AtomModel& atoms, std::span<const double> atom_weight)
    : atoms_(&atoms), weight_(atom_weight), owner_(atoms.at_start.empty() ? 0 : atoms.at_start.size() - 1, kNone) {}

uint32_t LighterParts::root(uint32_t i) {
  while (parent_[i] != i) i = parent_[i] = parent_[parent_[i]];
  return i;
}

void LighterParts::split(std::span<const uint32_t> atoms) {
  const auto n = static_cast<uint32_t>(atoms.size());
  parent_.resize(n);
  for (uint32_t k = 0; k < n; ++k) parent_[k] = k;
  touched_.clear();
  for (uint32_t k = 0; k < n; ++k) {
    for (uint32_t d : atoms_->atoms[atoms[k]].view()) {
      if (owner_[d] == kNone) {
        owner_[d] = k;
        touched_.push_back(d);
      } else {
        parent_[root(k)] = root(owner_[d]);
      }
    }
  }
  for (uint32_t d : touched_) owner_[d] = kNone;
}

void LighterParts::keep_lighter(std::vector<uint32_t>& first, std::span<const uint32_t> second) {
  a_.assign(first.begin(), first.end());
  b_.assign(second.begin(), second.end());
  std::sort(a_.begin(), a_.end());
  std::sort(b_.begin(), b_.end());
  // The atoms in one correction only (ascending), each marked with its side.
  difference_.clear();
  from_second_.clear();
  size_t i = 0, j = 0;
  while (i < a_.size() || j < b_.size()) {
    if (j == b_.size() || (i < a_.size() && a_[i] < b_[j])) {
      difference_.push_back(a_[i++]);
      from_second_.push_back(0);
    } else if (i == a_.size() || b_[j] < a_[i]) {
      difference_.push_back(b_[j++]);
      from_second_.push_back(1);
    } else {
      ++i;
      ++j;
    }
  }
  if (difference_.empty()) return;
  split(difference_);
  const auto n = static_cast<uint32_t>(difference_.size());
  balance_.assign(n, 0.0);
  for (uint32_t k = 0; k < n; ++k) {
    const double w = weight_[difference_[k]];
    balance_[root(k)] += from_second_[k] ? -w : w;
  }
  // Parts where `second` is lighter change sides; the rest of `first` stays.
  first.clear();
  size_t k = 0;
  for (uint32_t a : a_) {
    while (k < n && difference_[k] < a) ++k;
    if (k == n || difference_[k] != a || !(balance_[root(static_cast<uint32_t>(k))] > kMargin)) first.push_back(a);
  }
  for (uint32_t m = 0; m < n; ++m)
    if (from_second_[m] && balance_[root(m)] > kMargin) first.push_back(difference_[m]);
}

}  // namespace ostrel::decode::mobius
