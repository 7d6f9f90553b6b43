#include "ostrel/io/io_runtime.h"
#include "ostrel/util/os_error.h"

#include <thread>

#include "ostrel/qssf/errors.h"

namespace ostrel::io {

Result<std::unique_ptr<IoRuntime>, std::string> IoRuntime::create() {
  const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
  auto reactor = Reactor::start(cpus);
  if (!reactor.ok()) return fail(os_error_text(reactor.error()));
  return std::unique_ptr<IoRuntime>(new IoRuntime(std::move(reactor).value()));
}

}  // namespace ostrel::io
