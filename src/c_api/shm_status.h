#pragma once
// The status of a ring's failure, with its message recorded as the thread's last error.
#include "c_api/boundary.h"
#include "ostrel/io/shm_ring.h"

namespace ostrel::c_api {

inline ostrel_status set_shm_error(const io::ShmFailure& failure) noexcept {
  using Kind = io::ShmFailure::Kind;
  switch (failure.kind) {
    case Kind::WouldBlock: return set_error(OSTREL_E_WOULD_BLOCK, failure.message);
    case Kind::Argument: return set_error(OSTREL_E_INVALID_ARGUMENT, failure.message);
    case Kind::State: return set_error(OSTREL_E_STATE, failure.message);
    case Kind::Fault: break;
  }
  return set_qssf_error(qssf::QssfError::io(failure.message));
}

}  // namespace ostrel::c_api
