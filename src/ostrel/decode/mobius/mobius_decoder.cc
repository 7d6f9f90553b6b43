#include "ostrel/decode/mobius/mobius_decoder.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "ostrel/decode/mobius/detector_colours.h"
#include "ostrel/util/memory_budget.h"
#include "ostrel/util/odd_multiplicity.h"

namespace ostrel::decode::mobius {
namespace {

// Counted generously from the model before anything is built: per lifted node its matcher state,
// per error up to three lifted edges with their matcher state and the atom tables.
constexpr uint64_t kBytesPerLiftedNode = 160;
constexpr uint64_t kBytesPerError = 3 * 200;
// Lifts of a lift's unexplained detectors per pass, at most.
constexpr uint32_t kResidualRounds = 3;

}  // namespace

MobiusDecoder::MobiusDecoder(std::shared_ptr<const std::vector<uint8_t>> marks, std::shared_ptr<const AtomModel> atoms,
                             std::shared_ptr<const LiftedGraph> lifted,
                             std::shared_ptr<const AtomCorrelations> correlations, uint32_t max_passes,
                             bool reprice_pieces, uint64_t observable_count)
    : marks_(std::move(marks)),
      atoms_(std::move(atoms)),
      lifted_(std::move(lifted)),
      correlations_(std::move(correlations)),
      max_passes_(std::max<uint32_t>(1, max_passes)),
      reprice_pieces_(reprice_pieces),
      matcher_(std::make_unique<matching::MatchingDecoder>(lifted_->graph)),
      lift_(atoms_, lifted_),
      lighter_(*atoms_, lifted_->atom_weight),
      underpaid_(*atoms_, *lifted_),
      observable_count_(observable_count),
      parity_(marks_->size(), 0),
      in_correction_(reprice_pieces_ ? atoms_->atoms.size() : 0, 0) {
  if (correlations_) {
    atom_now_.assign(atoms_->atoms.size(), std::numeric_limits<double>::infinity());
    for (const DecodingEdge& e : lifted_->graph->edges) edge_now_.push_back(e.weight);
  }
}

MobiusDecoder::MobiusDecoder(const MobiusDecoder& other)
    : MobiusDecoder(other.marks_, other.atoms_, other.lifted_, other.correlations_, other.max_passes_,
                    other.reprice_pieces_,
                    other.observable_count_) {}

Result<MobiusDecoder, std::string> MobiusDecoder::create(const dem::DetectorErrorModel& model,
                                                         const MobiusOptions& options) {
  if (model.detector_count >= UINT32_MAX / 2)
    return fail("detector error model has " + std::to_string(model.detector_count) +
                " detectors; colour-code decoding holds at most 2147483646");
  const uint64_t budget = decoding_memory_budget();
  const uint64_t bytes = 2 * (model.detector_count + 1) * kBytesPerLiftedNode + model.error_count() * kBytesPerError;
  if (bytes > budget)
    return fail("the colour-code decoder for this model needs at least " + std::to_string(mebibytes(bytes)) +
                " MiB, more than the budget of " + std::to_string(mebibytes(budget)) + " MiB");
  auto marks = read_detector_colours(model);
  if (!marks.ok()) return fail(std::move(marks).error());
  auto atoms = decompose_errors(model, marks.value());
  if (!atoms.ok()) return fail(std::move(atoms).error());
  auto shared_marks = std::make_shared<const std::vector<uint8_t>>(std::move(marks).value());
  auto shared_atoms = std::make_shared<const AtomModel>(std::move(atoms).value());
  auto lifted =
      std::make_shared<const LiftedGraph>(build_lifted_graph(*shared_atoms, *shared_marks, model.observable_count));
  std::shared_ptr<const AtomCorrelations> correlations;
  if (options.correlated)
    correlations = std::make_shared<const AtomCorrelations>(correlate_atoms(*shared_atoms, lifted->atom_weight));
  return MobiusDecoder(std::move(shared_marks), std::move(shared_atoms), std::move(lifted), std::move(correlations),
                       options.max_passes, options.reprice_pieces, model.observable_count);
}

uint64_t MobiusDecoder::candidate(bool again) {
  // A pass after weights only fell goes on from the last growth, when that was this shot's.
  if (again && growth_is_shot_) {
    matcher_->decode_again(nodes_);
  } else {
    matcher_->decode(nodes_);
  }
  growth_is_shot_ = true;
  uint64_t mask = lift_.lift(matcher_->correction(), fired_);
  residual_ran_ = !lift_.explained();
  correction_.assign(lift_.correction().begin(), lift_.correction().end());
  explained_ = lift_.explained();
  // What a lift leaves unexplained is a shot of its own: decode it the same way, a few times at most.
  for (uint32_t round = 0; !explained_ && round < kResidualRounds; ++round) {
    residual_.assign(lift_.residual().begin(), lift_.residual().end());
    residual_nodes_.clear();
    for (uint32_t d : residual_) {
      residual_nodes_.push_back(2 * d);
      residual_nodes_.push_back(2 * d + 1);
    }
    matcher_->decode(residual_nodes_);
    growth_is_shot_ = false;
    mask ^= lift_.lift(matcher_->correction(), residual_, true);
    correction_.insert(correction_.end(), lift_.correction().begin(), lift_.correction().end());
    explained_ = lift_.explained();
    if (round + 1 == kResidualRounds || explained_) {
      // An atom taken twice cancels.
      keep_odd_multiplicity(correction_);
    }
  }
  return mask;
}

uint64_t MobiusDecoder::pass(bool again) {
  kept_first_ = false;
  const uint64_t mask = candidate(again);
  // A later pass runs on weights the correlations lowered, which pricing the pieces would restore.
  if (!reprice_pieces_ || again || lift_.pieces().empty() || !explained_ || residual_ran_) return mask;
  // The matching took pieces of atoms that the lift then explained with other atoms, which the
  // matching never paid for: where those atoms weigh more than the pieces did, the shot is decoded
  // again with each such piece weighing its whole atom, and each part where the corrections differ
  // keeps the lighter of the two. (A piece whose atom the lift took whole was priced at a share of
  // what the lift paid, a smaller gap: pricing those too measured no fewer failures, at more
  // regrowth.)
  const std::span<const uint32_t> whole = lift_.whole();
  for (uint32_t a : whole) in_correction_[a] = 1;
  explaining_.clear();
  for (uint32_t a : correction_)
    if (!in_correction_[a]) explaining_.push_back(a);
  for (uint32_t a : whole) in_correction_[a] = 0;
  const std::span<const uint32_t> underpaid = underpaid_.find(lift_.pieces(), explaining_);
  if (underpaid.empty()) return mask;
  for (uint32_t a : correction_) in_correction_[a] = 1;
  uint32_t raised = 0;
  for (uint32_t e : underpaid) {
    const uint32_t atom = lifted_->edge_atom[e];
    if (in_correction_[atom]) continue;
    const auto units = static_cast<int32_t>(
        std::clamp(std::round(lifted_->atom_weight[atom] * kWeightScale), 1.0, double(kMaxWeight)));
    if (units <= lifted_->graph->edges[e].weight) continue;
    matcher_->set_edge_weight(e, units);
    ++raised;
  }
  for (uint32_t a : correction_) in_correction_[a] = 0;
  if (raised == 0) return mask;
  saved_correction_.swap(correction_);
  kept_first_ = true;
  first_weight_ = matcher_->correction_weight();
  const std::span<const uint32_t> first = matcher_->correction();
  first_matched_.assign(first.begin(), first.end());
  // Growth goes on from the first matching's, past the regions the raised pieces dissolve.
  candidate(true);
  matcher_->restore_edge_weights();
  if (!explained_) {
    explained_ = true;
    correction_.swap(saved_correction_);
    return mask;
  }
  second_.swap(correction_);
  correction_.swap(saved_correction_);
  lighter_.keep_lighter(correction_, second_);
  uint64_t combined = 0;
  for (uint32_t a : correction_) combined ^= atoms_->atoms[a].observables;
  return combined;
}

std::span<const uint32_t> MobiusDecoder::matched_edges() {
  if (kept_first_) return first_matched_;
  return matcher_->correction();
}

bool MobiusDecoder::lower_from_correction() {
  bool any = false;
  for (uint32_t a : correction_) {
    for (const AtomCorrelation& c : correlations_->of(a)) {
      if (!(c.weight < atom_now_[c.atom])) continue;
      if (atom_now_[c.atom] == std::numeric_limits<double>::infinity()) lowered_atoms_.push_back(c.atom);
      atom_now_[c.atom] = c.weight;
      any = true;
      const uint32_t count = lifted_->atom_edge_count[c.atom];
      const double share = c.weight / std::pow(double(count), kEdgeShareExponent);
      const auto units =
          static_cast<int32_t>(std::clamp(std::round(share * kWeightScale), 0.0, static_cast<double>(kMaxWeight)));
      for (uint32_t k = 0; k < count; ++k) {
        const uint32_t e = lifted_->atom_edges[3 * c.atom + k];
        if (e == kNoEdge || units >= edge_now_[e]) continue;
        if (edge_now_[e] == lifted_->graph->edges[e].weight) lowered_edges_.push_back(e);
        edge_now_[e] = units;
        matcher_->set_edge_weight(e, units);
      }
      lift_.lower_atom(c.atom, c.weight);
    }
  }
  return any;
}

void MobiusDecoder::restore_weights() {
  if (lowered_atoms_.empty()) return;
  for (uint32_t a : lowered_atoms_) atom_now_[a] = std::numeric_limits<double>::infinity();
  lowered_atoms_.clear();
  for (uint32_t e : lowered_edges_) edge_now_[e] = lifted_->graph->edges[e].weight;
  lowered_edges_.clear();
  matcher_->restore_edge_weights();
  lift_.restore_weights();
}

uint64_t MobiusDecoder::decode(std::span<const uint32_t> fired_detectors) {
  // Marked detectors only, duplicates cancelled, ascending: both nodes of each.
  fired_.clear();
  for (uint32_t d : fired_detectors) {
    if (d >= parity_.size() || (*marks_)[d] == kIgnored) continue;
    if (parity_[d] ^= 1) fired_.push_back(d);
  }
  size_t kept = 0;
  for (uint32_t d : fired_)
    if (parity_[d]) {
      parity_[d] = 0;
      fired_[kept++] = d;
    }
  fired_.resize(kept);
  std::sort(fired_.begin(), fired_.end());
  nodes_.clear();
  for (uint32_t d : fired_) {
    nodes_.push_back(2 * d);
    nodes_.push_back(2 * d + 1);
  }
  uint64_t mask = pass(false);
  last_passes_ = 1;
  if (correlations_) {
    while (last_passes_ < max_passes_ && lower_from_correction()) {
      mask = pass(true);
      ++last_passes_;
    }
    restore_weights();
  }
  return mask;
}

}  // namespace ostrel::decode::mobius
