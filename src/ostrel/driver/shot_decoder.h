#pragma once
// A decoder of whole shots of one model, whatever its method: what both bindings, streams and
// batches hold. Each is built by make_decoder (make_decoder.h) and keeps scratch space of its own.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "ostrel/util/result.h"

namespace ostrel::driver {

// Receives a correction piece by piece: each piece is a set of the model's detectors it flips
// (ascending or not, each once) and the observables it flips.
class CorrectionSink {
 public:
  virtual void piece(std::span<const uint32_t> detectors, uint64_t observables) = 0;

 protected:
  ~CorrectionSink() = default;
};

class ShotDecoder {
 public:
  virtual ~ShotDecoder() = default;

  // Decodes one shot given as its fired detectors, ascending and distinct, each below the model's
  // detector count; returns the predicted observable mask. A shot the method cannot explain at
  // all (an odd number of events in a part of a graph without boundary) gives the reason
  // instead; nothing else fails.
  virtual Result<uint64_t, std::string> decode(std::span<const uint32_t> fired) = 0;

  // Whether decode() weighs its correction, and that weight in the model's units
  // (ln((1 - p) / p) summed over the correction's errors), after a successful decode.
  virtual bool weighs_corrections() const noexcept { return false; }
  virtual double correction_weight() { return 0.0; }

  // Whether report_correction() gives the last decode's correction, and the report itself: the
  // pieces whose detectors XOR to the fired set when the decode explained the shot. A sliding
  // window commits some of them and carries the rest of their effect into later rounds.
  virtual bool reports_correction() const noexcept { return false; }
  virtual void report_correction(CorrectionSink& sink) { (void)sink; }

  // A decoder of the same model and method with scratch space of its own.
  virtual std::unique_ptr<ShotDecoder> clone() const = 0;
};

}  // namespace ostrel::driver
