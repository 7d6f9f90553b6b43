#include "ostrel/dem/dem_writer.h"

#include <algorithm>
#include <charconv>
#include <span>

namespace ostrel::dem {
namespace {

void append_number(std::string& out, double value) {
  char buffer[32];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, written.ptr);
}

// The `^` breaks of error `index`: a contiguous run of the model's breaks, ordered by error.
std::span<const ComponentBreak> breaks_of(const DetectorErrorModel& model, size_t index) {
  const auto& all = model.component_breaks;
  const auto by_error = [](const ComponentBreak& b, size_t e) { return b.error < e; };
  const auto first = std::lower_bound(all.begin(), all.end(), index, by_error);
  auto last = first;
  while (last != all.end() && last->error == index) ++last;
  return {first, last};
}

void append_error(std::string& out, const DetectorErrorModel& model, size_t index) {
  const auto& r = model.error_records[index];
  out += "error(";
  append_number(out, r.probability);
  out += ')';
  uint32_t d = r.detectors_begin, o = r.observables_begin;
  const auto until = [&](uint32_t d_end, uint32_t o_end) {
    for (; d < d_end; ++d) out.append(" D").append(std::to_string(model.detector_targets[d]));
    for (; o < o_end; ++o) out.append(" L").append(std::to_string(model.observable_targets[o]));
  };
  for (const ComponentBreak& b : breaks_of(model, index)) {
    until(b.detectors, b.observables);
    out += " ^";
  }
  until(r.detectors_end, r.observables_end);
}

}  // namespace

std::string error_line(const DetectorErrorModel& model, size_t index) {
  std::string line;
  append_error(line, model, index);
  return line;
}

std::string write_dem_text(const DetectorErrorModel& model) {
  std::string out;
  out.reserve(32 * model.error_count());
  for (size_t i = 0; i < model.error_count(); ++i) {
    append_error(out, model, i);
    out += '\n';
  }
  for (const DemDetector& d : model.detectors) {
    out += "detector";
    if (d.coords) {
      out += '(';
      for (uint32_t k = 0; k < d.coord_count; ++k) {
        if (k) out += ", ";
        append_number(out, k < 3 ? (*d.coords)[k] : 0.0);
      }
      if (d.fourth_coord) {
        out += ", ";
        append_number(out, *d.fourth_coord);
      }
      out += ')';
    }
    out.append(" D").append(std::to_string(d.id)).append("\n");
  }
  // A count the targets and declarations do not reach (a block repeated 0 times) is declared.
  uint64_t reached = 0;
  for (uint32_t t : model.detector_targets) reached = std::max<uint64_t>(reached, uint64_t{t} + 1);
  for (const DemDetector& d : model.detectors) reached = std::max<uint64_t>(reached, uint64_t{d.id} + 1);
  // A block repeated 0 times counts its detectors and adds nothing else, as in the text read.
  if (model.detector_count > reached)
    out.append("repeat 0 {\nerror(0) D").append(std::to_string(model.detector_count - 1)).append("\n}\n");
  if (model.observable_count)
    out.append("logical_observable L").append(std::to_string(model.observable_count - 1)).append("\n");
  return out;
}

}  // namespace ostrel::dem
