// Uuid and StringCollection of the security core.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "qxmox/Exception.h"
#include "qxseccore/StringCollection.h"
#include "qxseccore/Uuid.h"

using QxMoxStr::String_t;
using QxSecCore::StringCollection;
using QxSecCore::Uuid;

TEST(Uuid, TextIsLowerCaseVersion4AndUnique) {
  std::set<std::string> seen;
  for (int i = 0; i < 10000; ++i) {
    const std::string text = Uuid::GenerateUuid().ToString().ToUtf8();
    ASSERT_EQ(text.size(), 36u) << text;
    for (size_t j = 0; j < text.size(); ++j) {
      if (j == 8 || j == 13 || j == 18 || j == 23) {
        ASSERT_EQ(text[j], '-') << text;
      } else {
        ASSERT_TRUE((text[j] >= '0' && text[j] <= '9') || (text[j] >= 'a' && text[j] <= 'f'))
            << text;
      }
    }
    ASSERT_EQ(text[14], '4') << text;                                          // version
    ASSERT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;  // variant
    ASSERT_TRUE(seen.insert(text).second) << "repeated " << text;
  }
}

TEST(StringCollection, CursorWalksInOrderAndStopsAtTheEnd) {
  StringCollection c;
  c.MoveFirst();
  EXPECT_TRUE(c.IsAtEnd());
  EXPECT_THROW(c.GetCurrent(), QxMoxMsg::IllegalStateError_t);

  c.Add("b");
  c.Add("a");
  c.Add(String_t::Null());
  EXPECT_EQ(c.GetCount(), 3u);
  std::vector<String_t> walked;
  for (c.MoveFirst(); !c.IsAtEnd(); c.Next()) walked.push_back(c.GetCurrent());
  ASSERT_EQ(walked.size(), 3u);
  EXPECT_EQ(walked[0], String_t("b"));
  EXPECT_EQ(walked[1], String_t("a"));
  EXPECT_TRUE(walked[2].IsNull());
  c.Next();
  EXPECT_TRUE(c.IsAtEnd());
  EXPECT_EQ(c.GetAt(1), String_t("a"));
  EXPECT_THROW(c.GetAt(3), QxMoxMsg::IllegalArgumentError_t);

  c.Clear();
  EXPECT_EQ(c.GetCount(), 0u);
  EXPECT_TRUE(c.IsAtEnd());
}
