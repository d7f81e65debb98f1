// URIs (URI_t) and host identity (InetAddress_t).
#pragma once

#include <string>

#include "qxmox/String.h"

namespace QxMoxNet {

// URI_t is scheme://[user@]host[:port][/path][?query][#fragment], or a relative reference
// ("/msg/", "com.mt.qx.sec.cm.certificateserver/msg/", "//host/x"), parsed as RFC 3986 does:
// a scheme is the text before the first ':' when it has the scheme's form and no '/' comes
// earlier; otherwise that text is part of the path. Parts are kept as written (percent escapes
// are not decoded). A part that the text does not have is the null string (GetQuery of "a?"
// is empty, of "a" null), so ToString rebuilds the same text. The constructor throws
// QxMoxMsg::IllegalArgumentError_t for text that is not a URI: spaces or control characters,
// a port that is not a number from 0 to 65535, an unclosed or invalid IPv6 bracket, a host
// with characters a host cannot have.
class URI_t {
 public:
  URI_t() = default;
  explicit URI_t(const QxMoxStr::String_t& text);
  const QxMoxStr::String_t& GetScheme() const { return m_scheme; }
  const QxMoxStr::String_t& GetUserInfo() const { return m_userInfo; }
  // GetHost returns the host; an IPv6 address without its brackets ("::1").
  const QxMoxStr::String_t& GetHost() const { return m_host; }
  // GetPort returns the port, or -1 when the URI names none.
  int GetPort() const { return m_port; }
  const QxMoxStr::String_t& GetPath() const { return m_path; }
  const QxMoxStr::String_t& GetQuery() const { return m_query; }
  const QxMoxStr::String_t& GetFragment() const { return m_fragment; }
  // ToString returns the URI's text, rebuilt from its parts.
  QxMoxStr::String_t ToString() const;

 private:
  QxMoxStr::String_t m_scheme = QxMoxStr::String_t::Null(), m_userInfo = QxMoxStr::String_t::Null(),
                     m_host = QxMoxStr::String_t::Null(), m_path, m_query = QxMoxStr::String_t::Null(),
                     m_fragment = QxMoxStr::String_t::Null();
  int m_port = -1;
};

// InetAddress_t is a host's name and address.
class InetAddress_t {
 public:
  // GetLocalHost returns this node: its host name and the first non-loopback IPv4 address
  // the name resolves to; when the name gives none (many systems map it to 127.0.1.1), the
  // first IPv4 address of an interface that is up and not loopback; else 127.0.0.1. Never
  // throws.
  static InetAddress_t GetLocalHost();
  // GetByName resolves a host name (or an address literal, IPv6 with or without brackets) to
  // its first IPv4 address, else its first IPv6 address; the name stays as given. Throws
  // QxMoxIo::IOException_t when it cannot.
  static InetAddress_t GetByName(const QxMoxStr::String_t& host);
  const QxMoxStr::String_t& GetHostName() const { return m_name; }
  const QxMoxStr::String_t& GetHostAddress() const { return m_address; }

 private:
  QxMoxStr::String_t m_name, m_address;
};

}  // namespace QxMoxNet
