// XML writer: what it writes must parse back, through expat, to the same names, attributes and
// text; what XML cannot carry is refused.
#include "qxmox/Xml.h"

#include <dlfcn.h>
#include <expat.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qxmox/Exception.h"

using QxMoxStr::String_t;
using QxMoxXml::XmlWriter_t;

namespace {

// expat is loaded at run time so this test needs no link change; the parser, not our own
// reading of the output, decides whether the text survives.
class Expat {
 public:
  Expat() : m_lib(dlopen("libexpat.so.1", RTLD_NOW)) {
    if (m_lib == nullptr) return;
    Bind(create, "XML_ParserCreate");
    Bind(setUserData, "XML_SetUserData");
    Bind(setElementHandler, "XML_SetElementHandler");
    Bind(setCharacterDataHandler, "XML_SetCharacterDataHandler");
    Bind(parse, "XML_Parse");
    Bind(freeParser, "XML_ParserFree");
  }
  ~Expat() {
    if (m_lib != nullptr) dlclose(m_lib);
  }
  bool Loaded() const { return freeParser != nullptr && create != nullptr; }

  // Parse returns the document as events: "<name a=v ...>", "text", "</name>"; adjacent
  // text pieces are joined. An empty vector with ok false means the parser refused it.
  std::vector<std::string> Parse(const std::string& xml, bool& ok) const {
    std::vector<std::string> events;
    XML_Parser parser = create(nullptr);
    setUserData(parser, &events);
    setElementHandler(parser, OnStart, OnEnd);
    setCharacterDataHandler(parser, OnText);
    ok = parse(parser, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
    freeParser(parser);
    return events;
  }

 private:
  template <typename Fn>
  void Bind(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(dlsym(m_lib, name));
  }
  static void OnStart(void* data, const XML_Char* name, const XML_Char** atts) {
    std::string event = std::string("<") + name;
    for (int i = 0; atts[i] != nullptr; i += 2)
      event += std::string(" ") + atts[i] + "=" + atts[i + 1];
    static_cast<std::vector<std::string>*>(data)->push_back(event + ">");
  }
  static void OnEnd(void* data, const XML_Char* name) {
    static_cast<std::vector<std::string>*>(data)->push_back(std::string("</") + name + ">");
  }
  static void OnText(void* data, const XML_Char* s, int len) {
    auto* events = static_cast<std::vector<std::string>*>(data);
    if (!events->empty() && events->back()[0] != '<') {
      events->back().append(s, static_cast<size_t>(len));
    } else {
      events->emplace_back(s, static_cast<size_t>(len));
    }
  }

  void* m_lib;
  XML_Parser (*create)(const XML_Char*) = nullptr;
  void (*setUserData)(XML_Parser, void*) = nullptr;
  void (*setElementHandler)(XML_Parser, XML_StartElementHandler, XML_EndElementHandler) = nullptr;
  void (*setCharacterDataHandler)(XML_Parser, XML_CharacterDataHandler) = nullptr;
  XML_Status (*parse)(XML_Parser, const char*, int, int) = nullptr;
  void (*freeParser)(XML_Parser) = nullptr;
};

const String_t kTricky(u"a&b<c>d\"e'f ]]> \r\n\r x\ty \u00e9\u20ac\U0001F600 &amp;");

}  // namespace

TEST(XmlWriter, TextAndAttributesSurviveAParser) {
  Expat expat;
  if (!expat.Loaded()) GTEST_SKIP() << "libexpat.so.1 not available";
  XmlWriter_t w;
  w.OpenTag("SOAP-ENV:Envelope").Attribute("xmlns:SOAP-ENV", "http://example.net/env");
  w.OpenTag("SOAP-ENV:Body");
  w.OpenTag("arg").Attribute("v", kTricky).Data(kTricky).CloseTag();
  w.OpenTag("empty").CloseTag();
  w.OpenTag(String_t(u"\u00e9l\u00e8ve_1.x-y")).Data(String_t::Null()).CloseTag();
  w.CloseTag().CloseTag();
  EXPECT_EQ(w.GetDepth(), 0u);

  bool ok = false;
  const std::vector<std::string> events = expat.Parse(w.GetText(), ok);
  ASSERT_TRUE(ok) << w.GetText();
  const std::string tricky = kTricky.ToUtf8();
  const std::vector<std::string> expected = {
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=http://example.net/env>",
      "<SOAP-ENV:Body>",
      "<arg v=" + tricky + ">",
      tricky,
      "</arg>",
      "<empty>",
      "</empty>",
      "<\xC3\xA9l\xC3\xA8ve_1.x-y>",
      "</\xC3\xA9l\xC3\xA8ve_1.x-y>",
      "</SOAP-ENV:Body>",
      "</SOAP-ENV:Envelope>"};
  EXPECT_EQ(events, expected);
}

TEST(XmlWriter, RefusesBadNamesAndCharactersAndLeavesOutputUnchanged) {
  XmlWriter_t w;
  w.OpenTag("root");
  const std::string before = w.GetText();

  const String_t badNames[] = {"",
                               "1a",
                               "a b",
                               ":a",
                               "a:",
                               "a:b:c",
                               "a&b",
                               "-a",
                               ".a",
                               "a\"b",
                               "a>b",
                               String_t::Null(),
                               String_t(std::u16string(u"a\xD800"))};
  for (const String_t& name : badNames) {
    SCOPED_TRACE(name.ToUtf8());
    EXPECT_THROW(w.OpenTag(name), QxMoxMsg::IllegalArgumentError_t);
    EXPECT_THROW(w.Attribute(name, "v"), QxMoxMsg::IllegalArgumentError_t);
  }

  const std::u16string badTexts[] = {u"x\x01y",
                                     u"\x0b",
                                     u"\x1f",
                                     u"\xFFFE",
                                     u"\xFFFF",
                                     u"a\xD800",
                                     u"\xDC00"
                                     u"b",
                                     u"\xDBFF\xDBFF",
                                     std::u16string(1, u'\0')};
  for (const std::u16string& text : badTexts) {
    SCOPED_TRACE(static_cast<int>(text.back()));
    EXPECT_THROW(w.Attribute("a", String_t(text)), QxMoxMsg::IllegalArgumentError_t);
    EXPECT_THROW(w.Data(String_t(text)), QxMoxMsg::IllegalArgumentError_t);
  }
  EXPECT_EQ(w.GetText(), before);
  EXPECT_EQ(w.GetDepth(), 1u);
}

TEST(XmlWriter, RefusesCallsOutOfOrder) {
  XmlWriter_t w;
  EXPECT_THROW(w.CloseTag(), QxMoxMsg::IllegalStateError_t);
  EXPECT_THROW(w.Data("top-level text"), QxMoxMsg::IllegalStateError_t);
  EXPECT_THROW(w.Attribute("a", "1"), QxMoxMsg::IllegalStateError_t);
  w.OpenTag("e").Attribute("a", "1");
  EXPECT_THROW(w.Attribute("a", "2"), QxMoxMsg::IllegalArgumentError_t);
  w.Data("x");
  EXPECT_THROW(w.Attribute("b", "1"), QxMoxMsg::IllegalStateError_t);
  w.CloseTag();
  EXPECT_EQ(w.GetText(), "<e a=\"1\">x</e>");
  EXPECT_THROW(w.CloseTag(), QxMoxMsg::IllegalStateError_t);
}
