#pragma once
// LogicalErrorAccumulator(observable_count): logical error rates from decoder results and truth.
#include "_ostrel/python.h"

namespace ostrel::py {

PyTypeObject* logical_error_accumulator_type();
bool init_logical_error_accumulator_type();

}  // namespace ostrel::py
