// TraceText: fragments of every argument type, joining, templates and running out of memory.
#include "qxseccm/TraceText.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxmox/Message.h"
#include "qxmox/Net.h"
#include "qxmox/String.h"
#include "qxseccm/Catalog.h"

namespace {

using QxSecCmTrc::TraceText;

// Fragments returns the fragments of text up to a sentinel appended last, so an empty fragment
// and a missing one are told apart.
std::vector<std::string> Fragments(TraceText& text) {
  text << "#sentinel#";
  std::vector<std::string> out;
  for (int i = 0; i < 1000; ++i) {
    const std::string fragment = text[i];
    if (fragment == "#sentinel#") return out;
    out.push_back(fragment);
  }
  ADD_FAILURE() << "no sentinel";
  return out;
}

struct AppendRow {
  const char* name;
  std::function<void(TraceText&)> append;
  std::vector<std::string> fragments;
};

TEST(TraceText, EachArgumentTypeAppendsItsFragment) {
  static const unsigned short kUtf16[] = {'h', 0xE9, 0x263A, 0};
  static const unsigned short kEmptyUtf16[] = {0};
  static const unsigned char kBinary[] = {'a', 10, 13};
  static const unsigned char kEdges[] = {0, 31, 32, 126, 127, 128, 255, 'z'};
  const QxMoxNet::URI_t uri(QxMoxStr::String_t("http://host.example:15080/path"));
  QxMoxMsg::Message_t message = QxSecCm::Catalog::Warn(56) << "abc";
  message.AddDetails(QxMoxMsg::CreateWarn_t(QxMoxStr::String_t("cause")));
  const QxMoxMsg::RuntimeException_t exception(message);

  const std::vector<AppendRow> rows = {
      {"text", [](TraceText& t) { t << "abc"; }, {"abc"}},
      {"null text", [](TraceText& t) { t << static_cast<const char*>(nullptr); }, {}},
      {"empty text then text",
       [](TraceText& t) {
         t << ""
           << "x";
       },
       {"x"}},
      {"utf16 pointer", [](TraceText& t) { t << kUtf16; }, {"h\xC3\xA9\xE2\x98\xBA"}},
      {"null utf16 pointer",
       [](TraceText& t) { t << static_cast<const unsigned short*>(nullptr); },
       {}},
      {"empty utf16 pointer", [](TraceText& t) { t << kEmptyUtf16; }, {}},
      {"char16_t pointer", [](TraceText& t) { t << u"h\u00e9"; }, {"h\xC3\xA9"}},
      {"pointer",
       [](TraceText& t) { t << reinterpret_cast<const void*>(0x1234abcdUL); },
       {"0x1234ABCD"}},
      {"null pointer", [](TraceText& t) { t << static_cast<const void*>(nullptr); }, {"0x0"}},
      {"byte array",
       [](TraceText& t) { t << QxMoxArray::CharArray_t(kBinary, sizeof kBinary); },
       {"{a.\r}"}},
      {"empty byte array", [](TraceText& t) { t << QxMoxArray::CharArray_t(); }, {"{}"}},
      {"utf16 array",
       [](TraceText& t) { t << QxMoxArray::UTF16CharArray_t(QxMoxStr::String_t("ab")); },
       {"ab"}},
      {"empty utf16 array", [](TraceText& t) { t << QxMoxArray::UTF16CharArray_t(); }, {}},
      {"string", [](TraceText& t) { t << QxMoxStr::String_t(u"h\u00e9"); }, {"h\xC3\xA9"}},
      {"empty string then int", [](TraceText& t) { t << QxMoxStr::String_t() << 7; }, {"7"}},
      {"null string", [](TraceText& t) { t << QxMoxStr::String_t::Null(); }, {}},
      {"mbs", [](TraceText& t) { t << QxMoxStr::MBS_t(QxMoxStr::String_t("m")); }, {"m"}},
      {"empty mbs keeps its fragment",
       [](TraceText& t) { t << QxMoxStr::MBS_t() << "x"; },
       {"", "x"}},
      {"utf8", [](TraceText& t) { t << QxMoxStr::UTF8_t(std::string("\xC3\xA9")); }, {"\xC3\xA9"}},
      {"empty utf8 keeps its fragment", [](TraceText& t) { t << QxMoxStr::UTF8_t(); }, {""}},
      {"uri", [&](TraceText& t) { t << uri; }, {uri.ToString().ToUtf8()}},
      {"message with id and details",
       [&](TraceText& t) { t << message; },
       {"[sec.cm.client:56] Unknown request id 'abc'. (cause)"}},
      {"exception",
       [&](TraceText& t) { t << exception; },
       {"[sec.cm.client:56] Unknown request id 'abc'. (cause)"}},
      {"bools", [](TraceText& t) { t << true << false; }, {"true", "false"}},
      {"ints", [](TraceText& t) { t << 0 << -5 << INT_MIN; }, {"0", "-5", "-2147483648"}},
      {"unsigned", [](TraceText& t) { t << 4294967295U; }, {"4294967295"}},
      {"uint64", [](TraceText& t) { t << UINT64_MAX; }, {"18446744073709551615"}},
      {"longs", [](TraceText& t) { t << -1L << LLONG_MIN; }, {"-1", "-9223372036854775808"}},
      {"hex widths",
       [](TraceText& t) {
         t << TraceText::AsHex(0) << TraceText::AsHex(255) << TraceText::AsHex(256)
           << TraceText::AsHex(65535) << TraceText::AsHex(65536) << TraceText::AsHex(-1);
       },
       {"{00}", "{FF}", "{0100}", "{FFFF}", "{00010000}", "{FFFFFFFF}"}},
      {"hex of narrow negatives",
       [](TraceText& t) {
         t << TraceText::AsHex(static_cast<signed char>(-1))
           << TraceText::AsHex(static_cast<short>(-1)) << TraceText::AsHex(0x80000000U);
       },
       {"{FF}", "{FFFF}", "{80000000}"}},
      {"code units",
       [](TraceText& t) {
         for (unsigned short u : {38, 0xE9, 0x263A, 65, 0, 127, 128, 255, 256}) t << u;
       },
       {"&amp;", "&E9;", "&263A;", "A", "\x7f", "&80;", "&FF;", "&0100;"}},
      {"char16_t unit", [](TraceText& t) { t << u'&'; }, {"&amp;"}},
      {"chars", [](TraceText& t) { t << 'c' << '\0' << ' '; }, {"c", " "}},
      {"binary", [](TraceText& t) { t.AppendBinary(kBinary, 3); }, {"{a.\r}"}},
      {"binary edges", [](TraceText& t) { t.AppendBinary(kEdges, sizeof kEdges); }, {"{.. ~...z}"}},
      {"binary of length 0", [](TraceText& t) { t.AppendBinary(kBinary, 0); }, {"{}"}},
      {"binary of null", [](TraceText& t) { t.AppendBinary(nullptr, 3); }, {}},
      {"binary of negative length", [](TraceText& t) { t.AppendBinary(kBinary, -1); }, {}},
  };
  for (const AppendRow& row : rows) {
    SCOPED_TRACE(row.name);
    TraceText text;
    row.append(text);
    EXPECT_EQ(Fragments(text), row.fragments);
  }
}

TEST(TraceText, IndexPastLastFragmentIsEmpty) {
  TraceText empty;
  EXPECT_STREQ(empty[0], "");
  EXPECT_STREQ(empty[3], "");

  TraceText text;
  text << "a"
       << "b";
  EXPECT_STREQ(text[-7], "a");
  EXPECT_STREQ(text[0], "a");
  EXPECT_STREQ(text[1], "b");
  EXPECT_STREQ(text[2], "");
  EXPECT_STREQ(text[INT_MAX], "");
}

TEST(TraceText, GetMsgJoinsFragmentsIntoOne) {
  TraceText empty;
  EXPECT_STREQ(empty.GetMsg(), "");
  EXPECT_STREQ(empty.GetMsg(), "");

  TraceText single;
  single << "only";
  EXPECT_STREQ(single.GetMsg(), "only");

  TraceText text;
  text << "a=" << 1 << ", " << true;
  const char* joined = text.GetMsg();
  EXPECT_STREQ(joined, "a=1, true");
  EXPECT_STREQ(text.GetMsg(), "a=1, true");
  EXPECT_STREQ(text[0], "a=1, true");
  EXPECT_STREQ(text[1], "");

  text << "!";
  EXPECT_STREQ(text[1], "!");
  EXPECT_STREQ(text.GetMsg(), "a=1, true!");
}

TEST(TraceText, GetCombinedMsgFillsPlaceholders) {
  struct Row {
    const char* name;
    std::vector<const char*> fragments;
    const char* combined;
  };
  const std::vector<Row> rows = {
      {"one argument", {"a %1 b", "X"}, "a X b"},
      {"arguments out of order", {"%2-%1", "a", "b"}, "b-a"},
      {"placeholder past the last fragment", {"<%3>", "a"}, "<>"},
      {"highest digit past the end", {"x%9y"}, "xy"},
      {"no arguments at all", {"%1"}, ""},
      {"zero inserts the template", {"<%0>"}, "<<%0>>"},
      {"other character inserts the template", {"a%%b"}, "aa%%bb"},
      {"percent at the end stays", {"end%", "X"}, "end%"},
      {"no placeholders", {"plain", "X"}, "plain"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TraceText text;
    for (const char* f : row.fragments) text << f;
    EXPECT_STREQ(text.GetCombinedMsg(), row.combined);
    // The result replaces all fragments.
    EXPECT_STREQ(text[0], row.combined);
    EXPECT_STREQ(text[1], "");
  }
  TraceText empty;
  EXPECT_STREQ(empty.GetCombinedMsg(), "");
}

TEST(TraceText, LongChainsJoinAndFree) {
  TraceText text;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    text << i;
    expected += std::to_string(i);
  }
  EXPECT_STREQ(text[4999], "4999");
  EXPECT_EQ(text.GetMsg(), expected);

  TraceText unjoined;  // freed by the destructor, node by node
  for (int i = 0; i < 5000; ++i) unjoined << "x";
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QX_SANITIZED 1
#endif
#endif

#ifndef QX_SANITIZED
// Limits the address space of this (forked) process to what it maps now plus headroom, so that
// allocations of several times the headroom fail for real.
void LimitAddressSpace(size_t headroom) {
  FILE* statm = std::fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) std::_Exit(2);
  std::fclose(statm);
  const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + headroom;
  const rlimit rl{limit, limit};
  if (setrlimit(RLIMIT_AS, &rl) != 0) std::_Exit(3);
}
#endif

TEST(TraceTextDeathTest, OutOfMemoryDropsFragmentsAndReportsInResult) {
#ifdef QX_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes reserve address space; the limit cannot be applied";
#else
  constexpr size_t kChunk = 48 << 20;
  EXPECT_EXIT(
      {
        const std::string big(kChunk, 'x');
        TraceText text;
        text << big.c_str() << big.c_str();  // 96 MiB in two fragments
        LimitAddressSpace(16 << 20);
        int failures = 0;
        // Joining needs another 96 MiB: GetMsg reports and keeps the fragments.
        if (std::strcmp(text.GetMsg(), "ERROR: Out of memory!") != 0) failures |= 1;
        if (std::strlen(text[1]) != kChunk) failures |= 2;
        if (std::strcmp(text.GetCombinedMsg(), "ERROR: Out of memory!") != 0) failures |= 4;
        // A copy that does not fit is dropped, later small ones still land.
        text << big.c_str() << "tail";
        if (std::strcmp(text[2], "tail") != 0) failures |= 8;
        text.AppendBinary(big.data(), static_cast<int>(kChunk));
        if (std::strcmp(text[3], "") != 0) failures |= 16;
        std::_Exit(failures);
      },
      ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
