#pragma once
// Sets over GF(2): a value listed twice cancels. Corrections, syndromes and error columns are
// gathered as lists with repeats, then reduced to the values listed an odd number of times.
#include <algorithm>
#include <vector>

namespace ostrel {

// Sorts `values` and keeps each value that occurs an odd number of times, once.
template <class T>
void keep_odd_multiplicity(std::vector<T>& values) {
  std::sort(values.begin(), values.end());
  size_t kept = 0;
  for (size_t i = 0; i < values.size();) {
    size_t j = i;
    while (j < values.size() && values[j] == values[i]) ++j;
    if ((j - i) % 2 == 1) values[kept++] = values[i];
    i = j;
  }
  values.resize(kept);
}

}  // namespace ostrel
