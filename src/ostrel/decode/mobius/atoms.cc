#include "ostrel/decode/mobius/atoms.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "ostrel/decode/mobius/detector_colours.h"

namespace ostrel::decode::mobius {
namespace {

struct Key {
  std::array<uint32_t, 3> d{};
  uint8_t size = 0;
  bool operator==(const Key&) const = default;
};

struct KeyHash {
  size_t operator()(const Key& k) const noexcept {
    uint64_t h = k.size;
    for (uint32_t x : k.d) h = (h ^ x) * 0x9E3779B97F4A7C15ull + (h >> 29);
    return static_cast<size_t>(h);
  }
};

Key key_of(std::span<const uint32_t> dets) {
  Key k;
  k.size = static_cast<uint8_t>(dets.size());
  for (size_t i = 0; i < dets.size(); ++i) k.d[i] = dets[i];
  return k;
}

// One or two detectors, or three of three colours.
bool is_atomic(std::span<const uint32_t> dets, std::span<const uint8_t> marks) {
  if (dets.size() == 1 || dets.size() == 2) return true;
  if (dets.size() != 3) return false;
  const uint8_t a = colour_of(marks[dets[0]]), b = colour_of(marks[dets[1]]), c = colour_of(marks[dets[2]]);
  return a != b && b != c && a != c;
}

// Searches are bounded: an error whose split takes longer is refused rather than stalling.
constexpr uint32_t kSplitBudget = 20000;

class Builder {
 public:
  explicit Builder(std::span<const uint8_t> marks) : marks_(marks) {}

  std::optional<uint32_t> find(std::span<const uint32_t> dets) const {
    const auto it = index_.find(key_of(dets));
    if (it == index_.end()) return std::nullopt;
    return it->second;
  }

  // Adds one occurrence of probability p; `observables` are kept if it is the most probable.
  uint32_t add(std::span<const uint32_t> dets, uint64_t observables, double p) {
    auto [it, fresh] = index_.try_emplace(key_of(dets), static_cast<uint32_t>(model_.atoms.size()));
    if (fresh) {
      Atom a;
      a.size = static_cast<uint8_t>(dets.size());
      std::copy(dets.begin(), dets.end(), a.detectors.begin());
      a.observables = observables;
      model_.atoms.push_back(a);
      best_.push_back(0.0);
    }
    Atom& a = model_.atoms[it->second];
    a.probability = a.probability * (1 - p) + p * (1 - a.probability);
    if (p > best_[it->second]) {
      best_[it->second] = p;
      a.observables = observables;
    }
    return it->second;
  }

  // Index of the atoms known so far by detector, for splitting.
  void index_by_detector(uint64_t detector_count) {
    split_start_.assign(detector_count + 1, 0);
    for (const Atom& a : model_.atoms)
      for (uint32_t d : a.view()) ++split_start_[d + 1];
    for (size_t i = 1; i < split_start_.size(); ++i) split_start_[i] += split_start_[i - 1];
    split_at_.resize(split_start_.back());
    std::vector<uint32_t> next(split_start_.begin(), split_start_.end() - 1);
    for (uint32_t i = 0; i < model_.atoms.size(); ++i)
      for (uint32_t d : model_.atoms[i].view()) split_at_[next[d]++] = i;
  }

  // Splits `dets` (ascending) into known atoms, preferring a split whose observables are
  // `want`. Returns false when none is found within the budget.
  bool split(std::span<const uint32_t> dets, uint64_t want, std::vector<uint32_t>& out) {
    budget_ = kSplitBudget;
    found_.clear();
    chosen_.clear();
    exact_ = false;
    remaining_.assign(dets.begin(), dets.end());
    search(want, 0);
    if (found_.empty()) return false;
    out = found_;
    return true;
  }

  // Splits `dets` into atom-shaped pieces with as few pieces no single error names as the
  // budget finds. Returns false when none is found.
  bool split_with_new(std::span<const uint32_t> dets, std::vector<Key>& out) {
    for (uint32_t allowed = 1; allowed <= dets.size(); ++allowed) {
      budget_ = kSplitBudget;
      pieces_.clear();
      found_pieces_.clear();
      remaining_.assign(dets.begin(), dets.end());
      if (search_new(allowed)) {
        out = found_pieces_;
        return true;
      }
    }
    return false;
  }

  AtomModel& model() { return model_; }
  // Atoms at `detector` among those the single errors named.
  uint32_t atoms_at_count(uint32_t detector) const {
    return detector + 1 < split_start_.size() ? split_start_[detector + 1] - split_start_[detector] : 0;
  }

 private:
  bool try_piece(std::span<const uint32_t> piece, uint32_t new_left) {
    const bool known = index_.contains(key_of(piece));
    if (!known && new_left == 0) return false;
    const std::vector<uint32_t> before = remaining_;
    std::vector<uint32_t> rest;
    std::set_difference(before.begin(), before.end(), piece.begin(), piece.end(), std::back_inserter(rest));
    remaining_ = std::move(rest);
    pieces_.push_back(key_of(piece));
    const bool done = search_new(known ? new_left : new_left - 1);
    pieces_.pop_back();
    remaining_ = before;
    return done;
  }

  bool search_new(uint32_t new_left) {
    if (budget_ == 0) return false;
    --budget_;
    if (remaining_.empty()) {
      found_pieces_ = pieces_;
      return true;
    }
    const uint32_t first = remaining_.front();
    for (uint32_t k = split_start_[first]; k < split_start_[first + 1]; ++k) {
      const Atom& a = model_.atoms[split_at_[k]];
      if (std::includes(remaining_.begin(), remaining_.end(), a.view().begin(), a.view().end()) &&
          try_piece(a.view(), new_left))
        return true;
    }
    if (new_left == 0) return false;
    const std::vector<uint32_t> rest(remaining_.begin() + 1, remaining_.end());
    // New pieces flip two or three detectors: a new one-detector piece inside the code would let
    // any shot end a chain there, as cheaply as at the code's boundary.
    uint32_t piece[3] = {first, 0, 0};
    for (size_t i = 0; i < rest.size(); ++i) {
      piece[1] = rest[i];
      if (try_piece(std::span<const uint32_t>(piece, 2), new_left)) return true;
      for (size_t j = i + 1; j < rest.size(); ++j) {
        piece[2] = rest[j];
        const std::span<const uint32_t> three(piece, 3);
        if (is_atomic(three, marks_) && try_piece(three, new_left)) return true;
      }
    }
    return false;
  }

  void search(uint64_t want, uint64_t have) {
    if (exact_ || budget_ == 0) return;
    --budget_;
    if (remaining_.empty()) {
      if (found_.empty() || have == want) {
        found_ = chosen_;
        exact_ = have == want;
      }
      return;
    }
    const uint32_t first = remaining_.front();
    if (first + 1 >= split_start_.size()) return;
    for (uint32_t k = split_start_[first]; k < split_start_[first + 1]; ++k) {
      const Atom& a = model_.atoms[split_at_[k]];
      if (!std::includes(remaining_.begin(), remaining_.end(), a.view().begin(), a.view().end())) continue;
      const std::vector<uint32_t> before = remaining_;
      std::vector<uint32_t> rest;
      std::set_difference(before.begin(), before.end(), a.view().begin(), a.view().end(), std::back_inserter(rest));
      remaining_ = std::move(rest);
      chosen_.push_back(split_at_[k]);
      search(want, have ^ a.observables);
      chosen_.pop_back();
      remaining_ = before;
      if (exact_ || budget_ == 0) return;
    }
  }

  std::span<const uint8_t> marks_;
  AtomModel model_;
  std::vector<double> best_;
  std::unordered_map<Key, uint32_t, KeyHash> index_;
  std::vector<uint32_t> split_start_, split_at_;
  std::vector<uint32_t> remaining_, chosen_, found_;
  std::vector<Key> pieces_, found_pieces_;
  uint32_t budget_ = 0;
  bool exact_ = false;
};

// An error's detectors in each basis (ascending, duplicates cancelled, ignored ones dropped).
struct Parts {
  std::vector<uint32_t> basis[2];
};

void parts_of(const dem::DemError& e, std::span<const uint8_t> marks, Parts& out, std::vector<uint32_t>& scratch) {
  scratch.assign(e.detectors.begin(), e.detectors.end());
  std::sort(scratch.begin(), scratch.end());
  out.basis[0].clear();
  out.basis[1].clear();
  for (size_t i = 0; i < scratch.size();) {
    size_t j = i;
    while (j < scratch.size() && scratch[j] == scratch[i]) ++j;
    const uint32_t d = scratch[i];
    if ((j - i) % 2 == 1 && d < marks.size() && marks[d] != kIgnored) out.basis[basis_of(marks[d])].push_back(d);
    i = j;
  }
}

std::string unsplittable(uint32_t i, const dem::DemError& e) {
  std::string text = "error " + std::to_string(i) + " (";
  for (size_t k = 0; k < e.detectors.size(); ++k) text += (k ? " D" : "D") + std::to_string(e.detectors[k]);
  return text + ") cannot be split into pieces that flip at most one detector of each colour in each basis, or "
                "two of one colour, and no other error flips some of its detectors";
}

}  // namespace

Result<AtomModel, std::string> decompose_errors(const dem::DetectorErrorModel& model, std::span<const uint8_t> marks) {
  if (model.observable_count > 64)
    return fail(std::string("colour-code decoding keeps at most 64 observables; the model has ") +
                std::to_string(model.observable_count));
  Builder builder(marks);
  Parts parts;
  std::vector<uint32_t> scratch;
  std::vector<uint32_t> deferred;
  auto observables_of = [](const dem::DemError& e) {
    uint64_t m = 0;
    for (uint8_t o : e.observables) m ^= uint64_t{1} << o;
    return m;
  };
  // Errors that are one atom first: they say which observables each atom flips.
  for (uint32_t i = 0; i < model.error_count(); ++i) {
    const dem::DemError e = model.error(i);
    if (!(e.probability > 0.0)) continue;
    parts_of(e, marks, parts, scratch);
    const bool x = !parts.basis[0].empty(), z = !parts.basis[1].empty();
    if (!x && !z) continue;
    if (x != z && is_atomic(parts.basis[x ? 0 : 1], marks)) {
      builder.add(parts.basis[x ? 0 : 1], observables_of(e), std::min(e.probability, 1.0));
    } else {
      deferred.push_back(i);
    }
  }
  builder.index_by_detector(model.detector_count);

  AtomModel& out = builder.model();
  std::vector<uint32_t> pieces, split;
  std::vector<Key> new_pieces;
  for (uint32_t i : deferred) {
    const dem::DemError e = model.error(i);
    const double p = std::min(e.probability, 1.0);
    parts_of(e, marks, parts, scratch);
    const uint64_t want = observables_of(e);
    pieces.clear();
    uint64_t have = 0;
    // Pieces no single error names: their observables are what the named pieces leave.
    std::vector<Key> unknown;
    bool dropped = false;
    const bool single_part = parts.basis[0].empty() || parts.basis[1].empty();
    for (std::vector<uint32_t>& part : parts.basis) {
      if (part.empty()) continue;
      if (const std::optional<uint32_t> known = builder.find(part)) {
        pieces.push_back(*known);
        have ^= out.atoms[*known].observables;
      } else if (builder.split(part, single_part ? want : have, split) && split.size() > 1) {
        for (uint32_t a : split) {
          pieces.push_back(a);
          have ^= out.atoms[a].observables;
        }
      } else if (is_atomic(part, marks) && part.size() > 1) {
        unknown.push_back(key_of(part));
      } else if (part.size() == 1) {
        // A lone detector no single error flips alone: that part is left out (see above).
        dropped = true;
      } else if (builder.split_with_new(part, new_pieces)) {
        for (const Key& k : new_pieces) {
          const std::span<const uint32_t> dets = std::span(k.d).first(k.size);
          if (const std::optional<uint32_t> a = builder.find(dets)) {
            pieces.push_back(*a);
            have ^= out.atoms[*a].observables;
          } else {
            unknown.push_back(k);
          }
        }
      } else {
        dropped = true;
      }
    }
    if (dropped) {
      // An error with a part nothing splits is left out whole; the model's other errors still
      // explain its detectors, at a higher weight. Unless they do not: then it is refused.
      for (const std::vector<uint32_t>& part : parts.basis)
        for (uint32_t d : part)
          if (builder.atoms_at_count(d) == 0) return fail(unsplittable(i, e));
      ++out.left_out;
      continue;
    }
    for (uint32_t a : pieces) builder.add(out.atoms[a].view(), out.atoms[a].observables, p);
    for (size_t k = 0; k < unknown.size(); ++k) {
      const uint32_t a = builder.add(std::span(unknown[k].d).first(unknown[k].size), k == 0 ? want ^ have : 0, p);
      pieces.push_back(a);
    }
    if (pieces.size() >= 2) {
      out.members.insert(out.members.end(), pieces.begin(), pieces.end());
      out.member_start.push_back(static_cast<uint32_t>(out.members.size()));
      out.joint_probability.push_back(p);
    }
  }

  out.at_start.assign(model.detector_count + 1, 0);
  for (const Atom& a : out.atoms)
    for (uint32_t d : a.view()) ++out.at_start[d + 1];
  for (size_t i = 1; i < out.at_start.size(); ++i) out.at_start[i] += out.at_start[i - 1];
  out.at.resize(out.at_start.back());
  std::vector<uint32_t> next(out.at_start.begin(), out.at_start.end() - 1);
  for (uint32_t i = 0; i < out.atoms.size(); ++i)
    for (uint32_t d : out.atoms[i].view()) out.at[next[d]++] = i;
  return std::move(out);
}

}  // namespace ostrel::decode::mobius
