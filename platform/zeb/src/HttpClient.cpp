#include "HttpClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cerrno>
#include <cstring>
#include <memory>

#include "HttpTransport.h"

namespace QxZebHttp {

namespace {

namespace http = boost::beast::http;

// The answer's body may be a whole request collection; beyond this the exchange is refused.
constexpr size_t kMaxBody = 16u << 20;
constexpr uint32_t kMaxHeader = 64u << 10;
constexpr size_t kReadSize = 16u << 10;

std::string ErrnoText(int error) { return std::strerror(error); }

[[noreturn]] void Fail(std::string why, bool stale = false) {
  throw ClientFailure{std::move(why), stale};
}

// Head is the request line and the header fields of request.
std::string Head(const PooledClient& client, const PostRequest& request) {
  const bool ipv6 = client.Host().find(':') != std::string::npos;
  std::string head = "POST " + request.path + " HTTP/1.1\r\nHost: " + (ipv6 ? "[" : "") +
                     client.Host() + (ipv6 ? "]:" : ":") + std::to_string(client.Port()) + "\r\n";
  auto field = [&head](std::string_view name, std::string_view value) {
    if (name.find_first_of("\r\n:") != name.npos || value.find_first_of("\r\n") != value.npos) {
      Fail("header field " + std::string(name) + " holds a line break");
    }
    head.append(name).append(": ").append(value).append("\r\n");
  };
  if (!request.contentType.empty()) field("Content-Type", request.contentType);
  field("Content-Length", std::to_string(request.body.size()));
  for (const auto& [name, value] : request.headers) field(name, value);
  head += "Connection: keep-alive\r\n\r\n";
  return head;
}

// ReadAnswer reads an answer from link; keep tells whether the connection may serve another
// request. Throws ClientFailure.
PostResult ReadAnswer(Connection& link, bool& keep) {
  http::response_parser<http::string_body> parser;
  parser.eager(true);
  parser.body_limit(kMaxBody);
  parser.header_limit(kMaxHeader);
  std::array<char, kReadSize> chunk;  // not zero-filled on every read, as a resized string is
  std::string pending;
  size_t start = 0;
  bool received = false;
  boost::system::error_code ec;
  for (;;) {
    while (start < pending.size() && !parser.is_done()) {
      const size_t used =
          parser.put(boost::asio::buffer(pending.data() + start, pending.size() - start), ec);
      start += used;
      if (ec == http::error::need_more || (!ec && used == 0)) break;
      // Beast applies its body limit to the bytes as they arrive, so a declared length over it
      // is refused here before they do.
      if (ec == http::error::body_limit ||
          (parser.is_header_done() && parser.content_length().value_or(0) > kMaxBody)) {
        Fail("answer larger than 16 MiB");
      }
      if (ec) Fail("bad answer: " + ec.message());
    }
    if (parser.is_done()) break;
    pending.erase(0, start);
    start = 0;
    const ssize_t n = link.Read(chunk.data(), chunk.size());
    if (n > 0) {
      pending.append(chunk.data(), static_cast<size_t>(n));
      received = true;
    } else if (n < 0) {
      Fail("reading the answer: " + link.Why(static_cast<int>(-n)), !received && -n == ECONNRESET);
    } else if (!received) {
      Fail("connection closed before an answer", true);
    } else {
      parser.put_eof(ec);
      if (ec) Fail("connection closed before the end of the answer");
      break;
    }
  }
  // Bytes past the answer are none the peer should have sent: the connection is not reused.
  keep = parser.keep_alive() && start == pending.size();
  http::response<http::string_body>& answer = parser.get();
  PostResult result;
  result.status = answer.result_int();
  const auto contentType = answer[http::field::content_type];
  result.contentType.assign(contentType.data(), contentType.size());
  result.body = std::move(answer.body());
  return result;
}

// WriteRequest sends request on the client's connection, opened when it has none. Throws
// ClientFailure.
void WriteRequest(PooledClient& client, const PostRequest& request) {
  std::unique_ptr<Connection>& link = client.Link();
  if (!link) {
    link = client.Open(Dial(client.Host(), client.Port(), request.timeoutMs), request.timeoutMs);
  }
  link->SetTimeout(request.timeoutMs);
  if (const int error = link->Write(Head(client, request), request.body); error != 0) {
    Fail("sending the request: " + link->Why(error), error == EPIPE || error == ECONNRESET);
  }
}

// Renew drops the lease's connection after failure and gives the lease a new client when the
// request may be sent once more; otherwise it throws failure.
void Renew(ClientPool::Lease& lease, const ClientFailure& failure) {
  lease->Link().reset();
  // A POST is not sent twice in general. The exception is the race with a server closing a
  // kept-alive connection that was idle a while: the request crossing that close fails to write
  // or meets the end of the stream, and the server never handled it. A server that read the
  // request and closed without a word looks the same; a caller of a POST bears that case with
  // any transport. The new connection is not reused, so at most two sends.
  if (!failure.stale || !lease.Reused()) throw failure;
  lease.Renew();
}

}  // namespace

Connection::~Connection() = default;

void Connection::SetTimeout(long timeoutMs) {
  if (timeoutMs == m_timeoutMs) return;
  const timeval limit{static_cast<time_t>(timeoutMs / 1000),
                      static_cast<suseconds_t>(timeoutMs % 1000 * 1000)};
  if (setsockopt(Fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
      setsockopt(Fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    Fail("setting the timeout: " + ErrnoText(errno));
  }
  m_timeoutMs = timeoutMs;
}

int Connection::Write(std::string_view head, std::string_view body) {
  iovec parts[2] = {{const_cast<char*>(head.data()), head.size()},
                    {const_cast<char*>(body.data()), body.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = body.empty() ? 1 : 2;
  while (message.msg_iovlen > 0) {
    const ssize_t n = sendmsg(Fd(), &message, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (size_t sent = static_cast<size_t>(n); message.msg_iovlen > 0;) {
      iovec& part = message.msg_iov[0];
      if (sent < part.iov_len) {
        part.iov_base = static_cast<char*>(part.iov_base) + sent;
        part.iov_len -= sent;
        break;
      }
      sent -= part.iov_len;
      ++message.msg_iov;
      --message.msg_iovlen;
    }
  }
  return 0;
}

ssize_t Connection::Read(char* data, size_t size) {
  for (;;) {
    const ssize_t n = recv(Fd(), data, size, 0);
    if (n >= 0 || errno != EINTR) return n >= 0 ? n : -errno;
  }
}

std::string Connection::Why(int error) const {
  if (error == EAGAIN || error == EWOULDBLOCK) {
    return "timed out after " + std::to_string(m_timeoutMs) + " ms";
  }
  if (error == EPIPE) return "connection closed";
  return ErrnoText(error);
}

QxMoxIo::Fd_t Dial(const std::string& host, int port, long timeoutMs) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int error = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
      error != 0) {
    Fail("cannot resolve the host: " + std::string(gai_strerror(error)));
  }
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, &freeaddrinfo);
  std::string why = "no address";
  for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
    QxMoxIo::Fd_t fd(socket(at->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) {
      why = ErrnoText(errno);
      continue;
    }
    int error = connect(fd.Get(), at->ai_addr, at->ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
      pollfd ready{fd.Get(), POLLOUT, 0};
      int n;
      while ((n = poll(&ready, 1, static_cast<int>(timeoutMs))) < 0 && errno == EINTR) {
      }
      socklen_t size = sizeof error;
      if (n == 0) {
        error = ETIMEDOUT;
      } else if (n < 0 || getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
      }
    }
    const int one = 1;
    if (error == 0 && (fcntl(fd.Get(), F_SETFL, fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK) != 0 ||
                       setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)) {
      error = errno;
    }
    if (error == 0) return fd;
    why = error == ETIMEDOUT ? "connect timed out after " + std::to_string(timeoutMs) + " ms"
                             : "connect failed: " + ErrnoText(error);
  }
  Fail(why);
}

void SendPost(ClientPool::Lease& lease, const PostRequest& request) {
  for (;;) {
    try {
      WriteRequest(*lease, request);
      return;
    } catch (const ClientFailure& failure) {
      Renew(lease, failure);
    }
  }
}

PostResult ReceivePost(ClientPool::Lease& lease, const PostRequest& request) {
  for (;;) {
    try {
      if (!lease->Link()) Fail("the request was not sent");
      bool keep = false;
      PostResult result = ReadAnswer(*lease->Link(), keep);
      if (keep) {
        lease.Keep();
      } else {
        lease->Link().reset();
      }
      return result;
    } catch (const ClientFailure& failure) {
      Renew(lease, failure);
    }
    SendPost(lease, request);
  }
}

}  // namespace QxZebHttp
