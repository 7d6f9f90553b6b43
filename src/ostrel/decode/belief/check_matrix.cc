#include "ostrel/decode/belief/check_matrix.h"

#include <algorithm>
#include <unordered_map>

#include "ostrel/decode/model_checks.h"
#include "ostrel/util/memory_budget.h"
#include "ostrel/util/odd_multiplicity.h"

namespace ostrel::decode::belief {
namespace {

uint64_t hash_column(std::span<const uint32_t> rows, uint64_t observables) {
  uint64_t h = 0x9e3779b97f4a7c15ULL ^ observables;
  for (const uint32_t r : rows) {
    h ^= r + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    h *= 0xff51afd7ed558ccdULL;
  }
  return h ^ (h >> 33);
}

// Bytes of the matrix for `entries` entries and `columns` columns, both views and the tables.
uint64_t matrix_bytes(uint64_t rows, uint64_t columns, uint64_t entries) {
  return entries * 4 * 4 + rows * 4 + columns * (4 + 8 + 8 + 16);
}

}  // namespace

Result<std::shared_ptr<const CheckMatrix>, std::string> build_check_matrix(const dem::DetectorErrorModel& dem) {
  return build_check_matrix(dem, decoding_memory_budget());
}

Result<std::shared_ptr<const CheckMatrix>, std::string> build_check_matrix(const dem::DetectorErrorModel& dem,
                                                                          uint64_t budget) {
  if (auto refusal = refuse_undecodable(dem)) return fail(std::move(*refusal));
  if (dem.detector_count >= UINT32_MAX)
    return fail("the model has " + std::to_string(dem.detector_count) +
                " detectors; a check matrix holds at most 4294967294");
  if (dem.detector_targets.size() >= UINT32_MAX)
    return fail("the model has " + std::to_string(dem.detector_targets.size()) +
                " detector targets; a check matrix holds at most 4294967294");
  const uint64_t bound = matrix_bytes(dem.detector_count, dem.error_count(), dem.detector_targets.size());
  if (bound > budget)
    return fail("the model's check matrix would take " + std::to_string(mebibytes(bound)) + " MiB, over the " +
                std::to_string(mebibytes(budget)) + " MiB decoders may use");

  auto h = std::make_shared<CheckMatrix>();
  h->row_count = static_cast<uint32_t>(dem.detector_count);
  h->observable_count = dem.observable_count;
  h->error_column.assign(dem.error_count(), kNoColumn);
  h->column_start.push_back(0);

  std::unordered_multimap<uint64_t, uint32_t> by_hash;
  by_hash.reserve(dem.error_count());
  std::vector<uint32_t> rows;
  for (size_t i = 0; i < dem.error_count(); ++i) {
    const dem::DemError error = dem.error(i);
    if (!(error.probability > 0.0)) continue;
    rows.assign(error.detectors.begin(), error.detectors.end());
    // A detector named twice (in one component or across them) is not flipped.
    keep_odd_multiplicity(rows);
    if (rows.empty()) continue;
    uint64_t observables = 0;
    for (const uint8_t o : error.observables) observables ^= uint64_t{1} << o;

    const uint64_t key = hash_column(rows, observables);
    uint32_t found = kNoColumn;
    for (auto [it, end] = by_hash.equal_range(key); it != end; ++it) {
      const uint32_t c = it->second;
      if (h->observables[c] == observables && std::ranges::equal(h->rows_of(c), rows)) {
        found = c;
        break;
      }
    }
    if (found == kNoColumn) {
      found = h->column_count++;
      by_hash.emplace(key, found);
      h->column_rows.insert(h->column_rows.end(), rows.begin(), rows.end());
      h->column_start.push_back(static_cast<uint32_t>(h->column_rows.size()));
      h->observables.push_back(observables);
      h->priors.push_back(error.probability);
    } else {
      double& p = h->priors[found];
      p = p * (1 - error.probability) + error.probability * (1 - p);
    }
    h->error_column[i] = found;
  }

  // The row-major view: count, place, and remember where each column entry went.
  h->row_start.assign(size_t{h->row_count} + 1, 0);
  for (const uint32_t r : h->column_rows) ++h->row_start[r + 1];
  for (uint32_t r = 0; r < h->row_count; ++r) h->row_start[r + 1] += h->row_start[r];
  h->row_columns.resize(h->column_rows.size());
  h->column_entries.resize(h->column_rows.size());
  std::vector<uint32_t> next(h->row_start.begin(), h->row_start.end() - 1);
  for (uint32_t c = 0; c < h->column_count; ++c) {
    for (uint32_t k = h->column_start[c]; k < h->column_start[c + 1]; ++k) {
      const uint32_t position = next[h->column_rows[k]]++;
      h->row_columns[position] = c;
      h->column_entries[k] = position;
    }
  }
  h->has_likely_column = std::ranges::any_of(h->priors, [](double p) { return p > 0.5; });
  return std::shared_ptr<const CheckMatrix>(std::move(h));
}

void syndrome_of_columns(const CheckMatrix& h, std::span<const uint32_t> columns, std::vector<uint8_t>& parity,
                         std::vector<uint32_t>& fired) {
  parity.assign(h.row_count, 0);
  for (const uint32_t c : columns)
    for (const uint32_t r : h.rows_of(c)) parity[r] ^= 1;
  fired.clear();
  for (uint32_t r = 0; r < h.row_count; ++r)
    if (parity[r]) fired.push_back(r);
}

}  // namespace ostrel::decode::belief
