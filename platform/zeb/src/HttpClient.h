// HttpClient: the blocking client connection of both schemes and the POST exchange on it.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "qxmox/Io.h"

namespace QxZebHttp {

// ClientFailure is why an exchange failed. Stale tells a failure that proves the request was
// not handled: writing it found the connection closed, or the connection ended before a single
// byte of an answer.
struct ClientFailure {
  std::string why;
  bool stale = false;
};

// Connection is an open client connection: a blocking socket whose reads and writes give up
// after the exchange's timeout. The TLS transport derives TLS over it.
class Connection {
 public:
  explicit Connection(QxMoxIo::Fd_t fd) : m_fd(std::move(fd)) {}
  virtual ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  int Fd() const { return m_fd.Get(); }
  // SetTimeout makes each later read and write give up after timeoutMs. Throws ClientFailure.
  void SetTimeout(long timeoutMs);
  // Write sends head and then body, all of them; returns 0 or the errno that stopped it.
  virtual int Write(std::string_view head, std::string_view body);
  // Read reads at most size bytes into data; returns their count, 0 at the end of the stream, or
  // minus the errno that stopped it (EPROTO: the TLS layer failed, Why tells more).
  virtual ssize_t Read(char* data, size_t size);
  // Why describes error, an errno returned by Write or Read.
  virtual std::string Why(int error) const;

 private:
  QxMoxIo::Fd_t m_fd;
  long m_timeoutMs = -1;
};

// Dial returns a socket connected to host:port within timeoutMs: close-on-exec, without Nagle's
// delay, blocking. Throws ClientFailure.
QxMoxIo::Fd_t Dial(const std::string& host, int port, long timeoutMs);

}  // namespace QxZebHttp
