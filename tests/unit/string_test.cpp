// Text, byte arrays and messages of the runtime.
#include "qxmox/String.h"

#include <gtest/gtest.h>

#include <climits>

#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxmox/Message.h"

using QxMoxStr::MBS_t;
using QxMoxStr::String_t;

TEST(String, NullAndEmptyAreDistinct) {
  const String_t null = String_t::Null();
  const String_t empty("");
  EXPECT_TRUE(null.IsNull());
  EXPECT_TRUE(null.IsEmpty());
  EXPECT_FALSE(empty.IsNull());
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_FALSE(null == empty);
  EXPECT_TRUE(String_t(static_cast<const char*>(nullptr)).IsNull());
  String_t appended = String_t::Null();
  appended.Append("x");
  EXPECT_FALSE(appended.IsNull());
}

TEST(String, Utf8RoundTripsThroughUtf16) {
  const char* rows[] = {"", "abc", "caf\xC3\xA9", "\xE2\x98\xBA", "\xF0\x9F\x98\x80 smile"};
  for (const char* row : rows) {
    SCOPED_TRACE(row);
    EXPECT_EQ(String_t(row).ToUtf8(), row);
  }
  EXPECT_EQ(String_t("\xF0\x9F\x98\x80").GetLength(), 2u);  // one surrogate pair
}

TEST(String, MalformedUtf8BecomesReplacementCharacters) {
  const struct {
    const char* in;
    size_t units;
  } rows[] = {{"\xFF", 1},     {"a\xC3", 2},        {"\xE2\x98", 1},
              {"\xC0\x80", 1}, {"\xED\xA0\x80", 1}, {"\xF4\x90\x80\x80", 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.in);
    const String_t s(row.in);
    EXPECT_EQ(s.GetLength(), row.units);
    EXPECT_EQ(s.GetAt(s.GetLength() - 1), u'\xFFFD');
  }
  // A lone surrogate cannot be encoded in UTF-8: it becomes U+FFFD too.
  EXPECT_EQ(String_t(std::u16string(1, u'\xD800')).ToUtf8(), "\xEF\xBF\xBD");
}

TEST(String, AppendUtf8ToUtf16ExtendsWhatIsThere) {
  const char* rows[] = {"",      "abc",         "caf\xC3\xA9", "\xF0\x9F\x98\x80 smile",
                        "a\xC3", "\xFF\xE2\x98"};
  for (const char* row : rows) {
    SCOPED_TRACE(row);
    std::u16string text = u"kept";
    QxMoxStr::AppendUtf8ToUtf16(row, text);
    EXPECT_EQ(text, u"kept" + QxMoxStr::Utf8ToUtf16(row));
  }
}

TEST(String, Latin1MapsEveryByteUnchanged) {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  const String_t text = MBS_t(bytes, QxMoxStr::ENC_LATIN1).ToString();
  ASSERT_EQ(text.GetLength(), 256u);
  for (size_t i = 0; i < 256; ++i) ASSERT_EQ(text.GetAt(i), i);
  EXPECT_EQ(MBS_t(text, QxMoxStr::ENC_LATIN1).Str(), bytes);
  EXPECT_EQ(MBS_t(String_t(u"\u263A"), QxMoxStr::ENC_LATIN1).Str(), "?");
}

TEST(String, MidFindAndNumbers) {
  const String_t s("host:15080/path");
  EXPECT_EQ(s.FindOneOf(":/"), 4);
  EXPECT_EQ(s.FindOneOf("#"), -1);
  EXPECT_EQ(s.Mid(5, 5), String_t("15080"));
  EXPECT_EQ(s.Mid(11), String_t("path"));
  EXPECT_EQ(s.Mid(99), String_t(""));
  EXPECT_EQ(s.GetAt(99), 0);
  EXPECT_EQ(QxMoxStr::NumToStr(INT_MIN), String_t("-2147483648"));
  EXPECT_EQ(QxMoxStr::NumToStr(UINT64_MAX), String_t("18446744073709551615"));
}

TEST(CharArray, CopyChecksTheSourceRange) {
  const QxMoxArray::CharArray_t src(std::string_view("abcdef"));
  QxMoxArray::CharArray_t dst;
  QxMoxArray::CharArray_t::Copy(src, 2, dst, 1, 3);
  EXPECT_EQ(dst.ToStdString(), std::string("\0cde", 4));
  EXPECT_THROW(QxMoxArray::CharArray_t::Copy(src, 4, dst, 0, 3), QxMoxMsg::IllegalArgumentError_t);
  EXPECT_THROW(QxMoxArray::CharArray_t::Copy(src, SIZE_MAX, dst, 0, 2),
               QxMoxMsg::IllegalArgumentError_t);
}

TEST(Message, FormatFillsArgumentsInOrder) {
  const QxMoxMsg::MessageCatalog_t catalog("test");
  QxMoxMsg::CreateWarn_t msg(catalog, 66, "after %1 retries (%2 left), 100%% %3");
  msg << 3 << "7";
  EXPECT_EQ(msg.Format().ToUtf8(), "after 3 retries (7 left), 100% ");
  EXPECT_EQ(msg.GetSeverity(), QxMoxMsg::SEV_WARNING);
  EXPECT_EQ(msg.Format(QxMoxMsg::FMT_ID).ToUtf8(), "[test:66] after 3 retries (7 left), 100% ");
}

TEST(Message, DetailsAppearOnlyWhenAsked) {
  QxMoxMsg::CreateError_t outer(QxMoxStr::String_t("outer"));
  outer.AddDetails(QxMoxMsg::CreateInfo_t(QxMoxStr::String_t("cause 1")));
  QxMoxMsg::MessageList_t list;
  list.Add(QxMoxMsg::CreateInfo_t(QxMoxStr::String_t("cause 2")));
  outer.AddDetails(list);
  EXPECT_EQ(outer.Format().ToUtf8(), "outer");
  EXPECT_EQ(outer.Format(QxMoxMsg::FMT_DETAILS).ToUtf8(), "outer (cause 1; cause 2)");
  const QxMoxMsg::RuntimeException_t ex(outer);
  EXPECT_STREQ(ex.what(), "outer (cause 1; cause 2)");
}
