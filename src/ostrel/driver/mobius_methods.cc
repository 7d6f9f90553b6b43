#include "ostrel/driver/mobius_methods.h"

#include "ostrel/decode/mobius/mobius_decoder.h"

namespace ostrel::driver {
namespace {

class MobiusShotDecoder final : public ShotDecoder {
 public:
  explicit MobiusShotDecoder(decode::mobius::MobiusDecoder decoder) : decoder_(std::move(decoder)) {}

  // Every shot gets the lift's observables: in the rare shot whose lift leaves a few detectors
  // unexplained after its searches, the correction found is still the best guess, and refusing
  // the shot would fail a whole batch.
  Result<uint64_t, std::string> decode(std::span<const uint32_t> fired) override { return decoder_.decode(fired); }
  bool weighs_corrections() const noexcept override { return true; }
  double correction_weight() override {
    double w = 0.0;
    for (uint32_t a : decoder_.correction()) w += decoder_.lifted().atom_weight[a];
    return w;
  }
  bool reports_correction() const noexcept override { return true; }
  // Each atom of the lifted correction.
  void report_correction(CorrectionSink& sink) override {
    const auto& atoms = decoder_.atoms().atoms;
    for (const uint32_t a : decoder_.correction()) sink.piece(atoms[a].view(), atoms[a].observables);
  }
  std::unique_ptr<ShotDecoder> clone() const override { return std::make_unique<MobiusShotDecoder>(*this); }

 private:
  decode::mobius::MobiusDecoder decoder_;
};

Result<std::unique_ptr<ShotDecoder>, DriverError> make(const dem::DetectorErrorModel& model,
                                                       const decode::mobius::MobiusOptions& options) {
  auto made = decode::mobius::MobiusDecoder::create(model, options);
  if (!made.ok()) return fail(DriverError::invalid(std::move(made).error()));
  return std::unique_ptr<ShotDecoder>(std::make_unique<MobiusShotDecoder>(std::move(made).value()));
}

}  // namespace

Result<std::unique_ptr<ShotDecoder>, DriverError> make_mobius(const dem::DetectorErrorModel& model,
                                                              const DecoderOptions& options) {
  // On by default: fewer failures at every point measured, for about one more matching on the
  // shots whose matching took pieces of atoms.
  auto reprice = options.integer("reprice_pieces", 1, 0, 1);
  if (!reprice.ok()) return fail(DriverError::invalid(std::move(reprice).error()));
  return make(model, {.reprice_pieces = reprice.value() != 0});
}

Result<std::unique_ptr<ShotDecoder>, DriverError> make_correlated_mobius(const dem::DetectorErrorModel& model,
                                                                         const DecoderOptions& options) {
  auto passes = options.integer("max_passes", 4, 1, 64);
  if (!passes.ok()) return fail(DriverError::invalid(std::move(passes).error()));
  // Off by default: re-weighting already finds most of what the second matching would, and its
  // passes would pay for it again.
  auto reprice = options.integer("reprice_pieces", 0, 0, 1);
  if (!reprice.ok()) return fail(DriverError::invalid(std::move(reprice).error()));
  return make(model, {.correlated = true,
                      .max_passes = static_cast<uint32_t>(passes.value()),
                      .reprice_pieces = reprice.value() != 0});
}

}  // namespace ostrel::driver
