#include "ostrel/decode/shot_events.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace ostrel::decode {

ShotEvents::ShotEvents(const DetectorLayout& layout) : layout_(&layout) {
  rank_.assign(layout.detector_count(), DetectorLayout::kNone);
  round_base_.assign(size_t{layout.rows()} + 1, 0);
  uint32_t rank = 0;
  for (uint32_t r = 0; r < layout.rows(); ++r) {
    round_base_[r] = rank;
    for (const uint32_t det : layout.row(r))
      if (det != DetectorLayout::kNone) rank_[det] = rank++;
  }
  round_base_[layout.rows()] = rank;
  cell_rank_.assign(size_t{layout.rows()} * layout.columns(), DetectorLayout::kNone);
  for (uint32_t r = 0; r < layout.rows(); ++r) {
    const std::span<const uint32_t> row = layout.row(r);
    for (size_t c = 0; c < row.size(); ++c)
      if (row[c] != DetectorLayout::kNone) cell_rank_[size_t{r} * layout.columns() + c] = rank_[row[c]];
  }
  fired_.assign(size_t{layout.rows()} * layout.columns(), 0);
  count_.assign(layout.rows(), 0);
}

void ShotEvents::set_round(uint32_t r, std::span<const uint8_t> events) {
  const size_t columns = layout_->columns();
  const uint32_t* ranks = cell_rank_.data() + size_t{r} * columns;
  uint32_t* cells = fired_.data() + size_t{r} * columns;
  uint32_t n = 0;
  // Most rounds fire few cells: skip quiet stretches 32 at a time, then visit only the non-zero
  // bytes of a word (a cell without a detector has rank kNone and is dropped).
  auto take_word = [&](size_t at, uint64_t word) {
    word |= word >> 4;
    word |= word >> 2;
    word |= word >> 1;
    for (word &= 0x0101010101010101ull; word != 0; word &= word - 1) {
      const uint32_t rank = ranks[at + static_cast<size_t>(std::countr_zero(word)) / 8];
      if (rank != DetectorLayout::kNone) cells[n++] = rank;
    }
  };
  const uint8_t* bytes = events.data();
  size_t c = 0;
  for (; c + 32 <= columns; c += 32) {
    uint64_t w[4];
    std::memcpy(w, bytes + c, 32);
    if constexpr (std::endian::native == std::endian::big)
      for (uint64_t& x : w) x = __builtin_bswap64(x);
    if ((w[0] | w[1] | w[2] | w[3]) == 0) continue;
    for (size_t k = 0; k < 4; ++k)
      if (w[k] != 0) take_word(c + 8 * k, w[k]);
  }
  for (; c + 8 <= columns; c += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + c, 8);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    if (word != 0) take_word(c, word);
  }
  for (; c < columns; ++c)
    if (bytes[c] != 0 && ranks[c] != DetectorLayout::kNone) cells[n++] = ranks[c];
  count_[r] = n;
}

void ShotEvents::toggle(uint32_t detector) {
  const uint32_t r = layout_->round_of(detector);
  const uint32_t rank = rank_[detector];
  uint32_t* cells = fired_.data() + size_t{r} * layout_->columns();
  uint32_t& n = count_[r];
  uint32_t* at = std::lower_bound(cells, cells + n, rank);
  if (at != cells + n && *at == rank) {
    std::copy(at + 1, cells + n, at);
    --n;
  } else {
    std::copy_backward(at, cells + n, cells + n + 1);
    *at = rank;
    ++n;
  }
}

void ShotEvents::gather(uint32_t first, uint32_t end, std::vector<uint32_t>& out) const {
  const uint32_t base = round_base_[first];
  const size_t columns = layout_->columns();
  for (uint32_t r = first; r < end; ++r) {
    const uint32_t* cells = fired_.data() + r * columns;
    for (uint32_t i = 0; i < count_[r]; ++i) out.push_back(cells[i] - base);
  }
}

void ShotEvents::move_down(uint32_t first, uint32_t end, uint32_t shift) {
  // The same columns hold detectors in both rounds, so a cell's rank moves by the difference of
  // the rounds' first ranks.
  const size_t columns = layout_->columns();
  for (uint32_t r = first; r < end; ++r) {
    const uint32_t down = round_base_[r + shift] - round_base_[r];
    const uint32_t* from = fired_.data() + (r + shift) * columns;
    uint32_t* to = fired_.data() + r * columns;
    count_[r] = count_[r + shift];
    for (uint32_t i = 0; i < count_[r]; ++i) to[i] = from[i] - down;
  }
}

}  // namespace ostrel::decode
