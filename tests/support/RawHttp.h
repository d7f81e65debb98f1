// RawHttp: HTTP on a bare socket, for requests the messaging layer never makes (other methods,
// doubtful framing).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace QxTest {

inline sockaddr_in LoopbackPort(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// RawExchange sends request on a new connection to port and returns all the server sends until
// it closes the connection; "" when it has not closed it within 5 s.
inline std::string RawExchange(int port, const std::string& request) {
  struct Socket {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ~Socket() { close(fd); }
  } s;
  const timeval limit{5, 0};
  const sockaddr_in addr = LoopbackPort(port);
  if (setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
      connect(s.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return "";
  }
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = send(s.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return "";
    sent += static_cast<size_t>(n);
  }
  std::string in;
  char buf[4096];
  for (ssize_t n; (n = recv(s.fd, buf, sizeof buf, 0)) != 0; in.append(buf, static_cast<size_t>(n)))
    if (n < 0) return "";
  return in;
}

}  // namespace QxTest
