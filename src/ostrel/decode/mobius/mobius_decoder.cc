#include "ostrel/decode/mobius/mobius_decoder.h"

#include <algorithm>

#include "ostrel/decode/correlated/correlated_decoder.h"
#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/mobius/detector_colours.h"
#include "ostrel/util/memory_budget.h"

namespace ostrel::decode::mobius {
namespace {

// Counted generously from the model before anything is built: per lifted node its matcher state,
// per error up to three lifted edges with their matcher state and the atom tables.
constexpr uint64_t kBytesPerLiftedNode = 160;
constexpr uint64_t kBytesPerError = 3 * 200;

}  // namespace

MobiusDecoder::MobiusDecoder(std::shared_ptr<const std::vector<uint8_t>> marks, std::shared_ptr<const AtomModel> atoms,
                             std::shared_ptr<const LiftedGraph> lifted, std::unique_ptr<GraphDecoder> matcher,
                             uint64_t observable_count)
    : marks_(std::move(marks)),
      atoms_(std::move(atoms)),
      lifted_(std::move(lifted)),
      matcher_(std::move(matcher)),
      lift_(atoms_, lifted_),
      observable_count_(observable_count),
      parity_(marks_->size(), 0) {}

MobiusDecoder::MobiusDecoder(const MobiusDecoder& other)
    : MobiusDecoder(other.marks_, other.atoms_, other.lifted_, other.matcher_->clone(), other.observable_count_) {}

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
  auto lifted = std::make_shared<const LiftedGraph>(
      build_lifted_graph(*shared_atoms, *shared_marks, model.observable_count, options.correlated));
  std::unique_ptr<GraphDecoder> matcher = std::make_unique<matching::MatchingDecoder>(lifted->graph);
  if (options.correlated)
    matcher = std::make_unique<CorrelatedDecoder>(std::move(matcher), std::max<uint32_t>(1, options.max_passes), true);
  return MobiusDecoder(std::move(shared_marks), std::move(shared_atoms), std::move(lifted), std::move(matcher),
                       model.observable_count);
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
  matcher_->decode(nodes_);
  return lift_.lift(matcher_->correction(), fired_);
}

}  // namespace ostrel::decode::mobius
