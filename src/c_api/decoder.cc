// Decoders from a model's text and a method name: every method of the core's registry, and the
// fixed Union-Find procedure beside it, as ostrel.Decoder offers them.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "c_api/boundary.h"
#include "ostrel/decode/decode_method.h"
#include "ostrel/decode/decoding_graph.h"
#include "ostrel/decode/graph_components.h"
#include "ostrel/decode/stream_decoder.h"
#include "ostrel/decode/union_find.h"
#include "ostrel/dem/dem_parser.h"
#include "ostrel/dem/spacetime_graph.h"

using namespace ostrel;

namespace {

constexpr std::string_view kFixedMethod = "union-find";

// The registry's names, then the fixed procedure's; built once (a function-local static is
// thread-safe to initialise).
const std::vector<std::string>& method_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all;
    for (std::string_view name : decode::decode_method_names()) all.emplace_back(name);
    if (!decode::parse_decode_method(kFixedMethod)) all.emplace_back(kFixedMethod);
    return all;
  }();
  return names;
}

// As Python words it: "'a', 'b', or 'c'".
std::string expected_methods() {
  std::string text;
  const auto& names = method_names();
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) text += i + 1 == names.size() ? (i > 1 ? ", or " : " or ") : ", ";
    text.append("'").append(names[i]).append("'");
  }
  return text;
}

}  // namespace

struct ostrel_decoder {
  std::unique_ptr<decode::GraphDecoder> graph_decoder;
  // Present when some component of the graph has no boundary: a shot with an odd number of events
  // in one is explained by no correction and refused, as Python refuses it.
  std::optional<decode::GraphComponents> components;
  std::optional<decode::UnionFindDecoder> fixed;
  uint64_t detector_count = 0;
  uint64_t observable_count = 0;
  std::vector<uint32_t> fired;  // scratch for graph decoders
  std::vector<uint8_t> cells;   // scratch for the fixed procedure: exactly 0 or 1

  // The shot's mask, or nothing (with the error set) for a shot no correction explains.
  std::optional<uint64_t> decode(const uint8_t* events) {
    if (graph_decoder) {
      fired.clear();
      for (uint64_t i = 0; i < detector_count; ++i)
        if (events[i]) fired.push_back(uint32_t(i));
      if (components) {
        if (auto odd = components->unmatchable(fired)) {
          c_api::set_error(OSTREL_E_INVALID_ARGUMENT, components->describe(*odd));
          return std::nullopt;
        }
      }
      return graph_decoder->decode(fired);
    }
    for (uint64_t i = 0; i < detector_count; ++i) cells[i] = events[i] != 0;
    return fixed->decode(cells);
  }
};

namespace {

ostrel_status check_count(const ostrel_decoder* d, size_t count) {
  if (count == d->detector_count) return OSTREL_OK;
  return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "detection_events must hold " + std::to_string(d->detector_count) +
                                                         " values (one per detector), got " + std::to_string(count));
}

ostrel_status build_fixed(const dem::DetectorErrorModel& model, ostrel_decoder& d) {
  if (auto refused = dem::check_node_count(model)) return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, refused->message());
  if (auto within = decode::decoding_bytes(model); !within.ok())
    return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, within.error().message());
  auto graph = dem::build_spacetime_graph(model);
  if (!graph.ok()) return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, graph.error().message());
  auto decoder = decode::UnionFindDecoder::create(std::move(graph).value());
  if (!decoder.ok()) {
    const bool memory = decoder.error().kind == decode::DecoderErrorKind::OutOfMemory;
    return c_api::set_error(memory ? OSTREL_E_NO_MEMORY : OSTREL_E_INVALID_ARGUMENT, decoder.error().message());
  }
  d.fixed.emplace(std::move(decoder).value());
  d.cells.assign(d.fixed->node_count(), 0);
  return OSTREL_OK;
}

}  // namespace

extern "C" {

OSTREL_EXPORT const char* ostrel_decode_method_name(size_t index) {
  try {
    const auto& names = method_names();
    return index < names.size() ? names[index].c_str() : nullptr;
  } catch (...) {
    return nullptr;
  }
}

OSTREL_EXPORT ostrel_status ostrel_decoder_create(const char* dem_text, const char* method, ostrel_decoder** out) {
  return c_api::guarded([&]() -> ostrel_status {
    OSTREL_REQUIRE(out);
    *out = nullptr;
    OSTREL_REQUIRE(dem_text);
    const std::string_view name = method ? method : decode::decode_method_name(decode::DecodeMethod{});
    const auto registered = decode::parse_decode_method(name);
    if (!registered && name != kFixedMethod)
      return c_api::set_error(OSTREL_E_INVALID_ARGUMENT,
                              "unknown decoding method '" + std::string(name) + "': expected " + expected_methods());
    auto parsed = dem::parse_dem(dem_text);
    if (!parsed.ok()) return c_api::set_error(OSTREL_E_FORMAT, parsed.error().message());
    const dem::DetectorErrorModel& model = *parsed;
    auto d = std::make_unique<ostrel_decoder>();
    d->detector_count = model.detector_count;
    d->observable_count = model.observable_count;
    if (registered) {
      auto graph = decode::build_decoding_graph(model);
      if (!graph.ok()) return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, graph.error());
      d->graph_decoder = decode::make_graph_decoder(*registered, *graph);
      decode::GraphComponents components(**graph);
      if (components.any_closed()) d->components.emplace(std::move(components));
      d->fired.reserve(d->detector_count);
    } else if (ostrel_status s = build_fixed(model, *d); s != OSTREL_OK) {
      return s;
    }
    *out = d.release();
    return OSTREL_OK;
  });
}

OSTREL_EXPORT uint64_t ostrel_decoder_detector_count(const ostrel_decoder* d) { return d ? d->detector_count : 0; }
OSTREL_EXPORT uint64_t ostrel_decoder_observable_count(const ostrel_decoder* d) { return d ? d->observable_count : 0; }

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
    if (d->detector_count) OSTREL_REQUIRE(events);
    if (shots > 1 && row_stride < d->detector_count)
      return c_api::set_error(OSTREL_E_INVALID_ARGUMENT, "row_stride " + std::to_string(row_stride) +
                                                             " is shorter than a row of " +
                                                             std::to_string(d->detector_count) + " detectors");
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
