// A detector error model from arbitrary text driving a sliding-window decoder round by round.
//
// Input: the model's text up to the first NUL byte; after it
//   byte 0: commit rounds, byte 1: buffer rounds (0 is allowed: the plan must refuse it),
//   byte 2: the number of rows of the table layout used when the model has no coordinates,
//   then rounds, each a control byte and its events:
//     0xff          ends the shot early (finish)
//     bit 7 set     pushes round (control & 0x7f), in order or not; otherwise the next round
//     bit 6 set     (with bit 7 clear) gives (control & 0x3f) % (columns + 2) events, usually the
//                   wrong number; otherwise one per layout column
//   the events are the next bytes of the input (fewer when it ends).
// Every failure must come back as a value; a shot's frame never names an observable the model
// does not have.
//
// The model is kept small (at most 512 detectors, 1024 errors), so the layout's table and the
// plan's window graphs stay within a few megabytes whatever the window sizes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "ostrel/decode/detector_layout.h"
#include "ostrel/decode/decode_method.h"
#include "ostrel/decode/sliding_window.h"
#include "ostrel/dem/dem_parser.h"

namespace {

using namespace ostrel;

constexpr dem::DemLimits kLimits{.errors = 1 << 10, .targets = 1 << 12, .detector_declarations = 1 << 9};
constexpr uint64_t kMaxDetectors = 512;
constexpr int kMaxRounds = 4096;

// A table of `rows` rows holding detector k at cell k, row by row; the rest empty.
Result<decode::DetectorLayout, std::string> table_layout(const dem::DetectorErrorModel& model, uint8_t rows_seed) {
  const uint64_t n = std::max<uint64_t>(model.detector_count, 1);
  const uint64_t rows = 1 + rows_seed % std::min<uint64_t>(n, 16);
  const uint64_t columns = (n + rows - 1) / rows;
  std::vector<int64_t> cells(rows * columns, -1);
  for (uint64_t k = 0; k < model.detector_count; ++k) cells[k] = int64_t(k);
  return decode::DetectorLayout::from_table(model, rows, columns, cells);
}

bool frame_in_range(uint64_t frame, uint64_t observables) { return observables >= 64 || (frame >> observables) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* text_end = std::find(data, data + size, uint8_t{0});
  const std::string_view text(reinterpret_cast<const char*>(data), size_t(text_end - data));
  std::span<const uint8_t> rest =
      text_end == data + size ? std::span<const uint8_t>() : std::span<const uint8_t>(text_end + 1, data + size);
  if (rest.size() < 3) return 0;
  const uint8_t commit = rest[0], buffer = rest[1], rows_seed = rest[2];
  rest = rest.subspan(3);

  auto parsed = dem::parse_dem(text, kLimits);
  if (!parsed.ok() || parsed->detector_count > kMaxDetectors) return 0;
  const dem::DetectorErrorModel& model = *parsed;

  auto layout = decode::DetectorLayout::from_coordinates(model);
  if (!layout.ok()) layout = table_layout(model, rows_seed);
  if (!layout.ok()) {
    (void)layout.error().size();
    return 0;
  }
  auto plan = decode::SlidingWindowPlan::create(model, *layout, commit, buffer);
  if (!plan.ok()) return 0;
  if (commit == 0 || buffer == 0) std::abort();

  // The layout's seed byte also picks the windows' method.
  constexpr decode::DecodeMethod kMethods[] = {decode::DecodeMethod::kWeightedUnionFind, decode::DecodeMethod::kMatching,
                                               decode::DecodeMethod::kCorrelatedUnionFind,
                                               decode::DecodeMethod::kCorrelatedMatching};
  decode::SlidingWindowDecoder decoder(*plan, kMethods[rows_seed % std::size(kMethods)]);
  const uint32_t columns = (*plan)->layout().columns();
  const uint64_t observables = (*plan)->observable_count();
  const auto now = decode::SlidingWindowDecoder::Clock::now();
  for (int pushes = 0; pushes < kMaxRounds && !rest.empty(); ++pushes) {
    const uint8_t control = rest[0];
    rest = rest.subspan(1);
    if (control == 0xff) {
      const bool was_in_shot = decoder.in_shot();
      const auto prediction = decoder.finish();
      if (prediction.has_value() != was_in_shot || decoder.in_shot()) std::abort();
      if (prediction && !frame_in_range(*prediction, observables)) std::abort();
      continue;
    }
    const uint32_t round = (control & 0x80) ? control & 0x7f : decoder.next_round();
    const size_t count = (control & 0xc0) == 0x40 ? (control & 0x3f) % (size_t(columns) + 2) : columns;
    const auto events = rest.first(std::min(count, rest.size()));
    rest = rest.subspan(events.size());

    const uint32_t before = decoder.next_round();
    auto pushed = decoder.push(round, events, now);
    if (!pushed.ok()) {
      // A refused round changes nothing.
      if (decoder.next_round() != before) std::abort();
      continue;
    }
    if (events.size() != columns) std::abort();
    if (!frame_in_range(pushed->frame, observables)) std::abort();
    if (pushed->shot_ended ? decoder.in_shot() : !decoder.in_shot()) std::abort();
  }
  return 0;
}
