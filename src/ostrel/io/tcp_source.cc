#include "ostrel/io/tcp_source.h"
#include "ostrel/util/os_error.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

namespace ostrel::io {
namespace {

struct SockAddr {
  sockaddr_storage storage{};
  socklen_t len = 0;
};

std::optional<uint16_t> parse_port(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
  return uint16_t(value);
}

// "a.b.c.d:port" or "[v6]:port", resolved without any lookup.
std::optional<SockAddr> parse_numeric(std::string_view address) {
  SockAddr out;
  if (!address.empty() && address.front() == '[') {
    const size_t close = address.find(']');
    if (close == std::string_view::npos || close + 1 >= address.size() || address[close + 1] != ':')
      return std::nullopt;
    const std::string host(address.substr(1, close - 1));
    auto port = parse_port(address.substr(close + 2));
    auto* sa = reinterpret_cast<sockaddr_in6*>(&out.storage);
    if (!port || ::inet_pton(AF_INET6, host.c_str(), &sa->sin6_addr) != 1) return std::nullopt;
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(*port);
    out.len = sizeof(sockaddr_in6);
    return out;
  }
  const size_t colon = address.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string host(address.substr(0, colon));
  auto port = parse_port(address.substr(colon + 1));
  auto* sa = reinterpret_cast<sockaddr_in*>(&out.storage);
  if (!port || ::inet_pton(AF_INET, host.c_str(), &sa->sin_addr) != 1) return std::nullopt;
  sa->sin_family = AF_INET;
  sa->sin_port = htons(*port);
  out.len = sizeof(sockaddr_in);
  return out;
}

// Host-name lookup, run on the blocking pool. Returns the failure's description, empty on success.
std::string resolve(std::string_view address, std::vector<SockAddr>& out) {
  const size_t colon = address.rfind(':');
  if (colon == std::string_view::npos) return "invalid socket address";
  auto port = parse_port(address.substr(colon + 1));
  if (!port) return "invalid port value";
  std::string host(address.substr(0, colon));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.find('\0') != std::string::npos) return "invalid socket address";
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) return os_error_text(errno);
    return ::gai_strerror(rc);
  }
  for (addrinfo* ai = found; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    SockAddr a;
    std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
    a.len = ai->ai_addrlen;
    if (ai->ai_family == AF_INET)
      reinterpret_cast<sockaddr_in*>(&a.storage)->sin_port = htons(*port);
    else
      reinterpret_cast<sockaddr_in6*>(&a.storage)->sin6_port = htons(*port);
    out.push_back(a);
  }
  ::freeaddrinfo(found);
  return {};
}

struct Connected {
  UniqueFd fd;
  bool registered = false;
};

// One attempt: a non-blocking connect whose completion is awaited on the runtime.
Result<Connected, int> connect_one(IoRuntime& runtime, const SockAddr& addr) {
  Connected c;
  c.fd.reset(::socket(addr.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!c.fd) return fail(errno);
  int rc;
  do rc = ::connect(c.fd.get(), reinterpret_cast<const sockaddr*>(&addr.storage), addr.len);
  while (rc != 0 && errno == EINTR);
  if (rc == 0) return c;
  if (errno != EINPROGRESS) return fail(errno);
  if (int err = runtime.wait_ready(c.fd.get(), EPOLLOUT, c.registered)) return fail(err);
  int so_error = 0;
  socklen_t len = sizeof so_error;
  if (::getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) return fail(errno);
  if (so_error != 0) return fail(so_error);
  return c;
}

}  // namespace

Result<std::unique_ptr<TcpSource>, std::string> TcpSource::connect(IoRuntime& runtime,
                                                                   std::string_view address) {
  std::vector<SockAddr> candidates;
  if (auto numeric = parse_numeric(address)) {
    candidates.push_back(*numeric);
  } else {
    auto failure = runtime.run_blocking([&] { return resolve(address, candidates); });
    if (!failure) return fail(std::string("background task failed"));
    if (!failure->empty()) return fail(std::move(*failure));
  }
  if (candidates.empty()) return fail(std::string("could not resolve to any address"));
  int last_error = 0;
  for (const SockAddr& addr : candidates) {
    auto attempt = connect_one(runtime, addr);
    if (attempt.ok()) {
      Connected& c = attempt.value();
      return std::unique_ptr<TcpSource>(new TcpSource(runtime, std::move(c.fd), c.registered));
    }
    last_error = attempt.error();
  }
  return fail(os_error_text(last_error));
}

Result<size_t, qssf::QssfError> TcpSource::read(std::span<uint8_t> buf) {
  for (;;) {
    const ssize_t n = ::recv(fd_.get(), buf.data(), buf.size(), 0);
    if (n >= 0) return size_t(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      return fail(qssf::QssfError::io(os_error_text(errno)));
    if (int err = runtime_.wait_ready(fd_.get(), EPOLLIN, registered_))
      return fail(qssf::QssfError::io(os_error_text(err)));
  }
}

}  // namespace ostrel::io
