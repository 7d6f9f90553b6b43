#include "ostrel/io/tcp_source.h"
#include "ostrel/util/os_error.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

namespace ostrel::io {
namespace {

struct Connected {
  UniqueFd fd;
  bool registered = false;
};

// One attempt: a non-blocking connect whose completion is awaited on the runtime.
Result<Connected, int> connect_one(IoRuntime& runtime, const SocketAddress& addr,
                                   const WaitInterrupt* interrupt) {
  Connected c;
  c.fd.reset(::socket(addr.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!c.fd) return fail(errno);
  int rc;
  do rc = ::connect(c.fd.get(), addr.get(), addr.len);
  while (rc != 0 && errno == EINTR);
  if (rc == 0) return c;
  if (errno != EINPROGRESS) return fail(errno);
  if (int err = runtime.wait_ready(c.fd.get(), EPOLLOUT, c.registered, interrupt)) return fail(err);
  int so_error = 0;
  socklen_t len = sizeof so_error;
  if (::getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) return fail(errno);
  if (so_error != 0) return fail(so_error);
  return c;
}

}  // namespace

Result<std::unique_ptr<TcpSource>, OsFailure> TcpSource::connect(IoRuntime& runtime,
                                                                 std::string_view address,
                                                                 const WaitInterrupt* interrupt) {
  if (auto numeric = parse_numeric_address(address))
    return connect_any(runtime, std::span<const SocketAddress>(&*numeric, 1), interrupt);
  Result<std::vector<SocketAddress>, std::string> found = fail(std::string());
  const bool ran = runtime.run_blocking([&] {
    found = lookup_address(address);
    return true;
  }, interrupt).has_value();
  if (!ran) return fail(OsFailure{"background task failed"});
  if (!found.ok()) return fail(OsFailure{std::move(found).error()});
  return connect_any(runtime, found.value(), interrupt);
}

Result<std::unique_ptr<TcpSource>, OsFailure> TcpSource::connect_any(
    IoRuntime& runtime, std::span<const SocketAddress> candidates, const WaitInterrupt* interrupt) {
  if (candidates.empty()) return fail(OsFailure{"could not resolve to any address"});
  int last_error = 0;
  for (const SocketAddress& addr : candidates) {
    auto attempt = connect_one(runtime, addr, interrupt);
    if (!attempt.ok() && attempt.error() == kConnectInterrupted)
      return fail(OsFailure{"connection attempt interrupted", kConnectInterrupted});
    if (attempt.ok()) {
      Connected& c = attempt.value();
      return std::unique_ptr<TcpSource>(new TcpSource(runtime, std::move(c.fd), c.registered));
    }
    last_error = attempt.error();
  }
  return fail(OsFailure{os_error_text(last_error), last_error});
}

Result<size_t, qssf::QssfError> TcpSource::read(std::span<uint8_t> buf) {
  // Try the socket first: while data keeps coming, a read costs one system call and no handoff.
  for (;;) {
    const ssize_t n = ::recv(fd_.get(), buf.data(), buf.size(), 0);
    if (n >= 0) return size_t(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      return fail(qssf::QssfError::io(os_error_text(errno), errno));
    const int err = runtime_.wait_ready(fd_.get(), EPOLLIN, registered_, interrupt_);
    if (err == Reactor::kInterrupted) return ByteSource::kInterrupted;
    if (err != 0) return fail(qssf::QssfError::io(os_error_text(err), err));
  }
}

}  // namespace ostrel::io
