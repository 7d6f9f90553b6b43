#pragma once
// Turns a source string into an opened source with its own runtime:
//   "shm://..."  refused; "tcp://host:port" (every leading "tcp://" removed) a TCP connection;
//   anything else the path of a file.
#include <memory>
#include <string>
#include <string_view>

#include "ostrel/io/frame_source.h"
#include "ostrel/io/io_runtime.h"

namespace ostrel::io {

struct OpenedSource {
  std::unique_ptr<IoRuntime> runtime;
  std::unique_ptr<FrameSource> source;
};

struct OpenError {
  enum class Kind {
    Unsupported,  // a transport this module does not offer (shared memory)
    Runtime,      // the runtime could not be created; message is the OS description
    Io,           // opening failed; message is the Io error's full text ("i/o error: ...")
    Interrupted,  // the caller's interrupt gave up a connection attempt
  };
  Kind kind;
  std::string message;
  int os_errno = 0;  // Io: the errno behind the failure, 0 when there is none
};

inline constexpr std::string_view kShmRefusal =
    "shm:// transport is not available in the Python bindings; use the C FFI ostrel_shm_open for "
    "SHM access";

// Readers over opened sources skip the semantic checks: only structure is checked.
qssf::ReaderConfig module_reader_config();

// Waits for a connection consult `interrupt` when given (see WaitInterrupt).
Result<OpenedSource, OpenError> open_source(std::string_view source,
                                            const WaitInterrupt* interrupt = nullptr);

}  // namespace ostrel::io
