#include "ostrel/decode/detector_layout.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

namespace ostrel::decode {
namespace {

// Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on a literal + std::string temporary.
std::string d(uint64_t index) {
  std::string s("D");
  s += std::to_string(index);
  return s;
}

std::string cell(uint64_t row, uint64_t column) {
  std::string s("(");
  s += std::to_string(row);
  s += ", ";
  s += std::to_string(column);
  s += ")";
  return s;
}

// Which detectors the model's errors name: these must sit in the layout.
std::vector<bool> named_detectors(const dem::DetectorErrorModel& model) {
  std::vector<bool> named(model.detector_count, false);
  for (const uint32_t t : model.detector_targets) named[t] = true;
  return named;
}

// A coordinate layout of more cells than this per detector is almost all holes: the
// coordinates do not describe rounds of a fixed set of ancillas.
constexpr uint64_t kMaxCellsPerDetector = 16;
constexpr uint64_t kMinCellBudget = 1 << 16;

// The coordinates that name a detector's ancilla: those before its round and, when written, the
// 4th (a colour code's colour and basis: its X and Z checks on one face are two ancillas).
std::vector<double> ancilla_key(const dem::DemDetector& det) {
  std::vector<double> key(det.coords->begin(), det.coords->begin() + det.coord_count - 1);
  if (det.fourth_coord) key.push_back(*det.fourth_coord);
  return key;
}

}  // namespace

Result<DetectorLayout, std::string> DetectorLayout::from_coordinates(const dem::DetectorErrorModel& model) {
  if (model.detector_count >= kNone)
    return fail("a detector layout holds at most " + std::to_string(kNone - 1) + " detectors");
  const auto n = static_cast<uint32_t>(model.detector_count);
  std::vector<const dem::DemDetector*> declared(n, nullptr);
  for (const dem::DemDetector& det : model.detectors)
    if (det.id < n && declared[det.id] == nullptr) declared[det.id] = &det;
  const std::vector<bool> named = named_detectors(model);

  // Distinct ancilla positions and round values, each mapped to its rank once all are known.
  std::map<std::vector<double>, uint32_t> positions;
  std::map<double, uint32_t> rounds;
  for (uint32_t i = 0; i < n; ++i) {
    const dem::DemDetector* det = declared[i];
    if (det == nullptr || !det->coords || det->coord_count == 0) {
      if (!named[i]) continue;  // a detector no error names cannot fire usefully; leave it out
      return fail("detector " + d(i) +
                  " has no coordinates: a layout from coordinates needs each detector's round as its "
                  "last coordinate (declare detector coordinates or give the layout as an array)");
    }
    const auto& c = *det->coords;
    for (uint32_t k = 0; k < det->coord_count; ++k)
      if (std::isnan(c[k])) return fail("detector " + d(i) + " has a coordinate that is not a number");
    if (det->fourth_coord && std::isnan(*det->fourth_coord))
      return fail("detector " + d(i) + " has a coordinate that is not a number");
    positions.emplace(ancilla_key(*det), 0);
    rounds.emplace(c[det->coord_count - 1], 0);
  }
  if (rounds.empty()) return fail("the model has no detectors to lay out");
  uint32_t rank = 0;
  for (auto& [key, value] : positions) value = rank++;
  rank = 0;
  for (auto& [key, value] : rounds) value = rank++;

  const uint64_t cell_count = static_cast<uint64_t>(positions.size()) * rounds.size();
  if (cell_count > kMaxCellsPerDetector * n + kMinCellBudget)
    return fail("detector coordinates do not describe rounds of fixed ancillas: " +
                std::to_string(rounds.size()) + " round values by " + std::to_string(positions.size()) +
                " ancilla positions for " + std::to_string(n) + " detectors");
  const auto columns = static_cast<uint32_t>(positions.size());
  std::vector<uint32_t> cells(cell_count, kNone);
  for (uint32_t i = 0; i < n; ++i) {
    const dem::DemDetector* det = declared[i];
    if (det == nullptr || !det->coords || det->coord_count == 0) continue;
    const auto& c = *det->coords;
    const uint32_t column = positions.at(ancilla_key(*det));
    const uint32_t row = rounds.at(c[det->coord_count - 1]);
    uint32_t& slot = cells[static_cast<size_t>(row) * columns + column];
    if (slot != kNone)
      return fail("detectors " + d(slot) + " and " + d(i) +
                  " have the same coordinates: a layout from coordinates needs one detector per ancilla "
                  "and round");
    slot = i;
  }
  return build(model, static_cast<uint32_t>(rounds.size()), columns, std::move(cells));
}

Result<DetectorLayout, std::string> DetectorLayout::from_table(const dem::DetectorErrorModel& model, uint64_t rows,
                                                               uint64_t columns, std::span<const int64_t> cells) {
  if (rows == 0 || columns == 0) return fail(std::string("a detector layout needs at least one row and one column"));
  if (rows >= kNone || columns >= kNone || cells.size() / columns != rows || cells.size() % columns != 0)
    return fail(std::string("a detector layout of ") + std::to_string(rows) + " x " + std::to_string(columns) +
                " cells does not match its " + std::to_string(cells.size()) + " entries");
  if (model.detector_count >= kNone)
    return fail("a detector layout holds at most " + std::to_string(kNone - 1) + " detectors");
  std::vector<uint32_t> table(cells.size(), kNone);
  for (size_t k = 0; k < cells.size(); ++k) {
    const int64_t v = cells[k];
    if (v == -1) continue;
    if (v < 0 || static_cast<uint64_t>(v) >= model.detector_count)
      return fail("layout cell " + cell(k / columns, k % columns) + " holds " + std::to_string(v) +
                  ", which is neither -1 nor a detector of the model (it has " +
                  std::to_string(model.detector_count) + ")");
    table[k] = static_cast<uint32_t>(v);
  }
  return build(model, static_cast<uint32_t>(rows), static_cast<uint32_t>(columns), std::move(table));
}

Result<DetectorLayout, std::string> DetectorLayout::build(const dem::DetectorErrorModel& model, uint32_t rows,
                                                          uint32_t columns, std::vector<uint32_t> cells) {
  DetectorLayout layout;
  layout.rows_ = rows;
  layout.columns_ = columns;
  layout.round_.assign(model.detector_count, kNone);
  std::vector<size_t> where(model.detector_count, 0);
  for (size_t k = 0; k < cells.size(); ++k) {
    const uint32_t det = cells[k];
    if (det == kNone) continue;
    if (layout.round_[det] != kNone)
      return fail("the layout names detector " + d(det) + " twice, in cells " +
                  cell(where[det] / columns, where[det] % columns) + " and " + cell(k / columns, k % columns));
    layout.round_[det] = static_cast<uint32_t>(k / columns);
    where[det] = k;
  }
  const std::vector<bool> named = named_detectors(model);
  for (uint32_t i = 0; i < named.size(); ++i)
    if (named[i] && layout.round_[i] == kNone)
      return fail("the layout leaves out detector " + d(i) + ", which the model's errors name");
  layout.cells_ = std::move(cells);
  return layout;
}

}  // namespace ostrel::decode
