#pragma once
// Loopback listeners and process counters for the I/O unit tests.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>

#include "ostrel/io/tcp_address.h"
#include "ostrel/util/unique_fd.h"

namespace ostrel::io::testing {

// Entries of a /proc/self directory: the process's threads or open descriptors.
inline int count_entries(const char* dir) {
  DIR* d = ::opendir(dir);
  if (!d) throw std::runtime_error("cannot list /proc/self");
  int n = 0;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n;
}
inline int thread_count() { return count_entries("/proc/self/task"); }
// A joined thread stays listed until the kernel has finished its exit, which on a loaded machine
// can come a while after the join: thread counts are compared once they have had time to settle.
inline bool thread_count_settles_at(int expected) {
  for (int i = 0; i < 400; ++i) {
    if (thread_count() == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return thread_count() == expected;
}
inline int settled_thread_count() {
  int last = thread_count();
  for (int i = 0; i < 400; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int now = thread_count();
    if (now == last) return now;
    last = now;
  }
  return last;
}
inline int fd_count() { return count_entries("/proc/self/fd") - 1; }  // less the listing's own

// A socket bound to a loopback port: listening, or bound only, so connections to it are refused.
struct Listener {
  UniqueFd fd;
  uint16_t port = 0;

  static Listener on(int family, bool listening = true, uint16_t port = 0) {
    Listener l;
    l.fd.reset(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    SocketAddress a = family == AF_INET ? SocketAddress::ipv4("127.0.0.1", port)
                                        : SocketAddress::ipv6("::1", port);
    if (!l.fd || ::bind(l.fd.get(), a.get(), a.len) != 0) throw std::runtime_error("bind failed");
    if (listening && ::listen(l.fd.get(), 16) != 0) throw std::runtime_error("listen failed");
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(l.fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
    l.port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                     : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    return l;
  }

  UniqueFd accept() const { return UniqueFd(::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC)); }
};

}  // namespace ostrel::io::testing
