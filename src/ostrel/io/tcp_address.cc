#include "ostrel/io/tcp_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "ostrel/qssf/errors.h"
#include "ostrel/util/os_error.h"

namespace ostrel::io {
namespace {

std::optional<uint16_t> parse_port(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;  // no sign, no spaces
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
  return uint16_t(value);
}

void set_port(SocketAddress& a, uint16_t port) {
  if (a.family() == AF_INET)
    reinterpret_cast<sockaddr_in*>(&a.storage)->sin_port = htons(port);
  else
    reinterpret_cast<sockaddr_in6*>(&a.storage)->sin6_port = htons(port);
}

std::optional<SocketAddress> make_v4(const std::string& host, uint16_t port) {
  SocketAddress out;
  auto* sa = reinterpret_cast<sockaddr_in*>(&out.storage);
  if (::inet_pton(AF_INET, host.c_str(), &sa->sin_addr) != 1) return std::nullopt;
  sa->sin_family = AF_INET;
  sa->sin_port = htons(port);
  out.len = sizeof(sockaddr_in);
  return out;
}

std::optional<SocketAddress> make_v6(const std::string& host, uint16_t port) {
  SocketAddress out;
  auto* sa = reinterpret_cast<sockaddr_in6*>(&out.storage);
  if (::inet_pton(AF_INET6, host.c_str(), &sa->sin6_addr) != 1) return std::nullopt;
  sa->sin6_family = AF_INET6;
  sa->sin6_port = htons(port);
  out.len = sizeof(sockaddr_in6);
  return out;
}

}  // namespace

SocketAddress SocketAddress::ipv4(const char* dotted, uint16_t port) {
  return make_v4(dotted, port).value_or(SocketAddress{});
}

SocketAddress SocketAddress::ipv6(const char* text, uint16_t port) {
  return make_v6(text, port).value_or(SocketAddress{});
}

std::optional<SocketAddress> parse_numeric_address(std::string_view address) {
  if (address.starts_with('[')) {
    const size_t close = address.find(']');
    if (close == std::string_view::npos || close + 1 >= address.size() || address[close + 1] != ':')
      return std::nullopt;
    auto port = parse_port(address.substr(close + 2));
    if (!port) return std::nullopt;
    return make_v6(std::string(address.substr(1, close - 1)), *port);
  }
  const size_t colon = address.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto port = parse_port(address.substr(colon + 1));
  if (!port) return std::nullopt;
  return make_v4(std::string(address.substr(0, colon)), *port);
}

std::optional<std::string> tcp_address_form_error(std::string_view address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::string("invalid socket address");
  if (!parse_port(address.substr(colon + 1))) return std::string("invalid port value");
  return std::nullopt;
}

Result<std::vector<SocketAddress>, std::string> lookup_address(std::string_view address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string_view::npos) return fail(std::string("invalid socket address"));
  auto port = parse_port(address.substr(colon + 1));
  if (!port) return fail(std::string("invalid port value"));
  std::string host(address.substr(0, colon));
  // "[v6%scope]:port" is not numeric but the resolver understands the text inside the brackets.
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  // A C string ends at its first NUL: looking up a shorter name than was given would be wrong.
  if (host.find('\0') != std::string::npos) return fail(std::string("invalid socket address"));
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) return fail(os_error_text(errno));
    return fail(std::string(::gai_strerror(rc)));
  }
  std::vector<SocketAddress> out;
  for (addrinfo* ai = found; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SocketAddress a;
    std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
    a.len = ai->ai_addrlen;
    set_port(a, *port);
    out.push_back(a);
  }
  ::freeaddrinfo(found);
  return out;
}

}  // namespace ostrel::io
