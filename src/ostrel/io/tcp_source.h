#pragma once
// A connected TCP socket, read directly. Reads that would block wait on the runtime's workers.
// Nothing is ever written to the socket and no socket option is set.
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "ostrel/io/io_runtime.h"
#include "ostrel/io/tcp_address.h"
#include "ostrel/qssf/byte_source.h"
#include "ostrel/util/os_error.h"
#include "ostrel/util/unique_fd.h"

namespace ostrel::io {

class TcpSource final : public qssf::ByteSource {
 public:
  // `address` is "a.b.c.d:port" or "[v6]:port" (used as is) or "host:port" (looked up on the
  // runtime's blocking pool). The error is the description of what failed, e.g.
  // "invalid port value" or "Connection refused (os error 111)".
  // With `interrupt`, a connection attempt it gives up ends the connect with
  // kConnectInterrupted as the failure's code (lookups on the pool run to completion).
  static Result<std::unique_ptr<TcpSource>, OsFailure> connect(
      IoRuntime& runtime, std::string_view address, const WaitInterrupt* interrupt = nullptr);
  // Tries each address in order and keeps the first connection made; when all fail, the last
  // attempt's error; "could not resolve to any address" when there is none to try.
  static Result<std::unique_ptr<TcpSource>, OsFailure> connect_any(
      IoRuntime& runtime, std::span<const SocketAddress> candidates,
      const WaitInterrupt* interrupt = nullptr);

  static constexpr int kConnectInterrupted = Reactor::kInterrupted;

  Result<size_t, qssf::QssfError> read(std::span<uint8_t> buf) override;
  void set_interrupt(const WaitInterrupt* interrupt) override { interrupt_ = interrupt; }

 private:
  TcpSource(IoRuntime& runtime, UniqueFd fd, bool registered)
      : runtime_(runtime), fd_(std::move(fd)), registered_(registered) {}

  IoRuntime& runtime_;
  UniqueFd fd_;
  bool registered_;  // whether the socket is known to the runtime's epoll set
  const WaitInterrupt* interrupt_ = nullptr;
};

}  // namespace ostrel::io
