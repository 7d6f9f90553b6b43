#pragma once
// TCP endpoint text ("a.b.c.d:port", "[v6]:port", "host:port") turned into socket addresses.
#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel/util/result.h"

namespace ostrel::io {

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t len = 0;

  static SocketAddress ipv4(const char* dotted, uint16_t port);  // for callers with a literal
  static SocketAddress ipv6(const char* text, uint16_t port);
  int family() const noexcept { return storage.ss_family; }
  const sockaddr* get() const noexcept { return reinterpret_cast<const sockaddr*>(&storage); }
};

// A numeric IPv4 address with port or a bracketed IPv6 address with port; no lookup is made.
std::optional<SocketAddress> parse_numeric_address(std::string_view address);

// Why `address` cannot be a TCP endpoint at all, whatever a resolver says: "invalid socket
// address" without a colon (or with an empty host), "invalid port value" for a port outside
// 0..65535. Nothing when its form is fine.
std::optional<std::string> tcp_address_form_error(std::string_view address);

// Looks "host:port" up with the system resolver (it blocks: run it on the blocking pool). Split at
// the last colon. Fails with "invalid socket address" without a colon, "invalid port value" for a
// port outside 0..65535, or the resolver's description. The addresses keep the resolver's order.
Result<std::vector<SocketAddress>, std::string> lookup_address(std::string_view address);

}  // namespace ostrel::io
