#pragma once
// SyndromeFrame: one frame as Python sees it. Immutable; its two byte sequences (measurement
// results, then detector events) live inline after the fields, so a frame is one allocation.
#include <cstdint>
#include <optional>
#include <span>

#include "_ostrel/python.h"
#include "ostrel/qssf/payload.h"

namespace ostrel::py {

struct SyndromeFrameObject {
  PyObject_VAR_HEAD
  uint64_t frame_id;
  uint64_t timestamp_ns;
  uint64_t observable_flips;
  bool has_observable_flips;
  uint32_t round;
  uint32_t detector_event_count;
  uint16_t qubit_count;
  uint16_t ancilla_count;
  uint8_t code_type;
  uint8_t distance;

  std::span<const int8_t> meas_results() const;
  std::span<const uint8_t> detector_events() const;
};

PyTypeObject* syndrome_frame_type();
bool init_syndrome_frame_type();

// A new frame from a parsed frame, carrying the mask of its tag-16 extension if it has one.
PyObject* new_syndrome_frame(const qssf::ParsedFrame& frame);
bool is_syndrome_frame(PyObject* o);

}  // namespace ostrel::py
