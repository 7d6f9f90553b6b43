#include "ostrel/util/memory_budget.h"

#include <unistd.h>

#include <algorithm>

namespace ostrel {

uint64_t physical_memory_bytes() noexcept {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  const auto p = static_cast<uint64_t>(pages), s = static_cast<uint64_t>(page_size);
  return p > UINT64_MAX / s ? UINT64_MAX : p * s;
}

uint64_t decoding_memory_budget() noexcept {
  return std::min(kDecodingMemoryBudget, physical_memory_bytes() / 2);
}

}  // namespace ostrel
