#include "ostrel/decode/mobius/atom_index.h"

#include <algorithm>
#include <bit>

namespace ostrel::decode::mobius {
namespace {

std::array<uint32_t, 3> key_of(std::span<const uint32_t> detectors) {
  std::array<uint32_t, 3> key{kNoAtom, kNoAtom, kNoAtom};
  for (size_t i = 0; i < detectors.size() && i < 3; ++i) key[i] = detectors[i];
  return key;
}

}  // namespace

uint64_t AtomIndex::hash(const std::array<uint32_t, 3>& key) {
  uint64_t h = (uint64_t{key[0]} << 32 | key[1]) * 0x9E3779B97F4A7C15ull;
  h ^= (h >> 29) ^ uint64_t{key[2]} * 0xC2B2AE3D27D4EB4Full;
  return h ^ (h >> 32);
}

AtomIndex::AtomIndex(std::span<const Atom> atoms) {
  const uint64_t capacity = std::bit_ceil(std::max<uint64_t>(4, 2 * atoms.size()));
  slots_.assign(capacity, Slot{});
  mask_ = capacity - 1;
  for (uint32_t a = 0; a < atoms.size(); ++a) {
    const std::array<uint32_t, 3> key = key_of(atoms[a].view());
    uint64_t i = hash(key) & mask_;
    while (slots_[i].atom != kNoAtom && slots_[i].detectors != key) i = (i + 1) & mask_;
    // Should two atoms share detectors after all, the first stands for them, as a walk would find.
    if (slots_[i].atom == kNoAtom) slots_[i] = Slot{key, a};
  }
}

uint32_t AtomIndex::find(std::span<const uint32_t> detectors) const {
  if (slots_.empty() || detectors.empty() || detectors.size() > 3) return kNoAtom;
  const std::array<uint32_t, 3> key = key_of(detectors);
  for (uint64_t i = hash(key) & mask_;; i = (i + 1) & mask_) {
    const Slot& s = slots_[i];
    // Compared field by field: the array's == goes through memcmp, a call per probe.
    if (s.atom == kNoAtom ||
        (s.detectors[0] == key[0] && s.detectors[1] == key[1] && s.detectors[2] == key[2]))
      return s.atom;
  }
}

}  // namespace ostrel::decode::mobius
