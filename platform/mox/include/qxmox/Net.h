// URIs (URI_t) and host identity (InetAddress_t).
#pragma once

#include <string>

#include "qxmox/String.h"

namespace QxMoxNet {

// URI_t is scheme://[user@]host[:port][/path][?query][#fragment], or a relative reference.
// The constructor throws QxMoxMsg::IllegalArgumentError_t for text that is not a URI
// (control characters or spaces, a bad port, an unclosed IPv6 bracket).
class URI_t {
 public:
  URI_t() = default;
  explicit URI_t(const QxMoxStr::String_t& text);
  const QxMoxStr::String_t& GetScheme() const { return m_scheme; }
  const QxMoxStr::String_t& GetHost() const { return m_host; }
  // GetPort returns the port, or -1 when the URI names none.
  int GetPort() const { return m_port; }
  const QxMoxStr::String_t& GetPath() const { return m_path; }
  const QxMoxStr::String_t& GetQuery() const { return m_query; }
  // ToString returns the URI's text, rebuilt from its parts.
  QxMoxStr::String_t ToString() const;

 private:
  QxMoxStr::String_t m_scheme, m_userInfo, m_host, m_path, m_query, m_fragment;
  int m_port = -1;
};

// InetAddress_t is a host's name and address.
class InetAddress_t {
 public:
  // GetLocalHost returns this node: its host name and the first non-loopback IPv4 address
  // the name resolves to (127.0.0.1 when there is none).
  static InetAddress_t GetLocalHost();
  // GetByName resolves a host name; throws QxMoxIo::IOException_t when it cannot.
  static InetAddress_t GetByName(const QxMoxStr::String_t& host);
  const QxMoxStr::String_t& GetHostName() const { return m_name; }
  const QxMoxStr::String_t& GetHostAddress() const { return m_address; }

 private:
  QxMoxStr::String_t m_name, m_address;
};

}  // namespace QxMoxNet
