// Decoders from a model's text, a method name and its options, made by the driver as
// ostrel.Decoder makes them.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "c_api/boundary.h"
#include "ostrel/dem/dem_parser.h"
#include "ostrel/driver/fired_detectors.h"
#include "ostrel/driver/make_decoder.h"

using namespace ostrel;

struct ostrel_decoder {
  driver::BuiltDecoder built;
  std::vector<uint32_t> fired;  // scratch of one shot

  // The shot's mask, or nothing (with the error set) for a shot no correction explains.
  std::optional<uint64_t> decode(const uint8_t* events) {
    driver::collect_fired(events, 1, built.detector_count, false, built.detector_count, fired);
    auto decoded = built.decoder->decode(fired);
    if (decoded.ok()) return *decoded;
    c_api::set_error(OSTREL_E_INVALID_ARGUMENT, decoded.error());
    return std::nullopt;
  }
};

namespace {

ostrel_status check_count(const ostrel_decoder* d, size_t count) {
  if (count == d->built.detector_count) return OSTREL_OK;
  return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "detection_events must hold " +
                                                         std::to_string(d->built.detector_count) +
                                                         " values (one per detector), got " + std::to_string(count));
}

ostrel_status driver_error(const driver::DriverError& e) {
  return c_api::set_error(e.kind == driver::DriverError::Kind::OutOfMemory ? OSTREL_E_NO_MEMORY
                                                                          : OSTREL_E_INVALID_ARGUMENT,
                          e.message);
}

}  // namespace

extern "C" {

OSTREL_EXPORT const char* ostrel_decode_method_name(size_t index) {
  // The registry's names are string literals: NUL-terminated, and alive for the program.
  for (const driver::MethodSpec& m : driver::registered_methods()) {
    if (!m.listed) continue;
    if (index-- == 0) return m.name.data();
  }
  return nullptr;
}

OSTREL_EXPORT ostrel_status ostrel_decoder_create(const char* dem_text, const char* method, ostrel_decoder** out) {
  return ostrel_decoder_create_with_options(dem_text, method, nullptr, out);
}

OSTREL_EXPORT ostrel_status ostrel_decoder_create_with_options(const char* dem_text, const char* method,
                                                               const char* options, ostrel_decoder** out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    OSTREL_REQUIRE(dem_text);
    const std::string_view name = method ? method : driver::kDefaultMethod;
    if (auto known = driver::method_for(name); !known.ok()) return driver_error(known.error());
    driver::DecoderOptions parsed_options;
    if (options) {
      auto read = driver::DecoderOptions::parse(options);
      if (!read.ok()) return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, read.error());
      parsed_options = std::move(read).value();
    }
    auto parsed = dem::parse_dem(dem_text);
    if (!parsed.ok()) return c_api::set_error(OSTREL_E_FORMAT, parsed.error().located_message());
    auto built = driver::make_decoder(*parsed, name, parsed_options);
    if (!built.ok()) return driver_error(built.error());
    auto d = std::make_unique<ostrel_decoder>();
    d->built = std::move(built).value();
    d->fired.reserve(d->built.detector_count);
    *out = d.release();
    return OSTREL_OK;
  });
}

OSTREL_EXPORT uint64_t ostrel_decoder_detector_count(const ostrel_decoder* d) {
  return d ? d->built.detector_count : 0;
}
OSTREL_EXPORT uint64_t ostrel_decoder_observable_count(const ostrel_decoder* d) {
  return d ? d->built.observable_count : 0;
}

OSTREL_EXPORT ostrel_status ostrel_decoder_decode(ostrel_decoder* d, const uint8_t* events, size_t count,
                                                  uint64_t* mask) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(d);
    OSTREL_REQUIRE(mask);
    if (ostrel_status s = check_count(d, count); s != OSTREL_OK) return s;
    if (count) OSTREL_REQUIRE(events);
    const auto decoded = d->decode(events);
    if (!decoded) return OSTREL_E_INVALID_ARGUMENT;
    *mask = *decoded;
    return OSTREL_OK;
  });
}

OSTREL_EXPORT ostrel_status ostrel_decoder_decode_batch(ostrel_decoder* d, const uint8_t* events, size_t shots,
                                                        size_t row_stride, uint64_t* masks) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(d);
    if (shots == 0) return OSTREL_OK;
    OSTREL_REQUIRE(masks);
    if (d->built.detector_count) OSTREL_REQUIRE(events);
    if (shots > 1 && row_stride < d->built.detector_count)
      return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "row_stride " + std::to_string(row_stride) +
                                                             " is shorter than a row of " +
                                                             std::to_string(d->built.detector_count) + " detectors");
    for (size_t k = 0; k < shots; ++k) {
      const auto decoded = d->decode(events + k * row_stride);
      if (!decoded)
        return c_api::set_error(OSTREL_E_INVALID_ARGUMENT,
                                "shot " + std::to_string(k) + ": " + std::string(ostrel_last_error_message()));
      masks[k] = *decoded;
    }
    return OSTREL_OK;
  });
}

OSTREL_EXPORT void ostrel_decoder_free(ostrel_decoder* d) { delete d; }

}  // extern "C"
