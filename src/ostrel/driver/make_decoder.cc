#include "ostrel/driver/make_decoder.h"

#include "ostrel/decode/detector_layout.h"
#include "ostrel/decode/model_checks.h"

namespace ostrel::driver {

Result<const MethodSpec*, DriverError> method_for(std::string_view name) {
  const MethodSpec* spec = find_method(name);
  if (!spec) return fail(DriverError::invalid(unknown_method_message(name)));
  return spec;
}

Result<BuiltDecoder, DriverError> make_decoder(const dem::DetectorErrorModel& model, std::string_view method,
                                               const DecoderOptions& options) {
  auto spec = method_for(method);
  if (!spec.ok()) return fail(std::move(spec).error());
  if (auto refused = decode::refuse_undecodable(model)) return fail(DriverError::invalid(std::move(*refused)));
  auto made = (*spec)->make(model, options);
  if (!made.ok()) return fail(std::move(made).error());
  if (auto unknown = options.unread(method)) return fail(DriverError::invalid(std::move(*unknown)));
  BuiltDecoder built{std::move(made).value(), *spec, model.detector_count, model.observable_count, 0};
  if (!model.detectors.empty()) {
    if (auto layout = decode::DetectorLayout::from_coordinates(model); layout.ok() && layout->rows() > 1)
      built.ancillas_per_round = layout->columns();
  }
  return built;
}

}  // namespace ostrel::driver
