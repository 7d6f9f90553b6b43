#pragma once
// DecoderResult(observable_flips, confidence=1.0) and LogicalCorrection.
#include <cstdint>

#include "_ostrel/python.h"

namespace ostrel::py {

PyTypeObject* decoder_result_type();
PyTypeObject* logical_correction_type();
bool init_decoder_result_types();

PyObject* new_decoder_result(uint64_t observable_flips, double confidence);
bool is_decoder_result(PyObject* o);
uint64_t decoder_result_flips(PyObject* o);  // o must be a DecoderResult

}  // namespace ostrel::py
