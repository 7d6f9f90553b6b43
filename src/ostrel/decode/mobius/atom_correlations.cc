#include "ostrel/decode/mobius/atom_correlations.h"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace ostrel::decode::mobius {

AtomCorrelations correlate_atoms(const AtomModel& atoms, std::span<const double> weights) {
  struct Entry {
    uint32_t from, to;
    double weight;
  };
  std::vector<Entry> entries;
  for (size_t c = 0; c < atoms.composite_count(); ++c) {
    const std::span<const uint32_t> members = atoms.atoms_of_composite(c);
    if (members.size() > kMaxCorrelatedAtoms) continue;
    const double joint = atoms.joint_probability[c];
    for (uint32_t a : members) {
      const double pa = atoms.atoms[a].probability;
      if (!(pa > 0.0) || pa >= 0.5) continue;
      for (uint32_t b : members) {
        if (a == b) continue;
        const double q = std::min(0.5, std::max(joint / pa, atoms.atoms[b].probability));
        const double w = std::log((1 - q) / q);
        if (w < weights[b]) entries.push_back({a, b, w});
      }
    }
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
    return std::tie(x.from, x.to, x.weight) < std::tie(y.from, y.to, y.weight);
  });
  AtomCorrelations out;
  if (entries.empty()) return out;
  out.start.assign(atoms.atoms.size() + 1, 0);
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0 && entries[i].from == entries[i - 1].from && entries[i].to == entries[i - 1].to) continue;
    out.list.push_back({entries[i].to, entries[i].weight});
    ++out.start[entries[i].from + 1];
  }
  for (size_t i = 1; i < out.start.size(); ++i) out.start[i] += out.start[i - 1];
  return out;
}

}  // namespace ostrel::decode::mobius
