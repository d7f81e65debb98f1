// URIs and host identity.
#include "qxmox/Net.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "qxmox/Exception.h"
#include "qxmox/Io.h"

using QxMoxNet::InetAddress_t;
using QxMoxNet::URI_t;
using QxMoxStr::String_t;

namespace {

// Expected parts; nullptr means the part is absent (the null string).
struct UriRow {
  const char* text;
  const char* scheme;
  const char* userInfo;
  const char* host;
  int port;
  const char* path;
  const char* query;
  const char* fragment;
};

String_t Opt(const char* s) { return s == nullptr ? String_t::Null() : String_t(s); }

void ExpectParts(const URI_t& uri, const UriRow& row) {
  EXPECT_TRUE(uri.GetScheme() == Opt(row.scheme)) << uri.GetScheme().ToUtf8();
  EXPECT_TRUE(uri.GetUserInfo() == Opt(row.userInfo)) << uri.GetUserInfo().ToUtf8();
  EXPECT_TRUE(uri.GetHost() == Opt(row.host)) << uri.GetHost().ToUtf8();
  EXPECT_EQ(uri.GetPort(), row.port);
  EXPECT_TRUE(uri.GetPath() == String_t(row.path)) << uri.GetPath().ToUtf8();
  EXPECT_TRUE(uri.GetQuery() == Opt(row.query)) << uri.GetQuery().ToUtf8();
  EXPECT_TRUE(uri.GetFragment() == Opt(row.fragment)) << uri.GetFragment().ToUtf8();
}

}  // namespace

TEST(URI, ParsesPartsAndRebuildsTheSameText) {
  const UriRow rows[] = {
      {"http://ca.example.net:15080/msg/", "http", nullptr, "ca.example.net", 15080, "/msg/",
       nullptr, nullptr},
      {"https://user:pw@host/a/b?x=1&y=2#frag", "https", "user:pw", "host", -1, "/a/b", "x=1&y=2",
       "frag"},
      {"http://[::1]:8443/p", "http", nullptr, "::1", 8443, "/p", nullptr, nullptr},
      {"http://[fe80::1%25eth0]/", "http", nullptr, "fe80::1%25eth0", -1, "/", nullptr, nullptr},
      {"http://h:0", "http", nullptr, "h", 0, "", nullptr, nullptr},
      {"http://h:65535?", "http", nullptr, "h", 65535, "", "", nullptr},
      {"file:///etc/qx.conf", "file", nullptr, "", -1, "/etc/qx.conf", nullptr, nullptr},
      {"/msg/", nullptr, nullptr, nullptr, -1, "/msg/", nullptr, nullptr},
      {"com.mt.qx.sec.cm.certificateserver/msg/", nullptr, nullptr, nullptr, -1,
       "com.mt.qx.sec.cm.certificateserver/msg/", nullptr, nullptr},
      {"a/b:c", nullptr, nullptr, nullptr, -1, "a/b:c", nullptr, nullptr},
      {"1abc:x", nullptr, nullptr, nullptr, -1, "1abc:x", nullptr, nullptr},
      {"//host:99/x", nullptr, nullptr, "host", 99, "/x", nullptr, nullptr},
      {"urn:uuid:6e8bc430-9c3a-11d9", "urn", nullptr, nullptr, -1, "uuid:6e8bc430-9c3a-11d9",
       nullptr, nullptr},
      {"mailto:a@b.c", "mailto", nullptr, nullptr, -1, "a@b.c", nullptr, nullptr},
      {"http://h/p?q=a/b?c:d@e#f?g#h", "http", nullptr, "h", -1, "/p", "q=a/b?c:d@e", "f?g#h"},
      {"http://h/a%20b", "http", nullptr, "h", -1, "/a%20b", nullptr, nullptr},
      {"", nullptr, nullptr, nullptr, -1, "", nullptr, nullptr},
      {"?only", nullptr, nullptr, nullptr, -1, "", "only", nullptr},
      {"http://h\xC3\xA9/\xE2\x82\xAC", "http", nullptr, "h\xC3\xA9", -1, "/\xE2\x82\xAC", nullptr,
       nullptr},
  };
  for (const UriRow& row : rows) {
    SCOPED_TRACE(row.text);
    const URI_t uri{String_t(row.text)};
    ExpectParts(uri, row);
    EXPECT_EQ(uri.ToString().ToUtf8(), row.text);
    ExpectParts(URI_t(uri.ToString()), row);
  }
  // An empty port names none; the rebuilt text drops the colon and parses the same.
  const URI_t emptyPort{String_t("http://h:#")};
  EXPECT_EQ(emptyPort.GetPort(), -1);
  EXPECT_EQ(emptyPort.ToString().ToUtf8(), "http://h#");
  EXPECT_EQ(URI_t(emptyPort.ToString()).GetPort(), -1);
  // A default URI has the parts of the empty text (a proxy sends it as "no URI").
  ExpectParts(URI_t(), UriRow{"", nullptr, nullptr, nullptr, -1, "", nullptr, nullptr});
  EXPECT_EQ(URI_t().ToString().ToUtf8(), "");
}

TEST(URI, RejectsTextThatIsNotAURI) {
  const char* rows[] = {
      "http://host name/",     "http://h/a b",      " http://h/",
      "http://h/\t",           "http://h/\n",       "http://h:65536/",
      "http://h:99999999999/", "http://h:-1/",      "http://h:8o/",
      "http://h:1:2/",         "http://[::1/",      "http://[::1]x/",
      "http://[nothex]/",      "http://[1.2.3.4]/", "http://h[1]/",
      "http://a@b@c/",         "http://h/\x7f",     "http://h/\xC2\x85",
      "http://[::1]:x/",       "http://h\\x/",
  };
  for (const char* row : rows) {
    SCOPED_TRACE(row);
    EXPECT_THROW(URI_t{String_t(row)}, QxMoxMsg::IllegalArgumentError_t);
  }
  EXPECT_THROW(URI_t{String_t::Null()}, QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(URI_t{String_t(std::u16string(u"http://h/\0", 10))},
               QxMoxMsg::IllegalArgumentError_t);
}

TEST(InetAddress, LocalHostHasANameAndAnIPv4Address) {
  const InetAddress_t local = InetAddress_t::GetLocalHost();
  char name[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(local.GetHostName().ToUtf8(), name);
  in_addr addr{};
  EXPECT_EQ(inet_pton(AF_INET, local.GetHostAddress().ToUtf8().c_str(), &addr), 1)
      << local.GetHostAddress().ToUtf8();
}

TEST(InetAddress, ResolvesNamesAndLiterals) {
  EXPECT_EQ(InetAddress_t::GetByName("127.0.0.1").GetHostAddress().ToUtf8(), "127.0.0.1");
  EXPECT_EQ(InetAddress_t::GetByName("::1").GetHostAddress().ToUtf8(), "::1");
  EXPECT_EQ(InetAddress_t::GetByName("[::1]").GetHostAddress().ToUtf8(), "::1");
  const InetAddress_t localhost = InetAddress_t::GetByName("localhost");
  EXPECT_EQ(localhost.GetHostName().ToUtf8(), "localhost");
  const std::string address = localhost.GetHostAddress().ToUtf8();
  EXPECT_TRUE(address == "127.0.0.1" || address == "::1") << address;
  EXPECT_THROW(InetAddress_t::GetByName(""), QxMoxIo::IOException_t);
  EXPECT_THROW(InetAddress_t::GetByName(String_t::Null()), QxMoxIo::IOException_t);
}
