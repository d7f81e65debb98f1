// URI parsing and rebuilding; host name and address look-up.
#include "qxmox/Net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <memory>

#include "qxmox/Exception.h"

namespace QxMoxNet {
namespace {

using QxMoxStr::String_t;

[[noreturn]] void Reject(const std::u16string& text, const char* why) {
  QxMoxMsg::ThrowIllegalArgument(String_t("not a URI (") + String_t(why) + String_t("): \"") +
                                 String_t(text) + String_t("\""));
}

bool IsAlpha(char16_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char16_t c) { return c >= '0' && c <= '9'; }

// Spaces, C0 and C1 controls and DEL cannot appear in a URI even when it is not strictly
// ASCII; everything else is left to the components' own checks.
bool IsForbidden(char16_t c) { return c <= 0x20 || (c >= 0x7F && c <= 0x9F); }

// scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )
bool IsScheme(std::u16string_view s) {
  if (s.empty() || !IsAlpha(s[0])) return false;
  for (char16_t c : s) {
    if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// reg-name characters: unreserved, sub-delims and percent escapes; non-ASCII for IDNs.
bool IsRegNameChar(char16_t c) {
  if (IsAlpha(c) || IsDigit(c) || c >= 0x80) return true;
  return std::u16string_view(u"-._~%!$&'()*+,;=").find(c) != std::u16string_view::npos;
}

int ParsePort(const std::u16string& text, std::u16string_view port) {
  if (port.empty()) return -1;  // "host:" names no port
  if (port.size() > 5) Reject(text, "bad port");
  int value = 0;
  for (char16_t c : port) {
    if (!IsDigit(c)) Reject(text, "bad port");
    value = value * 10 + (c - '0');
  }
  if (value > 65535) Reject(text, "bad port");
  return value;
}

// An IPv6 literal: the address (inet_pton decides) and an optional zone after '%'.
bool IsIPv6Literal(std::u16string_view host) {
  const size_t zone = host.find(u'%');
  std::string addr;
  for (char16_t c : host.substr(0, zone)) {
    if (c >= 0x80) return false;
    addr.push_back(static_cast<char>(c));
  }
  in6_addr out{};
  if (inet_pton(AF_INET6, addr.c_str(), &out) != 1) return false;
  if (zone == std::u16string_view::npos) return true;
  const std::u16string_view id = host.substr(zone + 1);
  if (id.empty()) return false;
  for (char16_t c : id) {
    if (!IsRegNameChar(c)) return false;
  }
  return true;
}

String_t Part(std::u16string_view s) { return String_t(std::u16string(s)); }

struct AddrInfoFree {
  void operator()(addrinfo* ai) const { freeaddrinfo(ai); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoFree>;

struct IfAddrsFree {
  void operator()(ifaddrs* ifa) const { freeifaddrs(ifa); }
};
using IfAddrsPtr = std::unique_ptr<ifaddrs, IfAddrsFree>;

std::string AddressText(const sockaddr* sa) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (sa->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, buf, sizeof buf);
  } else if (sa->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, buf, sizeof buf);
  }
  return buf;
}

bool IsLoopbackV4(const sockaddr* sa) {
  const uint32_t addr = ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr);
  return (addr >> 24) == 127;
}

// Debian and others map the host name to 127.0.1.1, so the name alone often yields no usable
// address; the interfaces then give the first one that is up and not loopback.
std::string FirstInterfaceIPv4() {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return {};
  IfAddrsPtr list(raw);
  for (const ifaddrs* ifa = list.get(); ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
    if ((ifa->ifa_flags & IFF_UP) == 0 || (ifa->ifa_flags & IFF_LOOPBACK) != 0) continue;
    if (IsLoopbackV4(ifa->ifa_addr)) continue;
    return AddressText(ifa->ifa_addr);
  }
  return {};
}

}  // namespace

// ---- URI_t ----------------------------------------------------------------------------------

URI_t::URI_t(const QxMoxStr::String_t& input)
    : m_scheme(String_t::Null()),
      m_userInfo(String_t::Null()),
      m_host(String_t::Null()),
      m_query(String_t::Null()),
      m_fragment(String_t::Null()) {
  const std::u16string& text = input.Str();
  if (input.IsNull()) Reject(text, "null");
  for (char16_t c : text) {
    if (IsForbidden(c)) Reject(text, "space or control character");
  }
  std::u16string_view rest(text);

  // The fragment and the query come off the end first: neither may hold the other's mark
  // before it, and both may hold ':' '/' '@' freely.
  if (const size_t hash = rest.find(u'#'); hash != std::u16string_view::npos) {
    m_fragment = Part(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  if (const size_t q = rest.find(u'?'); q != std::u16string_view::npos) {
    m_query = Part(rest.substr(q + 1));
    rest = rest.substr(0, q);
  }

  // A scheme is the text before the first ':' when no '/' comes earlier and it has the
  // scheme's form; otherwise the reference is relative and the colon belongs to the path.
  if (const size_t colon = rest.find(u':'); colon != std::u16string_view::npos) {
    const size_t slash = rest.find(u'/');
    if ((slash == std::u16string_view::npos || colon < slash) && IsScheme(rest.substr(0, colon))) {
      m_scheme = Part(rest.substr(0, colon));
      rest = rest.substr(colon + 1);
    }
  }

  if (rest.starts_with(u"//")) {
    rest = rest.substr(2);
    const size_t end = rest.find(u'/');
    std::u16string_view authority = rest.substr(0, end);
    rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end);
    if (const size_t at = authority.find(u'@'); at != std::u16string_view::npos) {
      m_userInfo = Part(authority.substr(0, at));
      authority = authority.substr(at + 1);
    }
    std::u16string_view host = authority;
    std::u16string_view port;
    bool hasPort = false;
    if (authority.starts_with(u'[')) {
      const size_t close = authority.find(u']');
      if (close == std::u16string_view::npos) Reject(text, "unclosed IPv6 bracket");
      host = authority.substr(1, close - 1);
      if (!IsIPv6Literal(host)) Reject(text, "bad IPv6 address");
      const std::u16string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') Reject(text, "text after IPv6 address");
        port = after.substr(1);
        hasPort = true;
      }
    } else {
      if (const size_t colon = authority.find(u':'); colon != std::u16string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        hasPort = true;
      }
      for (char16_t c : host) {
        if (!IsRegNameChar(c)) Reject(text, "bad character in host");
      }
    }
    m_host = Part(host);
    if (hasPort) m_port = ParsePort(text, port);
  } else if (!m_userInfo.IsNull()) {
    Reject(text, "user without host");
  }
  m_path = Part(rest);
}

QxMoxStr::String_t URI_t::ToString() const {
  std::u16string out;
  if (!m_scheme.IsNull()) out += m_scheme.Str() + u":";
  if (!m_host.IsNull()) {
    out += u"//";
    if (!m_userInfo.IsNull()) out += m_userInfo.Str() + u"@";
    if (m_host.Str().find(u':') != std::u16string::npos) {
      out += u"[" + m_host.Str() + u"]";
    } else {
      out += m_host.Str();
    }
    if (m_port >= 0) out += u":" + QxMoxStr::NumToStr(m_port).Str();
  }
  out += m_path.Str();
  if (!m_query.IsNull()) out += u"?" + m_query.Str();
  if (!m_fragment.IsNull()) out += u"#" + m_fragment.Str();
  return String_t(std::move(out));
}

// ---- InetAddress_t --------------------------------------------------------------------------

InetAddress_t InetAddress_t::GetLocalHost() {
  InetAddress_t result;
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') strcpy(name, "localhost");
  result.m_name = String_t(name);

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &raw) == 0) {
    AddrInfoPtr list(raw);
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
      if (ai->ai_family == AF_INET && !IsLoopbackV4(ai->ai_addr)) {
        result.m_address = String_t(AddressText(ai->ai_addr));
        return result;
      }
    }
  }
  std::string address = FirstInterfaceIPv4();
  result.m_address = String_t(address.empty() ? std::string("127.0.0.1") : address);
  return result;
}

InetAddress_t InetAddress_t::GetByName(const QxMoxStr::String_t& host) {
  const std::string name = host.ToUtf8();
  if (name.empty()) QxMoxMsg::ThrowIO("cannot resolve an empty host name");
  // A bracketed IPv6 literal as it appears in a URI resolves like the bare address.
  std::string lookup = name;
  if (lookup.size() > 2 && lookup.front() == '[' && lookup.back() == ']') {
    lookup = lookup.substr(1, lookup.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  const int rc = getaddrinfo(lookup.c_str(), nullptr, &hints, &raw);
  if (rc != 0) {
    QxMoxMsg::ThrowIO(String_t("cannot resolve ") + String_t(name) + String_t(": ") +
                      String_t(rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc)));
  }
  AddrInfoPtr list(raw);
  // IPv4 first: the address is shown to people and stored in records written for IPv4 peers.
  const addrinfo* chosen = nullptr;
  for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      chosen = ai;
      break;
    }
    if (chosen == nullptr && ai->ai_family == AF_INET6) chosen = ai;
  }
  if (chosen == nullptr) QxMoxMsg::ThrowIO(String_t("no address for ") + String_t(name));
  InetAddress_t result;
  result.m_name = host;
  result.m_address = String_t(AddressText(chosen->ai_addr));
  return result;
}

}  // namespace QxMoxNet
